// pipe-fits [-p MINUTES] [-n NAME] [-z ±HHMM] [-g] [-d DIR]: dynamic spectra as FITS files.
// Reads stream records on standard input and writes, for each period of MINUTES aligned to
// the clock (in UTC), one file per channel, DIR/NAME_YYYYMMDD_HHMMSS_01.fit (A) and _02.fit
// (B): a 2-D image of 32-bit integers, one column per half second and one row per point,
// holding the frames' values exactly (BSCALE 0.01 gives levels; BLANK -1 where no frame
// came), then a binary table of one row with the TIME and FREQUENCY of the columns and rows.
// A period is written as soon as a frame of a later one arrives, and the last at the end of
// input. Stamps are the receiver's local time, turned into UTC by TZ or by -z.
//
// Written with CFITSIO, a status threaded through each file's calls and reported once; each
// file under a temporary name in DIR, renamed when complete.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fitsio.h>
#include <getopt.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cli.h"
#include "frame.h"

static const char USAGE[] = "usage: pipe-fits [-p MINUTES] [-n NAME] [-z +-HHMM] [-g] [-d DIR]";
static const char HELP[] =
	"Writes the frames of standard input as FITS files, one per channel per period.\n"
	"  -p MINUTES  period length, dividing a day (default 15)\n"
	"  -n NAME     instrument name, first part of every file name (default SPECTRUM)\n"
	"  -z +-HHMM   the stamps' offset from UTC (default: the host's time zone, TZ)\n"
	"  -g          write .fit.gz\n"
	"  -d DIR      folder for the files (default .)\n";

static unsigned char hdr[FR_HEADER], buf2[FR_PAYLOAD];

static struct {
	int minutes = 15;
	std::string name = "SPECTRUM", dir = ".", zone;
	bool gz = false, fixed = false;
	long long offset = 0;  // hundredths to take from a stamp for UTC, with -z
} o;

// The period being filled: its start (UTC hundredths), and the payload of each column's frame
// as it came, with whether one came.
static long long start = -1;
static int used;  // columns up to the last frame's
static std::vector<unsigned char> pays;
static std::vector<char> have;
static long bad, late, files;

static void options(int argc, char **argv)
{
	opterr = 0;
	for (int c; (c = getopt(argc, argv, "p:n:z:gd:")) != -1;) {
		if (c == 'p' && arg_int(optarg, &o.minutes) && o.minutes > 0 && 1440 % o.minutes == 0)
			continue;
		if (c == 'n') {
			o.name = optarg;
			bool ok = !o.name.empty() && o.name.size() <= 40 && o.name[0] != '.' && o.name[0] != '-';
			for (char ch : o.name)
				ok = ok && (isalnum((unsigned char)ch) || strchr("._-+", ch));
			if (ok)
				continue;
		}
		if (c == 'z' && strlen(optarg) == 5 && (optarg[0] == '+' || optarg[0] == '-') &&
		    strspn(optarg + 1, "0123456789") == 4) {
			int h = (optarg[1] - '0') * 10 + optarg[2] - '0', m = (optarg[3] - '0') * 10 + optarg[4] - '0';
			if (h <= 14 && m < 60) {
				o.offset = (optarg[0] == '-' ? -1 : 1) * (h * 3600LL + m * 60) * 100;
				o.fixed = true;
				o.zone = std::string(optarg, 3) + ":" + std::string(optarg + 3);
				continue;
			}
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
	struct stat st;
	if (stat(o.dir.c_str(), &st) != 0)
		die("cannot open %s:", o.dir.c_str());
	if (!S_ISDIR(st.st_mode))
		die("%s: not a directory", o.dir.c_str());
	if (access(o.dir.c_str(), W_OK | X_OK) != 0)
		die("cannot write in %s:", o.dir.c_str());
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

// "YYYY-MM-DD" and "HH:MM:SS.sss" of a UTC time in hundredths.
static void date_time(long long t, char *date, char *tod)
{
	char s[17];
	fr_time_stamp(t, s);
	snprintf(date, 11, "%.4s-%.2s-%.2s", s, s + 4, s + 6);
	snprintf(tod, 13, "%.2s:%.2s:%.2s.%.2s0", s + 8, s + 10, s + 12, s + 14);
}

// One channel's file: header, image, then the table of axes. Returns CFITSIO's status.
static int write_file(const char *path, int ch, int cols)
{
	int status = 0;
	fitsfile *f = nullptr;
	long naxes[2] = {cols, FR_POINTS};
	char d0[11], t0[13], d1[11], t1[13];
	date_time(start, d0, t0);
	date_time(start + (cols - 1) * 50LL, d1, t1);
	double zero = 0, half = 0.5, one = 1, f0 = fr_freq(0), df = FR_FREQ_STEP, scale = 0.01;
	int blank = -1;
	const char *chan = ch == 0 ? "A" : "B";
	const char *tz = getenv("TZ");
	std::string zone = o.fixed ? "Frame stamps were local time at UTC" + o.zone + "; converted to UTC here."
				   : std::string("Frame stamps were local time in the host's zone (") +
					     (tz && *tz ? tz : "its default") + "); converted to UTC here.";

	fits_create_file(&f, path, &status);
	fits_create_img(f, LONG_IMG, 2, naxes, &status);
	fits_write_key(f, TDOUBLE, "BSCALE", &scale, "levels are the stored values in hundredths", &status);
	fits_write_key(f, TDOUBLE, "BZERO", &zero, nullptr, &status);
	fits_write_key(f, TINT, "BLANK", &blank, "no frame for this half second", &status);
	fits_write_key(f, TSTRING, "DATE-OBS", d0, "date of the first column (UTC)", &status);
	fits_write_key(f, TSTRING, "TIME-OBS", t0, "time of the first column (UTC)", &status);
	fits_write_key(f, TSTRING, "DATE-END", d1, "date of the last column (UTC)", &status);
	fits_write_key(f, TSTRING, "TIME-END", t1, "time of the last column (UTC)", &status);
	fits_write_key(f, TSTRING, "TIMESYS", (void *)"UTC", nullptr, &status);
	fits_write_key(f, TSTRING, "CTYPE1", (void *)"Time [UT]", "seconds from TIME-OBS", &status);
	fits_write_key(f, TDOUBLE, "CRVAL1", &zero, nullptr, &status);
	fits_write_key(f, TDOUBLE, "CDELT1", &half, nullptr, &status);
	fits_write_key(f, TDOUBLE, "CRPIX1", &one, nullptr, &status);
	fits_write_key(f, TSTRING, "CTYPE2", (void *)"Frequency [MHz]", nullptr, &status);
	fits_write_key(f, TDOUBLE, "CRVAL2", &f0, nullptr, &status);
	fits_write_key(f, TDOUBLE, "CDELT2", &df, nullptr, &status);
	fits_write_key(f, TDOUBLE, "CRPIX2", &one, nullptr, &status);
	fits_write_key(f, TSTRING, "INSTRUME", (void *)o.name.c_str(), nullptr, &status);
	fits_write_key(f, TSTRING, "TELESCOP", (void *)"Radio Spectrometer", nullptr, &status);
	fits_write_key(f, TSTRING, "OBJECT", (void *)"Sun", nullptr, &status);
	fits_write_key(f, TSTRING, "ORIGIN", (void *)o.name.c_str(), nullptr, &status);
	fits_write_key(f, TSTRING, "CHANNEL", (void *)chan, "receiver channel", &status);
	fits_write_date(f, &status);
	fits_write_comment(f, "Levels are stored in hundredths: BSCALE 0.01 gives them in their units.", &status);
	fits_write_comment(f, zone.c_str(), &status);
	fits_set_bscale(f, 1.0, 0.0, &status);  // the integers go in as they are
	// One row per point: the columns' frames turned on their side, a block of columns at a time.
	std::vector<int32_t> rows((size_t)cols * FR_POINTS);
	for (int c0 = 0; c0 < cols; c0 += 32)
		for (int p = 0; p < FR_POINTS; p++)
			for (int c = c0; c < std::min(cols, c0 + 32); c++)
				rows[(size_t)p * (size_t)cols + (size_t)c] =
					have[(size_t)c] ? (int32_t)fr_le16(&pays[(size_t)c * FR_PAYLOAD + 4 * (size_t)p + 2 * (size_t)ch]) : -1;
	fits_write_img(f, TINT, 1, (LONGLONG)rows.size(), rows.data(), &status);

	std::string tf = std::to_string(cols) + "D", ff = std::to_string(FR_POINTS) + "D";
	char *ttype[] = {(char *)"TIME", (char *)"FREQUENCY"};
	char *tform[] = {tf.data(), ff.data()};
	char *tunit[] = {(char *)"s", (char *)"MHz"};
	fits_create_tbl(f, BINARY_TBL, 1, 2, ttype, tform, tunit, nullptr, &status);
	std::vector<double> time((size_t)cols), freq(FR_POINTS);
	for (int c = 0; c < cols; c++)
		time[(size_t)c] = 0.5 * c;
	for (int p = 0; p < FR_POINTS; p++)
		freq[(size_t)p] = fr_freq(p);
	fits_write_col(f, TDOUBLE, 1, 1, 1, cols, time.data(), &status);
	fits_write_col(f, TDOUBLE, 2, 1, 1, FR_POINTS, freq.data(), &status);
	int close_status = 0;
	fits_close_file(f, status ? &close_status : &status);
	return status;
}

// Writes the period's two files, each under a temporary name then renamed.
static void flush_period()
{
	if (start < 0 || used == 0)
		return;
	char s[17];
	fr_time_stamp(start, s);
	for (int ch = 0; ch < FR_CHANNELS; ch++) {
		char base[96];
		snprintf(base, sizeof base, "%s_%.8s_%.6s_%02d.fit%s", o.name.c_str(), s, s + 8, ch + 1, o.gz ? ".gz" : "");
		std::string final = o.dir + "/" + base, tmp = o.dir + "/.part." + base;
		unlink(tmp.c_str());
		int status = write_file(tmp.c_str(), ch, used);
		if (status) {
			char msg[FLEN_STATUS];
			fits_get_errstatus(status, msg);
			unlink(tmp.c_str());
			die("cannot write %s: %s", final.c_str(), msg);
		}
		if (rename(tmp.c_str(), final.c_str()) != 0)
			die("cannot write %s:", final.c_str());
		files++;
	}
}

// Puts one frame (UTC time t) in its period's column; a later period first writes this one.
static void take(long long t)
{
	long long len = o.minutes * 6000LL, p0 = t - ((t % len) + len) % len;
	if (start >= 0 && p0 < start) {
		late++;
		return;
	}
	if (p0 != start) {
		flush_period();
		start = p0;
		used = 0;
		pays.resize((size_t)o.minutes * 120 * FR_PAYLOAD);
		have.assign((size_t)o.minutes * 120, 0);
	}
	int col = (int)((t - start) / 50);
	used = std::max(used, col + 1);
	memcpy(&pays[(size_t)col * FR_PAYLOAD], buf2, FR_PAYLOAD);
	have[(size_t)col] = 1;
}

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	options(argc, argv);
	fr_input(stdin);
	for (int st; (st = fr_read(stdin, hdr, buf2)) != FR_END;) {
		if (st == FR_ERROR)
			die("read error on standard input:");
		long long local;
		if (!fr_stamp_time(hdr, &local)) {
			bad++;
			continue;
		}
		local -= local % 50;  // down to its half second
		take(local - (o.fixed ? o.offset : zone_offset(hdr, local)));
	}
	flush_period();
	if (bad)
		warn("%ld records skipped: stamps not 16 digits of a real time", bad);
	if (late)
		warn("%ld records skipped: late for a period already written", late);
	return 0;
}
