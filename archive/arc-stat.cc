// arc-stat [-p 10m|1h|1d] [-v] [--json] [--live] [--gaps SECONDS] ROOT|- [FROM [TO]]: is it all
// there? One row per period aligned to the clock, then a total: frames expected (two a second
// over the part of the period inside the range), present, missing, the longest gap, stamps off
// the half-second grid, broken files (-v), bytes. ROOT is walked as arc-cat reads it; "-" reads
// a record stream instead, and with --live also measures each stamp's offset from the host
// clock as it arrives.
//
// Frames come in stamp order; a cursor walks the half-second grid behind them, so missing
// slots are counted, never listed, and memory stays flat whatever the range (gaps for --gaps
// wait in a temporary file until the table is out).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <getopt.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "cli.h"
#include "frame.h"
#include "health.h"
#include "reader.h"

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
	"                  days left; exit status 0 more than 30 days, 1 up to 30, 2 under 7\n";

static long long period = 360000;  // hundredths
static int prefix = 10;            // digits naming a period
static bool verify, json, live;
static double gap_min = -1;
static FILE *gaps;  // gaps waiting for the end of the table
static int status;

// The stamp of a time in hundredths.
static std::string stamp_of(long long t)
{
	char s[17];
	fr_time_stamp(t, s);
	return s;
}

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

static Row row, total;
static long long lo, hi;        // the range, [lo, hi), hundredths
static long long cursor = -1;   // the next half second not yet accounted for
static long long run = -1;      // the first slot of the missing run in progress, or -1

static double percentile(std::vector<double> &v, double q)
{
	size_t k = (size_t)(q * (double)(v.size() - 1) + 0.5);
	std::nth_element(v.begin(), v.begin() + (long)k, v.end());
	return v[k];
}

static void print(Row &r, bool is_total)
{
	std::string name = is_total ? "total" : stamp_of(r.start).substr(0, (size_t)prefix);
	std::string gs = r.gap_len ? stamp_of(r.gap_start) : "";
	double pct = r.expected ? 100.0 * (double)r.missing / (double)r.expected : 0;
	std::string off;
	if (live && !r.offsets.empty()) {
		char b[64];
		double med = percentile(r.offsets, 0.5), spread = percentile(r.offsets, 0.95) - percentile(r.offsets, 0.05);
		snprintf(b, sizeof b, json ? ",\"offset_ms\":%.1f,\"offset_spread_ms\":%.1f" : " %10.1f %10.1f", med, spread);
		off = b;
	} else if (live)
		off = json ? ",\"offset_ms\":null,\"offset_spread_ms\":null" : "          -          -";
	if (json) {
		char b[512];
		snprintf(b, sizeof b,
			 "{\"period\":\"%s\",\"expected\":%lld,\"present\":%lld,\"missing\":%lld,\"off_grid\":%lld,"
			 "\"broken\":%s,\"bytes\":%lld,\"longest_gap_start\":%s,\"longest_gap_s\":%g%s}\n",
			 name.c_str(), r.expected, r.present, r.missing, r.off_grid,
			 verify ? std::to_string(r.broken).c_str() : "null", r.bytes,
			 r.gap_len ? ("\"" + gs + "\"").c_str() : "null", (double)r.gap_len * 0.5, off.c_str());
		fputs(b, stdout);
	} else
		printf("%-11s %9lld %9lld %9lld %7.2f  %-16s %9.1f %8lld %7s %13lld%s\n", name.c_str(), r.expected,
		       r.present, r.missing, pct, r.gap_len ? gs.c_str() : "-", (double)r.gap_len * 0.5, r.off_grid,
		       verify ? std::to_string(r.broken).c_str() : "-", r.bytes, off.c_str());
}

static void header()
{
	if (!json)
		printf("%-11s %9s %9s %9s %7s  %-16s %9s %8s %7s %13s%s\n", "period", "expected", "present", "missing",
		       "%", "longest gap", "gap s", "off-grid", "broken", "bytes", live ? "  offset ms  spread ms" : "");
}

// The slots [a, b) of the grid within the range: how many.
static long long slots(long long a, long long b)
{
	a = std::max(a, lo);
	b = std::min(b, hi);
	if (b <= a)
		return 0;
	return (b + 49) / 50 - (a + 49) / 50;
}

// A missing run ends at slot e (exclusive): into this period's row (from its start, at most),
// the total, and the list of gaps.
static void end_run(long long e)
{
	if (run < 0)
		return;
	long long n = (e - run) / 50;
	total.gap(run, n);
	long long from = std::max(run, row.start);
	row.gap(from, (e - from) / 50);
	if (gaps && gap_min >= 0 && (double)n * 0.5 >= gap_min)
		fprintf(gaps, "%s %s %lld\n", stamp_of(run).c_str(), e >= hi ? "-" : stamp_of(e).c_str(), n);
	run = -1;
}

// Closes the period being filled and opens the next.
static void next_period()
{
	long long e = row.start + period;
	if (run >= 0) {  // the run goes on; this period has its part
		long long from = std::max(run, row.start);
		row.gap(from, (e - from) / 50);
	}
	row.expected = slots(row.start, e);
	print(row, false);
	total.expected += row.expected;
	Row next;
	next.start = e;
	row = next;
}

// Walks the cursor up to t (exclusive): the slots passed over are missing.
static void advance(long long t)
{
	t = std::min(t, hi);
	while (cursor < t) {
		long long e = std::min(t, row.start + period);
		long long n = slots(cursor, e);
		if (n > 0 && run < 0)
			run = std::max(cursor, lo) + (50 - std::max(cursor, lo) % 50) % 50;
		row.missing += n;
		total.missing += n;
		cursor = e;
		if (cursor == row.start + period && cursor < hi)
			next_period();
	}
}

static void begin(long long from)
{
	lo = from;
	cursor = from - from % 50;
	row.start = from - from % period;
}

// One frame: its time, size, whether it is present (a broken file that is not present
// leaves its slot missing) and whether it is broken.
static void frame(long long t, long long bytes, bool present, bool broken, double offset)
{
	if (cursor < 0)
		begin(t);
	if (t < lo || t >= hi)
		return;
	long long s = t - t % 50;
	if (s >= cursor) {
		advance(s);
		if (present) {
			end_run(s);
			cursor = s + 50;
		}
	}
	for (Row *r : {&row, &total}) {
		r->present += present;
		r->off_grid += present && t % 50 != 0;
		r->broken += broken;
		r->bytes += bytes;
	}
	if (live)  // per period only: the total's would grow with the input
		row.offsets.push_back(offset);
	if (cursor >= row.start + period && cursor < hi)
		next_period();
}

static void finish(long long end)
{
	if (cursor < 0) {  // nothing at all
		print(total, true);
		return;
	}
	hi = std::min(hi, end);
	advance(hi);
	end_run(hi);
	row.expected = slots(row.start, row.start + period);
	print(row, false);
	total.expected += row.expected;
	print(total, true);
}

// The host clock now, read as stamps are (local time, fields as they are), in ms.
static double host_ms()
{
	return (double)arc_clock_us() / 1000;
}

static void from_archive(const char *root, const ArcRange &r)
{
	ArcBatch batch(root, r, verify);
	ArcItem *items;
	while (size_t n = batch.next(items))
		for (size_t i = 0; i < n; i++) {
			ArcItem &it = items[i];
			if (!it.problem.empty()) {
				warn("%s", it.problem.c_str());
				status = 1;
				continue;
			}
			bool broken = !it.why.empty();
			if (broken) {
				warn("%s: %s", it.e.path.c_str(), it.why.c_str());
				status = 1;
			}
			frame(it.e.t, it.e.bytes, it.e.present(), broken, 0);
		}
	warn_skipped(batch.skipped(), STAMPS_NOT_TIMES);
}

static void from_stream(const ArcRange &r)
{
	static unsigned char h[FR_HEADER], pay[FR_PAYLOAD];
	long bad = 0;
	long long last = ARC_ALL;
	fr_input(stdin);
	for (int st; (st = fr_read(stdin, h, pay)) != FR_END;) {
		if (st == FR_ERROR)
			die("read error on standard input:");
		double arrived = live ? host_ms() : 0;
		long long t;
		if (!fr_stamp_time(h, &t)) {
			bad++;
			continue;
		}
		if (r.has(t) && t != last)  // a stamp repeated is one frame
			frame(t, FR_RECORD, true, false, (double)t * 10 - arrived);
		last = t;
	}
	warn_skipped(bad, STAMPS_NOT_TIMES);
}

// --health: the report on standard output, its status as the exit status.
static int health_report(const char *root, int left, bool table)
{
	if (left != 1 || table)
		usage(USAGE);
	need_dir(root);
	ArcHealth h;
	const char *why = arc_health(root, h);
	if (why && h.days == 0 && h.space.total_bytes == 0)
		die("%s", why);
	if (why)
		warn("%s", why);
	fputs((json ? arc_health_json(h) : arc_health_text(h)).c_str(), stdout);
	if (fflush(stdout) != 0)
		die("write error on standard output:");
	return why && h.status == 0 ? 1 : h.status;
}

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	static const struct option longs[] = {{"json", no_argument, nullptr, 'j'}, {"live", no_argument, nullptr, 'l'},
					      {"gaps", required_argument, nullptr, 'g'}, {"health", no_argument, nullptr, 'H'},
					      {nullptr, 0, nullptr, 0}};
	bool health = false, table = false;  // --health, and options of the table
	opterr = 0;
	for (int c; (c = getopt_long(argc, argv, "p:v", longs, nullptr)) != -1;) {
		table |= c != 'j' && c != 'H';
		if (c == 'H')
			health = true;
		else if (c == 'p' && !strcmp(optarg, "10m"))
			period = 60000, prefix = 11;
		else if (c == 'p' && !strcmp(optarg, "1h"))
			period = 360000, prefix = 10;
		else if (c == 'p' && !strcmp(optarg, "1d"))
			period = 8640000, prefix = 8;
		else if (c == 'v' || c == 'j' || c == 'l')
			(c == 'v' ? verify : c == 'j' ? json : live) = true;
		else if (!(c == 'g' && arg_positive(optarg, &gap_min)))
			usage(USAGE);
	}
	int left = argc - optind;
	ArcRange r;
	if (left < 1 || left > 3 ||
	    !arc_range(left > 1 ? argv[optind + 1] : nullptr, left > 2 ? argv[optind + 2] : nullptr, &r))
		usage(USAGE);
	const char *root = argv[optind];
	if (health)
		return health_report(root, left, table);
	bool stream = !strcmp(root, "-");
	if (live && !stream)
		usage(USAGE);
	if (!stream)
		need_dir(root);
	if (gap_min >= 0 && !(gaps = tmpfile()))
		die("cannot make a temporary file:");

	// An explicit range counts from its start; otherwise from the first frame present.
	hi = r.end;
	if (left > 1)
		begin(r.start);
	header();
	if (stream)
		from_stream(r);
	else
		from_archive(root, r);
	// Without an end, the range ends after the last frame present.
	finish(r.open() ? (total.present ? cursor : lo) : hi);
	if (gaps) {
		rewind(gaps);
		if (!json)
			printf("\n%-16s  %-16s %9s\n", "gap from", "next present", "missing");
		char a[20], b[20];
		long long n;
		while (fscanf(gaps, "%19s %19s %lld", a, b, &n) == 3) {
			if (json)
				printf("{\"gap_start\":\"%s\",\"next_present\":%s,\"missing\":%lld}\n", a,
				       strcmp(b, "-") ? ("\"" + std::string(b) + "\"").c_str() : "null", n);
			else
				printf("%-16s  %-16s %9lld\n", a, b, n);
		}
	}
	if (fflush(stdout) != 0)
		die("write error on standard output:");
	return status;
}
