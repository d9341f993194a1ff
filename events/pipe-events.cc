// pipe-events [-t DB] [-m MHZ] [--json | --list [-n NAME]] [-a] [-x CMD] [-l SECONDS]: the
// bursts in a stream. Reads stream records from standard input, live or from the archive,
// feeds each frame to the detector (detect.h) and writes one line per event as soon as it is
// over: date, time span and kind first, as burst lists have them, or one JSON object per line,
// or the network's burst-list form, where bursts of one kind less than a minute apart make one
// line. With -l a line also comes when an event starts; with -x a command runs for each burst
// that ended (hook.h); with -a interference (CARRIER, SOUNDER) is listed too, never as a burst.
//
// Stamps are judged by the stream's running time (streamtime.h) before the detector sees them:
// one that is not a real time, an outlier, or one not after the last frame's (repeated or late)
// is skipped and said on standard error, so a bad record never moves the stream's time.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <map>
#include <set>
#include <string>
#include <unistd.h>

#include "cli.h"
#include "detect.h"
#include "event_format.h"
#include "frame.h"
#include "hook.h"
#include "streamtime.h"

static const char USAGE[] =
	"usage: pipe-events [-t DB] [-m MHZ] [--json | --list [-n NAME]] [-a] [-x CMD] [-l SECONDS]";
static const char HELP[] =
	"Reads stream records from standard input and writes a line for each burst found in them.\n"
	"  -t DB       least threshold above the background (default 3; a bin that flickers needs more)\n"
	"  -m MHZ      least bandwidth of a burst at any one time (default 2, at most 30)\n"
	"  --json      one JSON object per line, keys kind start end peak f_lo f_hi peak_db drift id\n"
	"  --list      the network's burst-list form: DATE<tab>HH:MM-HH:MM<tab>KIND<tab>STATION, bursts of\n"
	"              one kind less than a minute apart in one line (a continuum is CTM); bursts\n"
	"              only, whatever -a says; not with --json or -l\n"
	"  -n NAME     the station in --list (default STATION_NAME, else SPECTRUM)\n"
	"  -a, --all   interference too: CARRIER (a narrow band lit for a while) and SOUNDER (a narrow\n"
	"              line rising in frequency); never a burst, never to -x\n"
	"  -x CMD      run CMD (split at blanks, no shell) for each burst, its fields in EVENT_*\n"
	"  -l SECONDS  a burst must last SECONDS (0.5 to 60, default 1.5), and a line comes when it has\n"
	"              (within a few seconds of its start) as well as when it ends\n"
	"Kinds: III (fast drift), II (slow drift), CONT (broadband, long), OTHER; SPIKE (interference\n"
	"of a frame or two) and FAULT (frames of 0 or 65535) are reported but are not bursts. A burst\n"
	"covers at least 5 MHz over its life and lasts at least 1.5 s (or SECONDS).\n";

static const char NAME_RULE[] = "not a station's name (1 to 40 letters, digits, '.', '_', '-', '+')";

static unsigned char buf[FR_HEADER], buf2[FR_PAYLOAD];

struct Opts {
	EvParams params;
	bool json = false, live = false, all = false, list = false;
	const char *cmd = nullptr;
	std::string station;
};

// A line of the burst list being gathered: bursts of one kind less than a minute apart.
struct Group {
	bool open = false;
	EvEvent ev{};
};

struct Stamps {
	StreamTime time;
	SkipNote late{"stamps repeated or out of order"};
};

// Everything a run holds, passed down.
struct Events {
	Opts o;
	EvDetector det;
	Stamps st;
	Hooks hooks;
	std::set<long> started;  // the ids said to have started (-l), until they end
	std::map<long, long long> open;  // the bursts under way (at most the detector's tracks): their starts
	Group groups[4];         // --list: III, II, CONT, OTHER
	explicit Events(const Opts &opts) : o(opts), det(opts.params) {}
};

// The signal that is ending us, set by its handler: the one thing a handler may touch, so the
// one variable at file scope.
static volatile sig_atomic_t ending;

// Says what ends us, and stops the reading: a read under way is interrupted (the handlers are
// installed without SA_RESTART), and one about to start finds the input's end, as standard
// input is now /dev/null. Only calls safe in a handler.
static void on_signal(int sig)
{
	int saved = errno;
	ending = sig;
	int z = open("/dev/null", O_RDONLY);
	if (z >= 0) {
		dup2(z, 0);
		close(z);
	}
	errno = saved;
}

// TERM, INT, HUP and a reader gone (PIPE) end us by way of on_signal, so that the hooks end
// with us; one ignored when we start (nohup's HUP, a background job's INT) stays ignored. We
// collect the hooks ourselves, so a CHLD ignored when we start (which would have them collected
// unseen) is set back to its default.
static void catch_signals()
{
	signal(SIGCHLD, SIG_DFL);
	struct sigaction sa = {};
	sa.sa_handler = on_signal;
	sigemptyset(&sa.sa_mask);
	for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) {
		struct sigaction old;
		if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN && sigaction(sig, &sa, nullptr) != 0)
			die("cannot catch signal %d:", sig);
	}
}

// The end by a signal: the hooks end, then we end by the same signal, as without a handler.
[[noreturn]] static void end_by_signal(Events &ev)
{
	hook_end(ev.hooks);
	int sig = ending;
	signal(sig, SIG_DFL);
	raise(sig);
	_exit(128 + sig);
}

// A failure of the call that just returned (what ends in ':', its errno follows): the hooks
// end, then the message and status 1.
[[noreturn]] static void fail(Events &ev, const char *what)
{
	if (ending)
		end_by_signal(ev);
	int saved = errno;
	hook_end(ev.hooks);
	die("%s %s", what, strerror(saved));
}

static Opts options(int argc, char **argv)
{
	Opts o;
	static const struct option longs[] = {{"json", no_argument, nullptr, 'j'},
					      {"list", no_argument, nullptr, 'L'},
					      {"all", no_argument, nullptr, 'a'},
					      {nullptr, 0, nullptr, 0}};
	opterr = 0;
	for (int c; (c = getopt_long(argc, argv, "t:m:x:l:n:a", longs, nullptr)) != -1;) {
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
		if (c == 'j' || c == 'L' || c == 'a') {
			(c == 'j' ? o.json : c == 'L' ? o.list : o.all) = true;
			continue;
		}
		if (c == 'n' && !station_name_ok(optarg))
			usage_why(USAGE, "-n: %s", NAME_RULE);
		if (c == 'n') {
			o.station = optarg;
			continue;
		}
		usage(USAGE);
	}
	if (optind != argc)
		usage(USAGE);
	if (o.list && (o.json || o.live))
		usage_why(USAGE, "--list is a form of its own: not with --json or -l");
	if (!o.station.empty() && !o.list)
		usage_why(USAGE, "-n names the station in --list");
	const char *e = getenv("STATION_NAME");
	if (o.list && o.station.empty() && e && *e && !station_name_ok(e))
		usage_why(USAGE, "STATION_NAME: %s", NAME_RULE);
	if (o.list && o.station.empty())
		o.station = e && *e ? e : "SPECTRUM";
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

static void write_text(Events &ev, const std::string &line)
{
	if (printf("%s\n", line.c_str()) < 0 || fflush(stdout) != 0 || ferror(stdout))
		fail(ev, "cannot write the events:");
}

// The list's lines that can no longer grow, or all of them: two minutes of stream time past
// their end, and no burst under way that started within a minute of it (it may yet join).
static void flush_groups(Events &ev, long long now, bool all)
{
	for (Group &g : ev.groups) {
		bool waiting = false;
		for (const auto &[id, start] : ev.open)
			waiting = waiting || start <= g.ev.end + 6000;
		if (g.open && (all || (now - g.ev.end > 12000 && !waiting))) {
			g.open = false;
			write_text(ev, ev_list_line(g.ev, ev.o.station.c_str()));
		}
	}
}

static void list_burst(Events &ev, const EvEvent &e)
{
	Group &g = ev.groups[e.kind == EV_III ? 0 : e.kind == EV_II ? 1 : e.kind == EV_CONT ? 2 : 3];
	if (g.open && e.start <= g.ev.end + 6000) {
		g.ev.start = std::min(g.ev.start, e.start);
		g.ev.end = std::max(g.ev.end, e.end);
		return;
	}
	if (g.open)
		write_text(ev, ev_list_line(g.ev, ev.o.station.c_str()));
	g.open = true;
	g.ev = e;
}

// What the detector said: bursts always, their starts with -l; spikes and faults as before;
// interference with -a, or at the end of what was said to have started.
static void report(Events &ev, const std::vector<EvEvent> &evs)
{
	for (const EvEvent &e : evs) {
		bool burst = ev_is_burst(e.kind);
		if (e.state == EV_STARTED) {
			ev.open[e.id] = e.start;  // under way: it may yet join a line of the list
			if (!ev.o.live || (ev_is_interference(e.kind) && !ev.o.all))
				continue;
			ev.started.insert(e.id);
		} else {
			ev.open.erase(e.id);
			if (ev_is_interference(e.kind) && !ev.o.all && ev.started.erase(e.id) == 0)
				continue;
			ev.started.erase(e.id);
		}
		if (ev.o.list) {
			if (burst && e.state == EV_ENDED)
				list_burst(ev, e);
		} else
			write_text(ev, ev.o.json ? ev_json(e, ev.o.live) : ev_line(e));
		if (ev.o.cmd && burst && e.state == EV_ENDED && !ending)
			hook_run(ev.hooks, e);
	}
}

// Every record of standard input to the detector, until its end, an error or a signal.
static int read_all(Events &ev)
{
	int r = FR_END;
	while (!ending && (r = fr_read(stdin, buf, buf2)) == FR_READ && !ending) {
		long long t = take(ev.st, buf);
		if (t >= 0) {
			report(ev, ev.det.feed(t, buf2));
			if (ev.o.list)
				flush_groups(ev, t, false);
		}
		if (ev.hooks.nrunning)
			hook_reap(ev.hooks, false);
	}
	return r;
}

// At the end of input: what is still open, the hooks let finish (each within its limit).
static void finish(Events &ev)
{
	report(ev, ev.det.finish());
	flush_groups(ev, 0, true);
	hook_reap(ev.hooks, true, &ending);
	if (ending)
		end_by_signal(ev);
	ev.st.time.finish();
	ev.st.late.finish();
	if (long n = ev.det.counts().faults)
		warn("%ld frames of a receiver fault (0 or 65535 across the band)", n);
}

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	Events ev(options(argc, argv));
	if (ev.o.cmd && !hook_init(ev.hooks, ev.o.cmd))
		usage(USAGE);  // blanks only, or too long to be a command line
	catch_signals();
	fr_input(stdin);
	int r = read_all(ev);
	if (ending)
		end_by_signal(ev);
	if (r == FR_ERROR)
		fail(ev, "cannot read the records:");
	finish(ev);
	return 0;
}
