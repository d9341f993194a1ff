// pipe-events [-t DB] [-m MHZ] [--json] [-x CMD] [-l SECONDS]: the bursts in a stream. Reads
// stream records from standard input, live or from the archive, feeds each frame to the
// detector (detect.h) and writes one line per event as soon as it is over: date, time span and
// kind first, as burst lists have them, or one JSON object per line. With -l a line also comes
// when an event starts; with -x a command runs for each event that ended (hook.h).
//
// Stamps are judged by the stream's running time (streamtime.h) before the detector sees them:
// one that is not a real time, an outlier, or one not after the last frame's (repeated or late)
// is skipped and said on standard error, so a bad record never moves the stream's time.
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <nlohmann/json.hpp>

#include "cli.h"
#include "detect.h"
#include "frame.h"
#include "hook.h"
#include "streamtime.h"

static const char USAGE[] = "usage: pipe-events [-t DB] [-m MHZ] [--json] [-x CMD] [-l SECONDS]";
static const char HELP[] =
	"Reads stream records from standard input and writes a line for each burst found in them.\n"
	"  -t DB       threshold above the background (default 3)\n"
	"  -m MHZ      least bandwidth of an event (default 2)\n"
	"  --json      one JSON object per line, keys kind start end peak f_lo f_hi peak_db drift id\n"
	"  -x CMD      run CMD (split at blanks, no shell) for each event, its fields in EVENT_*\n"
	"  -l SECONDS  also a line when an event has lasted SECONDS (within a few seconds of its start)\n"
	"Kinds: III (fast drift), II (slow drift), CONT (broadband, long), OTHER; SPIKE (interference\n"
	"of a frame or two) and FAULT (frames of 0 or 65535) are reported but are not events.\n";

static unsigned char buf[FR_HEADER], buf2[FR_PAYLOAD];

struct Opts {
	EvParams params;
	bool json = false, live = false;
	const char *cmd = nullptr;
};

struct Stamps {
	StreamTime time;
	SkipNote late{"stamps repeated or out of order"};
};

static Opts options(int argc, char **argv)
{
	Opts o;
	static const struct option longs[] = {{"json", no_argument, nullptr, 'j'}, {nullptr, 0, nullptr, 0}};
	opterr = 0;
	for (int c; (c = getopt_long(argc, argv, "t:m:x:l:", longs, nullptr)) != -1;) {
		if (c == 't' && arg_positive(optarg, &o.params.threshold))
			continue;
		if (c == 'm' && arg_positive(optarg, &o.params.min_mhz) && o.params.min_mhz <= 30)
			continue;
		if (c == 'l' && arg_positive(optarg, &o.params.sure) && o.params.sure >= 0.5 && o.params.sure <= 60) {
			o.live = true;
			continue;
		}
		if (c == 'x' && *optarg) {
			o.cmd = optarg;
			continue;
		}
		if (c == 'j') {
			o.json = true;
			continue;
		}
		usage(USAGE);
	}
	if (optind != argc)
		usage(USAGE);
	return o;
}

// The frame's time, or -1 if its stamp is skipped.
static long long take(Stamps &st, const unsigned char *stamp)
{
	long long t;
	StVerdict v = st.time.take(stamp, &t);
	if (v == ST_LATE)
		st.late.add(st_clock_ms());
	return v == ST_ACCEPT ? t : -1;
}

// v with the given decimals, as the nearest double to its decimal text (so JSON shows 22.4).
static double decimals(double v, int n)
{
	char s[64];
	snprintf(s, sizeof s, "%.*f", n, v);
	return strtod(s, nullptr);
}

static void write_line(const Opts &o, const EvEvent &ev)
{
	char a[17], b[17], c[17];
	fr_time_stamp(ev.start, a);
	fr_time_stamp(ev.end, b);
	fr_time_stamp(ev.peak, c);
	bool start = ev.state == EV_STARTED;
	if (o.json) {
		nlohmann::ordered_json j = {{"kind", ev_kind_name(ev.kind)}, {"start", a}, {"end", b}, {"peak", c},
					    {"f_lo", decimals(ev.f_lo, 3)}, {"f_hi", decimals(ev.f_hi, 3)},
					    {"peak_db", decimals(ev.peak_db, 1)}, {"drift", decimals(ev.drift, 3)},
					    {"id", ev.id}};
		if (o.live)
			j["state"] = start ? "start" : "end";
		printf("%s\n", j.dump().c_str());
	} else {
		char span[16] = "...";
		if (!start)
			snprintf(span, sizeof span, "%.2s:%.2s:%.2s", b + 8, b + 10, b + 12);
		printf("%.4s-%.2s-%.2s %.2s:%.2s:%.2s-%-8s %-5s %s%6.2f-%6.2f MHz  peak %.2s:%.2s:%.2s %5.1f dB  drift %7.2f MHz/s\n",
		       a, a + 4, a + 6, a + 8, a + 10, a + 12, span, ev_kind_name(ev.kind), start ? "start " : "",
		       ev.f_lo, ev.f_hi, c + 8, c + 10, c + 12, ev.peak_db, ev.drift);
	}
	if (fflush(stdout) != 0 || ferror(stdout))
		die("cannot write the events:");
}

static void report(const Opts &o, Hooks *hooks, const std::vector<EvEvent> &evs)
{
	for (const EvEvent &ev : evs) {
		if (ev.state == EV_STARTED && !o.live)
			continue;
		write_line(o, ev);
		bool event = ev.kind != EV_SPIKE && ev.kind != EV_FAULT;
		if (hooks && event && ev.state == EV_ENDED)
			hook_run(*hooks, ev);
	}
}

static void summary(Stamps &st, const EvCounts &n)
{
	st.time.finish();
	st.late.finish();
	if (n.faults)
		warn("%ld frames of a receiver fault (0 or 65535 across the band)", n.faults);
}

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	Opts o = options(argc, argv);
	static Hooks hooks;
	if (o.cmd && !hook_init(hooks, o.cmd))
		usage(USAGE);  // blanks only, or too long to be a command line
	Hooks *hk = o.cmd ? &hooks : nullptr;
	EvDetector det(o.params);
	Stamps st;
	fr_input(stdin);
	int r;
	while ((r = fr_read(stdin, buf, buf2)) == FR_READ) {
		long long t = take(st, buf);
		if (t >= 0)
			report(o, hk, det.feed(t, buf2));
		if (hk && hooks.nrunning)
			hook_reap(hooks, false);
	}
	if (r == FR_ERROR)
		die("cannot read the records:");
	report(o, hk, det.finish());
	if (hk)
		hook_reap(hooks, true);
	summary(st, det.counts());
	return 0;
}
