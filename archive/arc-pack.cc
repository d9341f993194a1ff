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
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cli.h"
#include "frame.h"
#include "pack.h"
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
	bool dry = false;
	int status = 0;
	bool stop = false;  // a failure that ends the run (a full disk)
	const char *hook = nullptr;
	long long settle = SETTLE;  // seconds a loose file is left alone before it is packed
};

// One frame of the new pack and where its bytes come from.
struct Source {
	PackEntry e;
	bool loose = false;
	time_t mtime = 0;
	mode_t mode = 0644;
	struct stat st {};  // a loose file's, as packed: it is removed only if it still is that file
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

// Reads a loose frame file whole (a regular file, smaller than PACK_MEMBER_MAX). Returns null
// or what is wrong.
static const char *slurp(const std::string &path, std::string &out, struct stat *st)
{
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
	if (fd < 0)
		return strerror(errno);
	if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
		close(fd);
		return "not a regular file";
	}
	if (st->st_size >= PACK_MEMBER_MAX) {
		close(fd);
		return "too large for a frame file";
	}
	out.resize((size_t)st->st_size + 1);
	size_t n = 0;
	for (;;) {
		ssize_t r = read(fd, out.data() + n, out.size() - n);
		if (r < 0 && errno == EINTR)
			continue;
		if (r <= 0 || (n += (size_t)r) == out.size())
			break;
	}
	close(fd);
	if (n != (size_t)st->st_size)
		return "changed while being read";
	out.resize(n);
	return nullptr;
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

// The names in dir that pass is, sorted.
static std::vector<std::string> names(const std::string &dir, int (*is)(const char *))
{
	std::vector<std::string> v;
	if (DIR *d = opendir(dir.c_str())) {
		while (struct dirent *e = readdir(d))
			if (is(e->d_name))
				v.emplace_back(e->d_name);
		closedir(d);
	}
	std::sort(v.begin(), v.end());
	return v;
}

static int is_day(const char *n) { return arc_name_is(n, 8); }
static int is_period(const char *n) { return arc_name_is(n, 11) || pack_name_is(n); }
static int is_frame(const char *n) { return arc_name_is(n, FR_STAMP); }
static int is_part(const char *n)
{
	size_t l = strlen(n);
	return l == 11 + strlen(PACK_PART) && strcmp(n + 11, PACK_PART) == 0;
}

// Whether period p (11 digits of a real time) is closed and within the range.
static bool closed(const Opts &o, const std::string &p)
{
	long long start;
	std::string s = p + "00000";
	if (!fr_time_ok((p + "0").c_str(), 12) || !fr_stamp_time(s.c_str(), &start))
		return false;
	long long end = start + 60000, current = o.now - o.now % 60000;
	if (end + o.age > o.now || start >= current - 60000)
		return false;
	return o.range.overlaps(start, end);
}

// Feeds each source's bytes in order to f(k, bytes): loose files read again, earlier packed
// frames from a fresh reader of the old pack. Returns null or what went wrong.
template <class F>
static const char *each(const std::vector<Source> &src, const std::string &dir, const std::string &old, F f)
{
	static std::string why_s;  // the reader's message outlives the reader
	PackReader r;
	if (!old.empty())
		if (const char *why = r.open(old))
			return why_s = why, why_s.c_str();
	std::string b;
	for (size_t k = 0; k < src.size(); k++) {
		const Source &s = src[k];
		if (s.loose) {
			struct stat st;
			if (slurp(dir + "/" + s.e.stamp + ".gz", b, &st) || b.size() != s.e.size || pack_checksum(b) != s.e.sum)
				return "a loose file changed while packing";
		} else {
			size_t j;
			do {
				if (r.next(j, &b) != 1)
					return why_s = r.why()[0] ? r.why() : "the earlier pack ended early", why_s.c_str();
			} while (r.index()[j].stamp != s.e.stamp);
		}
		if (const char *why = f(k, b))
			return why;
	}
	return nullptr;
}

// Writes the pack to tmp and syncs it. Returns null or what went wrong.
static const char *write_pack(Opts &o, const std::string &tmp, const std::string &period, const std::vector<Source> &src,
			      const std::string &dir, const std::string &old)
{
	int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
	if (fd < 0)
		return strerror(errno);
	static std::string why_s;
	std::vector<PackEntry> entries;
	for (const Source &s : src)
		entries.push_back(s.e);
	PackWriter w;
	const char *why = w.open(fd, period, entries);
	if (!why)
		why = each(src, dir, old, [&](size_t k, const std::string &b) {
			if (k == src.size() / 2)
				step(o, "writing");
			return w.add(src[k].e, b, src[k].mtime, src[k].mode);
		});
	if (!why)
		why = w.close();
	if (!why && fsync(fd) != 0)
		why_s = std::string("cannot sync: ") + strerror(errno), why = why_s.c_str();
	if (close(fd) != 0 && !why)
		why_s = std::string("cannot write: ") + strerror(errno), why = why_s.c_str();
	if (why)
		why_s = why;
	return why ? why_s.c_str() : nullptr;
}

// Reads the written pack back and compares it, frame by frame, with its sources.
static const char *verify(const std::string &tmp, const std::vector<Source> &src, const std::string &dir,
			  const std::string &old, const std::string &period)
{
	static std::string why_s;
	PackReader r;
	if (const char *why = r.open(tmp, period))
		return why_s = std::string("read back: ") + why, why_s.c_str();
	if (r.index().size() != src.size())
		return "read back: its index differs";
	for (size_t k = 0; k < src.size(); k++)
		if (!(r.index()[k] == src[k].e))
			return "read back: its index differs";
	std::string b;
	const char *why = each(src, dir, old, [&](size_t k, const std::string &want) -> const char * {
		size_t j;
		if (r.next(j, &b) != 1 || j != k || b != want)
			return "read back: a frame differs";
		return nullptr;
	});
	if (!why) {
		size_t j;
		if (r.next(j, &b) != 0)
			why = "read back: more than was written";
	}
	return why;
}

static bool sync_dir(const std::string &dir)
{
	int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0)
		return false;
	bool ok = fsync(fd) == 0;
	close(fd);
	return ok;
}

// Packs one period of a day: its loose files merged into its pack, if it has one.
static void pack_period(Opts &o, const std::string &day, const std::string &period)
{
	std::string dd = o.root + "/" + day, dir = dd + "/" + period, pack = dd + "/" + period + PACK_SUFFIX;
	std::string tmp = dd + "/" + period + PACK_PART;
	std::vector<Source> src;
	std::string b;
	struct stat st;
	if (lstat(dir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
		warn("%s: not a directory; left alone", dir.c_str());  // a link leads outside ROOT
		o.status = 1;
		return;
	}
	for (const std::string &f : names(dir, is_frame)) {
		if (f.compare(0, 11, period) != 0)
			continue;
		struct stat st;
		const char *why = slurp(dir + "/" + f, b, &st);
		if (!why)
			why = settled(o, b, st, time(nullptr));
		if (why) {
			if (why[0])
				warn("%s/%s: %s; left loose", dir.c_str(), f.c_str(), why);
			o.status |= why[0] != 0;
			continue;
		}
		Source s;
		s.e = {f.substr(0, FR_STAMP), (uint32_t)b.size(), pack_checksum(b)};
		s.loose = true;
		s.mtime = st.st_mtime;
		s.mode = st.st_mode & 07777;
		s.st = st;
		src.push_back(s);
	}
	size_t loose = src.size();
	std::string old;
	if (lstat(pack.c_str(), &st) == 0) {
		PackReader r;
		if (const char *why = r.open(pack)) {
			warn("%s: %s; its period's loose files left as they are", pack.c_str(), why);
			o.status = 1;
			return;
		}
		if (loose == 0) {  // packed already: only an empty directory may be left
			if (!o.dry)
				remove_old_dir(dir);
			return;
		}
		old = pack;
		std::vector<Source> merged;
		size_t i = 0;
		for (const PackEntry &e : r.index()) {
			while (i < loose && src[i].e.stamp < e.stamp)
				merged.push_back(src[i++]);
			if (i < loose && src[i].e.stamp == e.stamp)
				continue;  // the loose file is the newer write
			Source s;
			s.e = e;
			merged.push_back(s);
		}
		while (i < loose)
			merged.push_back(src[i++]);
		src.swap(merged);
	}
	if (loose == 0)
		return;
	if (o.dry) {
		printf("would pack %s: %zu loose frames%s\n", dir.c_str(), loose,
		       old.empty() ? "" : (" into its pack of " + std::to_string(src.size() - loose) + " more").c_str());
		return;
	}
	step(o, "listed");
	unlink(tmp.c_str());  // a run killed before it: never read, safe to drop
	const char *why = write_pack(o, tmp, period, src, dir, old);
	if (why) {
		unlink(tmp.c_str());
		warn("%s: %s; pack abandoned, the loose files stay", (dd + "/" + period + PACK_SUFFIX).c_str(), why);
		o.status = 1;
		o.stop = strstr(why, strerror(ENOSPC)) || strstr(why, strerror(EDQUOT));  // the next would fail too
		return;
	}
	step(o, "written");
	if ((why = verify(tmp, src, dir, old, period)) != nullptr) {
		unlink(tmp.c_str());
		warn("%s: %s; pack abandoned, the loose files stay", pack.c_str(), why);
		o.status = 1;
		return;
	}
	step(o, "verified");
	if (rename(tmp.c_str(), pack.c_str()) != 0 || !sync_dir(dd)) {
		warn("%s: cannot put the pack in place:", pack.c_str());
		unlink(tmp.c_str());
		o.status = 1;
		return;
	}
	step(o, "renamed");
	for (const Source &s : src)
		if (s.loose) {
			std::string f = dir + "/" + s.e.stamp + ".gz";
			if (!same_file(f, s.st))
				continue;  // written again since: the newer write stays loose
			if (unlink(f.c_str()) != 0 && errno != ENOENT) {
				warn("cannot remove %s:", f.c_str());
				o.status = 1;
			}
			step(o, "unlinking");
		}
	rmdir(dir.c_str());  // kept if anything else is in it
	fprintf(stderr, "arc-pack: %s: %zu frames (%zu loose)\n", pack.c_str(), src.size(), loose);
}

static void pack_day(Opts &o, const std::string &day)
{
	std::string dd = o.root + "/" + day;
	if (!o.dry)
		for (const std::string &p : names(dd, is_part))
			unlink((dd + "/" + p).c_str());  // left by a run that was killed
	std::vector<std::string> periods;
	for (const std::string &n : names(dd, is_period))
		if (n.compare(0, 8, day) == 0 && (periods.empty() || periods.back() != n.substr(0, 11)))
			periods.push_back(n.substr(0, 11));
	for (const std::string &p : periods) {
		if (o.stop)
			return;
		if (closed(o, p))
			pack_period(o, day, p);
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
	if (left < 1 || left > 3 ||
	    !arc_range(left > 1 ? argv[optind + 1] : nullptr, left > 2 ? argv[optind + 2] : nullptr, &o.range))
		usage(USAGE);
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
	for (const std::string &day : names(o.root, is_day)) {
		struct stat d;
		if (!o.stop && lstat((o.root + "/" + day).c_str(), &d) == 0 && S_ISDIR(d.st_mode))
			pack_day(o, day);  // never through a link
	}
	if (fflush(stdout) != 0)
		die("write error on standard output:");
	return o.status;
}
