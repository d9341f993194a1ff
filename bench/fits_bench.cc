// fits-pipe on a day of a station's files: one real file (tests/data/realsky) written 96 times,
// gzip-compressed as stations keep them, its start moved on 15 minutes each time; then the day
// through fits-pipe to /dev/null and on into pipe-png: wall and CPU seconds, frames/s and peak
// RSS (which must not grow with the number of files). A day must take under 10 s.
// usage: fits_bench [--quick]
#include <cstdio>
#include <fcntl.h>
#include <fitsio.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "kit.h"

static double now()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (double)t.tv_sec + t.tv_nsec / 1e9;
}

// The source file with TIME-OBS set to the k-th quarter hour of its day, as NAME.fit.gz.
static void make_file(const std::string &from, const std::string &name, int k)
{
	fitsfile *in, *out;
	int st = 0;
	std::string plain = name + ".tmp";
	unlink(plain.c_str());
	fits_open_diskfile(&in, from.c_str(), READONLY, &st);
	fits_create_diskfile(&out, plain.c_str(), &st);
	fits_copy_file(in, out, 1, 1, 1, &st);
	char tobs[32];
	snprintf(tobs, sizeof tobs, "%02d:%02d:00.454", k / 4, k % 4 * 15);
	fits_movabs_hdu(out, 1, nullptr, &st);
	fits_update_key(out, TSTRING, "TIME-OBS", tobs, nullptr, &st);
	fits_close_file(out, &st);
	fits_close_file(in, &st);
	if (st) {
		fits_report_error(stderr, st);
		exit(1);
	}
	std::string data = slurp(plain);
	gzFile z = gzopen((name + ".fit.gz").c_str(), "wb6");
	gzwrite(z, data.data(), (unsigned)data.size());
	gzclose(z);
	unlink(plain.c_str());
}

struct Took {
	double s, cpu;
	long rss;
};

// Best of two runs of a shell command line: wall and CPU seconds, and the peak RSS of its processes.
static Took measure(const std::string &cmd)
{
	Took best{1e9, 1e9, 0};
	for (int i = 0; i < 2; i++) {
		double t = now();
		pid_t pid = fork();
		if (pid == 0) {
			execl("/bin/sh", "sh", "-c", cmd.c_str(), (char *)nullptr);
			_exit(127);
		}
		int st;
		struct rusage ru;
		wait4(pid, &st, 0, &ru);
		best.s = std::min(best.s, now() - t);
		best.cpu = std::min(best.cpu, (double)ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + (double)ru.ru_stime.tv_sec +
						      ru.ru_stime.tv_usec / 1e6);
		best.rss = std::max(best.rss, ru.ru_maxrss);  // the shell's and its children's
		if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
			fprintf(stderr, "fits_bench: %s failed\n", cmd.c_str());
			exit(1);
		}
	}
	return best;
}

int main(int argc, char **argv)
{
	bool quick = argc > 1 && std::string(argv[1]) == "--quick";
	int files = quick ? 12 : 96;
	TempDir t;
	std::string list;
	for (int k = 0; k < files; k++) {
		char name[64];
		snprintf(name, sizeof name, "BIR_20110922_%02d%02d00_01", k / 4, k % 4 * 15);
		make_file(src("tests/data/realsky/BIR_20110922_050000_01.fit.gz"), t / name, k);
		list += " '" + t / name + ".fit.gz'";
	}
	std::string fp = "TZ=UTC '" + bin("fits-pipe") + "'" + list + " 2>/dev/null";  // the files' 95 shared half seconds said
	Took a = measure(fp + " > /dev/null");
	long frames = (long)files * 1800;
	printf("a day of a station's files (%d x 15 minutes, 200 channels x 3600 samples, gzip):\n", files);
	printf("  %-28s %6.2f s  CPU %6.2f s  %8.0f frames/s  peak RSS %6.1f MiB  %s\n", "fits-pipe > /dev/null", a.s, a.cpu,
	       frames / a.s, a.rss / 1024.0, a.s < 10 * files / 96.0 ? "(under 10 s a day)" : "(OVER 10 s a day)");
	Took b = measure(fp + " | '" + bin("pipe-png") + "' -a '" + t / "day.png" + "'");
	printf("  %-28s %6.2f s  CPU %6.2f s  %8.0f frames/s\n", "fits-pipe | pipe-png -a", b.s, b.cpu, frames / b.s);
}
