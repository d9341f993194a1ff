// arc-prune [-n] [--keep-days N] [--min-free PERCENT] ROOT: retires whole days of the archive,
// oldest first. With --keep-days every day more than N days before today (host clock); with
// --min-free, days until that share of the file system's bytes and of its inodes is free;
// with both, both. Never today or yesterday (nor a day after them), never anything but a day
// directory of ROOT (8 digits of a real date, a directory and not a link), and the removal
// never follows a link or leaves the file system. Each removal is logged on standard error;
// -n lists what would go on standard output and removes nothing. ROOT's lock (arc-pack's) is
// held throughout, so a day is never pruned while it is being packed.
//
// main lists the days and hands each to prune_day, which measures it (a day it cannot measure
// is named and left alone), decides, and removes it; everything lives in one Prune.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fts.h>
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

struct Prune {
	std::string root;
	bool dry = false;
	int keep = -1;         // days, or -1
	double min_free = -1;  // percent, or -1
	std::string yesterday, cut;  // days from yesterday on stay; with --keep-days, days before cut go
	ArcSpace space;
	long long freed_bytes = 0, freed_inodes = 0;  // by the days removed (or, with -n, chosen)
	int status = 0;
};

static void options(int argc, char **argv, Prune &p)
{
	static const struct option longs[] = {{"keep-days", required_argument, nullptr, 'k'},
					      {"min-free", required_argument, nullptr, 'f'}, {nullptr, 0, nullptr, 0}};
	opterr = 0;
	for (int c; (c = getopt_long(argc, argv, "+n", longs, nullptr)) != -1;) {
		if (c == 'n')
			p.dry = true;
		else if (c == 'k' && arg_int(optarg, &p.keep) && p.keep >= 0)
			continue;
		else if (!(c == 'f' && arg_positive(optarg, &p.min_free) && p.min_free <= 100))
			usage(USAGE);
	}
	if (argc - optind != 1 || (p.keep < 0 && p.min_free < 0))
		usage(USAGE);
	p.root = argv[optind];
}

// The date n days before a date, both as 8 digits.
static std::string day_before(const std::string &day, int n)
{
	long long a, b;
	if (!arc_period(day.c_str(), 8, &a, &b))
		die("%s: not a date", day.c_str());
	char s[FR_STAMP + 1];
	fr_time_stamp(a - (long long)n * 8640000, s);
	return std::string(s, 8);
}

// Whether the file system has less than the share free of bytes or of inodes, counting what
// the days already chosen will free.
static bool short_of_space(const Prune &p)
{
	const ArcSpace &sp = p.space;
	double b = 100.0 * ((double)sp.free_bytes + (double)p.freed_bytes) / (double)std::max(1ULL, sp.total_bytes);
	double i = sp.total_inodes ? 100.0 * ((double)sp.free_inodes + (double)p.freed_inodes) / (double)sp.total_inodes
				   : 100;
	return b < p.min_free || i < p.min_free;
}

// "1 frame", "2 frames".
static std::string count(long long n, const char *one)
{
	return std::to_string(n) + " " + one + (n == 1 ? "" : "s");
}

// Removes dir and everything in it, depth first, never following a link or leaving the file
// system. Returns "" or the first thing that would not go, and why.
static std::string remove_tree(const std::string &dir)
{
	std::string path = dir, problem;
	char *paths[] = {path.data(), nullptr};
	FTS *fts = fts_open(paths, FTS_PHYSICAL | FTS_XDEV | FTS_NOCHDIR, nullptr);
	if (!fts)
		return dir + ": " + strerror(errno);
	errno = 0;
	while (FTSENT *e = fts_read(fts)) {
		int info = e->fts_info, r = 0;
		if (info == FTS_DNR || info == FTS_ERR || info == FTS_NS)
			r = -1, errno = e->fts_errno;
		else if (info == FTS_DP)
			r = rmdir(e->fts_accpath);
		else if (info != FTS_D)
			r = unlink(e->fts_accpath);
		if (r != 0 && problem.empty())
			problem = std::string(e->fts_path) + ": " + strerror(errno);
		errno = 0;
	}
	if (errno != 0 && problem.empty())
		problem = dir + ": " + strerror(errno);
	fts_close(fts);
	return problem;
}

// One day of ROOT, oldest first: whether it goes, and then its removal (or, with -n, its line).
static void prune_day(Prune &p, const std::string &day)
{
	if (day >= p.yesterday || !fr_time_ok(day.c_str(), 8))
		return;
	bool old = p.keep >= 0 && day < p.cut;
	if (!old && !(p.min_free >= 0 && short_of_space(p)))
		return;
	std::string dir = p.root + "/" + day;
	struct stat st;
	if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
		warn("%s: not a directory; left alone", dir.c_str());
		p.status = 1;
		return;
	}
	ArcUsage u;
	std::string problem = arc_day_usage(dir, u);
	if (!problem.empty()) {
		warn("%s: cannot be measured (%s); left alone", dir.c_str(), problem.c_str());
		p.status = 1;
		return;
	}
	std::string what = count(u.frames, "frame") + ", " + count(u.bytes, "byte") + ", " + count(u.inodes, "inode");
	if (p.dry)
		printf("would remove %s (%s)\n", dir.c_str(), what.c_str());
	else if (!(problem = remove_tree(dir)).empty()) {
		warn("%s: could not be removed whole: %s", dir.c_str(), problem.c_str());
		p.status = 1;
		return;  // what it freed is not known
	} else
		warn("removed %s (%s)", dir.c_str(), what.c_str());
	p.freed_bytes += u.bytes;
	p.freed_inodes += u.inodes;
}

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	Prune p;
	options(argc, argv, p);
	need_dir(p.root.c_str());
	if (!p.dry && pack_lock(p.root) < 0)  // held until the end
		die("cannot lock %s/.arc-pack.lock:", p.root.c_str());
	char now[FR_STAMP + 1];
	arc_now(now);
	p.yesterday = day_before(std::string(now, 8), 1);
	p.cut = p.keep >= 0 ? day_before(std::string(now, 8), p.keep) : "";
	std::vector<std::string> days;
	std::string problem = arc_list(p.root, 8, days);
	if (!problem.empty())
		die("%s", problem.c_str());
	if (const char *why = arc_space(p.root, p.space))
		die("cannot measure the file system of %s: %s", p.root.c_str(), why);
	for (const std::string &day : days)  // oldest first
		prune_day(p, day);
	if (p.min_free >= 0 && short_of_space(p)) {
		warn("less than %g%% of %s's file system free even without the days it may remove", p.min_free,
		     p.root.c_str());
		p.status = 1;
	}
	if (fflush(stdout) != 0)
		die("write error on standard output:");
	return p.status;
}
