// Packs against loose files on a simulated day, both in the same run on the same disk:
//   the sky    frame-send's spectra (seed 1) through net-pipe, stored loose under the stamps of
//              one whole day from 00:00, each payload gzipped as net-arc's gzip does (level 6)
//   formats    bytes of the day's periods as candidate tar streams (plain, gzip, zstd levels),
//              made by the standard tar and compressors (the first three hours, scaled),
//              beside the loose files' du
//   arc-pack   wall time, CPU time and peak memory to pack the day (as GNU time measures them)
//   the day    inodes and du bytes loose and packed, days a disk lasts (ext4 defaults: an inode
//              per 16 KiB) for 32 GB, 256 GB and 1 TB
//   reading    arc-cat of the whole day, arc-stat without and with -v, loose and packed, from
//              the page cache and then from the disk (the files' cached pages dropped first)
// usage: pack_bench [--quick]   (--quick: 20,000 frames instead of 172,800)
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "frame.h"
#include "kit.h"

static double now()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (double)t.tv_sec + t.tv_nsec / 1e9;
}

// n records of frame-send's sky, through net-pipe, into a file.
static std::string simulate(const std::string &dir, long n)
{
	std::string out = dir + "/sky.rec";
	int port = free_udp_port();
	Spawn p;
	p.argv = {bin("net-pipe"), std::to_string(port)};
	p.stdout_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	Proc pipe = start(p);
	close(p.stdout_fd);
	wait_bound(port, 5000);
	Ran s = run({bin("frame-send"), "-c", std::to_string(n), "-r", "3000", "-s", "1", "127.0.0.1", std::to_string(port)}, "",
		    (int)(n / 2000 + 60) * 1000);
	if (exit_code(s.status) != 0)
		fprintf(stderr, "frame-send failed: %s\n", s.err.c_str());
	wait_drained(port, 5000);
	stop(pipe);
	return out;
}

static std::string deflate_gz(const unsigned char *p)
{
	z_stream z{};
	deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
	std::string out(5000, '\0');
	z.next_in = const_cast<unsigned char *>(p);
	z.avail_in = FR_PAYLOAD;
	z.next_out = (unsigned char *)out.data();
	z.avail_out = (uInt)out.size();
	deflate(&z, Z_FINISH);
	out.resize(z.total_out);
	deflateEnd(&z);
	return out;
}

// The day loose, as net-arc leaves it: every record's payload under the stamps of 2026-11-01
// from 00:00 on, a half second apart (records cycled if the sky gave fewer).
static long store(const std::string &records, const std::string &root, long n)
{
	std::string all = slurp(records);
	long have = (long)(all.size() / FR_RECORD);
	long long t0;
	fr_stamp_time("2026110100000000", &t0);
	mkdir(root.c_str(), 0755);
	std::string last;
	for (long k = 0; k < n && have > 0; k++) {
		char s[17];
		fr_time_stamp(t0 + 50LL * k, s);
		std::string st(s), dir = root + "/" + st.substr(0, 8) + "/" + st.substr(0, 11);
		if (dir != last) {
			mkdir((root + "/" + st.substr(0, 8)).c_str(), 0755);
			mkdir(dir.c_str(), 0755);
			last = dir;
		}
		spit(dir + "/" + st + ".gz", deflate_gz((const unsigned char *)all.data() + (k % have) * FR_RECORD + FR_HEADER));
	}
	return have;
}

static std::string sh(const std::string &cmd)
{
	return run({"/bin/sh", "-c", cmd}, "", 3600000).out;
}

static double du_bytes(const std::string &root) { return atof(sh("du -s --block-size=1 " + root).c_str()); }
static double inodes(const std::string &root) { return atof(sh("find " + root + " | wc -l").c_str()); }

// A command run under GNU time (so that the figures are the command's own): wall and CPU
// seconds and peak resident memory in MB, best wall of runs (the first also warms the cache).
struct Cost {
	double wall = 1e9, cpu = 0, mb = 0;
};
static Cost timed(const std::string &cmd, int runs = 2)
{
	Cost best;
	for (int i = 0; i < runs; i++) {
		std::string f = sh("mktemp");
		f.pop_back();
		if (system(("/usr/bin/time -f '%e %U %S %M' -o " + f + " sh -c '" + cmd + "'").c_str()) != 0)
			fprintf(stderr, "failed: %s\n", cmd.c_str());
		Cost c;
		double u = 0, s = 0;
		sscanf(slurp(f).c_str(), "%lf %lf %lf %lf", &c.wall, &u, &s, &c.mb);
		unlink(f.c_str());
		c.cpu = u + s;
		c.mb /= 1024;
		if (c.wall < best.wall)
			best = c;
	}
	return best;
}

// Drops the files of a tree from the page cache (each written back first), so that the next
// read comes from the disk; only our own files, so nothing else on the machine is disturbed.
static int evict_one(const char *path, const struct stat *, int type, struct FTW *)
{
	if (type == FTW_F) {
		int fd = open(path, O_RDONLY);
		if (fd >= 0) {
			fdatasync(fd);
			posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
			close(fd);
		}
	}
	return 0;
}
static void evict(const std::string &root) { nftw(root.c_str(), evict_one, 16, FTW_PHYS); }

// Bytes of the first periods of the loose day (up to 18, three hours) as one tar stream each,
// through a compressor, and how many periods that was.
static double tar_bytes(const std::string &root, const std::string &filter, int *periods)
{
	std::string cmd = "cd " + root + " && total=0; k=0; for d in $(ls -d */*/ | head -n 18); do d=${d%/}; "
			  "n=$(tar -C ${d%%/*} -cf - ${d#*/} " + (filter.empty() ? "" : "| " + filter) +
			  " | wc -c); total=$((total + n)); k=$((k + 1)); done; echo $total $k";
	double b = 0;
	sscanf(sh(cmd).c_str(), "%lf %d", &b, periods);
	return b;
}

int main(int argc, char **argv)
{
	bool quick = argc > 1 && std::string(argv[1]) == "--quick";
	setvbuf(stdout, nullptr, _IOLBF, 0);
	long n = quick ? 20000 : 172800;
	double per_day = 172800.0 / (double)n;  // figures scaled to a whole day
	TempDir t;
	std::string loose = t / "loose", packed = t / "packed";
	long got = store(simulate(t.path, n), loose, n);
	printf("pack: %ld frames of frame-send's sky (%ld distinct), as a day from 2026-11-01 00:00; figures per day\n", n, got);
	double lb = du_bytes(loose), li = inodes(loose);
	printf("formats, bytes per day (one tar stream per ten-minute period)  loose du %.0f MB\n", lb * per_day / 1e6);
	struct {
		const char *name, *filter;
	} forms[] = {{"tar", ""}, {"tar.gz -6", "gzip -6"}, {"tar.zst -1", "zstd -q -1"}, {"tar.zst -3", "zstd -q -3"},
		     {"tar.zst -9", "zstd -q -9"}, {"tar.zst -19", "zstd -q -19"}};
	int periods = 0, all = atoi(sh("ls -d " + loose + "/*/*/ | wc -l").c_str());
	for (auto &f : forms) {
		double t0 = now();
		double b = tar_bytes(loose, f.filter, &periods) * all / std::max(1, periods);
		printf("  %-12s %8.0f MB  %5.3f of loose du  %6.1f s for %d periods\n", f.name, b * per_day / 1e6, b / lb,
		       now() - t0, periods);
	}
	sh("cp -a " + loose + " " + packed);
	Cost p = timed(bin("arc-pack") + " -a 0m " + packed + " 2>/dev/null", 1);
	double pb = du_bytes(packed), pi = inodes(packed);
	printf("arc-pack  %.1f s wall, %.1f s CPU, peak %.1f MB (per day: %.1f s CPU)\n", p.wall, p.cpu, p.mb,
	       p.cpu * per_day);
	printf("day       loose %9.0f inodes %8.0f MB du   packed %5.0f inodes %7.0f MB du   ratio %.3f\n", li * per_day,
	       lb * per_day / 1e6, pi * per_day, pb * per_day / 1e6, pb / lb);
	for (double gb : {32.0, 256.0, 1000.0}) {
		double bytes = gb * 1e9, ino = bytes / 16384;
		auto days = [&](double b, double i) { return std::min(bytes / (b * per_day), ino / (i * per_day)); };
		printf("disk %4.0f GB  loose %7.1f days   packed %7.1f days\n", gb, days(lb, li), days(pb, pi));
	}
	for (auto [name, root] : {std::pair{"loose ", loose}, std::pair{"packed", packed}}) {
		Cost c = timed(bin("arc-cat") + " " + root + " > /dev/null");
		Cost s = timed(bin("arc-stat") + " " + root + " > /dev/null");
		Cost v = timed(bin("arc-stat") + " -v " + root + " > /dev/null");
		printf("%s  arc-cat %6.2f s (CPU %5.2f s, %7.0f frames/s)   arc-stat %5.2f s (CPU %5.2f s)   arc-stat -v %5.2f s "
		       "(CPU %5.2f s)\n",
		       name, c.wall, c.cpu, (double)n / c.wall, s.wall, s.cpu, v.wall, v.cpu);
	}
	// From the disk: the files' pages dropped before each run (directories stay cached).
	for (auto [name, root] : {std::pair{"loose ", loose}, std::pair{"packed", packed}}) {
		evict(root);
		Cost c = timed(bin("arc-cat") + " " + root + " > /dev/null", 1);
		evict(root);
		Cost v = timed(bin("arc-stat") + " -v " + root + " > /dev/null", 1);
		printf("%s  from the disk: arc-cat %6.2f s (CPU %5.2f s)   arc-stat -v %6.2f s\n", name, c.wall, c.cpu, v.wall);
	}
	std::string a = sh(bin("arc-cat") + " " + loose + " | md5sum"), b = sh(bin("arc-cat") + " " + packed + " | md5sum");
	printf("arc-cat loose and packed give the same bytes: %s\n", a == b ? "yes" : "NO");
}
