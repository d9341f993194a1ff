// Transport benchmarks, as ratios against references run in the same invocation, alternating:
//   net-pipe   highest paced pair rate with no loss, and loss at full blast, beside a plain
//              receiver (a bare recv loop writing records to the same reader)
//   pipe-dump  records per second from a file of 100,000 records, beside cat of the same file
//   net-arc    highest paced frame rate stored with no loss over a run, and the shell start cost
//   arc-pipe   milliseconds from a half-second boundary to its record, and the share of a core
// usage: transport_bench [--quick]      (--quick: shorter runs, for a smoke test)
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "kit.h"

static bool quick = false;

static double now()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (double)t.tv_sec + t.tv_nsec / 1e9;
}

static double median(std::vector<double> v)
{
	std::sort(v.begin(), v.end());
	return v.empty() ? 0 : v[v.size() / 2];
}

static long rss_kib(pid_t pid)
{
	std::string s = slurp("/proc/" + std::to_string(pid) + "/status");
	size_t at = s.find("VmRSS:");
	return at == std::string::npos ? -1 : std::stol(s.substr(at + 6));
}

// The plain receiver: the least a receiver can do.
static int plain_receiver(int port)
{
	static unsigned char rec[3617];
	int fd = socket(AF_INET, SOCK_DGRAM, 0);
	struct sockaddr_in a = {};
	a.sin_family = AF_INET;
	a.sin_port = htons((unsigned short)port);
	if (bind(fd, (struct sockaddr *)&a, sizeof a) < 0)
		return 1;
	for (;;) {
		if (recv(fd, rec + 17, 3600, 0) != 16)
			continue;
		memcpy(rec, rec + 17, 16);
		rec[16] = 0;
		(void)!recv(fd, rec + 17, 3600, 0);
		if (write(1, rec, sizeof rec) != (ssize_t)sizeof rec)
			return 1;
	}
}

static std::string self;

// Sends n pairs at rate pairs/s (0: full blast) to a fresh receiver; returns the records read.
static long trial(bool plain, double rate, long n)
{
	int port = free_udp_port();
	Spawn s;
	s.argv = plain ? std::vector<std::string>{self, "--plain", std::to_string(port)}
		       : std::vector<std::string>{bin("net-pipe"), std::to_string(port)};
	s.pipe_out = true;
	Proc p = start(s);
	wait_bound(port, 5000);
	std::atomic<long> bytes{0};
	std::thread reader([&] {
		static char b[1 << 16];
		for (ssize_t r; (r = read(p.out, b, sizeof b)) > 0;)
			bytes += r;
	});
	Udp u;
	char stamp[17] = "2026120721163450";
	std::string pay = payload(1);
	double t0 = now();
	for (long i = 0; i < n; i++) {
		if (rate > 0)
			while (now() < t0 + (double)i / rate) {
			}
		u.send(port, stamp, 16);
		u.send(port, pay.data(), pay.size());
	}
	usleep(300000);
	stop(p);
	reader.join();
	return bytes / 3617;
}

static void bench_net_pipe()
{
	printf("\nnet-pipe: pairs per second over loopback, %s\n", "3 trials per rate, lost pairs per trial");
	printf("%10s  %-22s  %-22s\n", "rate", "net-pipe", "plain receiver");
	double rates[] = {2000, 5000, 10000, 20000, 40000};
	double best[2] = {0, 0};
	bool ok[2] = {true, true};  // no loss at any rate so far
	for (double rate : rates) {
		long n = (long)(rate * (quick ? 0.3 : 1.0));
		std::string cell[2];
		bool clean[2] = {true, true};
		for (int t = 0; t < 3; t++)
			for (int k = 0; k < 2; k++) {
				long lost = n - trial(k == 1, rate, n);
				clean[k] = clean[k] && lost == 0;
				cell[k] += std::to_string(lost) + " ";
			}
		for (int k = 0; k < 2; k++) {
			ok[k] = ok[k] && clean[k];
			if (ok[k])
				best[k] = rate;
		}
		printf("%10.0f  %-22s  %-22s\n", rate, cell[0].c_str(), cell[1].c_str());
	}
	long n = quick ? 20000 : 200000;
	double loss[2] = {0, 0}, secs[2] = {0, 0};
	for (int t = 0; t < 3; t++)
		for (int k = 0; k < 2; k++) {
			double t0 = now();
			loss[k] += (double)(n - trial(k == 1, 0, n)) / n / 3;
			secs[k] += now() - t0 - 0.3;
		}
	printf("highest rate with no loss in any trial: net-pipe %.0f, plain %.0f (ratio %.2f)\n", best[0], best[1],
	       best[1] > 0 ? best[0] / best[1] : 0);
	printf("full blast, %ld pairs: net-pipe loses %.1f %%, plain %.1f %%; received per second %.0f vs %.0f\n", n,
	       loss[0] * 100, loss[1] * 100, n * (1 - loss[0]) / (secs[0] / 3), n * (1 - loss[1]) / (secs[1] / 3));
}

static void bench_pipe_dump()
{
	TempDir t;
	long n = quick ? 10000 : 100000;
	{
		FILE *f = fopen((t / "records").c_str(), "w");
		for (long k = 0; k < n; k++) {
			std::string r = record("2026120721163450", payload((int)(k % 7)));
			fwrite(r.data(), 1, r.size(), f);
		}
		fclose(f);
	}
	std::vector<double> dump, cat;
	for (int round = 0; round < 5; round++)
		for (int k = 0; k < 2; k++) {
			std::string cmd = (k ? std::string("cat") : bin("pipe-dump") + " 100") + " < " + (t / "records") +
					  " > /dev/null";
			double t0 = now();
			if (system(cmd.c_str()) != 0)
				printf("failed: %s\n", cmd.c_str());
			(k ? cat : dump).push_back(n / (now() - t0));
		}
	printf("\npipe-dump: records per second from a file of %ld records (median of 5)\n", n);
	printf("pipe-dump %.0f, cat %.0f: ratio %.2f (target at least 0.25)\n", median(dump), median(cat),
	       median(dump) / median(cat));
}

static void bench_net_arc()
{
	// What one frame costs: three shell starts at most, each a fork and exec of sh and more.
	double t0 = now();
	int starts = quick ? 50 : 300;
	for (int i = 0; i < starts; i++)
		(void)!system("true");
	double shell = (now() - t0) / starts;
	t0 = now();
	for (int i = 0; i < starts; i++) {
		FILE *p = popen("gzip > /dev/null", "w");
		std::string pay = payload(i);
		fwrite(pay.data(), 1, pay.size(), p);
		pclose(p);
	}
	double gz = (now() - t0) / starts;
	printf("\nnet-arc: one shell start %.2f ms, one gzip of a payload through the shell %.2f ms\n", shell * 1e3,
	       gz * 1e3);

	double secs = quick ? 3 : 20;
	printf("%10s  %8s  %8s  %10s  %10s\n", "rate", "sent", "stored", "RSS at 1 s", "RSS end");
	for (double rate : {50.0, 100.0, 150.0, 200.0, 300.0}) {
		TempDir t;
		int port = free_udp_port();
		Proc p = start_net_arc(t.path, port);
		long rss0 = 0;
		Udp u;
		long n = (long)(rate * secs);
		std::string pay = payload(3);
		double start_t = now();
		for (long i = 0; i < n; i++) {
			if (i == (long)rate)  // after the first second, once its buffers are in use
				rss0 = rss_kib(p.pid);
			while (now() < start_t + (double)i / rate) {
			}
			// Unique stamps, half a second apart from midnight on.
			long hs = i;
			char stamp[32];
			snprintf(stamp, sizeof stamp, "20261207%02ld%02ld%02ld%s", hs / 7200 % 24, hs / 120 % 60, hs / 2 % 60,
				 hs % 2 ? "50" : "00");
			u.send(port, stamp, 16);
			u.send(port, pay.data(), pay.size());
		}
		usleep(500000);
		long rss1 = rss_kib(p.pid);
		stop(p);
		Ran found = run({"/usr/bin/find", t / "arc", "-name", "*.gz"});
		long stored = std::count(found.out.begin(), found.out.end(), '\n');
		printf("%10.0f  %8ld  %8ld  %7ld KiB  %7ld KiB\n", rate, n, stored, rss0, rss1);
		if (stored < n)
			break;
	}
}

static void bench_arc_pipe()
{
	TempDir t;
	mkdir((t / "arc").c_str(), 0755);
	double secs = quick ? 4 : 20;
	// Files for every half second of the run, stamped in local time as the sender would.
	time_t base = time(nullptr);
	std::string gz = run({"/bin/gzip", "-c"}, payload(5)).out;
	for (long i = -4; i < (long)(secs * 2) + 8; i++) {
		time_t at = base + i / 2;
		struct tm tm;
		localtime_r(&at, &tm);
		char stamp[32], d1[64], d2[96];
		strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &tm);
		strcat(stamp, (i % 2 + 2) % 2 ? "50" : "00");
		snprintf(d1, sizeof d1, "%s/arc/%.8s", t.path.c_str(), stamp);
		snprintf(d2, sizeof d2, "%s/%.11s", d1, stamp);
		mkdir(d1, 0755);
		mkdir(d2, 0755);
		spit(std::string(d2) + "/" + stamp + ".gz", gz);
	}
	Spawn s;
	s.argv = {bin("arc-pipe"), "arc"};
	s.cwd = t.path;
	s.pipe_out = true;
	Proc p = start(s);
	std::vector<double> late;
	char rec[3617];
	read_exact(p.out, rec, sizeof rec, 3000);  // the first pass writes at once, not at a boundary
	double t0 = now();
	while (now() - t0 < secs && read_exact(p.out, rec, sizeof rec, 3000)) {
		struct timespec rt;
		clock_gettime(CLOCK_REALTIME, &rt);
		struct tm tm = {};
		sscanf(rec, "%4d%2d%2d%2d%2d%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec);
		tm.tm_year -= 1900;
		tm.tm_mon -= 1;
		tm.tm_isdst = -1;
		double boundary = (double)mktime(&tm) + (rec[14] == '5' ? 0.5 : 0.0) + 0.5;
		late.push_back((rt.tv_sec + rt.tv_nsec / 1e9 - boundary) * 1e3);
	}
	std::string st = slurp("/proc/" + std::to_string(p.pid) + "/stat");
	double wall = now() - t0;
	// Fields after the command's closing parenthesis: utime is the 12th, then stime, cutime, cstime.
	std::vector<long> f;
	size_t at = st.rfind(')') + 2;
	for (std::string tok; at < st.size(); at = st.find(' ', at) + 1) {
		f.push_back(atol(st.c_str() + at));
		if (st.find(' ', at) == std::string::npos)
			break;
	}
	double tick = (double)sysconf(_SC_CLK_TCK);
	double own = (f[11] + f[12]) / tick, kids = (f[13] + f[14]) / tick;
	stop(p);
	std::vector<double> sorted = late;
	std::sort(sorted.begin(), sorted.end());
	printf("\narc-pipe: %zu records over %.0f s; ms after the half-second boundary: median %.2f, "
	       "90th %.2f, max %.2f (target: median under 5)\n",
	       late.size(), wall, median(late), sorted.empty() ? 0 : sorted[sorted.size() * 9 / 10],
	       sorted.empty() ? 0 : sorted.back());
	printf("CPU while following: arc-pipe itself %.1f %% of a core, its date and gunzip children %.1f %%\n",
	       own / wall * 100, kids / wall * 100);
}

int main(int argc, char **argv)
{
	self = argv[0];
	if (argc == 3 && strcmp(argv[1], "--plain") == 0)
		return plain_receiver(atoi(argv[2]));
	quick = argc > 1 && strcmp(argv[1], "--quick") == 0;
	setvbuf(stdout, nullptr, _IOLBF, 0);
	bench_net_pipe();
	bench_pipe_dump();
	bench_net_arc();
	bench_arc_pipe();
	return 0;
}
