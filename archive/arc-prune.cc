// arc-prune [-n] [--keep-days N] [--min-free PERCENT] ROOT: retires whole days of the archive,
// oldest first. With --keep-days every day more than N days before today (host clock); with
// --min-free, days until that share of the file system's bytes and of its inodes is free;
// with both, both. Never today or yesterday (nor a day after them), never anything but a day
// directory of ROOT (8 digits of a real date, a directory and not a link), and the removal
// never follows a link or leaves the file system. Each removal is logged on standard error;
// -n lists what would go on standard output and removes nothing. ROOT's lock (arc-pack's) is
// held throughout, so a day is never pruned while it is being packed.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ftw.h>
#include <getopt.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cli.h"
#include "health.h"
#include "pack.h"
#include "reader.h"

static const char USAGE[] = "usage: arc-prune [-n] (--keep-days N | --min-free PERCENT) ROOT";
static const char HELP[] =
	"Removes whole days of the archive ROOT, oldest first; never today or yesterday.\n"
	"  -n                  say what would be removed; remove nothing\n"
	"  --keep-days N       every day more than N days before today\n"
	"  --min-free PERCENT  days until PERCENT of the file system's bytes and inodes are free\n"
	"Both may be given.\n";

struct Opts {
	std::string root;
	bool dry = false;
	int keep = -1;        // days, or -1
	double min_free = -1;  // percent, or -1
	int status = 0;
};

static int rm_one(const char *path, const struct stat *, int type, struct FTW *)
{
	int r = type == FTW_DP ? rmdir(path) : unlink(path);
	if (r != 0)
		warn("cannot remove %s:", path);
	return 0;  // the rest still goes
}

// Today's date as 8 digits, and the date n days before a date.
static std::string day_before(const std::string &day, int n)
{
	long long a, b;
	arc_period(day.c_str(), 8, &a, &b);
	char s[FR_STAMP + 1];
	fr_time_stamp(a - (long long)n * 8640000, s);
	return std::string(s, 8);
}

// Whether the file system has less than the share free of bytes or of inodes, counting what
// the days already chosen will free.
static bool short_of_space(const Opts &o, const ArcSpace &sp, long long freed_bytes, long long freed_inodes)
{
	double b = 100.0 * ((double)sp.free_bytes + (double)freed_bytes) / (double)std::max(1ULL, sp.total_bytes);
	double i = sp.total_inodes ? 100.0 * ((double)sp.free_inodes + (double)freed_inodes) / (double)sp.total_inodes : 100;
	return b < o.min_free || i < o.min_free;
}

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	Opts o;
	static const struct option longs[] = {{"keep-days", required_argument, nullptr, 'k'},
					      {"min-free", required_argument, nullptr, 'f'}, {nullptr, 0, nullptr, 0}};
	opterr = 0;
	for (int c; (c = getopt_long(argc, argv, "+n", longs, nullptr)) != -1;) {
		if (c == 'n')
			o.dry = true;
		else if (c == 'k' && arg_int(optarg, &o.keep) && o.keep >= 0)
			continue;
		else if (!(c == 'f' && arg_positive(optarg, &o.min_free) && o.min_free <= 100))
			usage(USAGE);
	}
	if (argc - optind != 1 || (o.keep < 0 && o.min_free < 0))
		usage(USAGE);
	o.root = argv[optind];
	need_dir(o.root.c_str());
	int lock = o.dry ? -1 : pack_lock(o.root);
	if (lock < 0 && !o.dry)
		die("cannot lock %s/.arc-pack.lock:", o.root.c_str());

	char now[FR_STAMP + 1];
	arc_now(now);
	std::string today(now, 8), yesterday = day_before(today, 1);
	std::vector<std::string> days;
	std::string problem = arc_list(o.root, 8, days);
	if (!problem.empty())
		die("%s", problem.c_str());
	ArcSpace sp;
	if (const char *why = arc_space(o.root, sp))
		die("cannot measure the file system of %s: %s", o.root.c_str(), why);
	long long freed_bytes = 0, freed_inodes = 0;
	std::string cut = o.keep >= 0 ? day_before(today, o.keep) : "";
	for (const std::string &day : days) {  // oldest first
		if (day >= yesterday || !fr_time_ok(day.c_str(), 8))
			continue;
		bool old = o.keep >= 0 && day < cut;
		if (!old && !(o.min_free >= 0 && short_of_space(o, sp, freed_bytes, freed_inodes)))
			continue;
		std::string dir = o.root + "/" + day;
		struct stat st;
		if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
			warn("%s: not a directory; left alone", dir.c_str());
			o.status = 1;
			continue;
		}
		ArcUsage u;
		arc_day_usage(dir, u);
		if (o.dry) {
			printf("would remove %s (%lld frames, %lld bytes, %lld inodes)\n", dir.c_str(), u.frames, u.bytes, u.inodes);
		} else {
			nftw(dir.c_str(), rm_one, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
			if (lstat(dir.c_str(), &st) == 0) {
				warn("%s: could not be removed whole", dir.c_str());
				o.status = 1;
			} else
				warn("removed %s (%lld frames, %lld bytes, %lld inodes)", dir.c_str(), u.frames, u.bytes, u.inodes);
		}
		freed_bytes += u.bytes;
		freed_inodes += u.inodes;
	}
	if (o.min_free >= 0 && short_of_space(o, sp, freed_bytes, freed_inodes)) {
		warn("less than %g%% of %s's file system free even without the days it may remove", o.min_free, o.root.c_str());
		o.status = 1;
	}
	if (fflush(stdout) != 0)
		die("write error on standard output:");
	return o.status;
}
