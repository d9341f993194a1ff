// arc-cat [-f] [-s SPEED] ROOT [FROM [TO]]: the archive read back. Writes the frames of a
// stamp range as stream records, in stamp order, at disk speed or paced by their stamps; with
// -f it then follows the archive, writing each frame as soon as net-arc has finished its file.
// Files are inflated in the process (zlib), never through a shell. A broken file is named on
// standard error and skipped; the status at the end is then 1.
//
// Following watches (inotify) ROOT for new days, the newest day for new ten-minute
// directories, and the newest of those for finished files: nothing is read half-written,
// nothing is polled, and an idle follower sleeps in poll().
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "cli.h"
#include "frame.h"
#include "reader.h"

static const char USAGE[] = "usage: arc-cat [-f] [-s SPEED] ROOT [FROM [TO]]";
static const char HELP[] =
	"Writes the archived frames of ROOT from FROM up to TO as stream records, in stamp order.\n"
	"FROM and TO: YYYY[MM[DD[HH[MM[SS[cc]]]]]] (separators - : T . and space allowed), or now.\n"
	"FROM alone selects the period it names; neither, the whole archive.\n"
	"  -f        then follow the archive, writing each frame as net-arc stores it\n"
	"  -s SPEED  pace the output by the stamps, SPEED times real time\n";

static unsigned char buf2[FR_PAYLOAD];
static char obuf[1 << 16];

static ArcRange range;
static double speed;         // 0: as fast as the reader takes them
static bool live;            // flush each record
static int status;           // 1 once a broken file or directory was met
static char last[FR_HEADER]; // the last stamp written; later ones only

// The watches of a follower: ROOT, the newest day, the newest period.
struct Follow {
	int fd = -1, wroot = -1, wday = -1, wper = -1;
	std::string root, day, per;  // the watched day and period names
};
static Follow fw;

static long long mono_centis()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 100LL + t.tv_nsec / 10000000;
}

// Waits until the stamp's time has come: the first stamp sets the clock.
static void pace(const char *stamp)
{
	static long long t0 = -1, w0;
	long long t;
	if (speed <= 0 || !fr_stamp_time(stamp, &t))
		return;
	if (t0 < 0) {
		t0 = t;
		w0 = mono_centis();
	}
	long long due = w0 + (long long)((double)(t - t0) / speed);
	long long wait = due - mono_centis();
	if (wait > 0) {
		struct timespec ts = {(time_t)(wait / 100), (long)(wait % 100) * 10000000L};
		while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
		}
	}
}

// Writes one frame if it comes after the last one written; 1 if it did.
static int emit(const char *stamp, const unsigned char *payload)
{
	if (last[0] && memcmp(stamp, last, FR_STAMP) <= 0)
		return 0;
	pace(stamp);
	memcpy(last, stamp, FR_STAMP);
	if (fwrite(last, FR_HEADER, 1, stdout) != 1 || fwrite(payload, FR_PAYLOAD, 1, stdout) != 1 ||
	    (live && fflush(stdout) != 0))
		die("write error on standard output:");
	return 1;
}

// Reads and writes one frame. A broken one is named, unless it may still be being written
// (hold): then its close will bring it again.
static void frame(const ArcEntry &e, bool hold)
{
	if (last[0] && memcmp(e.stamp.c_str(), last, FR_STAMP) <= 0)
		return;
	const char *why = arc_entry_read(e, buf2);
	if (!why)
		emit(e.stamp.c_str(), buf2);
	else if (!hold) {
		warn("%s: %s", e.path.c_str(), why);
		status = 1;
	}
}

// The range from the archive, in order. While following, the newest period's files may still
// be being written: those that fail are left to their close.
static void read_range(const char *root, bool follows)
{
	ArcBatch batch(root, range, true);
	std::string held = fw.root + "/" + fw.day + "/" + fw.per + "/";
	ArcItem *items;
	while (size_t n = batch.next(items)) {
		for (size_t i = 0; i < n; i++) {
			ArcItem &it = items[i];
			if (!it.problem.empty()) {
				warn("%s", it.problem.c_str());
				status = 1;
			} else if (it.why.empty())
				emit(it.e.stamp.c_str(), it.payload);
			else if (!(follows && it.e.path.compare(0, held.size(), held) == 0)) {
				warn("%s: %s", it.e.path.c_str(), it.why.c_str());
				status = 1;
			}
		}
	}
	warn_skipped(batch.skipped(), STAMPS_NOT_TIMES);
	if (fflush(stdout) != 0)
		die("write error on standard output:");
}

// The newest archive name of a kind in dir, or "".
static std::string newest(const std::string &dir, int want)
{
	std::vector<std::string> names;
	arc_list(dir, want, names);
	return names.empty() ? "" : names.back();
}

static void watch_period(const std::string &name)
{
	if (fw.wper >= 0)
		inotify_rm_watch(fw.fd, fw.wper);
	fw.per = name;
	fw.wper = inotify_add_watch(fw.fd, (fw.root + "/" + fw.day + "/" + name).c_str(),
				    IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR);
}

static void watch_day(const std::string &name)
{
	if (fw.wday >= 0)
		inotify_rm_watch(fw.fd, fw.wday);
	fw.day = name;
	fw.wday = inotify_add_watch(fw.fd, (fw.root + "/" + name).c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
}

// Writes what the watched period holds past the last stamp written: files finished before the
// watch began; those still being written come with their close.
static void scan_period()
{
	std::vector<ArcEntry> entries;
	arc_period_entries(fw.root, fw.per, entries);
	for (const ArcEntry &e : entries)
		if (e.timed && range.has(e.t))
			frame(e, true);
}

static void new_period(const std::string &name)
{
	if (name.compare(0, 8, fw.day) != 0 || name <= fw.per)
		return;
	watch_period(name);
	scan_period();
}

static void new_day(const std::string &name)
{
	if (name <= fw.day)
		return;
	watch_day(name);
	std::string p = newest(fw.root + "/" + name, 11);
	if (!p.empty())
		new_period(p);
}

// Before the range is read: watches on ROOT and on the newest day and period already there.
static void follow_start(const char *root)
{
	fw.root = root;
	fw.fd = inotify_init1(IN_CLOEXEC);
	if (fw.fd < 0 || (fw.wroot = inotify_add_watch(fw.fd, root, IN_CREATE | IN_MOVED_TO | IN_ONLYDIR)) < 0)
		die("cannot watch %s:", root);
	std::string d = newest(root, 8);
	if (!d.empty()) {
		watch_day(d);
		std::string p = newest(fw.root + "/" + d, 11);
		if (!p.empty() && p.compare(0, 8, d) == 0)
			watch_period(p);
	}
}

// Until killed, the reader goes away, or a frame past the range's end is stored.
static void follow()
{
	alignas(struct inotify_event) static char ev[64 * (sizeof(struct inotify_event) + NAME_MAX + 1)];
	for (;;) {
		struct pollfd pf[2] = {{fw.fd, POLLIN, 0}, {1, 0, 0}};
		if (poll(pf, 2, -1) < 0 && errno != EINTR)
			die("poll:");
		if (pf[1].revents & (POLLERR | POLLHUP))
			exit(status);  // the reader has gone
		if (!(pf[0].revents & POLLIN))
			continue;
		ssize_t n = read(fw.fd, ev, sizeof ev);
		if (n <= 0)
			continue;
		for (char *p = ev; p < ev + n;) {
			const struct inotify_event *e = (const struct inotify_event *)p;
			p += sizeof *e + e->len;
			if (e->mask & IN_Q_OVERFLOW) {
				scan_period();
				continue;
			}
			if (!e->len)
				continue;
			if (e->wd == fw.wroot && (e->mask & IN_ISDIR) && arc_name_is(e->name, 8))
				new_day(e->name);
			else if (e->wd == fw.wday && (e->mask & IN_ISDIR) && arc_name_is(e->name, 11))
				new_period(e->name);
			else if (e->wd == fw.wper && arc_name_is(e->name, FR_STAMP) &&
				 fw.per.compare(0, 11, e->name, 11) == 0) {
				ArcEntry f;
				if (!arc_frame_entry(fw.root, e->name, f) || !f.timed)
					continue;
				if (range.after(f.t))
					exit(status);  // the range is complete
				if (range.has(f.t))
					frame(f, false);
			}
		}
	}
}

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	bool follows = false;
	opterr = 0;
	for (int c; (c = getopt(argc, argv, "+fs:")) != -1;) {
		if (c == 'f')
			follows = true;
		else if (c != 's' || !arg_positive(optarg, &speed))
			usage(USAGE);
	}
	int left = argc - optind;
	if (left < 1 || left > 3 ||
	    !arc_range(left > 1 ? argv[optind + 1] : nullptr, left > 2 ? argv[optind + 2] : nullptr, &range))
		usage(USAGE);
	const char *root = argv[optind];
	need_dir(root);

	setvbuf(stdout, obuf, _IOFBF, sizeof obuf);
	live = follows || speed > 0;
	if (follows)
		follow_start(root);
	read_range(root, follows);
	long long per;
	if (follows && !(fw.wper >= 0 && fr_stamp_time((fw.per + "00000").c_str(), &per) && range.after(per)))
		follow();
	return status;
}
