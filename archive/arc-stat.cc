// arc-stat [-p 10m|1h|1d] [-v] [--json] [--live] [--gaps SECONDS] ROOT|- [FROM [TO]]: is it all
// there? One row per period aligned to the clock, then a total: frames expected (two a second
// over the part of the period inside the range), present, missing, the longest gap, stamps off
// the half-second grid, broken files (-v), bytes. ROOT is walked as arc-cat reads it; "-" reads
// a record stream instead, and with --live also measures each stamp's offset from the host
// clock as it arrives.
//
// Frames come in stamp order; a cursor walks the half-second grid behind them, so missing
// slots are counted, never listed, and memory stays flat whatever the range (gaps for --gaps
// wait in a temporary file until the table is out). All of it lives in one Stat, passed down.
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

struct Row {
	long long start = 0, expected = 0, present = 0, missing = 0, off_grid = 0, broken = 0, bytes = 0;
	long long gap_start = -1, gap_len = 0;  // the longest gap: its first slot, and its slots
	std::vector<double> offsets;            // --live: stamp minus host clock, ms
	void gap(long long s, long long n)
	{
		if (n > gap_len)
			gap_start = s, gap_len = n;
	}
};

// The count in progress: the range, the cursor on the grid, the row being filled and the total.
struct Stat {
	Opts o;
	long long lo = ARC_ALL, hi = ARC_OPEN;  // the range, [lo, hi), hundredths
	long long cursor = -1;                  // the next half second not yet accounted for
	long long run = -1;                     // the first slot of the missing run in progress, or -1
	bool begun = false;
	Row row, total;
	FILE *gaps = nullptr;  // gaps waiting for the end of the table
	int status = 0;
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

static void print(const Stat &s, Row &r, bool is_total)
{
	const Opts &o = s.o;
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

// The slots [a, b) of the grid within the range: how many.
static long long slots(const Stat &s, long long a, long long b)
{
	a = std::max(a, s.lo);
	b = std::min(b, s.hi);
	if (b <= a)
		return 0;
	return (b + 49) / 50 - (a + 49) / 50;
}

// A missing run ends at slot e (exclusive): into this period's row (from its start, at most),
// the total, and the list of gaps.
static void end_run(Stat &s, long long e)
{
	if (s.run < 0)
		return;
	long long n = (e - s.run) / 50;
	s.total.gap(s.run, n);
	long long from = std::max(s.run, s.row.start);
	s.row.gap(from, (e - from) / 50);
	if (s.gaps && s.o.gap_min >= 0 && (double)n * 0.5 >= s.o.gap_min)
		fprintf(s.gaps, "%s %s %lld\n", stamp_of(s.run).c_str(), e >= s.hi ? "-" : stamp_of(e).c_str(), n);
	s.run = -1;
}

// Closes the period being filled and opens the next.
static void next_period(Stat &s)
{
	long long e = s.row.start + s.o.period;
	if (s.run >= 0) {  // the run goes on; this period has its part
		long long from = std::max(s.run, s.row.start);
		s.row.gap(from, (e - from) / 50);
	}
	s.row.expected = slots(s, s.row.start, e);
	print(s, s.row, false);
	s.total.expected += s.row.expected;
	s.row = Row();
	s.row.start = e;
}

// Walks the cursor up to t (exclusive): the slots passed over are missing. A period is closed
// only when the cursor moves past its end, so the last frame's period is the last row.
static void advance(Stat &s, long long t)
{
	t = std::min(t, s.hi);
	while (s.cursor < t) {
		if (s.cursor == s.row.start + s.o.period) {
			next_period(s);
			continue;
		}
		long long e = std::min(t, s.row.start + s.o.period);
		long long n = slots(s, s.cursor, e);
		if (n > 0 && s.run < 0)
			s.run = std::max(s.cursor, s.lo) + (50 - std::max(s.cursor, s.lo) % 50) % 50;
		s.row.missing += n;
		s.total.missing += n;
		s.cursor = e;
	}
}

static void begin(Stat &s, long long from)
{
	s.begun = true;
	s.lo = from;
	s.cursor = from - ((from % 50) + 50) % 50;
	s.row.start = from - ((from % s.o.period) + s.o.period) % s.o.period;
}

// One frame: its time, size, whether it is present (a file that is not leaves its slot
// missing) and whether it is broken; offset, its --live offset.
static void frame(Stat &s, long long t, long long bytes, bool present, bool broken, double offset)
{
	if (!s.begun)
		begin(s, t);
	if (t < s.lo || t >= s.hi)
		return;
	long long slot = t - ((t % 50) + 50) % 50;
	if (slot >= s.cursor) {
		advance(s, slot);
		if (s.cursor == s.row.start + s.o.period)  // the frame opens the next period
			next_period(s);
		if (present) {
			end_run(s, slot);
			s.cursor = slot + 50;
		}
	}
	for (Row *r : {&s.row, &s.total}) {
		r->present += present;
		r->off_grid += present && t != slot;
		r->broken += broken;
		r->bytes += bytes;
	}
	if (s.o.live && present)  // per period only: the total's would grow with the input
		s.row.offsets.push_back(offset);
}

static void finish(Stat &s, long long end)
{
	if (!s.begun) {  // nothing at all
		print(s, s.total, true);
		return;
	}
	s.hi = std::min(s.hi, end);
	advance(s, s.hi);
	end_run(s, s.hi);
	s.row.expected = slots(s, s.row.start, s.row.start + s.o.period);
	print(s, s.row, false);
	s.total.expected += s.row.expected;
	print(s, s.total, true);
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
			frame(s, it.e.t, it.e.bytes, it.e.present(), broken, 0);
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
		if (r.has(t))
			frame(s, t, FR_RECORD, true, false, (double)t * 10 - arrived);
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
	Stat s;
	Opts &o = s.o;
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
	if (o.gap_min >= 0 && !(s.gaps = tmpfile()))
		die("cannot make a temporary file:");

	// An explicit range counts from its start; otherwise from the first frame present.
	s.hi = r.end;
	if (left > 1)
		begin(s, r.start);
	header(o);
	if (stream)
		from_stream(s, r);
	else
		from_archive(s, root, r);
	// Without an end, the range ends after the last frame present.
	finish(s, r.open() ? (s.total.present ? s.cursor : s.lo) : s.hi);
	if (s.gaps)
		gap_list(s);
	if (fflush(stdout) != 0)
		die("write error on standard output:");
	return s.status;
}
