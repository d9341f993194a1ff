// arc-pack [-n] [-a AGE] ROOT [FROM [TO]]: turns each closed ten-minute period of the archive
// into one pack, ROOT/YYYYMMDD/YYYYMMDDHHM.pack.tar.zst (see pack.h), and removes its loose
// frame files once the pack is safe. A period is closed when its end is more than AGE ago and
// it is neither the current nor the previous period by the host clock.
//
// Per period, with ROOT's lock held: the loose frame files (and an earlier pack of the period,
// which a late frame is merged into) are read; the pack is written as PERIOD.pack.tar.zst.part,
// synced, read back and compared frame by frame with its sources, renamed into place and the
// day directory synced; only then are the loose files and their directory removed. Killed at
// any instant, every frame is in the loose files or in a complete pack (readers take a frame
// found in both once); a rerun finishes the job. Files off the archive's pattern are left as
// they are.
//
// Test hook: ARC_PACK_STOP=STEP makes the program kill itself (SIGKILL) at that step of the
// first period it packs: listed, writing (half the frames written), written, verified, renamed,
// unlinking (one loose file removed). ARC_PACK_STOP=STEP:pause stops it there instead (SIGSTOP),
// to go on when it is sent SIGCONT. ARC_PACK_SETTLE=SECONDS packs loose files that have been left
// alone that long instead of SETTLE (0: any whole frame file), to race the writers harder.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cli.h"
#include "outfile.h"
#include "frame.h"
#include "pack.h"
#include "period.h"
#include "progress.h"
#include "reader.h"

static const char USAGE[] = "usage: arc-pack [-n] [-a AGE] ROOT [FROM [TO]]";
static const char HELP[] =
	"Packs each closed ten-minute period of the archive ROOT into one file in its day directory,\n"
	"YYYYMMDDHHM.pack.tar.zst, and removes its loose frame files once the pack is verified.\n"
	"FROM and TO as arc-cat takes them limit the periods considered.\n"
	"  -n      say what would be packed; change nothing\n"
	"  -a AGE  only periods that ended more than AGE ago: 30m, 1h (default), 2d\n";

// A loose file is packed only once it is a whole frame file and has been left alone this long
// (seconds): net-arc's shell creates it empty and gzip fills it a moment later. One that is
// still not a frame file this long after it was last written is named.
enum : int { SETTLE = 5, STALE = 60 };

struct Opts {
	std::string root;
	ArcRange range;
	long long age = 360000;  // hundredths
	long long now = 0;       // the host clock, as stamps read
	ArcPeriod current;       // the period it lies in
	bool dry = false;
	int status = 0;
	bool stop = false;  // a failure that ends the run (a full disk)
	const char *hook = nullptr;
	long long settle = SETTLE;  // seconds a loose file is left alone before it is packed
};

// One frame of the new pack: as its period lists it (a loose file's size and checksum as read),
// and a loose file's status as read: it is removed only if it is still that file.
struct Source : ArcEntry {
	struct stat st {};
	PackEntry entry() const { return {stamp, (uint32_t)bytes, sum}; }
};

// One period being packed.
struct Job {
	ArcPeriod p;
	std::string dd, dir, pack, part;  // its day directory, its directory, its pack, the pack written
	std::vector<Source> src;          // the new pack's frames, in stamp order
	size_t loose = 0;                 // how many of them are loose files
	bool merge = false;               // the others come from an earlier pack
	int err = 0;                      // the system's error of a write that failed
	Job(const std::string &root, const std::string &name)
		: p(name), dd(root + "/" + p.day()), dir(p.dir(root)), pack(p.pack(root)), part(p.part(root))
	{
	}
};

static void step(Opts &o, const char *name)
{
	size_t n = strlen(name);
	if (!o.hook || strncmp(o.hook, name, n) != 0)
		return;
	if (o.hook[n] == 0)
		raise(SIGKILL);
	if (strcmp(o.hook + n, ":pause") == 0) {
		o.hook = nullptr;  // once: the first period's step only
		raise(SIGSTOP);
	}
}

// AGE: a whole number then m, h or d.
static bool parse_age(const char *s, long long *centis)
{
	char *end;
	errno = 0;
	long long n = strtoll(s, &end, 10);
	if (end == s || s[0] < '0' || s[0] > '9' || errno || n > 100000 || !end[0] || end[1])
		return false;
	long long unit = *end == 'm' ? 6000 : *end == 'h' ? 360000 : *end == 'd' ? 8640000 : 0;
	*centis = n * unit;
	return unit != 0;
}

// Reads a loose frame file whole into b. Returns null or what is wrong.
static const char *read_loose(const std::string &path, std::string &b, struct stat *st)
{
	b.resize(PACK_MEMBER_MAX);
	size_t n;
	const char *why = arc_file(path.c_str(), (unsigned char *)b.data(), b.size(), &n, st);
	b.resize(n);
	return why;
}

// Whether a loose file's bytes b (its status st, read at now) may be packed: null if they are a
// whole frame file (one gzip stream of one payload, to its trailer) left alone SETTLE seconds;
// else "" while it may still be being written, or what is wrong with it once it is STALE.
static const char *settled(const Opts &o, const std::string &b, const struct stat &st, time_t now)
{
	static unsigned char payload[FR_PAYLOAD];
	long long age = (long long)now - (long long)st.st_mtime;
	const char *why = arc_inflate((const unsigned char *)b.data(), b.size(), payload);
	if (age < o.settle && age > -STALE)  // just written (or the clock was set back a little)
		return "";
	if (!why)
		return nullptr;
	return age > STALE || age <= -STALE ? why : "";
}

// Whether the file at path is still the one st describes (same file, size and last write).
static bool same_file(const std::string &path, const struct stat &st)
{
	struct stat now;
	return lstat(path.c_str(), &now) == 0 && now.st_ino == st.st_ino && now.st_dev == st.st_dev &&
	       now.st_size == st.st_size && now.st_mtim.tv_sec == st.st_mtim.tv_sec &&
	       now.st_mtim.tv_nsec == st.st_mtim.tv_nsec;
}

// Removes the period directory dir if it is empty and was last changed STALE seconds ago: one
// net-arc has just made (again) is left for the frame it is about to write. (A directory this
// run has just emptied is removed at once: a frame net-arc meant for it finds it gone, and
// net-arc makes it again.)
static void remove_old_dir(const std::string &dir)
{
	struct stat st;
	if (lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (long long)time(nullptr) - (long long)st.st_mtime > STALE)
		rmdir(dir.c_str());
}

// Whether period p is closed and within the range.
static bool closed(const Opts &o, const ArcPeriod &p)
{
	// Not the current period, nor the one before it (its end is the current one's start).
	if (!p.timed || p.end + o.age > o.now || p.end >= o.current.start)
		return false;
	return o.range.overlaps(p.start, p.end);
}

// Whether the loose file of s may be packed: read, whole, settled; its size, checksum and status
// kept in s. One that is not is named once it is old, and stays.
static bool take(Opts &o, Source &s)
{
	static std::string b;
	const char *why = read_loose(s.path, b, &s.st);
	if (!why)
		why = settled(o, b, s.st, time(nullptr));
	if (why) {
		if (why[0])
			warn("%s: %s; left loose", s.path.c_str(), why);
		o.status |= why[0] != 0;
		return false;
	}
	s.bytes = (long long)b.size();
	s.sum = pack_checksum(b);
	return true;
}

// Lists the period: its loose frame files that may be packed, merged into the frames of its
// earlier pack. Returns false when there is nothing to pack (or it must not be).
static bool list(Opts &o, Job &j)
{
	struct stat st;
	if (lstat(j.dir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
		warn("%s: not a directory; left alone", j.dir.c_str());  // a link leads outside ROOT
		o.status = 1;
		return false;
	}
	std::vector<ArcEntry> found, in_pack;
	std::string problem = period_loose(o.root, j.p, found);
	if (problem.empty() && (problem = period_packed(o.root, j.p, in_pack)) != "")
		problem += "; its period's loose files left as they are";
	if (!problem.empty()) {
		warn("%s", problem.c_str());
		o.status = 1;
		return false;
	}
	std::vector<Source> loose, packed;
	for (ArcEntry &e : found) {
		Source s;
		static_cast<ArcEntry &>(s) = std::move(e);
		if (take(o, s))
			loose.push_back(std::move(s));
	}
	for (ArcEntry &e : in_pack) {
		Source s;
		static_cast<ArcEntry &>(s) = std::move(e);
		packed.push_back(std::move(s));
	}
	j.loose = loose.size();
	j.merge = !packed.empty();
	if (j.loose == 0 && j.merge && !o.dry)
		remove_old_dir(j.dir);  // packed already: only an empty directory may be left
	period_merge(loose, packed, j.src);
	return j.loose > 0;
}

// Feeds each frame's bytes in order to f(k, bytes): loose files read again (they must not have
// changed), earlier packed frames from a fresh reader of the old pack. Returns null or what went
// wrong.
template <class F>
static const char *each(const Job &j, F f)
{
	static std::string why_s;  // the reader's message outlives the reader
	PackReader r;
	if (j.merge)
		if (const char *why = r.open(j.pack))
			return why_s = why, why_s.c_str();
	std::string b;
	for (size_t k = 0; k < j.src.size(); k++) {
		const Source &s = j.src[k];
		struct stat st;
		if (!s.packed) {
			if (read_loose(s.path, b, &st) || b.size() != (size_t)s.bytes || pack_checksum(b) != s.sum)
				return "a loose file changed while packing";
		} else if (pack_seek(r, s.stamp, &b) != 1)
			return why_s = r.why()[0] ? r.why() : "the earlier pack ended early", why_s.c_str();
		if (const char *why = f(k, b))
			return why;
	}
	return nullptr;
}

// Writes the pack as its part file and syncs it. Returns null or what went wrong (the system's
// error in j.err).
static const char *write(Opts &o, Job &j)
{
	static std::string why_s;
	unlink(j.part.c_str());  // a run killed before it: never read, safe to drop
	int fd = open(j.part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
	if (fd < 0)
		return j.err = errno, strerror(errno);
	std::vector<PackEntry> entries;
	for (const Source &s : j.src)
		entries.push_back(s.entry());
	PackWriter w;
	const char *why = w.open(fd, j.p.name, entries);
	if (!why)
		why = each(j, [&](size_t k, const std::string &b) {
			if (k == j.src.size() / 2)
				step(o, "writing");
			return w.add(j.src[k].entry(), b, j.src[k].mtime, j.src[k].st.st_mode & 07777);
		});
	if (!why)
		why = w.close();
	j.err = why ? w.error() : 0;
	if (!why && fsync(fd) != 0)
		j.err = errno, why_s = std::string("cannot sync: ") + strerror(errno), why = why_s.c_str();
	if (close(fd) != 0 && !why)
		j.err = errno, why_s = std::string("cannot write: ") + strerror(errno), why = why_s.c_str();
	if (why)
		why_s = why;
	return why ? why_s.c_str() : nullptr;
}

// Reads the written pack back and compares it, frame by frame, with its sources.
static const char *verify(const Job &j)
{
	static std::string why_s;
	PackReader r;
	if (const char *why = r.open(j.part, j.p.name))
		return why_s = std::string("read back: ") + why, why_s.c_str();
	if (r.index().size() != j.src.size())
		return "read back: its index differs";
	for (size_t k = 0; k < j.src.size(); k++)
		if (!(r.index()[k] == j.src[k].entry()))
			return "read back: its index differs";
	std::string b;
	const char *why = each(j, [&](size_t k, const std::string &want) -> const char * {
		size_t at;
		if (r.next(at, &b) != 1 || at != k || b != want)
			return "read back: a frame differs";
		return nullptr;
	});
	size_t at;
	if (!why && r.next(at, &b) != 0)
		why = "read back: more than was written";
	return why;
}

// Renames the pack into place and syncs its day directory. Returns false (said) if it failed.
static bool put_in_place(Opts &o, const Job &j)
{
	if (rename(j.part.c_str(), j.pack.c_str()) == 0 && sync_path(j.dd, O_DIRECTORY) == 0)
		return true;
	warn("%s: cannot put the pack in place:", j.pack.c_str());
	unlink(j.part.c_str());
	o.status = 1;
	return false;
}

// Removes the loose files now packed (each only if it is still the file packed: one written
// again since is the newer write and stays), then the period directory if that emptied it.
static void remove_loose(Opts &o, const Job &j)
{
	for (const Source &s : j.src) {
		if (s.packed || !same_file(s.path, s.st))
			continue;
		if (unlink(s.path.c_str()) != 0 && errno != ENOENT) {
			warn("cannot remove %s:", s.path.c_str());
			o.status = 1;
		}
		step(o, "unlinking");
	}
	rmdir(j.dir.c_str());  // kept if anything else is in it
}

// Packs one period: its loose files merged into its pack, if it has one.
static void pack_period(Opts &o, const std::string &name)
{
	Job j(o.root, name);
	if (!list(o, j))
		return;
	if (o.dry) {
		std::string more = " into its pack of " + std::to_string(j.src.size() - j.loose) + " more";
		printf("would pack %s: %zu loose frames%s\n", j.dir.c_str(), j.loose, j.merge ? more.c_str() : "");
		return;
	}
	step(o, "listed");
	const char *why = write(o, j);
	if (!why) {
		step(o, "written");
		why = verify(j);
	}
	if (why) {
		unlink(j.part.c_str());
		warn("%s: %s; pack abandoned, the loose files stay", j.pack.c_str(), why);
		o.status = 1;
		o.stop = j.err == ENOSPC || j.err == EDQUOT;  // the next would fail too
		return;
	}
	step(o, "verified");
	if (!put_in_place(o, j))
		return;
	step(o, "renamed");
	remove_loose(o, j);
	progress_clear();
	fprintf(stderr, "arc-pack: %s: %zu frames (%zu loose)\n", j.pack.c_str(), j.src.size(), j.loose);
}

static void pack_day(Opts &o, const std::string &day)
{
	std::vector<std::string> periods;
	std::string problem = arc_list(o.root + "/" + day, 11, periods);
	if (!problem.empty()) {
		warn("%s", problem.c_str());
		o.status = 1;
	}
	for (const std::string &name : periods) {
		if (o.stop || name.compare(0, 8, day) != 0)
			continue;
		if (!o.dry)
			unlink(ArcPeriod(name).part(o.root).c_str());  // left by a run that was killed
		if (closed(o, ArcPeriod(name)))
			pack_period(o, name);
	}
}

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	Opts o;
	opterr = 0;
	for (int c; (c = getopt(argc, argv, "+na:")) != -1;) {
		if (c == 'n')
			o.dry = true;
		else if (c != 'a' || !parse_age(optarg, &o.age))
			usage(USAGE);
	}
	int left = argc - optind;
	if (left < 1)
		usage(USAGE);
	arc_range_args(USAGE, left - 1, argv + optind + 1, &o.range);
	o.root = argv[optind];
	o.hook = getenv("ARC_PACK_STOP");
	if (const char *settle = getenv("ARC_PACK_SETTLE"))
		o.settle = atoll(settle);
	need_dir(o.root.c_str());
	int lock = o.dry ? -1 : pack_lock(o.root);
	if (!o.dry && lock < 0)
		die("cannot lock %s/.arc-pack.lock:", o.root.c_str());
	char now[FR_STAMP + 1];
	arc_now(now);
	fr_stamp_time(now, &o.now);
	o.current = ArcPeriod(now);
	std::vector<std::string> days;
	if (std::string problem = arc_list(o.root, 8, days); !problem.empty())
		die("%s", problem.c_str());
	Progress pr((long)days.size(), "days");
	for (const std::string &day : days) {
		struct stat d;
		progress_at(pr, day);
		if (!o.stop && lstat((o.root + "/" + day).c_str(), &d) == 0 && S_ISDIR(d.st_mode))
			pack_day(o, day);  // never through a link
	}
	progress_end(pr);
	if (fflush(stdout) != 0)
		die("write error on standard output:");
	return o.status;
}
