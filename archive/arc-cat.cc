// arc-cat [-f] [-s SPEED] ROOT [FROM [TO]]: the archive read back. Writes the frames of a
// time range as stream records, in stamp order, at disk speed or paced by their stamps; with
// -f it then follows the archive, writing each frame as soon as net-arc has finished its file.
// Files are inflated in the process (zlib), never through a shell. A broken file is named on
// standard error and skipped; the status at the end is then 1.
//
// Following watches (inotify) ROOT, and every day and ten-minute directory from the period of
// the last frame written on, whatever their names: frames come with the close of their files,
// new directories are watched and then scanned, so nothing is read half-written, an empty
// directory dated later than the frames being stored traps nothing, and an idle follower sleeps
// in poll(). After a lost event (the kernel's queue overflowed) the archive is read again from
// the last frame written. A broken file is named once it is closed, or once it is a few seconds
// old if its close came before the watch. A range with an end is complete once a frame past it
// is stored: what of the range is not read yet is read then, and held files are waited for.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <map>
#include <set>
#include <poll.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include "cli.h"
#include "frame.h"
#include "progress.h"
#include "reader.h"
#include "streamtime.h"

static const char USAGE[] = "usage: arc-cat [-f] [-s SPEED] ROOT [FROM [TO]]";
static const char HELP[] =
	"Writes the archived frames of ROOT from FROM up to TO as stream records, in stamp order.\n"
	"FROM and TO: YYYY[MM[DD[HH[MM[SS[cc]]]]]] or a ten-minute period YYYYMMDDHHM (separators\n"
	"- : T . and space allowed), or now.\n"
	"FROM alone selects the period it names; neither, the whole archive.\n"
	"  -f        then follow the archive, writing each frame as net-arc stores it\n"
	"  -s SPEED  pace the output by the stamps, SPEED times real time\n";

enum { HOLD_S = 3 };  // a broken file this many seconds old is not being written any more

static unsigned char buf2[FR_PAYLOAD];
static char obuf[1 << 16];

// What is being written: the range, the pace, and the last stamp written (later ones only).
struct Cat {
	std::string root;
	ArcRange range;
	double speed = 0;       // 0: as fast as the reader takes them
	bool live = false;      // flush each record
	int status = 0;         // 1 once a broken file or directory was met
	char last[FR_HEADER] = {};
	long long t0 = -1, w0 = 0;  // pacing: the first stamp's time and when it was written
	long ahead = 0;             // paced without an end: frames stamped ahead of the host's clock
	bool following = false;     // past the first reading: stored frames judged by the clock
	StreamTime clock;           // while following: a frame far from the last one written is stray
};

// The watches of a follower, and the broken files it holds until they are closed or old.
struct Follow {
	int fd = -1, wroot = -1;
	std::map<int, std::string> dirs;  // watch -> day (8 digits) or period (11 digits)
	std::string from;                 // the period of the last frame written: watched from it on
	std::map<std::string, long long> held;  // stamp -> when its file is old enough to name
	std::set<std::string> named;            // broken files named past the last frame written
	bool complete = false;                  // a frame past the range's end is stored
};

static long long mono_centis()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 100LL + t.tv_nsec / 10000000;
}

// Waits until the stamp's time has come: the first stamp sets the clock.
static void pace(Cat &c, long long t)
{
	if (c.speed <= 0)
		return;
	if (c.t0 < 0) {
		c.t0 = t;
		c.w0 = mono_centis();
	}
	long long due = c.w0 + (long long)((double)(t - c.t0) / c.speed);
	long long wait = due - mono_centis();
	if (wait > 0) {
		struct timespec ts = {(time_t)(wait / 100), (long)(wait % 100) * 10000000L};
		while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
		}
	}
}

static bool written(const Cat &c, const std::string &stamp)
{
	return c.last[0] && memcmp(stamp.c_str(), c.last, FR_STAMP) <= 0;
}

// Writes one frame if it comes after the last one written.
static void emit(Cat &c, const ArcEntry &e, const unsigned char *payload)
{
	if (written(c, e.stamp))
		return;
	pace(c, e.t);
	memcpy(c.last, e.stamp.c_str(), FR_STAMP);
	if (fwrite(c.last, FR_HEADER, 1, stdout) != 1 || fwrite(payload, FR_PAYLOAD, 1, stdout) != 1 ||
	    (c.live && fflush(stdout) != 0))
		die("write error on standard output:");
}

// Names a broken file, once: a follower reads again from the last frame written.
static void broken(Cat &c, Follow *f, const ArcEntry &e, const char *why)
{
	if (f && !f->named.insert(e.stamp).second)
		return;
	warn("%s: %s", e.where().c_str(), why);
	c.status = 1;
}

// Ends the program: the range is complete, or the reader has gone.
[[noreturn]] static void done(Cat &c)
{
	c.clock.finish();
	if (fflush(stdout) != 0)
		die("write error on standard output:");
	exit(c.status);
}

// Whether a frame stored while following is stray: stamped more than 75 minutes from the last
// one written (one file stamped 2099 would otherwise pass every frame after it over, or end a
// range at once), and from the host's clock too (so frames after a long outage come at once).
// Skipped and said; ten in a row that agree are a clock that jumped, followed.
static bool stray(Cat &c, long long t)
{
	if (!c.following)
		return false;
	char s[FR_HEADER];
	long long now;
	arc_now(s);
	if (fr_stamp_time(s, &now) && t >= now - c.clock.window && t <= now + c.clock.window) {
		c.clock.now = std::max(c.clock.now, t);
		return false;
	}
	return c.clock.judge(t) == ST_OUTLIER;
}

// Whether a frame of a paced replay without an end lies in the future: stamped past
// arc_horizon (one stray file stamped 2099 would otherwise hold the replay for decades before
// it). Skipped and said.
static bool future(const Cat &c, long long t)
{
	return c.speed > 0 && c.range.open() && t > arc_horizon();
}

// One frame of a period the follower watches: written, or, if broken, named. Found by a scan
// (scanned), a broken file still young may still be being written: it is held for its close
// or its age.
static void frame(Cat &c, Follow &f, const ArcEntry &e, bool scanned)
{
	f.held.erase(e.stamp);
	if (written(c, e.stamp))
		return;
	const char *why = arc_entry_read(e, buf2);
	if (!why)
		emit(c, e, buf2);
	else if (scanned && e.mtime + HOLD_S > time(nullptr))
		f.held[e.stamp] = e.mtime + HOLD_S;
	else
		broken(c, &f, e, why);
}

// The range from the archive in order, from time `from` on (the whole range: its start). When
// following (f), broken files still young are held. Returns how many stamps were skipped as
// not a time.
static long read_range(Cat &c, Follow *f, long long from)
{
	ArcRange r = c.range;
	r.start = std::max(r.start, from);
	ArcBatch batch(c.root, r, true);
	ArcItem *items;
	Progress pr(f ? 0 : arc_days_in(c.root, r), "days");  // a follower's reading again is brief
	while (size_t n = batch.next(items)) {
		for (size_t i = 0; i < n; i++) {
			ArcItem &it = items[i];
			if (!f)
				progress_at(pr, it.e.stamp.substr(0, 8));
			if (!it.problem.empty()) {
				warn("%s", it.problem.c_str());
				c.status = 1;
			} else if (f && stray(c, it.e.t))
				continue;
			else if (future(c, it.e.t))
				c.ahead++;
			else if (it.why.empty())
				emit(c, it.e, it.payload);
			else if (f && it.e.mtime + HOLD_S > time(nullptr))
				f->held[it.e.stamp] = it.e.mtime + HOLD_S;
			else
				broken(c, f, it.e, it.why.c_str());
		}
	}
	progress_end(pr);
	if (fflush(stdout) != 0)
		die("write error on standard output:");
	return batch.skipped();
}

// A frame past the range's end is stored, so every frame of the range is: what of it is not
// read yet (a day whose watch is still to come, say) is read now, and the program ends once the
// files held (still being written when seen) are written or named.
static void complete_range(Cat &c, Follow &f)
{
	if (!f.complete) {
		f.complete = true;
		long long t;
		read_range(c, &f, c.last[0] && fr_stamp_time(c.last, &t) ? t + 1 : ARC_ALL);
	}
	if (f.held.empty())
		done(c);
}

// Whether a frame at or past the range's end is stored already: then the range is complete.
static bool complete(const Cat &c)
{
	if (c.range.open())
		return false;
	ArcRange past;
	past.start = c.range.end;
	ArcList l(c.root, past);
	ArcEntry e;
	std::string problem;
	const StreamTime &k = c.clock;
	for (int n; (n = l.next(e, problem)) != ArcList::END;)
		if (n == ArcList::FRAME && (!c.following || k.now < 0 || (e.t <= k.now + k.window && e.t >= k.now - k.window)))
			return true;
	return false;
}

// The period of the last frame written, or of the range's start: watching begins there.
static std::string frontier(const Cat &c)
{
	if (c.last[0])
		return std::string(c.last, 11);
	if (c.range.start == ARC_ALL)
		return "";
	char s[FR_HEADER];
	fr_time_stamp(c.range.start, s);
	return std::string(s, 11);
}

static void watch(Follow &f, const std::string &root, const std::string &name)
{
	std::string path = root + "/" + (name.size() == 8 ? name : name.substr(0, 8) + "/" + name);
	uint32_t mask = name.size() == 8 ? IN_CREATE | IN_MOVED_TO | IN_ONLYDIR : IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR;
	int wd = inotify_add_watch(f.fd, path.c_str(), mask);
	if (wd >= 0)
		f.dirs[wd] = name;
}

// Frees the watches of directories wholly before the frontier: net-arc writes there no more.
static void forget_old(Follow &f)
{
	for (auto it = f.dirs.begin(); it != f.dirs.end();) {
		const std::string &n = it->second;
		if (n.compare(0, n.size(), f.from, 0, n.size()) < 0) {
			inotify_rm_watch(f.fd, it->first);
			it = f.dirs.erase(it);
		} else
			++it;
	}
}


// Watches every day and period from the frontier on, whatever their names, then reads what
// they hold past the last frame written. The start of following, and its mend after a lost
// event.
static void rescan(Cat &c, Follow &f)
{
	f.from = frontier(c);
	std::vector<std::string> days, periods;
	arc_list(c.root, 8, days);
	for (const std::string &d : days) {
		if (d.compare(0, 8, f.from, 0, 8) < 0)
			continue;
		watch(f, c.root, d);
		arc_list(c.root + "/" + d, 11, periods);
		for (const std::string &p : periods)
			if (p.compare(0, 8, d) == 0 && p >= f.from)
				watch(f, c.root, p);
	}
	long long t;
	read_range(c, &f, c.last[0] && fr_stamp_time(c.last, &t) ? t + 1 : ARC_ALL);
	if (complete(c))
		complete_range(c, f);
}


// A period directory has appeared: watched, then what it already holds is read.
static void new_period(Cat &c, Follow &f, const std::string &p)
{
	watch(f, c.root, p);
	std::vector<ArcEntry> entries;
	arc_period_entries(c.root, p, entries);
	for (const ArcEntry &e : entries) {
		if (!e.timed)
			warn_skipped(c.range.spans(e.stamp.c_str(), FR_STAMP), STAMPS_NOT_TIMES);
		else if (!written(c, e.stamp) && stray(c, e.t))
			continue;
		else if (c.range.after(e.t)) {
			complete_range(c, f);
			break;
		} else if (c.range.has(e.t))
			frame(c, f, e, true);
	}
}

static void new_day(Cat &c, Follow &f, const std::string &d)
{
	watch(f, c.root, d);
	std::vector<std::string> periods;
	arc_list(c.root + "/" + d, 11, periods);
	for (const std::string &p : periods)
		if (p.compare(0, 8, d) == 0)
			new_period(c, f, p);
}

// A file of a watched period has been closed (or moved in).
static void closed(Cat &c, Follow &f, const char *name)
{
	ArcEntry e;
	if (!arc_frame_entry(c.root, name, e))
		return;
	if (!e.timed) {
		warn_skipped(c.range.spans(e.stamp.c_str(), FR_STAMP), STAMPS_NOT_TIMES);
		return;
	}
	if (!written(c, e.stamp) && stray(c, e.t))
		return;
	if (c.range.after(e.t))
		complete_range(c, f);
	if (!c.range.has(e.t))
		return;
	frame(c, f, e, false);
	if (c.last[0] && f.from.compare(0, 11, c.last, 11) < 0) {
		f.from.assign(c.last, 11);
		forget_old(f);
		f.named.erase(f.named.begin(), f.named.upper_bound(std::string(c.last, FR_STAMP)));
	}
}

// The held files whose time has come: written if they are whole now, else named.
static void expire(Cat &c, Follow &f)
{
	long long now = time(nullptr);
	for (auto it = f.held.begin(); it != f.held.end();) {
		if (it->second > now) {
			++it;
			continue;
		}
		std::string stamp = it->first;
		it = f.held.erase(it);
		ArcEntry e;
		if (arc_frame_entry(c.root, (stamp + ".gz").c_str(), e) && !written(c, e.stamp)) {
			const char *why = arc_entry_read(e, buf2);
			if (why)
				broken(c, &f, e, why);
			else
				emit(c, e, buf2);
		}
	}
	if (fflush(stdout) != 0)
		die("write error on standard output:");
}

// Milliseconds until the first held file is old enough to name, or -1 (none held).
static int next_expiry(const Follow &f)
{
	if (f.held.empty())
		return -1;
	long long first = f.held.begin()->second;
	for (auto &h : f.held)
		first = std::min(first, h.second);
	long long ms = (first - (long long)time(nullptr)) * 1000 + 100;
	return (int)std::max(0LL, std::min(ms, 60000LL));
}

static void follow_start(Cat &c, Follow &f)
{
	f.fd = inotify_init1(IN_CLOEXEC);
	if (f.fd < 0 || (f.wroot = inotify_add_watch(f.fd, c.root.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR)) < 0)
		die("cannot watch %s:", c.root.c_str());
}

// Until killed, the reader goes away, or a frame past the range's end is stored.
static void follow(Cat &c, Follow &f)
{
	alignas(struct inotify_event) static char ev[64 * (sizeof(struct inotify_event) + NAME_MAX + 1)];
	for (;;) {
		struct pollfd pf[2] = {{f.fd, POLLIN, 0}, {1, 0, 0}};
		if (poll(pf, 2, next_expiry(f)) < 0 && errno != EINTR)
			die("poll:");
		if (pf[1].revents & (POLLERR | POLLHUP))
			done(c);  // the reader has gone
		expire(c, f);
		if (f.complete && f.held.empty())
			done(c);
		if (!(pf[0].revents & POLLIN))
			continue;
		ssize_t n = read(f.fd, ev, sizeof ev);
		if (n <= 0)
			continue;
		for (char *p = ev; p < ev + n;) {
			const struct inotify_event *e = (const struct inotify_event *)p;
			p += sizeof *e + e->len;
			if (e->mask & IN_Q_OVERFLOW) {
				rescan(c, f);
				continue;
			}
			if (e->mask & IN_IGNORED) {
				f.dirs.erase(e->wd);
				continue;
			}
			auto dir = f.dirs.find(e->wd);
			if (!e->len || (e->wd != f.wroot && dir == f.dirs.end()))
				continue;
			if (e->wd == f.wroot && (e->mask & IN_ISDIR) && arc_name_is(e->name, 8))
				new_day(c, f, e->name);
			else if (dir != f.dirs.end() && dir->second.size() == 8 && (e->mask & IN_ISDIR) &&
				 arc_name_is(e->name, 11) && dir->second.compare(0, 8, e->name, 8) == 0)
				new_period(c, f, e->name);
			else if (dir != f.dirs.end() && dir->second.size() == 11 && !(e->mask & IN_ISDIR) &&
				 arc_name_is(e->name, FR_STAMP) && dir->second.compare(0, 11, e->name, 11) == 0)
				closed(c, f, e->name);
		}
		if (fflush(stdout) != 0)
			die("write error on standard output:");
		if (f.complete && f.held.empty())
			done(c);
	}
}

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	Cat c;
	bool follows = false;
	opterr = 0;
	for (int o; (o = getopt(argc, argv, "+fs:")) != -1;) {
		if (o == 'f')
			follows = true;
		else if (o != 's' || !arg_positive(optarg, &c.speed))
			usage(USAGE);
	}
	int left = argc - optind;
	if (left < 1)
		usage(USAGE);
	arc_range_args(USAGE, left - 1, argv + optind + 1, &c.range);
	c.root = argv[optind];
	need_dir(c.root.c_str());

	setvbuf(stdout, obuf, _IOFBF, sizeof obuf);
	c.live = follows || c.speed > 0;
	Follow f;
	if (follows)
		follow_start(c, f);  // before reading: nothing stored meanwhile is missed
	warn_skipped(read_range(c, follows ? &f : nullptr, ARC_ALL), STAMPS_NOT_TIMES);
	warn_skipped(c.ahead, STAMPS_AHEAD);
	if (follows) {
		long long t;
		if (c.last[0] && fr_stamp_time(c.last, &t))
			c.clock.now = t;  // the clock runs from the last frame written
		c.following = true;
		rescan(c, f);
		follow(c, f);
	}
	done(c);
}
