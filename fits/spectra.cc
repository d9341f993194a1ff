// Reading dynamic spectra from FITS files: see spectra.h. CFITSIO's status is threaded through
// each step's calls and turned into words once, where the step reports.
#include "spectra.h"

extern "C" {
#include <fitsio2.h>  // ffgbyt: a header's bytes, read raw (this header declares it for C alone)
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "frame.h"

// Whether a column's values lie within its table's rows, and the rows within the table's data:
// CFITSIO reads where the header says, whatever the data's size.
static bool column_within_rows(fitsfile *f, int col, long repeat, long width, long rows)
{
	LONGLONG head = 0, data = 0, end = 0, naxis1 = 0;
	int st = 0;
	fits_get_hduaddrll(f, &head, &data, &end, &st);
	fits_read_key(f, TLONGLONG, "NAXIS1", &naxis1, nullptr, &st);
	if (st || col < 1 || col > f->Fptr->tfield || naxis1 < 0 || width < 0 || repeat < 0)
		return false;
	LONGLONG tbcol = f->Fptr->tableptr[col - 1].tbcol;
	return tbcol >= 0 && tbcol + (LONGLONG)repeat * width <= naxis1 &&
	       (naxis1 == 0 || (LONGLONG)rows <= (end - data) / naxis1);
}

// Whether the current HDU's data lie within the file (to its last whole block): CFITSIO reads
// what a header claims, and a memory file has no end it would stop at.
static bool within_file(fitsfile *f, long long bytes)
{
	LONGLONG head = 0, data = 0, end = 0;
	int st = 0;
	fits_get_hduaddrll(f, &head, &data, &end, &st);
	return st == 0 && end <= (bytes + 2879) / 2880 * 2880;
}

// Moves to the extension after the image, once its header's cards were read raw and found safe
// for CFITSIO to parse: it copies a column name's value (TTYPEn) into a field one character too
// short for a value that fills its card unquoted, and parses a tile-compressed image's keywords
// at length; no station file has either. Returns "" or why not.
static std::string to_extension(fitsfile *f, long long bytes)
{
	LONGLONG head = 0, data = 0, end = 0;
	int st = 0;
	fits_get_hduaddrll(f, &head, &data, &end, &st);
	char block[2880];
	for (LONGLONG at = end; st == 0 && at + (LONGLONG)sizeof block <= bytes; at += sizeof block) {
		if (ffmbyt(f, at, REPORT_EOF, &st) != 0 || ffgbyt(f, sizeof block, block, &st) != 0)
			break;  // no header there: CFITSIO says so below
		for (const char *card = block; card < block + sizeof block; card += 80) {
			if (memcmp(card, "END     ", 8) == 0)
				goto parse;
			if (card[8] != '=')
				continue;
			int v = 9, n = 80;
			while (v < 80 && card[v] == ' ')
				v++;
			while (n > v && card[n - 1] == ' ')
				n--;
			if (v < 80 && card[v] != '\'' && (memchr(card + v, '/', (size_t)(n - v)) ? 0 : n - v) >= 69)
				return "a header card's value (" + std::string(card, strcspn(card, " =")) + ") is too long to be a number";
			if (memcmp(card, "ZIMAGE  ", 8) == 0 && v < 80 && card[v] == 'T')
				return "a tile-compressed image, which is not a station's file";
		}
	}
parse:
	st = 0;
	fits_movabs_hdu(f, 1, nullptr, &st);
	fits_movrel_hdu(f, 1, nullptr, &st);
	return st ? "no extension" : "";
}

namespace {

enum : long {
	MAX_VALUES = 1L << 23,   // a station image or an array, at most (64 MB of doubles)
	BLOCK = 2048,            // columns of pipe-fits's files read at a time
};

std::string cfitsio(const char *what, int status)
{
	char msg[FLEN_STATUS];
	fits_get_errstatus(status, msg);
	return std::string(what) + " (CFITSIO: " + msg + ")";
}

long long days_from_civil(int y, int m, int d)
{
	y -= m <= 2;
	int era = (y >= 0 ? y : y - 399) / 400;
	int yoe = y - era * 400, doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
	int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
	return era * 146097LL + doe - 719468;
}

int month_days(int y, int m)
{
	static const int n[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
	return m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0) ? 29 : n[m - 1];
}

// Digits of s at [at, at+n) as a number, or -1.
int digits(const std::string &s, size_t at, size_t n)
{
	if (s.size() < at + n)
		return -1;
	int v = 0;
	for (size_t i = at; i < at + n; i++) {
		if (s[i] < '0' || s[i] > '9')
			return -1;
		v = v * 10 + s[i] - '0';
	}
	return v;
}

// "HH:MM:SS[.fff]" from at to the end: microseconds of the day, or -1.
long long time_of_day(const std::string &s, size_t at)
{
	int h = digits(s, at, 2), m = digits(s, at + 3, 2), sec = digits(s, at + 6, 2);
	if (h < 0 || m < 0 || sec < 0 || s[at + 2] != ':' || s[at + 5] != ':' || h > 23 || m > 59 || sec > 59)
		return -1;
	long long us = ((h * 60LL + m) * 60 + sec) * 1000000;
	size_t p = at + 8;
	if (p == s.size())
		return us;
	if (s[p] != '.' || p + 1 == s.size())
		return -1;
	long long scale = 100000;
	for (p++; p < s.size(); p++, scale /= 10) {
		if (s[p] < '0' || s[p] > '9')
			return -1;
		us += (s[p] - '0') * scale;
	}
	return us;
}

std::string key(fitsfile *f, const char *name, bool *found)
{
	char v[FLEN_VALUE] = "";
	int st = 0;
	fits_read_key(f, TSTRING, name, v, nullptr, &st);
	*found = st == 0;
	return v;
}

// An array column of the first extension, all its rows in order.
std::string column(fitsfile *f, long long bytes, const char *name, long want, const char *what, std::vector<double> *out)
{
	int st = 0, col = 0, type = 0;
	long repeat = 0, width = 0, rows = 0;
	fits_get_colnum(f, CASEINSEN, (char *)name, &col, &st);
	if (st)
		return std::string("no ") + name + " array in the extension";
	fits_get_coltype(f, col, &type, &repeat, &width, &st);
	fits_get_num_rows(f, &rows, &st);
	if (st)
		return cfitsio(name, st);
	if (type < 0 || type == TSTRING || type == TLOGICAL || type == TBIT)
		return std::string(name) + " is not an array of numbers";
	if (rows < 0 || repeat < 0 || (repeat > 0 && rows > MAX_VALUES / repeat) || rows * repeat != want)
		return std::string(name) + " has " + std::to_string(rows * std::max(repeat, 0L)) + " values for " +
		       std::to_string(want) + " " + what;
	if (!within_file(f, bytes) || !column_within_rows(f, col, repeat, width, rows))
		return std::string("the extension is cut short before its ") + name + " array";
	out->assign((size_t)want, 0);
	double nan = NAN;
	int anynul = 0;
	fits_read_col(f, TDOUBLE, col, 1, 1, want, &nan, out->data(), &anynul, &st);
	if (st)
		return cfitsio(name, st);
	for (double x : *out)
		if (!std::isfinite(x))
			return std::string(name) + " holds values that are not numbers";
	return "";
}

// A station's channels by frequency, and each point's neighbours in it.
std::string band(SpReader *r, const std::vector<double> &freq, const SpOpts &o)
{
	std::vector<long> ord((size_t)r->rows);
	std::iota(ord.begin(), ord.end(), 0L);
	std::stable_sort(ord.begin(), ord.end(), [&](long a, long b) { return freq[(size_t)a] < freq[(size_t)b]; });
	for (long c : ord) {
		double f = freq[(size_t)c];
		if (r->gfreq.empty() || r->gfreq.back() != f) {
			r->gfreq.push_back(f);
			r->group.emplace_back();
		}
		r->group.back().push_back(c);
	}
	double f0 = r->gfreq.front(), f1 = r->gfreq.back();
	r->lo.assign(FR_POINTS, -1);
	r->w.assign(FR_POINTS, 0);
	int inside = 0;
	for (int p = 0; p < FR_POINTS; p++) {
		double f = fr_freq(p);
		if (f < f0 || f > f1 || r->gfreq.size() < 2)
			continue;
		size_t k = (size_t)(std::upper_bound(r->gfreq.begin(), r->gfreq.end(), f) - r->gfreq.begin()) - 1;
		k = std::min(k, r->gfreq.size() - 2);
		r->lo[(size_t)p] = (int)k;
		r->w[(size_t)p] = (f - r->gfreq[k]) / (r->gfreq[k + 1] - r->gfreq[k]);
		inside++;
	}
	if (r->gfreq.size() < 2) {
		char s[96];
		snprintf(s, sizeof s, "one frequency only (%.3f MHz): not a band", f0);
		return s;
	}
	if (!inside) {
		char s[160];
		snprintf(s, sizeof s, "band %.3f-%.3f MHz does not reach %.2f-%.2f MHz", f0, f1, fr_freq(0), fr_freq(FR_POINTS - 1));
		return s;
	}
	r->scale = 100 * o.db_per_digit;
	r->fill = (uint16_t)std::lround(std::clamp(o.fill * 100, 0.0, 65535.0));
	r->sum.assign(r->gfreq.size(), 0);
	return "";
}

// Columns c0 up to c0 + n of a pipe-fits image into the block: the frames' values (BSCALE not
// applied; a 16-bit file's BZERO is), -1 where no frame came (BLANK).
std::string read_block(SpReader *r, long c0)
{
	long n = std::min((long)BLOCK, r->cols - c0);
	long first[2] = {c0 + 1, 1}, last[2] = {c0 + n, FR_POINTS}, inc[2] = {1, 1};
	int nul = -1, anynul = 0, st = 0;
	r->block.resize((size_t)n * FR_POINTS);
	fits_read_subset(r->f, TINT, first, last, inc, &nul, r->block.data(), &anynul, &st);
	if (st)
		return cfitsio("the image", st);
	r->block0 = c0;
	r->width = n;
	return "";
}

// A file pipe-fits wrote, 16-bit (BZERO 327.68, BLANK 32766) or, as it wrote them before and
// still does when a frame holds the value 65534, 32-bit (BZERO 0, BLANK -1): its layout
// checked, then every value (0 to 65535) and every column (a frame, or blank throughout).
std::string own(SpReader *r, int bitpix)
{
	const char *not_ours = "not as pipe-fits writes it: ";
	int st = 0;
	double bscale = 0, bzero = 0, cdelt = 0;
	long long blank = 0;
	fits_read_key(r->f, TDOUBLE, "BSCALE", &bscale, nullptr, &st);
	fits_read_key(r->f, TDOUBLE, "BZERO", &bzero, nullptr, &st);
	fits_read_key(r->f, TLONGLONG, "BLANK", &blank, nullptr, &st);
	fits_read_key(r->f, TDOUBLE, "CDELT1", &cdelt, nullptr, &st);
	bool narrow = bitpix == SHORT_IMG && bzero == 327.68 && blank == 32766;
	bool wide = bitpix == LONG_IMG && bzero == 0 && blank == -1;
	if (st || !(narrow || wide) || r->rows != FR_POINTS || bscale != 0.01 || cdelt != 0.5)
		return std::string(not_ours) + "not 900 rows of 16- or 32-bit levels in hundredths, half a second a column";
	std::string why = to_extension(r->f, r->bytes);
	if (!why.empty())
		return why;
	std::vector<double> freq;
	why = column(r->f, r->bytes, "TIME", r->cols, "columns", &r->time);
	if (why.empty())
		why = column(r->f, r->bytes, "FREQUENCY", r->rows, "rows", &freq);
	if (!why.empty())
		return why;
	for (long c = 0; c < r->cols; c++)
		if (r->time[(size_t)c] != 0.5 * (double)c)
			return std::string(not_ours) + "TIME is not 0.5 s a column";
	for (int p = 0; p < FR_POINTS; p++)
		if (freq[(size_t)p] != fr_freq(p))
			return std::string(not_ours) + "FREQUENCY is not the frame's points";
	fits_movabs_hdu(r->f, 1, nullptr, &st);
	fits_set_bscale(r->f, 1.0, narrow ? 32768.0 : 0.0, &st);  // the values (moving to the HDU set BSCALE again)
	if (st)
		return cfitsio("the image", st);
	for (long c0 = 0; c0 < r->cols; c0 += BLOCK) {
		if (!(why = read_block(r, c0)).empty())
			return why;
		for (int32_t v : r->block)
			if (v < -1 || v > 65535)
				return "value " + std::to_string(v) + " is not a level in hundredths (0 to 65535, or -1 for none)";
		for (long k = 0; k < r->width; k++)
			for (long p = 1; p < FR_POINTS; p++)
				if ((r->block[(size_t)(p * r->width + k)] < 0) != (r->block[(size_t)k] < 0))
					return "column " + std::to_string(c0 + k) + " is blank in part";
	}
	return "";
}

// A station's file: the arrays, the band, and the image, every value a number.
std::string station(SpReader *r, const SpOpts &o)
{
	int st = 0;
	if (r->rows > MAX_VALUES / r->cols)
		return "image of " + std::to_string(r->rows) + " x " + std::to_string(r->cols) + " values is too large";
	std::string why = to_extension(r->f, r->bytes);
	if (!why.empty())
		return why;
	std::vector<double> freq;
	why = column(r->f, r->bytes, "TIME", r->cols, "samples", &r->time);
	if (why.empty())
		why = column(r->f, r->bytes, "FREQUENCY", r->rows, "channels", &freq);
	if (!why.empty())
		return why;
	for (long i = 0; i < r->cols; i++) {
		if (std::fabs(r->time[(size_t)i]) > 1e7)
			return "time " + std::to_string(r->time[(size_t)i]) + " s is out of range";
		if (i > 0 && !(r->time[(size_t)i] > r->time[(size_t)i - 1]))
			return "times out of order";
	}
	for (double f : freq)
		if (!(f > 0 && f < 1e6))
			return "frequency " + std::to_string(f) + " MHz is not a frequency";
	if (!(why = band(r, freq, o)).empty())
		return why;
	fits_movabs_hdu(r->f, 1, nullptr, &st);
	double bscale = 1;
	int kst = 0;
	fits_read_key(r->f, TDOUBLE, "BSCALE", &bscale, nullptr, &kst);
	if (kst == 0 && !(std::isfinite(bscale) && bscale > 0))
		return "BSCALE " + std::to_string(bscale) + " is not a scale (it must be above 0)";
	r->img.assign((size_t)(r->rows * r->cols), 0);
	double nan = NAN;
	int anynul = 0;
	fits_read_img(r->f, TDOUBLE, 1, r->rows * r->cols, &nan, r->img.data(), &anynul, &st);
	if (st)
		return cfitsio("the image", st);
	for (double v : r->img)
		if (!std::isfinite(v))
			return "the image holds values that are not numbers";
	return "";
}

long long floor_div(long long a, long long b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

}  // namespace

std::string sp_start(fitsfile *f, long long *us)
{
	bool has_date, has_time;
	std::string d = key(f, "DATE-OBS", &has_date), t = key(f, "TIME-OBS", &has_time);
	if (!has_date)
		return "no start time (DATE-OBS)";
	int y = digits(d, 0, 4), m = digits(d, 5, 2), day = digits(d, 8, 2);
	bool ok = d.size() >= 10 && y >= 0 && (d[4] == '-' || d[4] == '/') && d[7] == d[4] && m >= 1 && m <= 12 &&
		  day >= 1 && day <= month_days(y, m);
	long long tod = -1;
	if (ok && d.size() > 10 && d[10] == 'T')
		tod = time_of_day(d, 11);
	else if (ok && d.size() == 10 && has_time)
		tod = time_of_day(t, 0);
	std::string keys = " (DATE-OBS '" + d + "', TIME-OBS '" + t + "')";
	if (!ok || tod < 0)
		return "start time not a real time" + keys;
	if (y < 1971 || y > 9998)  // a local stamp of any zone stays within 1970 to 9999
		return "start time outside the years 1971 to 9998" + keys;
	*us = days_from_civil(y, m, day) * 86400000000LL + tod;
	return "";
}

std::string sp_open(fitsfile *f, const SpOpts &o, SpReader *r)
{
	*r = SpReader{};
	r->f = f;
	r->bytes = f->Fptr->filesize;  // CFITSIO moves it on when a header claims more
	int st = 0, bitpix = 0, naxis = 0;
	long naxes[2] = {0, 0};
	fits_movabs_hdu(f, 1, nullptr, &st);
	fits_get_img_param(f, 2, &bitpix, &naxis, naxes, &st);
	if (st)
		return cfitsio("no image", st);
	if (naxis != 2 || naxes[0] < 1 || naxes[1] < 1)
		return "not a 2-D image";
	if (!within_file(f, r->bytes))
		return "the image is cut short";
	r->cols = naxes[0], r->rows = naxes[1];
	std::string why = sp_start(f, &r->start);
	if (!why.empty())
		return why;
	bool has_unit, has_channel;
	std::string unit = key(f, "BUNIT", &has_unit), channel = key(f, "CHANNEL", &has_channel);
	r->own = has_unit && has_channel && unit == "level" && (channel == "A" || channel == "B");
	r->channel = r->own ? channel[0] : 0;
	return r->own ? own(r, bitpix) : station(r, o);
}

int sp_next(SpReader *r, long long *centis, uint16_t *v, std::string *why)
{
	if (r->own) {
		for (; r->next < r->cols; r->next++) {
			long c = r->next;
			if (c < r->block0 || c >= r->block0 + r->width) {
				if (!(*why = read_block(r, c - c % BLOCK)).empty())
					return -1;
			}
			const int32_t *b = r->block.data() + (c - r->block0);
			if (b[0] < 0)  // no frame in this column
				continue;
			for (int p = 0; p < FR_POINTS; p++)
				v[p] = (uint16_t)b[(size_t)p * (size_t)r->width];
			*centis = r->start / 10000 + 50LL * c;
			r->next++;
			return 1;
		}
		return 0;
	}
	if (r->next >= r->cols)
		return 0;
	// The samples of one half second, averaged per frequency, then interpolated.
	auto at = [&](long i) { return r->start + std::llround(r->time[(size_t)i] * 1e6); };
	long long half = floor_div(at(r->next), 500000);
	long i0 = r->next, i1 = i0;
	while (i1 < r->cols && floor_div(at(i1), 500000) == half)
		i1++;
	r->next = i1;
	for (size_t g = 0; g < r->group.size(); g++) {
		double s = 0;
		for (long ch : r->group[g])
			for (long i = i0; i < i1; i++)
				s += r->img[(size_t)(ch * r->cols + i)];
		r->sum[g] = s / (double)(r->group[g].size() * (size_t)(i1 - i0));
	}
	for (int p = 0; p < FR_POINTS; p++) {
		int k = r->lo[(size_t)p];
		if (k < 0) {
			v[p] = r->fill;
			continue;
		}
		double d = r->sum[(size_t)k] + (r->sum[(size_t)k + 1] - r->sum[(size_t)k]) * r->w[(size_t)p];
		v[p] = (uint16_t)std::lround(std::clamp(d * r->scale, 0.0, 65535.0));
	}
	*centis = half * 50;
	return 1;
}

bool sp_zone(const char *s, long long *centis)
{
	if (strlen(s) != 5 || (s[0] != '+' && s[0] != '-') || strspn(s + 1, "0123456789") != 4)
		return false;
	int h = (s[1] - '0') * 10 + s[2] - '0', m = (s[3] - '0') * 10 + s[4] - '0';
	if (h > 14 || m > 59)
		return false;
	*centis = (s[0] == '-' ? -1 : 1) * (h * 3600LL + m * 60) * 100;
	return true;
}
