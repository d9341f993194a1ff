// net-bursts [-s URL] [--creds FILE] [--tlsca FILE] [-k STATIONS] [-w SECONDS] [-H SECONDS] [-d
// NAME] [-S FILE] [--json]: the network's burst list. A durable consumer (NAME, default net-bursts) of the
// BURSTS stream takes every station's bursts; bursts whose spans overlap, each widened by the
// window, and whose bands overlap are one burst of the network: the hold time after the burst of
// its STATIONS-th station arrived, it is listed (on standard output, and published on
// spectrum.network.bursts) with the stations heard by then. A burst of fewer stations waits for its partners as long
// as the window and the wait for a burst given again (20 s), whichever is longer, after its last;
// a burst arriving after its network burst was listed is acknowledged and not listed again.
// Interference never counts; a message that is not a burst from its subject's station is dropped
// and counted.
//
// Nothing lost, nothing twice: a burst is acknowledged only once its line is written and flushed
// (or once it is settled without a line), so one that a restart finds unacknowledged comes again
// (within 20 s) and is matched again; a message delivered again while still held is recognised by
// its place in the stream and not taken twice. Between the line and the acknowledgement, the
// settled bursts' places are appended to a record (-S) and synced: a run ended in that moment
// (killed, the power gone) leaves bursts unacknowledged whose line is out, and the next run,
// reading the record, acknowledges them when they come again instead of listing them twice. The
// record names each burst by its place in the stream and the time the broker stored it, so that a
// stream made afresh, numbering from 1 again, is not taken for the old one.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <deque>
#include <filesystem>
#include <fcntl.h>
#include <map>
#include <set>
#include <string>
#include <unistd.h>

#include "cli.h"
#include "outfile.h"
#include "netconn.h"
#include "netmsg.h"
#include "streamtime.h"

static const char USAGE[] =
	"usage: net-bursts [-s URL] [--creds FILE] [--tlsca FILE] [-k STATIONS] [-w SECONDS] [-H SECONDS] [-d NAME] [-S FILE] [--json]";
static const char HELP[] =
	"Lists the bursts seen by several stations of the network, from the broker's BURSTS stream,\n"
	"as long as it runs.\n"
	"  -s URL        the broker (default NATS_URL, else nats://127.0.0.1:4222)\n"
	"  --creds FILE  the user's credentials file\n"
	"  --tlsca FILE  the certificate authority of a broker reached over TLS (a tls:// URL)\n"
	"  -k STATIONS   least stations that saw a burst (default 2)\n"
	"  -w SECONDS    how far apart in time bursts may be and still be one (default 60)\n"
	"  -H SECONDS    a burst is listed this long after enough stations saw it, naming those\n"
	"                heard by then (default 1); fewer wait for partners as long as -w, or 20 s\n"
	"  -d NAME       the durable consumer's name (default net-bursts)\n"
	"  -S FILE       the record of settled bursts (default $STATE_DIRECTORY/NAME.settled, else\n"
	"                $XDG_STATE_HOME or ~/.local/state, net-bursts/NAME.settled)\n"
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
	double window = 60, hold = 1;
	std::string durable = "net-bursts";
	std::string record;  // -S
	bool json = false;
};

// The record of settled bursts (-S): the line RECORD_HEAD, then each settled burst as its stream
// sequence and stored time (nanoseconds), a line each, appended and synced before the bursts are
// acknowledged. It holds at most twice SETTLED_MAX bursts: then it is written again with the last
// SETTLED_MAX.
static const char RECORD_HEAD[] = "net-bursts settled bursts 1";
using Place = std::pair<long, long long>;  // the stream's sequence, the time stored
struct Record {
	std::string path;
	int fd = -1;
	long lines = 0;
	int failed = 0;  // appends failed in a row (said once)
};

struct Run {
	Opts o;
	natsConnection *nc = nullptr;
	jsCtx *js = nullptr;
	natsSubscription *sub = nullptr;
	NetMatch match;
	int fetch_said = 0;
	long long progress_ms = 0;
	std::map<long, std::pair<natsMsg *, long long>> held;  // token (the stream's sequence) -> the
							       // message to acknowledge, its time stored
	std::set<Place> settled;  // the last SETTLED_MAX settled, should one come again
	std::deque<Place> settled_order;
	Record rec;
	SkipNote bad{"burst messages refused (not a burst from its subject's station)"};
	explicit Run(const Opts &opts)
		: o(opts), match(opts.k, (long long)(opts.window * 100), (long long)(opts.hold * 1000),
				 (long long)(std::max(opts.window, (double)ACK_WAIT_S) * 1000 + opts.hold * 1000)) {}
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
	for (int c; (c = getopt_long(argc, argv, "s:k:w:H:d:S:", longs, nullptr)) != -1;) {
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
		else if (c == 'S' && *optarg)
			o.record = optarg;
		else if (c == 'j')
			o.json = true;
		else
			usage(USAGE);
	}
	if (optind != argc)
		usage(USAGE);
	if (o.record.empty()) {
		const char *dir = getenv("STATE_DIRECTORY"), *xdg = getenv("XDG_STATE_HOME"), *home = getenv("HOME");
		if (dir && *dir)
			o.record = std::string(dir) + "/" + o.durable + ".settled";
		else if ((xdg && *xdg) || (home && *home))
			o.record = (xdg && *xdg ? std::string(xdg) : std::string(home) + "/.local/state") + "/net-bursts/" +
				   o.durable + ".settled";
		else
			die("no place for the record of settled bursts: give -S FILE");
	}
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

static bool write_all(int fd, const char *p, size_t n)
{
	while (n > 0) {
		ssize_t w = write(fd, p, n);
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			return false;
		p += w, n -= (size_t)w;
	}
	return true;
}

static void remember(Run &r, Place p)
{
	if (!r.settled.insert(p).second)
		return;
	r.settled_order.push_back(p);
	if (r.settled_order.size() > SETTLED_MAX) {
		r.settled.erase(r.settled_order.front());
		r.settled_order.pop_front();
	}
}

// The record written again: its head and the last SETTLED_MAX settled, under a temporary name,
// synced and renamed over it. Returns "" or why not.
static std::string record_rewrite(Run &r)
{
	std::string tmp = r.rec.path + ".new", text = std::string(RECORD_HEAD) + "\n";
	for (const Place &p : r.settled_order)
		text += std::to_string(p.first) + " " + std::to_string(p.second) + "\n";
	int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	if (fd < 0)
		return tmp + ": " + strerror(errno);
	bool ok = write_all(fd, text.data(), text.size()) && fsync(fd) == 0;
	int err = errno;
	close(fd);
	if (!ok || rename(tmp.c_str(), r.rec.path.c_str()) != 0) {
		err = ok ? errno : err;
		unlink(tmp.c_str());
		return r.rec.path + ": " + strerror(err);
	}
	sync_path(r.rec.path.substr(0, r.rec.path.rfind('/') + 1) + ".", O_DIRECTORY);
	if (r.rec.fd >= 0)
		close(r.rec.fd);
	r.rec.fd = open(r.rec.path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
	if (r.rec.fd < 0)
		return r.rec.path + ": " + strerror(errno);
	r.rec.lines = (long)r.settled_order.size();
	return "";
}

// The record read at the start: the settled bursts of earlier runs. A file that is not such a
// record is said and started afresh; a line cut short (a crash while appending) is not a burst.
static void record_open(Run &r)
{
	r.rec.path = r.o.record;
	std::string dir = r.rec.path.substr(0, r.rec.path.rfind('/') + 1);
	std::error_code ec;
	if (!dir.empty() && !std::filesystem::is_directory(dir) && !std::filesystem::create_directories(dir, ec))
		die("%s: cannot make the directory: %s", dir.c_str(), ec.message().c_str());
	if (FILE *f = fopen(r.rec.path.c_str(), "re")) {
		char line[64];
		bool ours = fgets(line, sizeof line, f) && std::string(RECORD_HEAD) + "\n" == line;
		while (ours && fgets(line, sizeof line, f)) {
			long seq;
			long long ns;
			int used = 0;
			if (sscanf(line, "%ld %lld\n%n", &seq, &ns, &used) == 2 && used > 0 && line[used - 1] == '\n' && seq > 0)
				remember(r, {seq, ns});
		}
		if (!ours && ferror(f) == 0)
			warn("%s: not a record of settled bursts: started afresh", r.rec.path.c_str());
		fclose(f);
	} else if (errno != ENOENT)
		die("%s: cannot read the record of settled bursts:", r.rec.path.c_str());
	std::string why = record_rewrite(r);
	if (!why.empty())
		die("cannot write the record of settled bursts: %s", why.c_str());
}

// The settled bursts' places appended and synced. Failing, it says so (once until it works again)
// and the bursts are acknowledged all the same: the record only closes the moment of a crash.
static void record_add(Run &r, const std::vector<Place> &places)
{
	std::string text;
	for (const Place &p : places)
		text += std::to_string(p.first) + " " + std::to_string(p.second) + "\n";
	bool ok = r.rec.fd >= 0 && write_all(r.rec.fd, text.data(), text.size()) && fdatasync(r.rec.fd) == 0;
	if (!ok && !r.rec.failed++)
		warn("%s: cannot record the settled bursts:", r.rec.path.c_str());
	if (ok && r.rec.failed) {
		warn("%s: recording the settled bursts again", r.rec.path.c_str());
		r.rec.failed = 0;
	}
	r.rec.lines += (long)places.size();
	if (r.rec.lines > 2L * SETTLED_MAX || (!ok && r.rec.fd < 0)) {
		std::string why = record_rewrite(r);
		if (!why.empty() && !r.rec.failed++)
			warn("cannot write the record of settled bursts: %s", why.c_str());
	}
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
	long long stored = (long long)meta->Timestamp;
	jsMsgMetaData_Destroy(meta);
	if (r.held.count(seq)) {  // delivered again while held: the one held is acknowledged later
		natsMsg_Destroy(m);
		return;
	}
	if (r.settled.count({seq, stored})) {  // settled, its acknowledgement lost: listed already, or not to be
		natsMsg_Ack(m, nullptr);
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
		natsMsg_Ack(m, nullptr);
		natsMsg_Destroy(m);
		return;
	}
	r.held[seq] = {m, stored};
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
	std::vector<Place> places;
	for (long token : done)
		if (auto it = r.held.find(token); it != r.held.end())
			places.push_back({token, it->second.second});
	if (!places.empty())
		record_add(r, places);
	for (const Place &p : places) {
		auto it = r.held.find(p.first);
		natsStatus s = natsMsg_Ack(it->second.first, nullptr);  // not waited for: one lost comes again, and is known
		if (s != NATS_OK)
			warn("cannot acknowledge a burst: %s", net_error(s).c_str());
		natsMsg_Destroy(it->second.first);
		r.held.erase(it);
		remember(r, p);
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
	record_open(r);
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
				natsMsg_InProgress(m.first, nullptr);
		}
	}
	r.bad.finish();
	for (auto &[seq, m] : r.held)  // unacknowledged: they come again to the next run
		natsMsg_Destroy(m.first);
	natsSubscription_Destroy(r.sub);
	jsCtx_Destroy(r.js);
	natsConnection_Destroy(r.nc);
	if (r.rec.fd >= 0)
		close(r.rec.fd);
	signal(ending, SIG_DFL);
	raise(ending);
	return 0;
}
