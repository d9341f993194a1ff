// fits-pipe [-2] [-d DB_PER_DIGIT] [-f LEVEL] [-z ±HHMM] FILE...: FITS dynamic spectra as a
// record stream. The files pipe-fits writes come back as the records it was given; a station's
// files of the network (channels x samples of digits) become half-second frames of the 900
// points, digits turned into levels. Files are put in order of their stated start, each is
// checked whole (spectra.cc) before its first frame is written, and a frame is written only if
// its stamp is after the last one written. A bad file is named and skipped, status 1.
//
// One file is in memory at a time (a pair with -2: two). Stamps are local time, as a
// receiver's are: UTC turned into the host's zone (TZ) or by -z, as pipe-fits turns them back.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fitsio.h>
#include <getopt.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "cli.h"
#include "frame.h"
#include "spectra.h"

static const char USAGE[] = "usage: fits-pipe [-2] [-d DB_PER_DIGIT] [-f LEVEL] [-z +-HHMM] FILE...";
static const char HELP[] =
	"Writes the frames of FITS dynamic spectra (pipe-fits's files, or a station's) as records on\n"
	"standard output, in time order.\n"
	"  -2               files in pairs, channel A then channel B (else B repeats A)\n"
	"  -d DB_PER_DIGIT  levels of a station's digits (default 0.38598: 2500 mV / 255 / 25.4 mV/dB)\n"
	"  -f LEVEL         the level of points outside a station's band (default 40.00)\n"
	"  -z +-HHMM        the stamps' offset from UTC (default: the host's time zone, TZ)\n";

static unsigned char hdr[FR_HEADER], buf2[FR_PAYLOAD];

struct Opts {
	SpOpts sp;
	bool pairs = false, fixed = false;
	long long offset = 0;  // hundredths to add to UTC, with -z
};

// A file, or a pair (A, B), and its stated start.
struct Item {
	std::string a, b;
	long long start = 0;
};

struct Run {
	Opts o;
	std::vector<Item> items;
	long long last = LLONG_MIN;  // the local time of the last frame written
	long stale = 0;              // frames not after it
	bool bad = false;
	uint16_t va[FR_POINTS], vb[FR_POINTS];
};

// A level of 0 to 655.35 (a payload value's range): a plain decimal number, 0 included.
static bool level_arg(const char *s, double *v)
{
	size_t n = strlen(s);
	if (n > 0 && strspn(s, "0.") == n && strchr(s, '0') && std::count(s, s + n, '.') <= 1) {
		*v = 0;
		return true;
	}
	return arg_positive(s, v) && *v <= 655.35;
}

static Opts options(int argc, char **argv, Run &r)
{
	Opts o;
	opterr = 0;
	for (int c; (c = getopt(argc, argv, "2d:f:z:")) != -1;) {
		if (c == '2')
			o.pairs = true;
		else if (c == 'd' && arg_positive(optarg, &o.sp.db_per_digit) && o.sp.db_per_digit <= 100)
			continue;
		else if (c == 'f' && level_arg(optarg, &o.sp.fill))
			continue;
		else if (c == 'z' && sp_zone(optarg, &o.offset))
			o.fixed = true;
		else
			usage(USAGE);
	}
	int n = argc - optind;
	if (n == 0)
		usage(USAGE);
	if (o.pairs && n % 2)
		usage_why(USAGE, "-2 takes files in pairs, and %d were given", n);
	for (int i = optind; i < argc; i += o.pairs ? 2 : 1)
		r.items.push_back({argv[i], o.pairs ? argv[i + 1] : "", 0});
	return o;
}

// A file opened: CFITSIO's handle and, for a gzip-compressed file, its inflated bytes, which
// the handle reads in place.
struct FitsIn {
	fitsfile *f = nullptr;
	std::vector<char> bytes;
	void *mem = nullptr;  // where CFITSIO finds the bytes and their size, for as long as it is open
	size_t size = 0;
};

// A compressed file is inflated whole into memory, here rather than by CFITSIO, so that this
// is the bound: no station file comes near it, and a small file that claims more is refused
// when it passes it.
enum : long { GZ_MAX = 64L << 20 };

// Inflates a gzip file into in.bytes. Returns "" (nothing read if the file is not compressed)
// or why not.
static std::string inflate_file(const std::string &path, FitsIn &in)
{
	gzFile g = gzopen(path.c_str(), "rb");
	if (!g)
		return std::string("cannot open: ") + strerror(errno ? errno : ENOMEM);
	std::string why;
	if (gzdirect(g) == 0) {
		static char block[1 << 16];
		int n;
		while (why.empty() && (n = gzread(g, block, sizeof block)) > 0) {
			if ((long)in.bytes.size() + n > GZ_MAX)
				why = "inflates to more than " + std::to_string(GZ_MAX >> 20) + " MiB";
			else
				in.bytes.insert(in.bytes.end(), block, block + n);
		}
		if (why.empty() && (n < 0 || in.bytes.empty()))
			why = "not a FITS file";  // not gzip after all, or cut short
	}
	gzclose(g);
	if (!why.empty())
		std::vector<char>().swap(in.bytes);
	return why;
}

// Opens a file by its name alone (never read as CFITSIO's extended syntax; gzip is read too).
// Returns "" or why not.
static std::string open_fits(const std::string &path, FitsIn &in)
{
	in = FitsIn();
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a pipe is never waited on
	if (fd < 0)
		return std::string("cannot open: ") + strerror(errno);
	struct stat sb;
	bool regular = fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode);
	close(fd);
	if (!regular)
		return "not a regular file";
	if (std::string why = inflate_file(path, in); !why.empty())
		return why;
	int st = 0;
	in.bytes.resize((in.bytes.size() + 2879) / 2880 * 2880);  // CFITSIO reads whole blocks
	in.mem = in.bytes.data();
	in.size = in.bytes.size();
	if (in.bytes.empty() ? fits_open_diskfile(&in.f, path.c_str(), READONLY, &st) != 0
			     : fits_open_memfile(&in.f, "inflated", READONLY, &in.mem, &in.size, 0, nullptr, &st) != 0) {
		in.f = nullptr;
		return "not a FITS file";
	}
	return "";
}

static void close_fits(FitsIn &in)
{
	int st = 0;
	if (in.f)
		fits_close_file(in.f, &st);
	in = FitsIn();
}

// Names a bad file, and its pair, which is skipped with it.
static void skip(Run &r, const Item &it, bool in_b, const std::string &why)
{
	const std::string &name = in_b ? it.b : it.a, &other = in_b ? it.a : it.b;
	warn("%s: %s; skipped", name.c_str(), why.c_str());
	if (!other.empty())
		warn("%s: skipped with its pair %s", other.c_str(), name.c_str());
	r.bad = true;
}

// The stated start of each file (A's for a pair); the files that have none are skipped.
static void starts(Run &r)
{
	std::vector<Item> ok;
	for (Item &it : r.items) {
		std::string why;
		bool in_b = false;
		for (const std::string *p : {&it.a, &it.b}) {
			if (p->empty() || !why.empty())
				continue;
			FitsIn f;
			long long us = 0;
			why = open_fits(*p, f);
			if (why.empty())
				why = sp_start(f.f, &us);
			close_fits(f);
			in_b = p == &it.b;
			if (!in_b)
				it.start = us;
		}
		if (why.empty())
			ok.push_back(it);
		else
			skip(r, it, in_b, why);
	}
	std::stable_sort(ok.begin(), ok.end(), [](const Item &x, const Item &y) { return x.start < y.start; });
	r.items = ok;
}

// The stamp's time of a UTC time: the fixed offset, or the host's zone at that time.
static long long local_time(const Run &r, long long utc)
{
	if (r.o.fixed)
		return utc + r.o.offset;
	time_t t = (time_t)(utc / 100);
	struct tm tm;
	if (!localtime_r(&t, &tm))
		return -1;
	return utc + (long long)tm.tm_gmtoff * 100;
}

static void write_frame(Run &r, long long utc)
{
	long long local = local_time(r, utc);
	if (local < 0 || local <= r.last) {
		r.stale++;
		return;
	}
	char s[FR_STAMP + 1];
	fr_time_stamp(local, s);
	memcpy(hdr, s, FR_STAMP);
	hdr[FR_STAMP] = 0;
	for (int p = 0; p < FR_POINTS; p++) {
		unsigned char *x = buf2 + 4 * p;
		x[0] = (unsigned char)r.va[p], x[1] = (unsigned char)(r.va[p] >> 8);
		x[2] = (unsigned char)r.vb[p], x[3] = (unsigned char)(r.vb[p] >> 8);
	}
	if (fr_write(stdout, hdr, buf2) != 0)
		die("write error on standard output:");
	r.last = local;
}

// One file or pair: checked whole, then its frames (a pair's half seconds that both have).
static void emit(Run &r, const Item &it)
{
	FitsIn fa, fb;
	SpReader ra, rb;
	std::string why = open_fits(it.a, fa);
	if (why.empty())
		why = sp_open(fa.f, r.o.sp, &ra);
	if (!why.empty()) {
		close_fits(fa);
		return skip(r, it, false, why);
	}
	if (!it.b.empty()) {
		why = open_fits(it.b, fb);
		if (why.empty())
			why = sp_open(fb.f, r.o.sp, &rb);
		if (!why.empty()) {
			close_fits(fa);
			close_fits(fb);
			return skip(r, it, true, why);
		}
	}
	// pipe-fits' own pair: A then B of one period, or nothing of either is written.
	if (fb.f && (ra.own || rb.own) && !(ra.channel == 'A' && rb.channel == 'B' && ra.start == rb.start)) {
		close_fits(fa);
		close_fits(fb);
		return skip(r, it, true, "not channel B of the period of " + it.a + " (pipe-fits' files pair A and B of one start)");
	}
	long long ta, tb = LLONG_MIN;
	long both = 0;
	int sa = sp_next(&ra, &ta, r.va, &why), sb = 1;
	while (sa == 1 && fb.f) {
		while (sb == 1 && tb < ta)
			sb = sp_next(&rb, &tb, r.vb, &why);
		if (sb != 1)
			break;
		if (tb == ta)
			write_frame(r, ta), both++;
		sa = sp_next(&ra, &ta, r.va, &why);
	}
	if (fb.f && both == 0 && sa >= 0 && sb >= 0) {
		warn("%s and %s: no half second in common; skipped", it.a.c_str(), it.b.c_str());
		r.bad = true;
	}
	for (; sa == 1 && !fb.f; sa = sp_next(&ra, &ta, r.va, &why)) {
		memcpy(r.vb, r.va, sizeof r.va);
		write_frame(r, ta);
	}
	if (sa < 0 || sb < 0) {
		warn("%s: %s; the rest of it skipped", (sa < 0 ? it.a : it.b).c_str(), why.c_str());
		r.bad = true;
	}
	close_fits(fa);
	close_fits(fb);
}

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	Run r;
	r.o = options(argc, argv, r);
	starts(r);
	for (const Item &it : r.items)
		emit(r, it);
	warn_skipped(r.stale, "not after the last frame written");
	return r.bad ? 1 : 0;
}
