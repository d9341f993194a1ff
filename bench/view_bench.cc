// Window benchmarks under a private Xvfb:
//   zq2        single-pixel ZQ_Color + ZQ_Line pairs per second (window and pixmap), beside the
//              same two requests made directly with Xlib
//   pipe-view  frames painted per second from a file of 20,000 records, and resident memory
//              after 1,000 and after 200,000 frames
// usage: view_bench [--quick]
#include <X11/Xlib.h>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>

#include "xkit.h"
#include "zq2.h"

static double now()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (double)t.tv_sec + t.tv_nsec / 1e9;
}

static long rss_kib(pid_t pid)
{
	std::string s = slurp("/proc/" + std::to_string(pid) + "/status");
	size_t at = s.find("VmRSS:");
	return at == std::string::npos ? -1 : std::stol(s.substr(at + 6));
}

static void bench_pairs(const Xvfb &x, long n)
{
	snprintf(zq.title, sizeof zq.title, "bench");
	zq.width = 1060;
	zq.height = 860;
	ZQ_Open(x.display.c_str(), nullptr);
	double rate[2] = {0, 0};
	for (int round = 0; round < 3; round++)
		for (int k = 0; k < 2; k++) {
			XSync(zq.dpy, False);
			double t0 = now();
			for (long i = 0; i < n; i++) {
				int px = 80 + (int)(i % 900), py = 30 + (int)(i / 900 % 800);
				if (k == 0) {
					ZQ_Color((int)(i & 127));
					ZQ_Line(px, py, px, py);
				} else {
					XSetForeground(zq.dpy, zq.gc, zq.col[i & 127].pixel);
					XDrawLine(zq.dpy, zq.win, zq.gc, px, py, px, py);
					XDrawLine(zq.dpy, zq.pix, zq.gc, px, py, px, py);
				}
				if (i % 900 == 899)
					ZQ_Event();
			}
			XSync(zq.dpy, False);
			double r = n / (now() - t0);
			rate[k] = r > rate[k] ? r : rate[k];
		}
	printf("zq2: ZQ_Color + ZQ_Line pairs per second (best of 3): %.0f; the same requests made directly "
	       "with Xlib: %.0f (ratio %.2f); that is %.0f viewer frames per second\n",
	       rate[0], rate[1], rate[0] / rate[1], rate[0] / 900);
}

static std::string records(long n)
{
	std::string all;
	all.reserve((size_t)n * 3617);
	for (long k = 0; k < n; k++) {
		std::string p(3600, '\0');
		for (int i = 0; i < 1800; i++) {
			unsigned v = 4000 + (unsigned)((i * 37 + k * 11) % 10000);
			p[2 * i] = (char)(v & 0xff);
			p[2 * i + 1] = (char)(v >> 8);
		}
		all += record("2026120721163450", p);
	}
	return all;
}

static void bench_view(const Xvfb &x, long frames, long soak)
{
	TempDir t;
	spit(t / "records", records(frames));
	double best = 0;
	for (int round = 0; round < 3; round++) {
		std::string cmd = "DISPLAY=" + x.display + " " + bin("pipe-view") + " < " + (t / "records");
		double t0 = now();
		if (system(cmd.c_str()) != 0)
			printf("pipe-view failed\n");
		double r = frames / (now() - t0);
		best = r > best ? r : best;
	}
	printf("pipe-view: %.0f frames per second from a file of %ld records (best of 3; target 2000); "
	       "a day of 172,800 frames in %.0f s\n",
	       best, frames, 172800 / best);

	// Memory: fed through a pipe, sampled while it waits for more.
	Spawn s;
	s.argv = {bin("pipe-view")};
	s.env = x.env();
	s.pipe_in = true;
	Proc p = start(s);
	std::string chunk = records(1000);
	long rss1 = 0;
	for (long sent = 0; sent < soak; sent += 1000) {
		for (size_t at = 0; at < chunk.size();) {
			ssize_t w = write(p.in, chunk.data() + at, chunk.size() - at);
			if (w <= 0)
				return;
			at += (size_t)w;
		}
		if (sent == 0) {
			usleep(500000);
			rss1 = rss_kib(p.pid);
		}
	}
	usleep(500000);
	long rss2 = rss_kib(p.pid);
	printf("pipe-view resident memory: %ld KiB after 1,000 frames, %ld KiB after %ld (difference %ld KiB; "
	       "target within 1024)\n",
	       rss1, rss2, soak, rss2 - rss1);
}

int main(int argc, char **argv)
{
	bool quick = argc > 1 && strcmp(argv[1], "--quick") == 0;
	setvbuf(stdout, nullptr, _IOLBF, 0);
	Xvfb x;
	bench_pairs(x, quick ? 90000 : 900000);
	bench_view(x, quick ? 2000 : 20000, quick ? 5000 : 200000);
	return 0;
}
