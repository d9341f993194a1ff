// Many stations through one broker: N stations (200; --quick 50), each frame-send at 2 frames a
// second into its own pipe-share, for S seconds (150; --quick 60), one net-watch on the first
// station, net-bursts listing the network's bursts (-w 10, so that they stay apart). Every station sees the same sky, type III
// bursts at 40 s and then every 30 s, under its own noise. Prints the CPU each pipe-share takes
// (share of one core), the delay from a frame's stamp (the sender's clock, at half-second
// instants) to net-watch's output, the delay from a network burst's end at the second station
// (its burst message at the broker) and at the last station before the line to the line on
// spectrum.network.bursts, the broker's memory and CPU per message, and from those the
// broker's load at 1,000 stations. -n N and -s S set the numbers.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <nats/nats.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "frame.h"
#include "kit.h"

static long long ticks(pid_t pid)  // user + system clock ticks of a process
{
	std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
	std::string s((std::istreambuf_iterator<char>(in)), {});
	size_t at = s.rfind(')');
	if (at == std::string::npos)
		return 0;
	std::istringstream f(s.substr(at + 2));
	std::string x;
	long long ut = 0, st = 0;
	for (int i = 3; i <= 15 && f >> x; i++) {
		if (i == 14)
			ut = atoll(x.c_str());
		if (i == 15)
			st = atoll(x.c_str());
	}
	return ut + st;
}

static long kb(pid_t pid, const char *key)
{
	std::ifstream in("/proc/" + std::to_string(pid) + "/status");
	for (std::string line; std::getline(in, line);)
		if (line.rfind(key, 0) == 0)
			return atol(line.c_str() + strlen(key) + 1);
	return -1;
}

// Now as a stamp's time: local time, as frame-send stamps it, in hundredths.
static long long local_centis()
{
	struct timeval tv;
	gettimeofday(&tv, nullptr);
	struct tm tm;
	localtime_r(&tv.tv_sec, &tm);
	char s[80];
	snprintf(s, sizeof s, "%04d%02d%02d%02d%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
		 tm.tm_min, tm.tm_sec, (int)(tv.tv_usec / 10000));
	long long t = 0;
	fr_stamp_time(s, &t);
	return t;
}

static double ms_now()
{
	return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// What the bench hears on the broker: each station's burst message and each network line, with
// the time each arrived.
struct Heard {
	std::mutex mu;
	std::vector<std::pair<double, nlohmann::json>> bursts, lines;
};

static void on_msg(natsConnection *, natsSubscription *, natsMsg *m, void *closure)
{
	Heard &h = *(Heard *)closure;
	double now = ms_now();
	const char *subj = natsMsg_GetSubject(m);
	std::lock_guard<std::mutex> lock(h.mu);
	nlohmann::json j = nlohmann::json::parse(std::string(natsMsg_GetData(m), natsMsg_GetDataLength(m)), nullptr, false);
	if (!j.is_discarded())
		(strcmp(subj, "spectrum.network.bursts") ? h.bursts : h.lines).push_back({now, j});
	natsMsg_Destroy(m);
}

static double pct(std::vector<double> v, double q)
{
	if (v.empty())
		return 0;
	std::sort(v.begin(), v.end());
	return v[std::min(v.size() - 1, (size_t)(q * (double)v.size()))];
}

int main(int argc, char **argv)
{
	int n = 200, secs = 150;
	for (int i = 1; i < argc; i++) {
		if (!strcmp(argv[i], "--quick"))
			n = 50, secs = 60;
		else if (!strcmp(argv[i], "-n") && i + 1 < argc)
			n = atoi(argv[++i]);
		else if (!strcmp(argv[i], "-s") && i + 1 < argc)
			secs = atoi(argv[++i]);
	}
	const char *server = access("/usr/sbin/nats-server", X_OK) == 0 ? "/usr/sbin/nats-server" : "/usr/bin/nats-server";
	if (access(server, X_OK) != 0) {
		printf("network_bench: nats-server is not installed, nothing measured\n");
		return 0;
	}
	TempDir t;
	int port = free_tcp_port();
	std::string url = "nats://127.0.0.1:" + std::to_string(port);
	Spawn bs;
	bs.argv = {server, "-a", "127.0.0.1", "-p", std::to_string(port), "-js", "-sd", t / "store"};
	bs.pipe_err = true;
	Proc broker = start(bs);
	std::string said;
	if (!wait_until([&] { said += drain(broker.err); return said.find("Server is ready") != std::string::npos; }, 20000, 10)) {
		fprintf(stderr, "network_bench: the broker did not start\n");
		return 1;
	}
	Spawn ws;
	ws.argv = {bin("net-watch"), "-s", url, "S0"};
	ws.pipe_out = true;
	Proc watch = start(ws);
	Spawn nb;
	nb.argv = {bin("net-bursts"), "-s", url, "-S", t / "settled", "-w", "10"};  // bursts 30 s apart: apart
	nb.pipe_out = true;
	Proc bursts = start(nb);
	Heard heard;
	natsConnection *nc = nullptr;
	natsSubscription *sub_b = nullptr, *sub_n = nullptr;
	if (natsConnection_ConnectTo(&nc, url.c_str()) != NATS_OK ||
	    natsConnection_Subscribe(&sub_b, nc, "spectrum.bursts.>", on_msg, &heard) != NATS_OK ||
	    natsConnection_Subscribe(&sub_n, nc, "spectrum.network.bursts", on_msg, &heard) != NATS_OK) {
		fprintf(stderr, "network_bench: cannot listen on the broker\n");
		return 1;
	}
	std::string kinds;
	for (int at = 40; at + 20 < secs; at += 30)
		kinds += (kinds.empty() ? "III@" : ",III@") + std::to_string(at);
	usleep(300000);
	std::vector<Pipeline> stations;
	stations.reserve(n);
	for (int i = 0; i < n; i++) {
		Spawn from, to;
		from.argv = {bin("frame-send"), "-o", "-r", "2", "-c", std::to_string(2 * secs), "-s", "1", "-N",
			     std::to_string(i + 1), "-k", kinds, "-E", "0"};
		from.pipe_err = false;
		to.argv = {bin("pipe-share"), "-s", url, "-n", "S" + std::to_string(i)};
		to.pipe_err = false;
		stations.emplace_back(from, to);
	}
	long long t0 = 0, hz = sysconf(_SC_CLK_TCK), b0 = ticks(broker.pid);
	for (Pipeline &p : stations)
		t0 += ticks(p.b.pid);
	auto start_time = std::chrono::steady_clock::now();
	std::vector<double> delays;
	std::string buf;
	auto until = start_time + std::chrono::seconds(secs - 2);
	while (std::chrono::steady_clock::now() < until) {
		if (!readable(watch.out, 200))
			continue;
		char b[65536];
		ssize_t r = read(watch.out, b, sizeof b);
		if (r <= 0)
			break;
		long long now = local_centis();
		buf.append(b, (size_t)r);
		for (; buf.size() >= (size_t)FR_RECORD; buf.erase(0, FR_RECORD)) {
			long long st;
			if (fr_stamp_time(buf.data(), &st))
				delays.push_back((now - st) * 10.0);  // ms
		}
	}
	double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_time).count();
	long long t1 = 0, b1 = ticks(broker.pid);
	for (Pipeline &p : stations)
		t1 += ticks(p.b.pid);
	long rss = kb(broker.pid, "VmRSS:"), hwm = kb(broker.pid, "VmHWM:");
	usleep(5000000);  // the last network line: the hold, and the last station's burst
	natsConnection_Destroy(nc);  // its subscriptions with it; no callback after this
	natsSubscription_Destroy(sub_b);
	natsSubscription_Destroy(sub_n);
	// Each line's bursts: those of its stations overlapping its span and band, heard before it.
	std::vector<double> from_kth, from_last;
	size_t stations_listed = 0;
	for (auto &[at, line] : heard.lines) {
		long long ls, le;
		std::string s0 = line.value("start", ""), e0 = line.value("end", "");
		if (!fr_stamp_time(s0.c_str(), &ls) || !fr_stamp_time(e0.c_str(), &le))
			continue;
		std::map<std::string, double> first;  // station: its burst's arrival
		for (auto &[bt, b] : heard.bursts) {
			long long bs, be;
			std::string bs0 = b.value("start", ""), be0 = b.value("end", "");
			if (bt <= at && fr_stamp_time(bs0.c_str(), &bs) && fr_stamp_time(be0.c_str(), &be) && bs <= le && be >= ls &&
			    b.value("f_lo", 0.0) <= line.value("f_hi", 0.0) && b.value("f_hi", 0.0) >= line.value("f_lo", 0.0)) {
				std::string st = b.value("station", "");
				if (!first.count(st) || bt < first[st])
					first[st] = bt;
			}
		}
		std::vector<double> arrivals;
		for (auto &[st, bt] : first)
			arrivals.push_back(bt);
		std::sort(arrivals.begin(), arrivals.end());
		if (arrivals.size() < 2)
			continue;
		from_kth.push_back(at - arrivals[1]);
		from_last.push_back(at - arrivals.back());
		stations_listed += line["stations"].size();
	}
	long msgs = (long)(2.0 * n * elapsed) + (long)heard.bursts.size();  // the frames sent, the bursts
	double broker_ms_per_msg = msgs ? 1000.0 * (double)(b1 - b0) / hz / (double)msgs : 0;
	std::sort(delays.begin(), delays.end());
	double cpu = 100.0 * (double)(t1 - t0) / hz / elapsed / n;
	printf("network_bench: %d stations at 2 frames/s through one broker for %.0f s\n", n, elapsed);
	printf("  pipe-share CPU per station        %.2f %% of one core\n", cpu);
	if (!delays.empty())
		printf("  delay stamp -> net-watch (ms)     median %.0f  95%% %.0f  max %.0f  (%zu frames; stamps are 10 ms steps)\n",
		       delays[delays.size() / 2], delays[delays.size() * 95 / 100], delays.back(), delays.size());
	printf("  network lines                     %zu (of %d bursts drawn), %.0f stations a line on average\n",
	       heard.lines.size(), (int)std::count(kinds.begin(), kinds.end(), '@'),
	       from_kth.empty() ? 0.0 : (double)stations_listed / (double)from_kth.size());
	if (!from_kth.empty()) {
		printf("  delay 2nd station's burst -> line (ms)   median %.0f  max %.0f\n", pct(from_kth, 0.5),
		       pct(from_kth, 1));
		printf("  delay last station's burst -> line (ms)  median %.0f  max %.0f  (the last named; the hold: 1 s)\n",
		       pct(from_last, 0.5), pct(from_last, 1));
	}
	printf("  broker memory                     %ld MB now, %ld MB at most\n", rss / 1024, hwm / 1024);
	double per_station_mb = (double)rss / 1024 / n;
	printf("  broker CPU                        %.1f %% of one core, %.4f ms a message (%ld messages)\n",
	       100.0 * (double)(b1 - b0) / hz / elapsed, broker_ms_per_msg, msgs);
	printf("  at 1,000 stations (projected)     broker %.0f %% of one core (2,000 frames/s), memory ~%.0f MB\n",
	       broker_ms_per_msg * 2000 / 10, per_station_mb * 1000);
	for (Pipeline &p : stations) {
		stop(p.a);
		stop(p.b);
	}
	stop(watch);
	stop(bursts);
	stop(broker);
	return 0;
}
