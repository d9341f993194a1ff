// The pictures and the stretch FITS file in process, as pipe-web makes them: ten minutes and a
// day drawn as the quicklook, a day's strip, a day's light curve, then a day written as one FITS
// file. Frames are made in memory (no reading is timed). Wall seconds of each and the peak RSS
// after it, which must not grow with the stretch: the day's FITS file is written in blocks.
// usage: pictures_bench [--quick] (--quick: an hour for the day)
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "draw.h"
#include "fitswrite.h"
#include "kit.h"

static double now()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (double)t.tv_sec + t.tv_nsec / 1e9;
}

static long rss_kib()
{
	struct rusage u;
	getrusage(RUSAGE_SELF, &u);
	return u.ru_maxrss;
}

// Frame k of a sky that changes a little from frame to frame.
static void frame(long k, unsigned char *p)
{
	for (int i = 0; i < FR_POINTS * FR_CHANNELS; i++) {
		unsigned v = 5000 + (unsigned)((k * 7 + i * 13) % 1500);
		p[2 * i] = (unsigned char)(v & 0xff), p[2 * i + 1] = (unsigned char)(v >> 8);
	}
}

static void picture(const char *what, QlOpts o, long long t0, long n)
{
	double t = now();
	QlDraw d(o);
	unsigned char p[FR_PAYLOAD];
	for (long k = 0; k < n; k++) {
		frame(k, p);
		d.add(t0 + 50 * k, p);
	}
	std::string png, why = d.png(&png);
	printf("%-34s %7ld frames %7.3f s  %6zu KiB PNG  peak RSS %ld KiB%s\n", what, n, now() - t, png.size() / 1024, rss_kib(),
	       why.empty() ? "" : (" " + why).c_str());
}

int main(int argc, char **argv)
{
	bool quick = argc > 1 && !strcmp(argv[1], "--quick");
	long day = quick ? 7200 : 172800;
	long long t0 = 0;
	fr_stamp_time("2026120700000000", &t0);
	QlOpts ten;
	picture("ten minutes, 1600 wide", ten, t0, 1200);
	QlOpts strip;
	strip.kind = QL_STRIP, strip.width = QL_STRIP_W, strip.automatic = true;
	picture("a day's strip", strip, t0, day);
	QlOpts curve;
	curve.kind = QL_CURVE, curve.width = 800, curve.f_lo = 20, curve.f_hi = 30, curve.automatic = true;
	picture("a day's light curve, 800 wide", curve, t0, day);
	QlOpts whole;
	picture("a day, 1600 wide", whole, t0, day);

	TempDir dir;
	std::string path = dir / "day.fits";
	double t = now();
	FwSource source = [&](const FwTake &take) {
		unsigned char p[FR_PAYLOAD];
		for (long k = 0; k < day; k++) {
			frame(k, p);
			take(t0 + 50 * k, p);
		}
		return std::string();
	};
	std::string why = fw_stretch(path, FwStation(), t0, t0 + 50 * day, source);
	struct stat st {};
	stat(path.c_str(), &st);
	long long bytes = (long long)st.st_size;
	printf("%-34s %7ld frames %7.3f s  %6lld MiB FITS peak RSS %ld KiB%s\n", "a day as one FITS file", day, now() - t,
	       bytes >> 20, rss_kib(), why.empty() ? "" : (" " + why).c_str());
	unlink(path.c_str());
	return why.empty() ? 0 : 1;
}
