// Many stations through one broker: N stations (200; --quick 50), each frame-send at 2 frames a
// second into its own pipe-share, for S seconds (60; --quick 20), one net-watch on the first
// station. Prints the CPU each pipe-share takes (share of one core), the delay from a frame's
// stamp (the sender's clock, at half-second instants) to net-watch's output, and the broker's
// memory. -n N and -s S set the numbers.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
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

int main(int argc, char **argv)
{
	int n = 200, secs = 60;
	for (int i = 1; i < argc; i++) {
		if (!strcmp(argv[i], "--quick"))
			n = 50, secs = 20;
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
	usleep(300000);
	std::vector<Pipeline> stations;
	stations.reserve(n);
	for (int i = 0; i < n; i++) {
		Spawn from, to;
		from.argv = {bin("frame-send"), "-o", "-r", "2", "-c", std::to_string(2 * secs), "-s", std::to_string(i + 1)};
		from.pipe_err = false;
		to.argv = {bin("pipe-share"), "-s", url, "-n", "S" + std::to_string(i)};
		to.pipe_err = false;
		stations.emplace_back(from, to);
	}
	long long t0 = 0, hz = sysconf(_SC_CLK_TCK);
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
	long long t1 = 0;
	for (Pipeline &p : stations)
		t1 += ticks(p.b.pid);
	long rss = kb(broker.pid, "VmRSS:"), hwm = kb(broker.pid, "VmHWM:");
	std::sort(delays.begin(), delays.end());
	double cpu = 100.0 * (double)(t1 - t0) / hz / elapsed / n;
	printf("network_bench: %d stations at 2 frames/s through one broker for %.0f s\n", n, elapsed);
	printf("  pipe-share CPU per station        %.2f %% of one core\n", cpu);
	if (!delays.empty())
		printf("  delay stamp -> net-watch (ms)     median %.0f  95%% %.0f  max %.0f  (%zu frames; stamps are 10 ms steps)\n",
		       delays[delays.size() / 2], delays[delays.size() * 95 / 100], delays.back(), delays.size());
	printf("  broker memory                     %ld MB now, %ld MB at most\n", rss / 1024, hwm / 1024);
	for (Pipeline &p : stations) {
		stop(p.a);
		stop(p.b);
	}
	stop(watch);
	stop(broker);
	return 0;
}
