// pipe-share [-s URL] [--creds FILE] [--tlsca FILE] [-n NAME] [-L LAT,LON[,ALT]] [-a ROOT] [-q
// BURSTS] [-W SECONDS]: the station's side of the network. Reads stream records from standard
// input, live or stored, and shares them through the broker (netmsg.h has the subjects): every
// frame as it is, on the station's frames subject (core messages: lost when the broker is away or
// slow); every burst the detector finds (the same as pipe-events', stamps judged by the stream's
// running time) into the BURSTS stream, with a message id so that a repeat is dropped; and the
// station's status at the start, every minute and at the end.
//
// The pipeline never waits for the broker: the reading thread only puts frames and bursts in
// bounded queues, and one sending thread talks to the broker. A frame that finds its queue full is
// dropped; a burst that finds its queue full drops the oldest one waiting (counted and said).
// Bursts wait for the broker while it is away and are sent when it is back; at the end of input
// they are given up to -W seconds more.
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <getopt.h>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <unistd.h>

#include "cli.h"
#include "detect.h"
#include "event_format.h"
#include "frame.h"
#include "health.h"
#include "netconn.h"
#include "netmsg.h"
#include "streamtime.h"

static const char USAGE[] = "usage: pipe-share [-s URL] [--creds FILE] [--tlsca FILE] [-n NAME] [-L LAT,LON[,ALT]] [-a ROOT] "
			    "[-q BURSTS] [-W SECONDS]";
static const char HELP[] =
	"Reads stream records from standard input and shares the station's frames, bursts and status\n"
	"through the broker; never holds the pipeline up when the broker is away or slow.\n"
	"  -s URL        the broker (default NATS_URL, else nats://127.0.0.1:4222); user:password@ allowed\n"
	"  --creds FILE  the user's credentials file\n"
	"  --tlsca FILE  the certificate authority of a broker reached over TLS (a tls:// URL)\n"
	"  -n NAME       the station (default STATION_NAME, else SPECTRUM)\n"
	"  -L LAT,LON,ALT the station's place: degrees north and east, metres (default STATION_LAT,\n"
	"                STATION_LON, STATION_ALT)\n"
	"  -a ROOT       the station's archive: its disk's days left go in the status\n"
	"  -q BURSTS     bursts kept while the broker is away (default 1000; the oldest go first)\n"
	"  -W SECONDS    at the end of input, how long bursts still waiting may take (default 30)\n"
	"Subjects: spectrum.frames.NAME (records), spectrum.bursts.NAME (JSON, stream BURSTS),\n"
	"spectrum.status.NAME (JSON, stream STATUS).\n";

static unsigned char buf[FR_HEADER], buf2[FR_PAYLOAD];

struct Opts {
	NetAddr addr;
	std::string name, root;
	double lat = NAN, lon = NAN, alt = NAN;
	size_t max_bursts = 1000;
	double linger = 30;
};

struct Burst {
	std::string id, json;
	bool tried = false;  // a send of it failed: the broker may hold it all the same
};

// What the reading thread hands to the sending thread, under the lock.
struct Shared {
	std::mutex m;
	std::condition_variable cv;
	std::deque<std::string> frames;  // raw records, at most FRAMES_MAX
	std::deque<Burst> bursts;        // at most o.max_bursts, the oldest dropped first
	long frames_in = 0, frames_dropped = 0, bursts_dropped = 0;
	long bursts_known = 0;  // first sends the stream already held by their ids
	std::string last_stamp;
	bool input_done = false;
	bool new_burst = false;  // one came since the sender last looked
};
enum { FRAMES_MAX = 64 };

struct Share {
	Opts o;
	EvDetector det;
	StreamTime time;
	SkipNote late{"stamps repeated or out of order"};
	Shared sh;
	explicit Share(const Opts &opts) : o(opts) {}
};

static volatile sig_atomic_t ending;

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

static void catch_signals()
{
	signal(SIGPIPE, SIG_IGN);  // we write nothing but to the broker, whose failures are statuses
	struct sigaction sa = {};
	sa.sa_handler = on_signal;
	sigemptyset(&sa.sa_mask);
	for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
		struct sigaction old;
		if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN && sigaction(sig, &sa, nullptr) != 0)
			die("cannot catch signal %d:", sig);
	}
}

// A plain decimal number (sign, digits, one point).
static bool decimal(const char *s, double *v)
{
	const char *p = s + (*s == '-' || *s == '+');
	if (!*p || strspn(p, "0123456789.") != strlen(p) || strchr(p, '.') != strrchr(p, '.') || !strcmp(p, "."))
		return false;
	*v = strtod(s, nullptr);
	return std::isfinite(*v);
}

static bool place(const char *lat, const char *lon, const char *alt, Opts &o)
{
	return decimal(lat, &o.lat) && fabs(o.lat) <= 90 && decimal(lon, &o.lon) && fabs(o.lon) <= 180 &&
	       (!alt || (decimal(alt, &o.alt) && o.alt >= -1000 && o.alt <= 10000));
}

static void station(Opts &o, bool placed)
{
	const char *e = getenv("STATION_NAME");
	if (o.name.empty() && e && *e) {
		if (!net_name_ok(e))
			usage_why(USAGE, "STATION_NAME=%s: not a name (letters, digits, . _ - +; at most 40)", e);
		o.name = e;
	}
	if (o.name.empty())
		o.name = "SPECTRUM";
	const char *lat = getenv("STATION_LAT"), *lon = getenv("STATION_LON"), *alt = getenv("STATION_ALT");
	if (!placed && lat && *lat && lon && *lon && !place(lat, lon, alt && *alt ? alt : nullptr, o))
		usage_why(USAGE, "STATION_LAT, STATION_LON, STATION_ALT: not a place");
}

static Opts options(int argc, char **argv)
{
	Opts o;
	bool placed = false;
	static const struct option longs[] = {NET_LONG_OPTIONS, {nullptr, 0, nullptr, 0}};
	opterr = 0;
	double v;
	for (int c; (c = getopt_long(argc, argv, "s:n:L:a:q:W:", longs, nullptr)) != -1;) {
		if (net_addr_option(c, optarg, o.addr))
			;
		else if (c == 'n' && net_name_ok(optarg))
			o.name = optarg;
		else if (c == 'a' && *optarg)
			o.root = optarg;
		else if (c == 'q' && arg_positive(optarg, &v) && v == floor(v) && v <= 1000000)
			o.max_bursts = (size_t)v;
		else if (c == 'W' && arg_positive(optarg, &v) && v <= 86400)
			o.linger = v;
		else if (c == 'L') {
			std::string s = optarg;
			size_t a = s.find(','), b = a == std::string::npos ? a : s.find(',', a + 1);
			if (a == std::string::npos || !place(s.substr(0, a).c_str(), s.substr(a + 1, b - a - 1).c_str(),
							     b == std::string::npos ? nullptr : s.substr(b + 1).c_str(), o))
				usage_why(USAGE, "-L %s: not LAT,LON or LAT,LON,ALT", optarg);
			placed = true;
		} else
			usage(USAGE);
	}
	if (optind != argc)
		usage(USAGE);
	station(o, placed);
	if (!o.root.empty())
		need_dir(o.root.c_str());
	return o;
}

// ---- the reading thread

static void put_frame(Shared &sh)
{
	std::lock_guard<std::mutex> l(sh.m);
	sh.frames_in++;
	sh.last_stamp.assign((const char *)buf, FR_STAMP);
	if (sh.frames.size() >= FRAMES_MAX) {
		sh.frames_dropped++;
		return;
	}
	std::string r((const char *)buf, FR_HEADER);
	r.append((const char *)buf2, FR_PAYLOAD);
	sh.frames.push_back(std::move(r));
	sh.cv.notify_one();
}

static void put_bursts(Share &s, const std::vector<EvEvent> &evs)
{
	for (const EvEvent &e : evs) {
		if (e.state != EV_ENDED || !ev_is_burst(e.kind))
			continue;
		char start[FR_STAMP + 1];
		fr_time_stamp(e.start, start);
		Burst b{s.o.name + "-" + start + "-" + std::to_string(e.id), net_burst_json(ev_json(e, false), s.o.name)};
		std::lock_guard<std::mutex> l(s.sh.m);
		if (s.sh.bursts.size() >= s.o.max_bursts) {
			s.sh.bursts.pop_front();
			if (s.sh.bursts_dropped++ % 100 == 0)
				warn("%ld bursts dropped: the broker has been away for %zu of them", s.sh.bursts_dropped,
				     s.o.max_bursts);
		}
		s.sh.bursts.push_back(std::move(b));
		s.sh.new_burst = true;
		s.sh.cv.notify_one();
	}
}

static int read_all(Share &s)
{
	int r = FR_END;
	while (!ending && (r = fr_read(stdin, buf, buf2)) == FR_READ && !ending) {
		put_frame(s.sh);
		long long t;
		StVerdict v = s.time.take(buf, &t);
		if (v == ST_LATE)
			s.late.add(st_clock_ms());
		if (v == ST_ACCEPT)
			put_bursts(s, s.det.feed(t, buf2));
	}
	return r;
}

// ---- the sending thread

struct Sender {
	Share &s;
	natsConnection *nc = nullptr;
	jsCtx *js = nullptr;
	bool streams = false;
	int streams_said = 0;
	long long streams_ms = -1, status_ms = -1, health_ms = -1;
	nlohmann::ordered_json days_left;  // the last measure of the disk (-a)
	int disk_status = ARC_UNKNOWN;
	std::string subj_frames, subj_bursts, subj_status;
	explicit Sender(Share &share) : s(share) {}
};

static bool connected(Sender &t) { return natsConnection_Status(t.nc) == NATS_CONN_STATUS_CONNECTED; }

static std::string status_json(Sender &t)
{
	nlohmann::ordered_json j;
	char now[FR_STAMP + 1];
	fr_time_stamp(time(nullptr) * 100LL, now);
	{
		std::lock_guard<std::mutex> l(t.s.sh.m);
		j = {{"station", t.s.o.name},
		     {"time", now},
		     {"frames", t.s.sh.frames_in},
		     {"last", t.s.sh.last_stamp.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(t.s.sh.last_stamp)},
		     {"frames_dropped", t.s.sh.frames_dropped},
		     {"bursts_waiting", t.s.sh.bursts.size()},
		     {"bursts_dropped", t.s.sh.bursts_dropped}};
	}
	auto num = [](double v) { return std::isnan(v) ? nlohmann::ordered_json() : nlohmann::ordered_json(v); };
	j["lat"] = num(t.s.o.lat);
	j["lon"] = num(t.s.o.lon);
	j["alt"] = num(t.s.o.alt);
	// The disk measured as arc-stat --health measures it (a walk of the last days), at most every
	// ten minutes: its figures move slowly, and a small board's disk has better things to do.
	long long now_ms = st_clock_ms();
	if (!t.s.o.root.empty() && (t.health_ms < 0 || now_ms - t.health_ms >= 600000)) {
		ArcHealth h;
		arc_health(t.s.o.root, h);
		t.days_left = h.measured && h.days_left >= 0 ? nlohmann::ordered_json(std::round(h.days_left * 10) / 10)
							     : nlohmann::ordered_json();
		t.disk_status = h.status;
		t.health_ms = now_ms;
	}
	if (!t.s.o.root.empty()) {
		j["days_left"] = t.days_left;
		j["disk_status"] = t.disk_status;
	}
	return j.dump();
}

// Once connected: the streams made if missing (once), the status when it is due.
static void upkeep(Sender &t)
{
	long long now = st_clock_ms();
	if (!t.streams && (t.streams_ms < 0 || now - t.streams_ms >= 10000)) {
		t.streams_ms = now;
		std::string why = net_burst_stream(t.js);
		if (why.empty())
			why = net_status_stream(t.js);
		if (!why.empty() && !t.streams_said++)
			warn("%s", why.c_str());  // not yet, or the operator makes them: tried again
		t.streams = why.empty();
	}
	if (t.status_ms < 0 || now - t.status_ms >= 60000) {
		std::string j = status_json(t);
		if (natsConnection_Publish(t.nc, t.subj_status.c_str(), j.data(), (int)j.size()) == NATS_OK)
			t.status_ms = now;
	}
}

static void send_frames(Sender &t, std::deque<std::string> &frames)
{
	for (const std::string &f : frames)
		if (!connected(t) || natsConnection_Publish(t.nc, t.subj_frames.c_str(), f.data(), (int)f.size()) != NATS_OK) {
			std::lock_guard<std::mutex> l(t.s.sh.m);
			t.s.sh.frames_dropped++;
		}
	frames.clear();
}

// The oldest burst waiting, sent and stored (the stream's acknowledgement), then taken off the
// queue. Returns false when it could not be, to be tried again later.
static bool send_burst(Sender &t)
{
	Burst b;
	{
		std::lock_guard<std::mutex> l(t.s.sh.m);
		if (t.s.sh.bursts.empty())
			return false;
		b = t.s.sh.bursts.front();
	}
	jsPubOptions po;
	jsPubOptions_Init(&po);
	po.MsgId = b.id.c_str();
	po.MaxWait = 2000;
	jsPubAck *ack = nullptr;
	jsErrCode jerr = (jsErrCode)0;
	natsStatus st = js_Publish(&ack, t.js, t.subj_bursts.c_str(), b.json.data(), (int)b.json.size(), &po, &jerr);
	bool known = st == NATS_OK && ack && ack->Duplicate && !b.tried;
	jsPubAck_Destroy(ack);
	std::lock_guard<std::mutex> l(t.s.sh.m);
	bool front = !t.s.sh.bursts.empty() && t.s.sh.bursts.front().id == b.id;
	if (st != NATS_OK) {
		if (front)
			t.s.sh.bursts.front().tried = true;
		return false;
	}
	t.s.sh.bursts_known += known;
	if (front)
		t.s.sh.bursts.pop_front();
	return true;
}

static void send_loop(Sender &t)
{
	std::deque<std::string> frames;
	long long linger_end = -1;
	for (;;) {
		bool done, waiting;
		{
			std::unique_lock<std::mutex> l(t.s.sh.m);
			// Nothing of the broker's under this lock: the reading thread takes it for every frame.
			t.s.sh.cv.wait_for(l, std::chrono::milliseconds(250), [&] {
				return !t.s.sh.frames.empty() || t.s.sh.input_done || t.s.sh.new_burst;
			});
			t.s.sh.new_burst = false;
			frames.swap(t.s.sh.frames);
			done = t.s.sh.input_done;
			waiting = !t.s.sh.bursts.empty();
		}
		if (connected(t))
			upkeep(t);
		send_frames(t, frames);
		while (connected(t) && send_burst(t))
			;
		if (done && linger_end < 0)
			linger_end = st_clock_ms() + (long long)(t.s.o.linger * 1000);
		{
			std::lock_guard<std::mutex> l(t.s.sh.m);
			waiting = !t.s.sh.bursts.empty();
		}
		if (done && (!waiting || ending || st_clock_ms() >= linger_end)) {
			if (connected(t)) {  // the last word: what was shared to the end
				std::string j = status_json(t);
				natsConnection_Publish(t.nc, t.subj_status.c_str(), j.data(), (int)j.size());
			}
			return;
		}
		if (waiting && !connected(t))
			std::this_thread::sleep_for(std::chrono::milliseconds(100));
	}
}

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	Share s(options(argc, argv));
	catch_signals();
	Sender t(s);
	t.subj_frames = NET_FRAMES + s.o.name;
	t.subj_bursts = NET_BURSTS + s.o.name;
	t.subj_status = NET_STATUS + s.o.name;
	t.nc = net_connect(s.o.addr, true);
	jsOptions jo;
	jsOptions_Init(&jo);
	jo.Wait = 2000;
	if (natsConnection_JetStream(&t.js, t.nc, &jo) != NATS_OK)
		die("cannot use JetStream");
	if (!connected(t))
		warn("%s: not reached yet; frames are dropped and bursts kept until it is", net_url(s.o.addr).c_str());
	std::thread sender(send_loop, std::ref(t));
	fr_input(stdin);
	int r = read_all(s);
	int err = errno;
	if (!ending)
		put_bursts(s, s.det.finish());
	{
		std::lock_guard<std::mutex> l(s.sh.m);
		s.sh.input_done = true;
		s.sh.cv.notify_one();
	}
	sender.join();
	s.time.finish();
	s.late.finish();
	if (s.sh.frames_dropped)
		warn("%ld of %ld frames not shared (the broker away or slow)", s.sh.frames_dropped, s.sh.frames_in);
	if (!s.sh.bursts.empty())
		warn("%zu bursts not shared: the broker was away to the end", s.sh.bursts.size());
	if (s.sh.bursts_known)
		warn("%ld bursts were in the stream already under their ids: sent by an earlier run on this "
		     "input, or another client is using this station's ids", s.sh.bursts_known);
	natsConnection_FlushTimeout(t.nc, 2000);
	jsCtx_Destroy(t.js);
	natsConnection_Destroy(t.nc);
	if (ending) {
		signal(ending, SIG_DFL);
		raise(ending);
	}
	if (r == FR_ERROR) {
		errno = err;
		die("cannot read the records:");
	}
	return s.sh.bursts.empty() && !s.sh.bursts_dropped ? 0 : 1;
}
