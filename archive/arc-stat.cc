// arc-stat [-p 10m|1h|1d] [-v] [--json] [--live] [--gaps SECONDS] ROOT|- [FROM [TO]]: is it all
// there? One row per period aligned to the clock, then a total: frames expected (two a second
// over the part of the period inside the range), present, missing, the longest gap, stamps off
// the half-second grid, broken files (-v), bytes. ROOT is walked as arc-cat reads it; "-" reads
// a record stream instead, and with --live also measures each stamp's offset from the host
// clock as it arrives.
//
// Frames come in stamp order; the tally (tally.h, shared with pipe-web's day summaries) walks the
// half-second grid behind them, so missing slots are counted, never listed, and memory stays flat
// whatever the range (gaps for --gaps wait in a temporary file until the table is out). All of
// it lives in one Stat, passed down.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli.h"
#include "frame.h"
#include "health.h"
#include "progress.h"
#include "reader.h"
#include "stats.h"
#include "streamtime.h"
#include "tally.h"

static const char USAGE[] =
	"usage: arc-stat [-p 10m|1h|1d] [-v] [--json] [--live] [--gaps SECONDS] ROOT|- [FROM [TO]]"
	" | arc-stat --health [--json] ROOT";
static const char HELP[] =
	"Reports, per period, how complete the archive ROOT (or the record stream on standard input,\n"
	"for -) is over a range; FROM and TO as arc-cat takes them.\n"
	"  -p PERIOD       10m, 1h (default) or 1d\n"
	"  -v              inflate every file; count and name the broken ones\n"
	"  --json          one JSON object per line instead of a table\n"
	"  --live          with -: each stamp's offset from the host clock on arrival\n"
	"  --gaps SECONDS  after the table, every gap at least that long\n"
	"  --health        instead, the disk's health: bytes and inodes a day, free bytes and inodes,\n"
	"                  days left; exit status 0 more than 30 days, 1 up to 30, 2 under 7,\n"
	"                  3 when the disk could not be measured\n";

using Json = nlohmann::ordered_json;  // keys in the order written

struct Opts {
	long long period = 360000;  // hundredths
	int prefix = 10;            // digits naming a period
	bool verify = false, json = false, live = false;
	double gap_min = -1;
};

// The count in progress: the tally of the range, and what the report needs beside it.
struct Stat {
	Opts o;
	ArcTally tally;
	FILE *gaps = nullptr;  // gaps waiting for the end of the table
	int status = 0;
	Stat(const Opts &opts, long long hi);
};

// The stamp of a time in hundredths.
static std::string stamp_of(long long t)
{
	char s[17];
	fr_time_stamp(t, s);
	return s;
}

// Half-second counts as JSON numbers: whole ones without a fraction.
static Json seconds(long long slots)
{
	return slots % 2 ? Json((double)slots * 0.5) : Json(slots / 2);
}

static Json tenths(double v)
{
	return std::round(v * 10) / 10;
}

static void print(const Opts &o, TallyRow &r, bool is_total)
{
	std::string name = is_total ? "total" : stamp_of(r.start).substr(0, (size_t)o.prefix);
	std::string gs = r.gap_len ? stamp_of(r.gap_start) : "";
	double med = 0, spread = 0;
	bool offsets = o.live && !r.offsets.empty();
	if (offsets) {
		med = fr_percentile(r.offsets, 0.5);
		spread = fr_percentile(r.offsets, 0.95) - fr_percentile(r.offsets, 0.05);
	}
	if (o.json) {
		Json j;
		j["period"] = name;
		j["expected"] = r.expected;
		j["present"] = r.present;
		j["missing"] = r.missing;
		j["off_grid"] = r.off_grid;
		j["broken"] = o.verify ? Json(r.broken) : Json(nullptr);
		j["bytes"] = r.bytes;
		j["longest_gap_start"] = r.gap_len ? Json(gs) : Json(nullptr);
		j["longest_gap_s"] = seconds(r.gap_len);
		if (o.live) {
			j["offset_ms"] = offsets ? tenths(med) : Json(nullptr);
			j["offset_spread_ms"] = offsets ? tenths(spread) : Json(nullptr);
		}
		printf("%s\n", j.dump().c_str());
		return;
	}
	char off[64] = "";
	if (offsets)
		snprintf(off, sizeof off, " %10.1f %10.1f", med, spread);
	else if (o.live)
		snprintf(off, sizeof off, "          -          -");
	double pct = r.expected ? 100.0 * (double)r.missing / (double)r.expected : 0;
	printf("%-11s %9lld %9lld %9lld %7.2f  %-16s %9.1f %8lld %7s %13lld%s\n", name.c_str(), r.expected, r.present,
	       r.missing, pct, r.gap_len ? gs.c_str() : "-", (double)r.gap_len * 0.5, r.off_grid,
	       o.verify ? std::to_string(r.broken).c_str() : "-", r.bytes, off);
}

static void header(const Opts &o)
{
	if (!o.json)
		printf("%-11s %9s %9s %9s %7s  %-16s %9s %8s %7s %13s%s\n", "period", "expected", "present", "missing",
		       "%", "longest gap", "gap s", "off-grid", "broken", "bytes", o.live ? "  offset ms  spread ms" : "");
}

Stat::Stat(const Opts &opts, long long hi)
	: o(opts), tally(
			   opts.period, ARC_ALL, hi, [this](TallyRow &r, bool total) { print(o, r, total); },
			   [this](long long start, long long end, long long n, bool to_end) {
				   if (gaps && o.gap_min >= 0 && (double)n * 0.5 >= o.gap_min)
					   fprintf(gaps, "%s %s %lld\n", stamp_of(start).c_str(),
						   to_end ? "-" : stamp_of(end).c_str(), n);
			   })
{
}

// The frames of the archive: a file that is not a frame present is named (broken) even
// without -v; with -v, one that does not inflate too.
//
// Without an end, the range ends at arc_horizon: a frame stamped later (one stray file stamped
// 2099) is not of this archive's time yet, so it is skipped and said, and the report does not
// run on to that year.
static void from_archive(Stat &s, const char *root, const ArcRange &r)
{
	ArcBatch batch(root, r, s.o.verify);
	ArcItem *items;
	long long ahead = r.open() ? arc_horizon() : ARC_OPEN;
	long future = 0;
	Progress pr(arc_days_in(root, r), "days");
	while (size_t n = batch.next(items))
		for (size_t i = 0; i < n; i++) {
			ArcItem &it = items[i];
			progress_at(pr, it.e.stamp.substr(0, 8));
			if (!it.problem.empty()) {
				warn("%s", it.problem.c_str());
				s.status = 1;
				continue;
			}
			if (it.e.t > ahead) {
				future++;
				continue;
			}
			bool broken = !it.why.empty();
			if (broken) {
				warn("%s: %s", it.e.where().c_str(), it.why.c_str());
				s.status = 1;
			}
			s.tally.frame(it.e.t, it.e.bytes, it.e.present(), broken);
		}
	progress_end(pr);
	warn_skipped(batch.skipped(), STAMPS_NOT_TIMES);
	warn_skipped(future, STAMPS_AHEAD);
}

// Whether a stamp is within w of the host's clock now (local time, as stamped).
static bool near_host(long long t, long long w)
{
	long long now = arc_clock_us() / 10000;
	return t >= now - w && t <= now + w;
}

static void from_stream(Stat &s, const ArcRange &r)
{
	static unsigned char h[FR_HEADER], pay[FR_PAYLOAD];
	long bad = 0;
	long long last = ARC_ALL;  // the last stamp counted
	StreamTime clock;          // a stamp far from the stream's time (2099) is an outlier
	SkipNote late{"stamps before one already counted"};
	fr_input(stdin);
	for (int st; (st = fr_read(stdin, h, pay)) != FR_END;) {
		if (st == FR_ERROR)
			die("read error on standard input:");
		double arrived = s.o.live ? (double)arc_clock_us() / 1000 : 0;
		long long t;
		if (!fr_stamp_time(h, &t)) {
			bad++;
			continue;
		}
		if (near_host(t, clock.window))
			clock.now = std::max(clock.now, t);  // live: the host's clock vouches for it
		else if (clock.judge(t) == ST_OUTLIER)
			continue;
		if (last != ARC_ALL && t <= last) {  // a stamp repeated is one frame; an earlier one is late
			if (t < last)
				late.add(st_clock_ms());
			continue;
		}
		last = t;
		if (r.has(t) && s.tally.frame(t, FR_RECORD, true, false) && s.o.live)
			s.tally.row().offsets.push_back((double)t * 10 - arrived);  // per period only
	}
	clock.finish();
	late.finish();
	warn_skipped(bad, STAMPS_NOT_TIMES);
}

// After the table, the gaps kept for it.
static void gap_list(Stat &s)
{
	rewind(s.gaps);
	if (!s.o.json)
		printf("\n%-16s  %-16s %9s\n", "gap from", "next present", "missing");
	char a[20], b[20];
	long long n;
	while (fscanf(s.gaps, "%19s %19s %lld", a, b, &n) == 3) {
		if (s.o.json) {
			Json j;
			j["gap_start"] = a;
			j["next_present"] = strcmp(b, "-") ? Json(b) : Json(nullptr);
			j["missing"] = n;
			printf("%s\n", j.dump().c_str());
		} else
			printf("%-16s  %-16s %9lld\n", a, b, n);
	}
}

// --health: the report on standard output, its status as the exit status (3, UNKNOWN, when
// ROOT or a day could not be measured: said on standard error too).
static int health_report(const char *root, int left, bool table, bool json)
{
	if (left != 1 || table)
		usage(USAGE);
	ArcHealth h;
	arc_health(root, h);
	if (!h.error.empty())
		warn("%s", h.error.c_str());
	if (h.ahead > 0)
		warn("%d %s skipped: named more than 75 minutes ahead of the host's clock", h.ahead,
		     h.ahead == 1 ? "day" : "days");
	fputs((json ? arc_health_json(h) : arc_health_text(h)).c_str(), stdout);
	if (fflush(stdout) != 0)
		die("write error on standard output:");
	return h.status;
}

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	static const struct option longs[] = {{"json", no_argument, nullptr, 'j'}, {"live", no_argument, nullptr, 'l'},
					      {"gaps", required_argument, nullptr, 'g'}, {"health", no_argument, nullptr, 'H'},
					      {nullptr, 0, nullptr, 0}};
	Opts o;
	bool health = false, table = false;  // --health, and options of the table
	opterr = 0;
	for (int c; (c = getopt_long(argc, argv, "p:v", longs, nullptr)) != -1;) {
		table |= c != 'j' && c != 'H';
		if (c == 'H')
			health = true;
		else if (c == 'p' && !strcmp(optarg, "10m"))
			o.period = 60000, o.prefix = 11;
		else if (c == 'p' && !strcmp(optarg, "1h"))
			o.period = 360000, o.prefix = 10;
		else if (c == 'p' && !strcmp(optarg, "1d"))
			o.period = 8640000, o.prefix = 8;
		else if (c == 'v' || c == 'j' || c == 'l')
			(c == 'v' ? o.verify : c == 'j' ? o.json : o.live) = true;
		else if (!(c == 'g' && arg_positive(optarg, &o.gap_min)))
			usage(USAGE);
	}
	int left = argc - optind;
	ArcRange r;
	if (left < 1)
		usage(USAGE);
	arc_range_args(USAGE, left - 1, argv + optind + 1, &r);
	const char *root = argv[optind];
	if (health)
		return health_report(root, left, table, o.json);
	bool stream = !strcmp(root, "-");
	if (o.live && !stream)
		usage(USAGE);
	if (!stream)
		need_dir(root);
	Stat s(o, r.end);
	if (o.gap_min >= 0 && !(s.gaps = tmpfile()))
		die("cannot make a temporary file:");

	// An explicit range counts from its start; otherwise from the first frame present.
	if (left > 1)
		s.tally.begin(r.start);
	header(o);
	if (stream)
		from_stream(s, r);
	else
		from_archive(s, root, r);
	// Without an end, the range ends after the last frame present.
	s.tally.finish(r.open() ? (s.tally.total().present ? s.tally.cursor() : s.tally.lo()) : r.end);
	if (s.gaps)
		gap_list(s);
	if (fflush(stdout) != 0)
		die("write error on standard output:");
	return s.status;
}
