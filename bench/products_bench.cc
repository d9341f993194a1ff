// Products from a stored stream, beside cat and pipe-dump on the same file in the same run:
//   pipe-png   a day of records (172,800) into a 1600-pixel picture: frames/s and peak RSS
//   pipe-fits  the same day into 15-minute files and into one day's file (-p 1440): frames/s and
//              peak RSS (which must not grow with the period), and the bytes of the files (16-bit
//              images: 3,600 bytes a frame); every file is synced, so on a slow disk the wall time
//              is the disk's. The goal is 150,000 frames/s
// usage: products_bench [--quick]
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "frame.h"
#include "kit.h"

static double now()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (double)t.tv_sec + t.tv_nsec / 1e9;
}

// n records every half second from 2026-12-07 00:00, a noisy floor with a carrier.
static void make_stream(const std::string &path, int n)
{
	FILE *f = fopen(path.c_str(), "wb");
	std::string p(3600, '\0');
	unsigned x = 2463534242u;
	long long t0;
	fr_stamp_time("2026120700000000", &t0);
	for (int k = 0; k < n; k++) {
		for (int i = 0; i < 1800; i++) {
			x ^= x << 13, x ^= x >> 17, x ^= x << 5;
			unsigned v = (i / 2 == 300 ? 12000 : 5000) + (x >> 22);
			p[(size_t)(2 * i)] = (char)(v & 0xff);
			p[(size_t)(2 * i + 1)] = (char)(v >> 8);
		}
		char s[17];
		fr_time_stamp(t0 + 50LL * k, s);
		fwrite(s, 1, 17, f);
		fwrite(p.data(), 1, p.size(), f);
	}
	fclose(f);
}

struct Took {
	double s, cpu;  // wall and CPU (user + system) seconds
	long rss;       // peak RSS, KiB
};

// Seconds and peak RSS (KiB) of a program reading the file, output to /dev/null; best of two.
// CPU time is given too: on a shared machine the wall time says more about the neighbours.
static Took measure(const std::vector<std::string> &argv, const std::string &in)
{
	double best = 1e9, cpu = 1e9;
	long rss = 0;
	for (int i = 0; i < 2; i++) {
		double t = now();
		pid_t pid = fork();
		if (pid == 0) {
			int fd = open(in.c_str(), O_RDONLY), out = open("/dev/null", O_WRONLY);
			dup2(fd, 0);
			dup2(out, 1);
			std::vector<char *> a;
			for (const std::string &s : argv)
				a.push_back(const_cast<char *>(s.c_str()));
			a.push_back(nullptr);
			execv(a[0], a.data());
			_exit(127);
		}
		int st;
		struct rusage ru;
		wait4(pid, &st, 0, &ru);
		best = std::min(best, now() - t);
		cpu = std::min(cpu, (double)ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + (double)ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6);
		rss = std::max(rss, ru.ru_maxrss);
	}
	return {best, cpu, rss};
}

static void row(const char *name, int n, const std::vector<std::string> &argv, const std::string &in, double cat)
{
	Took k = measure(argv, in);
	printf("  %-22s %9.0f frames/s  %6.2f s  CPU %6.2f s (%7.0f frames/CPU s)  peak RSS %6.1f MiB  (%.2f x cat)\n", name, n / k.s,
	       k.s, k.cpu, n / k.cpu, k.rss / 1024.0, cat / k.s);
}

// The bytes of the files in a folder.
static double folder_mib(const std::string &dir)
{
	double n = 0;
	DIR *d = opendir(dir.c_str());
	for (struct dirent *e; d && (e = readdir(d));) {
		struct stat st;
		if (e->d_name[0] != '.' && stat((dir + "/" + e->d_name).c_str(), &st) == 0)
			n += (double)st.st_size;
	}
	if (d)
		closedir(d);
	return n / (1 << 20);
}

int main(int argc, char **argv)
{
	bool quick = argc > 1 && std::string(argv[1]) == "--quick";
	TempDir t;
	int day = quick ? 20000 : 172800;
	make_stream(t / "day.records", day);
	double cat = measure({"/bin/cat"}, t / "day.records").s;
	printf("a day of records (%d):\n", day);
	printf("  %-22s %9.0f frames/s  %6.2f s\n", "cat", day / cat, cat);
	row("pipe-dump 137", day, {bin("pipe-dump"), "137"}, t / "day.records", cat);
	row("pipe-png (1600 wide)", day, {bin("pipe-png"), t / "day.png"}, t / "day.records", cat);
	if (access(bin("pipe-fits").c_str(), X_OK) == 0) {
		mkdir((t / "fits").c_str(), 0755);
		row("pipe-fits -p 15", day, {bin("pipe-fits"), "-z", "+0000", "-d", t / "fits"}, t / "day.records", cat);
		printf("  %-22s %9.1f MiB of files\n", "", folder_mib(t / "fits"));
		row("pipe-fits -p 1440", day, {bin("pipe-fits"), "-p", "1440", "-z", "+0000", "-d", t / "fits"}, t / "day.records", cat);
	}
}
