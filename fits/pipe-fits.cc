// pipe-fits [-p MINUTES] [-n NAME] [-L LAT,LON[,ALT]] [-o OBJECT] [-z ±HHMM] [-g] [-d DIR]:
// dynamic spectra as FITS files. Reads stream records on standard input and writes, for each
// period of MINUTES aligned to the clock (in UTC), one file per channel,
// DIR/NAME_YYYYMMDD_HHMMSS_01.fit (A) and _02.fit (B): a 2-D image, one column per half second
// and one row per point, holding the frames' values exactly, then a binary table of one row with
// the TIME and FREQUENCY of the columns and rows. The image is 16-bit, as FITS keeps unsigned
// values: stored = value - 32768, BSCALE 0.01 and BZERO 327.68 giving levels. A frame's values
// fill all 65,536 values of 16 bits, so none is free to say "no frame for this half second":
// the value 65534 (stored 32766, BLANK) is taken for it. It is neither a level a receiver
// measures (655.34) nor its fault value 65535, and a file that would need it for a frame is
// written as before instead, 32-bit with BLANK -1 (BSCALE 0.01, BZERO 0), so every frame's
// values come back byte for byte whichever form a file has. A period is written as soon as a frame of a later
// one arrives, and the last at the end of input. Stamps are the receiver's local time, turned
// into UTC by TZ or by -z, and go through the stream's running time: a stamp far from it is
// skipped and said, and never moves the periods. The station (name, place, object) comes from
// the STATION_* environment variables, options overriding.
//
// Memory does not depend on the period: frames are kept by column in blocks of BLOCK columns;
// the block being filled is in memory and the others wait in an unnamed spool file in DIR.
// Each file is written with CFITSIO's disk-file calls (no name is parsed), a status threaded
// through its calls and reported once, a block of columns at a time, under a temporary name
// in DIR, then synced and renamed (cli's outfile).
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fitsio.h>
#include <getopt.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "cli.h"
#include "fitswrite.h"
#include "frame.h"
#include "outfile.h"
#include "spectra.h"
#include "streamtime.h"

static const char USAGE[] =
	"usage: pipe-fits [-p MINUTES] [-n NAME] [-L LAT,LON[,ALT]] [-o OBJECT] [-z +-HHMM] [-g] [-d DIR]";
static const char HELP[] =
	"Writes the frames of standard input as FITS files, one per channel per period.\n"
	"  -p MINUTES     period length, dividing a day (default 15)\n"
	"  -n NAME        station name, first part of every file name (default STATION_NAME, else SPECTRUM)\n"
	"  -L LAT,LON,ALT the station's place: degrees north and east, metres (default STATION_LAT,\n"
	"                 STATION_LON, STATION_ALT)\n"
	"  -o OBJECT      what is observed (default STATION_OBJECT, else Sun)\n"
	"  -z +-HHMM      the stamps' offset from UTC (default: the host's time zone, TZ)\n"
	"  -g             write .fit.gz\n"
	"  -d DIR         folder for the files (default .)\n";

enum { BLOCK = 2048 };  // columns of a block: 7.4 MB of frames
static const unsigned NONE = FW_NONE;

static unsigned char hdr[FR_HEADER], buf2[FR_PAYLOAD];

struct Opts {
	int minutes = 15;
	std::string name, dir = ".", zone, object;
	bool gz = false, fixed = false;
	long long offset = 0;  // hundredths to take from a stamp for UTC, with -z
	bool has_lat = false, has_lon = false, has_alt = false;
	double lat = 0, lon = 0, alt = 0;
};

// The period being filled: its start (UTC hundredths), which columns have a frame, and the
// frames by column, a block in memory and the rest in the spool.
struct Period {
	long long start = -1;
	int cols = 0, used = 0;  // the period's columns; columns up to the last frame's
	std::vector<char> have;
	std::vector<unsigned char> block;  // the frames of block blk's columns
	int blk = 0, width = 0;             // columns of a block
	bool dirty = false;                 // block holds frames not in the spool
	std::vector<char> stored;           // blocks in the spool
	int spool = -1;                     // an unnamed file in DIR
	bool wide[FR_CHANNELS] = {};        // a frame holds NONE: the channel's file is 32-bit
	std::vector<uint16_t> rows[FR_CHANNELS];  // a block turned on its side, kept between periods
	std::vector<uint16_t> side;               // a block on its side as the spool holds it
	std::vector<int32_t> wide_rows;           // values of a 32-bit file on their way out
};

struct Run {
	Opts o;
	Period p;
	StreamTime clock;
	SkipNote late{"late for a period already written"};
};

// A bad value at start: a clear message, status 2.
[[noreturn]] static void bad_value(const std::string &what, const char *why)
{
	usage(("pipe-fits: " + what + ": " + why).c_str());
}

// A plain decimal number (sign, digits, one point): no spaces, exponents or names.
static bool number(const char *s, double *v)
{
	const char *p = s + (*s == '-' || *s == '+');
	if (!*p || strspn(p, "0123456789.") != strlen(p) || std::count(p, p + strlen(p), '.') > 1 || !strcmp(p, "."))
		return false;
	*v = strtod(s, nullptr);
	return std::isfinite(*v);
}

static void check_lat(const std::string &what, const char *s, Opts &o)
{
	if (!number(s, &o.lat) || o.lat < -90 || o.lat > 90)
		bad_value(what, "not a latitude (degrees, -90 to 90, north positive)");
	o.has_lat = true;
}

static void check_lon(const std::string &what, const char *s, Opts &o)
{
	if (!number(s, &o.lon) || o.lon < -180 || o.lon > 180)
		bad_value(what, "not a longitude (degrees, -180 to 180, east positive)");
	o.has_lon = true;
}

static void check_alt(const std::string &what, const char *s, Opts &o)
{
	if (!number(s, &o.alt) || o.alt < -1000 || o.alt > 10000)
		bad_value(what, "not an altitude (metres, -1000 to 10000)");
	o.has_alt = true;
}

static bool name_ok(const std::string &n) { return station_name_ok(n.c_str()); }

static bool object_ok(const std::string &s)
{
	bool ok = !s.empty() && s.size() <= 60;
	for (char ch : s)
		ok = ok && ch >= 0x20 && ch < 0x7f;
	return ok;
}

// The station from the environment where no option gave it.
static void station(Opts &o, bool place)
{
	const char *e;
	if (o.name.empty() && (e = getenv("STATION_NAME")) && *e) {
		if (!name_ok(e))
			bad_value(std::string("STATION_NAME=") + e, "not a name (letters, digits, . _ - +; at most 40)");
		o.name = e;
	}
	if (o.name.empty())
		o.name = "SPECTRUM";
	if (!place) {
		if ((e = getenv("STATION_LAT")) && *e)
			check_lat(std::string("STATION_LAT=") + e, e, o);
		if ((e = getenv("STATION_LON")) && *e)
			check_lon(std::string("STATION_LON=") + e, e, o);
		if ((e = getenv("STATION_ALT")) && *e)
			check_alt(std::string("STATION_ALT=") + e, e, o);
	}
	if (o.object.empty() && (e = getenv("STATION_OBJECT")) && *e) {
		if (!object_ok(e))
			bad_value(std::string("STATION_OBJECT=") + e, "not an object name (printable, at most 60 characters)");
		o.object = e;
	}
	if (o.object.empty())
		o.object = "Sun";
}

static Opts options(int argc, char **argv)
{
	Opts o;
	bool place = false;
	opterr = 0;
	for (int c; (c = getopt(argc, argv, "p:n:L:o:z:gd:")) != -1;) {
		if (c == 'p' && arg_int(optarg, &o.minutes) && o.minutes > 0 && 1440 % o.minutes == 0)
			continue;
		if (c == 'n' && name_ok(optarg)) {
			o.name = optarg;
			continue;
		}
		if (c == 'L') {
			std::string v = optarg, what = std::string("-L ") + optarg;
			std::vector<std::string> part;
			for (size_t at = 0;; at = v.find(',', at) + 1) {
				part.push_back(v.substr(at, v.find(',', at) - at));
				if (v.find(',', at) == std::string::npos)
					break;
			}
			if (part.size() < 2 || part.size() > 3)
				bad_value(what, "not LAT,LON or LAT,LON,ALT");
			check_lat(what, part[0].c_str(), o);
			check_lon(what, part[1].c_str(), o);
			if (part.size() == 3)
				check_alt(what, part[2].c_str(), o);
			place = true;
			continue;
		}
		if (c == 'o') {
			if (!object_ok(optarg))
				bad_value(std::string("-o ") + optarg, "not an object name (printable, at most 60 characters)");
			o.object = optarg;
			continue;
		}
		if (c == 'z' && sp_zone(optarg, &o.offset)) {
			o.fixed = true;
			o.zone = std::string(optarg, 3) + ":" + std::string(optarg + 3);
			continue;
		}
		if (c == 'g') {
			o.gz = true;
			continue;
		}
		if (c == 'd') {
			o.dir = optarg;
			continue;
		}
		usage(USAGE);
	}
	if (optind != argc)
		usage(USAGE);
	station(o, place);
	struct stat st;
	if (stat(o.dir.c_str(), &st) != 0)
		die("cannot open %s:", o.dir.c_str());
	if (!S_ISDIR(st.st_mode))
		die("%s: not a directory", o.dir.c_str());
	if (access(o.dir.c_str(), W_OK | X_OK) != 0)
		die("cannot write in %s:", o.dir.c_str());
	return o;
}

// The offset of local time from UTC at a stamp's time, from TZ (hundredths), kept per hour.
static long long zone_offset(const unsigned char *stamp, long long local)
{
	static char hour[11];
	static long long off;
	if (memcmp(hour, stamp, 10) != 0) {
		memcpy(hour, stamp, 10);
		time_t t = (time_t)(local / 100);
		struct tm tm;
		gmtime_r(&t, &tm);  // the stamp's fields
		tm.tm_isdst = -1;
		time_t real = mktime(&tm);
		off = ((long long)t - (long long)real) * 100;
	}
	return off;
}

// The whole of a read or write at an offset of the spool.
static bool spool_io(bool out, int fd, unsigned char *b, size_t n, off_t at)
{
	while (n > 0) {
		ssize_t k = out ? pwrite(fd, b, n, at) : pread(fd, b, n, at);
		if (k < 0 && errno == EINTR)
			continue;
		if (k <= 0)
			return false;
		b += k, n -= (size_t)k, at += k;
	}
	return true;
}

// Makes block b the one in memory: the present one to the spool if it holds frames, b from it.
// In the spool a block lies on its side, as the files want it: for each channel and point, the
// block's columns in order (uint16), so a file's row is read from the spool in one piece a block.
static void use_block(Period &p, const Opts &o, int b)
{
	if (b == p.blk)
		return;
	size_t vals = (size_t)p.width * FR_POINTS * FR_CHANNELS, w = (size_t)p.width;
	p.side.resize(vals);
	if (p.dirty) {
		if (p.spool < 0) {
			p.spool = open(o.dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
			if (p.spool < 0) {  // a file system without unnamed files
				std::string t = o.dir + "/.pipe-fits-spool.XXXXXX";
				p.spool = mkstemp(t.data());
				if (p.spool >= 0)
					unlink(t.c_str());
			}
			if (p.spool < 0)
				die("cannot make a spool file in %s:", o.dir.c_str());
		}
		for (size_t k0 = 0; k0 < w; k0 += 16)
			for (size_t q = 0; q < FR_POINTS; q++)
				for (size_t k = k0; k < std::min(w, k0 + 16); k++) {
					const unsigned char *x = &p.block[k * FR_PAYLOAD + 4 * q];
					p.side[q * w + k] = (uint16_t)fr_le16(x);
					p.side[(FR_POINTS + q) * w + k] = (uint16_t)fr_le16(x + 2);
				}
		if (!spool_io(true, p.spool, (unsigned char *)p.side.data(), 2 * vals, (off_t)p.blk * (off_t)(2 * vals)))
			die("cannot write the spool file in %s:", o.dir.c_str());
		p.stored[(size_t)p.blk] = 1;
	}
	p.blk = b;
	p.dirty = false;
	if (!p.stored[(size_t)b])
		return;
	if (!spool_io(false, p.spool, (unsigned char *)p.side.data(), 2 * vals, (off_t)b * (off_t)(2 * vals)))
		die("cannot read the spool file in %s:", o.dir.c_str());
	for (size_t k0 = 0; k0 < w; k0 += 16)
		for (size_t q = 0; q < FR_POINTS; q++)
			for (size_t k = k0; k < std::min(w, k0 + 16); k++) {
				unsigned char *x = &p.block[k * FR_PAYLOAD + 4 * q];
				uint16_t a = p.side[q * w + k], bb = p.side[(FR_POINTS + q) * w + k];
				x[0] = (unsigned char)a, x[1] = (unsigned char)(a >> 8), x[2] = (unsigned char)bb, x[3] = (unsigned char)(bb >> 8);
			}
}

// The header of one channel's file, DATAMIN and DATAMAX to be set when the data is known.
static void header(fitsfile *f, const Run &r, int ch, int *status)
{
	const Opts &o = r.o;
	FwStation st;
	st.name = o.name, st.object = o.object;
	st.has_lat = o.has_lat, st.has_lon = o.has_lon, st.has_alt = o.has_alt;
	st.lat = o.lat, st.lon = o.lon, st.alt = o.alt;
	const char *tz = getenv("TZ");
	st.zone_note = o.fixed ? "Frame stamps were local time at UTC" + o.zone + "; converted to UTC here."
			       : std::string("Frame stamps were local time in the host's zone (") + (tz && *tz ? tz : "its default") +
					 "); converted to UTC here.";
	fw_header(f, st, r.p.start, r.p.used, r.p.wide[ch], ch, status);
}

// n x rows values of a file's image from pixel `first` in one call: 16-bit as they are (NONE
// where no frame came), 32-bit with -1 there. Column k of a row is the period's column k.
static void put(fitsfile *f, Period &p, int ch, LONGLONG first, int n, int rows, const uint16_t *v, int *status)
{
	size_t all = (size_t)n * (size_t)rows;
	if (!p.wide[ch]) {
		fits_write_img(f, TUSHORT, first, (LONGLONG)all, (void *)v, status);
		return;
	}
	p.wide_rows.resize(std::max(p.wide_rows.size(), all));
	for (size_t i = 0; i < all; i++)
		p.wide_rows[i] = p.have[i % (size_t)n] ? (int32_t)v[i] : -1;
	fits_write_img(f, TINT, first, (LONGLONG)all, p.wide_rows.data(), status);
}

// After the image: DATAMIN and DATAMAX, then the table of axes.
static void trailer(fitsfile *f, int cols, int lo, int hi, int *status)
{
	fw_minmax(f, lo, hi, status);
	fw_axes(f, cols, status);
}

// Compresses the finished file `from` into `to`. Returns false on any failure.
static bool gzip_file(const std::string &from, const std::string &to)
{
	int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
	gzFile z = in < 0 ? nullptr : gzopen(to.c_str(), "wbx");
	bool ok = z != nullptr;
	std::vector<char> b(1 << 18);
	for (ssize_t n; ok && (n = read(in, b.data(), b.size())) != 0;)
		ok = n > 0 && gzwrite(z, b.data(), (unsigned)n) == (int)n;
	if (z && gzclose(z) != Z_OK)
		ok = false;
	if (in >= 0)
		close(in);
	return ok && unlink(from.c_str()) == 0;
}

// The image of a period that fits in the block in memory, turned on its side in one go.
static void one_block(Period &p, fitsfile **f, int *lo, int *hi, int *status)
{
	int n = p.used;
	for (auto &v : p.rows)
		if (v.size() < (size_t)p.width * FR_POINTS)
			v.resize((size_t)p.width * FR_POINTS);
	uint16_t *ra = p.rows[0].data(), *rb = p.rows[1].data();
	for (int k0 = 0; k0 < n; k0 += 32)  // 32 columns: a cache line of each row
		for (int q = 0; q < FR_POINTS; q++)
			for (int k = k0; k < std::min(n, k0 + 32); k++) {
				const unsigned char *x = &p.block[(size_t)k * FR_PAYLOAD + 4 * (size_t)q];
				ra[(size_t)q * (size_t)n + (size_t)k] = (uint16_t)(x[0] | x[1] << 8);
				rb[(size_t)q * (size_t)n + (size_t)k] = (uint16_t)(x[2] | x[3] << 8);
			}
	for (int k = 0; k < n; k++) {
		if (!p.have[(size_t)k]) {  // no frame: blank, whatever the block held
			for (int q = 0; q < FR_POINTS; q++)
				ra[(size_t)q * (size_t)n + (size_t)k] = rb[(size_t)q * (size_t)n + (size_t)k] = NONE;
			continue;
		}
		const unsigned char *x = &p.block[(size_t)k * FR_PAYLOAD];
		int l0 = lo[0], h0 = hi[0], l1 = lo[1], h1 = hi[1];
		for (int q = 0; q < FR_POINTS; q++) {
			int va = x[4 * q] | x[4 * q + 1] << 8, vb = x[4 * q + 2] | x[4 * q + 3] << 8;
			l0 = std::min(l0, va), h0 = std::max(h0, va), l1 = std::min(l1, vb), h1 = std::max(h1, vb);
		}
		lo[0] = l0, hi[0] = h0, lo[1] = l1, hi[1] = h1;
	}
	for (int ch = 0; ch < FR_CHANNELS; ch++)
		put(f[ch], p, ch, 1, n, FR_POINTS, p.rows[ch].data(), status);
}

// The image of a longer period, a row at a time in order: each block's piece of the row read
// from the spool (the block in memory put there first) straight into the row.
static void from_spool(Run &r, fitsfile **f, int *lo, int *hi, int *status)
{
	Period &p = r.p;
	use_block(p, r.o, p.blk + 1 < (int)p.stored.size() ? p.blk + 1 : p.blk - 1);  // stores the block in memory
	size_t w = (size_t)p.width, vals = w * FR_POINTS * FR_CHANNELS, used = (size_t)p.used;
	std::vector<uint16_t> &row = p.rows[0];
	row.resize(std::max(row.size(), used));
	for (int ch = 0; ch < FR_CHANNELS && !*status; ch++)
		for (size_t q = 0; q < FR_POINTS && !*status; q++) {
			for (size_t b = 0; b * w < used; b++) {
				size_t c0 = b * w, n = std::min(w, used - c0);
				if (p.stored[b] && !spool_io(false, p.spool, (unsigned char *)&row[c0], 2 * n,
							     (off_t)(b * vals + ((size_t)ch * FR_POINTS + q) * w) * 2))
					die("cannot read the spool file in %s:", r.o.dir.c_str());
			}
			int l = lo[ch], h = hi[ch];
			for (size_t k = 0; k < used; k++) {
				if (!p.have[k])
					row[k] = NONE;
				else
					l = std::min(l, (int)row[k]), h = std::max(h, (int)row[k]);
			}
			lo[ch] = l, hi[ch] = h;
			put(f[ch], p, ch, (LONGLONG)q * p.used + 1, p.used, 1, row.data(), status);
		}
}

// Writes the period's two files, each under a temporary name then renamed; the image a block
// of columns at a time, turned on its side (one row per point).
static void flush_period(Run &r)
{
	Period &p = r.p;
	if (p.start < 0 || p.used == 0)
		return;
	char s[17];
	fr_time_stamp(p.start, s);
	OutFile of[FR_CHANNELS];
	fitsfile *f[FR_CHANNELS] = {};
	int status = 0, lo[FR_CHANNELS] = {INT_MAX, INT_MAX}, hi[FR_CHANNELS] = {-1, -1};
	for (int ch = 0; ch < FR_CHANNELS; ch++) {
		char base[96];
		snprintf(base, sizeof base, "%s_%.8s_%.6s_%02d.fit%s", r.o.name.c_str(), s, s + 8, ch + 1, r.o.gz ? ".gz" : "");
		if (of_begin(&of[ch], r.o.dir + "/" + base) != 0)
			die("cannot write %s/%s:", r.o.dir.c_str(), base);
		fits_create_diskfile(&f[ch], (r.o.gz ? of[ch].work : of[ch].tmp).c_str(), &status);
		if (!status)
			header(f[ch], r, ch, &status);
	}
	if (p.used <= p.width && p.blk == 0)
		one_block(p, f, lo, hi, &status);
	else
		from_spool(r, f, lo, hi, &status);
	for (int ch = 0; ch < FR_CHANNELS; ch++) {
		if (!status)
			trailer(f[ch], p.used, lo[ch], hi[ch], &status);
		int close_status = 0;
		if (f[ch])
			fits_close_file(f[ch], status ? &close_status : &status);
	}
	for (int ch = 0; ch < FR_CHANNELS && status; ch++) {
		char msg[FLEN_STATUS];
		fits_get_errstatus(status, msg);
		of_abort(&of[0]);
		of_abort(&of[1]);
		die("cannot write %s: %s", of[ch].path.c_str(), msg);
	}
	for (int ch = 0; ch < FR_CHANNELS; ch++)
		if ((r.o.gz && !gzip_file(of[ch].work, of[ch].tmp)) || of_commit(&of[ch]) != 0) {
			of_abort(&of[0]);
			of_abort(&of[1]);
			die("cannot write %s:", of[ch].path.c_str());
		}
	if (p.spool >= 0 && ftruncate(p.spool, 0) != 0)
		die("cannot empty the spool file in %s:", r.o.dir.c_str());
}

// Puts one frame (UTC time t) in its period's column; a later period first writes this one.
static void take(Run &r, long long t)
{
	Period &p = r.p;
	long long len = r.o.minutes * 6000LL, p0 = t - ((t % len) + len) % len;
	if (p.start >= 0 && p0 < p.start) {
		r.late.add(st_clock_ms());
		return;
	}
	if (p0 != p.start) {
		flush_period(r);
		p.start = p0;
		p.used = 0;
		p.cols = r.o.minutes * 120;
		p.width = std::min(p.cols, (int)BLOCK);
		p.have.assign((size_t)p.cols, 0);
		p.stored.assign((size_t)(p.cols + p.width - 1) / (size_t)p.width, 0);
		p.block.resize((size_t)p.width * FR_PAYLOAD);
		p.blk = 0;
		p.dirty = false;
		p.wide[0] = p.wide[1] = false;
	}
	int col = (int)((t - p.start) / 50);
	use_block(p, r.o, col / p.width);
	p.used = std::max(p.used, col + 1);
	memcpy(&p.block[(size_t)(col % p.width) * FR_PAYLOAD], buf2, FR_PAYLOAD);
	p.have[(size_t)col] = 1;
	p.dirty = true;
	int wide = fw_wide(buf2);
	p.wide[0] = p.wide[0] || (wide & 1), p.wide[1] = p.wide[1] || (wide & 2);
}

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	Run r;
	r.o = options(argc, argv);
	fr_input(stdin);
	for (int st; (st = fr_read(stdin, hdr, buf2)) != FR_END;) {
		if (st == FR_ERROR)
			die("read error on standard input:");
		long long local;
		if (!fr_stamp_time(hdr, &local) || local < 0) {
			r.clock.not_time.add(st_clock_ms());
			continue;
		}
		local -= local % 50;  // down to its half second
		long long t = local - (r.o.fixed ? r.o.offset : zone_offset(hdr, local));
		long jumps = r.clock.jumps;
		if (r.clock.judge(t) == ST_OUTLIER)
			continue;
		if (r.clock.jumps != jumps) {  // the clock really jumped: periods start again from here
			flush_period(r);
			r.p.start = -1;
		}
		take(r, t);
	}
	flush_period(r);
	r.clock.finish();
	r.late.finish();
	return 0;
}
