// Archive reading benchmarks, beside references run in the same invocation:
//   arc-cat   records/s from generated archives of an hour and a day (warm cache), beside
//             find | sort | xargs zcat and a shell loop running gunzip < per file
//   arc-stat  the same archives, without and with -v, beside find | wc -l
//   arc-cat -f  delay from net-arc finishing a file to arc-cat writing its record (median,
//             95th percentile), and its share of a core while following 2 frames/s, beside
//             arc-pipe's (with its children)
// usage: archive_bench [--quick]
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "frame.h"
#include "kit.h"

static bool quick = false;

static double now()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (double)t.tv_sec + t.tv_nsec / 1e9;
}

static double pct(std::vector<double> v, double p)
{
	std::sort(v.begin(), v.end());
	return v.empty() ? 0 : v[std::min(v.size() - 1, (size_t)(p * (double)v.size()))];
}

// A frame's worth of a plausible sky: a floor with noise, so it compresses as real ones do.
static std::string sky(int k)
{
	std::string p(3600, '\0');
	unsigned x = 2463534242u + (unsigned)k;
	for (int i = 0; i < 1800; i++) {
		x ^= x << 13, x ^= x >> 17, x ^= x << 5;
		unsigned v = 5000 + (x >> 22);
		p[2 * i] = (char)(v & 0xff);
		p[2 * i + 1] = (char)(v >> 8);
	}
	return p;
}

// Writes n frames from stamp time t0 (hundredths) on, every half second, as net-arc would.
static void make_archive(const std::string &root, long long t0, int n)
{
	std::vector<std::string> gz(16);
	for (int k = 0; k < 16; k++) {
		std::string p = sky(k), out(5000, '\0');
		uLongf len = out.size();
		z_stream z{};
		deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
		z.next_in = (unsigned char *)p.data();
		z.avail_in = (uInt)p.size();
		z.next_out = (unsigned char *)out.data();
		z.avail_out = (uInt)len;
		deflate(&z, Z_FINISH);
		out.resize(z.total_out);
		deflateEnd(&z);
		gz[(size_t)k] = out;
	}
	std::string last_dir;
	mkdir(root.c_str(), 0755);
	for (int k = 0; k < n; k++) {
		char s[17];
		fr_time_stamp(t0 + 50LL * k, s);
		std::string st(s), dir = root + "/" + st.substr(0, 8) + "/" + st.substr(0, 11);
		if (dir != last_dir) {
			mkdir((root + "/" + st.substr(0, 8)).c_str(), 0755);
			mkdir(dir.c_str(), 0755);
			last_dir = dir;
		}
		FILE *f = fopen((dir + "/" + st + ".gz").c_str(), "w");
		fwrite(gz[(size_t)(k % 16)].data(), 1, gz[(size_t)(k % 16)].size(), f);
		fclose(f);
	}
}

// Seconds a shell command takes, best of two (the first also warms the cache).
static double timed(const std::string &cmd)
{
	double best = 1e9;
	for (int i = 0; i < 2; i++) {
		double t = now();
		if (system(cmd.c_str()) != 0)
			fprintf(stderr, "failed: %s\n", cmd.c_str());
		best = std::min(best, now() - t);
	}
	return best;
}

static void reading(const std::string &name, const std::string &root, const std::string &range, int n)
{
	std::string cat = bin("arc-cat") + " " + root + " " + range + " > /dev/null";
	std::string xz = "find " + root + " -name '*.gz' | sort | xargs zcat > /dev/null";
	// The per-file loop on a sample of files: it is that slow.
	int sample = std::min(n, quick ? 200 : 1000);
	std::string loop = "find " + root + " -name '*.gz' | sort | head -n " + std::to_string(sample) +
			   " | while read -r f; do gunzip < \"$f\"; done > /dev/null";
	double a = timed(cat), b = timed(xz), c = timed(loop);
	printf("%-6s %8d files  arc-cat %9.0f/s (%6.2f s)  xargs zcat %9.0f/s  gunzip loop %6.0f/s  arc-cat/zcat %.2f\n",
	       name.c_str(), n, n / a, a, n / b, sample / c, b / a);
	double s = timed(bin("arc-stat") + " " + root + " > /dev/null"), v = timed(bin("arc-stat") + " -v " + root + " > /dev/null");
	double f = timed("find " + root + " -name '*.gz' | wc -l > /dev/null");
	printf("%-6s %8d files  arc-stat %6.3f s   arc-stat -v %6.2f s (%9.0f/s)   find | wc -l %6.3f s\n", name.c_str(), n, s, v,
	       n / v, f);
}

static long ticks(pid_t pid, bool children)
{
	std::string st = slurp("/proc/" + std::to_string(pid) + "/stat");
	long u = 0, s = 0, cu = 0, cs = 0;
	sscanf(st.c_str() + st.rfind(')') + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld %ld %ld", &u, &s,
	       &cu, &cs);
	return u + s + (children ? cu + cs : 0);
}

// frame-send at 2 frames/s into net-arc; arc-cat -f and arc-pipe both follow.
static void following()
{
	int secs = quick ? 10 : 60;
	TempDir t;
	int port = free_udp_port();
	Proc arc = start_net_arc(t.path, port);
	Spawn f;
	f.argv = {bin("arc-cat"), "-f", t / "arc", "now"};
	f.pipe_out = true;
	Proc cat = start(f);
	Spawn p;
	p.argv = {bin("arc-pipe"), "arc"};
	p.cwd = t.path;
	p.stdout_fd = open("/dev/null", O_WRONLY);
	Proc pipe = start(p);
	close(p.stdout_fd);
	usleep(300000);
	// Close times of the files, seen by a watcher of our own on every period directory.
	int in = inotify_init1(IN_NONBLOCK);
	inotify_add_watch(in, (t / "arc").c_str(), IN_CREATE);
	long c0 = ticks(cat.pid, false), p0 = ticks(pipe.pid, true);
	Spawn s;
	s.argv = {bin("frame-send"), "-c", std::to_string(2 * secs), "127.0.0.1", std::to_string(port)};
	Proc send = start(s);
	std::vector<double> delays;
	std::vector<std::pair<std::string, double>> closed;
	std::vector<int> wds;
	double end = now() + secs + 2;
	alignas(struct inotify_event) char ev[8192];
	std::string rec(3617, '\0');
	// Both ends at once: a close is timed as soon as it can be read, before any record.
	auto take_closes = [&] {
		for (;;) {
			ssize_t n = read(in, ev, sizeof ev);
			if (n <= 0)
				return;
			double at = now();
			for (char *q = ev; q < ev + n;) {
				auto *e = (struct inotify_event *)q;
				q += sizeof *e + e->len;
				if (!e->len)
					continue;
				std::string name = e->name;
				if ((e->mask & IN_CREATE) && (name.size() == 8 || name.size() == 11)) {
					std::string dir = t / "arc/" + (name.size() == 11 ? name.substr(0, 8) + "/" : "") + name;
					inotify_add_watch(in, dir.c_str(), IN_CREATE | IN_CLOSE_WRITE);
				} else if ((e->mask & IN_CLOSE_WRITE) && name.size() == 19)
					closed.push_back({name.substr(0, 16), at});
			}
		}
	};
	while (now() < end) {
		struct pollfd pf[2] = {{in, POLLIN, 0}, {cat.out, POLLIN, 0}};
		if (poll(pf, 2, 100) <= 0)
			continue;
		take_closes();
		if (!(pf[1].revents & POLLIN) || !read_exact(cat.out, rec.data(), rec.size(), 1000))
			continue;
		double at = now();
		take_closes();
		std::string stamp = rec.substr(0, 16);
		auto it = std::find_if(closed.begin(), closed.end(), [&](auto &c) { return c.first == stamp; });
		if (it != closed.end())
			delays.push_back((at - it->second) * 1000);
	}
	double hz = (double)sysconf(_SC_CLK_TCK);
	double cpu_cat = (ticks(cat.pid, false) - c0) / hz / secs * 100;
	double cpu_pipe = (ticks(pipe.pid, true) - p0) / hz / secs * 100;
	printf("follow  %zu frames over %d s  arc-cat -f delay median %.2f ms, p95 %.2f ms, CPU %.2f %% of a core;"
	       "  arc-pipe CPU with children %.1f %%\n",
	       delays.size(), secs, pct(delays, 0.5), pct(delays, 0.95), cpu_cat, cpu_pipe);
	close(in);
}

int main(int argc, char **argv)
{
	quick = argc > 1 && std::string(argv[1]) == "--quick";
	TempDir t;
	long long t0;
	fr_stamp_time("2026120700000000", &t0);
	int hour = 7200, day = quick ? 20000 : 172800;
	make_archive(t / "hour", t0, hour);
	reading("hour", t / "hour", "2026120700", hour);
	make_archive(t / "day", t0, day);
	reading("day", t / "day", "20261207", day);
	following();
}
