// net-bursts [-s URL] [--creds FILE] [--tlsca FILE] [-k STATIONS] [-w SECONDS] [-H SECONDS] [-d
// NAME] [--json]: the network's burst list. A durable consumer (NAME, default net-bursts) of the
// BURSTS stream takes every station's bursts; bursts whose spans overlap, each widened by the
// window, and whose bands overlap are one burst of the network, listed (on standard output, and
// published on spectrum.network.bursts) once no more have joined it for the hold time, if at least
// STATIONS stations saw it. Interference never counts; a message that is not a burst from its
// subject's station is dropped and counted.
//
// Nothing lost, nothing twice: a burst is acknowledged only once its line is written and flushed
// (or once it is settled without a line), so one that a restart finds unacknowledged comes again
// (within 20 s) and is matched again; a message delivered again while still held is recognised by
// its place in the stream and not taken twice.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <unistd.h>

#include "cli.h"
#include "netconn.h"
#include "netmsg.h"
#include "streamtime.h"

static const char USAGE[] =
	"usage: net-bursts [-s URL] [--creds FILE] [--tlsca FILE] [-k STATIONS] [-w SECONDS] [-H SECONDS] [-d NAME] [--json]";
static const char HELP[] =
	"Lists the bursts seen by several stations of the network, from the broker's BURSTS stream,\n"
	"as long as it runs.\n"
	"  -s URL        the broker (default NATS_URL, else nats://127.0.0.1:4222)\n"
	"  --creds FILE  the user's credentials file\n"
	"  --tlsca FILE  the certificate authority of a broker reached over TLS (a tls:// URL)\n"
	"  -k STATIONS   least stations that saw a burst (default 2)\n"
	"  -w SECONDS    how far apart in time bursts may be and still be one (default 60)\n"
	"  -H SECONDS    a burst is listed when none has joined it for this long (default 30)\n"
	"  -d NAME       the durable consumer's name (default net-bursts)\n"
	"  --json        one JSON object per line: kind, start, end, f_lo, f_hi, stations\n"
	"Lines: DATE<tab>HH:MM-HH:MM<tab>KIND<tab>STATION,STATION,... (a continuum is CTM).\n";

// A burst given to a run that ended without acknowledging it comes again after this long; one
// held for longer (the hold) is said to be in progress every IN_PROGRESS_MS.
enum : long long { ACK_WAIT_S = 20, IN_PROGRESS_MS = 5000 };
// A burst settled and acknowledged whose acknowledgement was lost (a node of the broker gone at
// that moment) comes again: the last this many settled are known and acknowledged again.
enum { SETTLED_MAX = 100000 };

struct Opts {
	NetAddr addr;
	int k = 2;
	double window = 60, hold = 30;
	std::string durable = "net-bursts";
	bool json = false;
};

struct Run {
	Opts o;
	natsConnection *nc = nullptr;
	jsCtx *js = nullptr;
	natsSubscription *sub = nullptr;
	NetMatch match;
	int fetch_said = 0;
	long long progress_ms = 0;
	std::map<long, natsMsg *> held;  // token (the stream's sequence) -> the message to acknowledge
	std::set<long> settled;          // the last SETTLED_MAX settled, should one come again
	std::deque<long> settled_order;
	SkipNote bad{"burst messages refused (not a burst from its subject's station)"};
	explicit Run(const Opts &opts)
		: o(opts), match(opts.k, (long long)(opts.window * 100), (long long)(opts.hold * 1000)) {}
};

static volatile sig_atomic_t ending;
static void on_signal(int sig) { ending = sig; }

static Opts options(int argc, char **argv)
{
	Opts o;
	static const struct option longs[] = {NET_LONG_OPTIONS,
					      {"json", no_argument, nullptr, 'j'},
					      {nullptr, 0, nullptr, 0}};
	opterr = 0;
	for (int c; (c = getopt_long(argc, argv, "s:k:w:H:d:", longs, nullptr)) != -1;) {
		if (net_addr_option(c, optarg, o.addr))
			;
		else if (c == 'k' && arg_int(optarg, &o.k) && o.k >= 1 && o.k <= 10000)
			;
		else if (c == 'w' && arg_positive(optarg, &o.window) && o.window <= 86400)
			;
		else if (c == 'H' && arg_positive(optarg, &o.hold) && o.hold <= 86400)
			;
		else if (c == 'd' && station_name_ok(optarg) && !strchr(optarg, '.'))
			o.durable = optarg;
		else if (c == 'j')
			o.json = true;
		else
			usage(USAGE);
	}
	if (optind != argc)
		usage(USAGE);
	return o;
}

static void subscribe(Run &r)
{
	r.nc = net_connect(r.o.addr, false);
	jsOptions jo;
	jsOptions_Init(&jo);
	jo.Wait = 5000;
	natsStatus s = natsConnection_JetStream(&r.js, r.nc, &jo);
	if (s != NATS_OK)
		die("cannot use JetStream: %s", net_error(s).c_str());
	std::string why = net_burst_stream(r.js);
	if (!why.empty())
		die("%s", why.c_str());
	jsSubOptions so;
	jsSubOptions_Init(&so);
	so.Stream = NET_BURST_STREAM;
	so.Config.AckPolicy = js_AckExplicit;
	so.Config.DeliverPolicy = js_DeliverAll;
	so.Config.AckWait = ACK_WAIT_S * 1000000000;  // held bursts are said to be in progress meanwhile
	so.Config.MaxAckPending = 20000;
	jsErrCode jerr = (jsErrCode)0;
	s = js_PullSubscribe(&r.sub, r.js, "spectrum.bursts.>", r.o.durable.c_str(), nullptr, &so, &jerr);
	if (s != NATS_OK)
		die("cannot consume the stream %s as %s: %s", NET_BURST_STREAM, r.o.durable.c_str(),
		    net_error(s, jerr).c_str());
}

// One message from the stream: held for matching, or acknowledged at once (interference, a
// repeat of a burst already held), or refused (and terminated, never to come again).
static void take(Run &r, natsMsg *m)
{
	jsMsgMetaData *meta = nullptr;
	if (natsMsg_GetMetaData(&meta, m) != NATS_OK) {
		natsMsg_Destroy(m);
		return;
	}
	long seq = (long)meta->Sequence.Stream;
	jsMsgMetaData_Destroy(meta);
	if (r.held.count(seq)) {  // delivered again while held: the one held is acknowledged later
		natsMsg_Destroy(m);
		return;
	}
	if (r.settled.count(seq)) {  // settled, its acknowledgement lost: listed already, or not to be
		natsMsg_AckSync(m, nullptr, nullptr);
		natsMsg_Destroy(m);
		return;
	}
	std::string station = net_subject_station(natsMsg_GetSubject(m), NET_BURSTS);
	NetBurst b;
	std::string why = station.empty() ? "not a station's subject"
					  : net_burst_parse(natsMsg_GetData(m), natsMsg_GetDataLength(m), station, b);
	if (!why.empty()) {
		r.bad.add(st_clock_ms());
		natsMsg_Term(m, nullptr);
		natsMsg_Destroy(m);
		return;
	}
	if (!b.burst || !r.match.add(b, seq, st_clock_ms())) {
		natsMsg_AckSync(m, nullptr, nullptr);
		natsMsg_Destroy(m);
		return;
	}
	r.held[seq] = m;
}

// The settled bursts: the lines written and flushed first, then every settled burst acknowledged.
static void settle(Run &r)
{
	std::vector<NetGroup> groups;
	std::vector<long> done;
	r.match.settle(st_clock_ms(), groups, done);
	for (const NetGroup &g : groups) {
		std::string json = net_group_json(g), line = r.o.json ? json : net_group_line(g);
		if (printf("%s\n", line.c_str()) < 0 || fflush(stdout) != 0)
			die("cannot write the list:");
		natsConnection_Publish(r.nc, NET_NETWORK, json.data(), (int)json.size());
	}
	for (long token : done) {
		auto it = r.held.find(token);
		if (it == r.held.end())
			continue;
		natsStatus s = natsMsg_AckSync(it->second, nullptr, nullptr);
		if (s != NATS_OK)
			warn("cannot acknowledge a burst: %s", net_error(s).c_str());
		natsMsg_Destroy(it->second);
		r.held.erase(it);
		r.settled.insert(token);
		r.settled_order.push_back(token);
		if (r.settled_order.size() > SETTLED_MAX) {
			r.settled.erase(r.settled_order.front());
			r.settled_order.pop_front();
		}
	}
}

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	Run r(options(argc, argv));
	signal(SIGPIPE, SIG_IGN);
	for (int sig : {SIGTERM, SIGINT, SIGHUP})
		signal(sig, on_signal);
	subscribe(r);
	while (!ending) {
		natsMsgList list = {};
		jsErrCode jerr = (jsErrCode)0;
		natsStatus s = natsSubscription_Fetch(&list, r.sub, 256, 250, &jerr);
		if (s == NATS_OK)
			for (int i = 0; i < list.Count; i++) {
				take(r, list.Msgs[i]);
				list.Msgs[i] = nullptr;
			}
		natsMsgList_Destroy(&list);
		if (s != NATS_OK && s != NATS_TIMEOUT) {  // the broker away or restarting: the library reconnects
			if (natsConnection_Status(r.nc) == NATS_CONN_STATUS_CONNECTED && !r.fetch_said++)
				warn("cannot fetch: %s", net_error(s, jerr).c_str());
			usleep(200000);
		} else
			r.fetch_said = 0;
		settle(r);
		if (st_clock_ms() - r.progress_ms >= IN_PROGRESS_MS) {
			r.progress_ms = st_clock_ms();
			for (auto &[seq, m] : r.held)
				natsMsg_InProgress(m, nullptr);
		}
	}
	r.bad.finish();
	for (auto &[seq, m] : r.held)  // unacknowledged: they come again to the next run
		natsMsg_Destroy(m);
	natsSubscription_Destroy(r.sub);
	jsCtx_Destroy(r.js);
	natsConnection_Destroy(r.nc);
	signal(ending, SIG_DFL);
	raise(ending);
	return 0;
}
