// Frames as FITS images (fitswrite.h): the headers and tables of pipe-fits's files, and a
// stretch as one file. CFITSIO's idiom throughout: a status threaded through every call and
// reported once.
#include "fitswrite.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

int fw_wide(const unsigned char *payload)
{
	int wide = 0;
	const unsigned char *x = payload, *end = payload + FR_PAYLOAD;  // FW_NONE is the bytes fe ff
	for (; (x = (const unsigned char *)memchr(x, 0xfe, (size_t)(end - x))) != nullptr; x++)
		if ((x - payload) % 2 == 0 && x[1] == 0xff)
			wide |= 1 << ((x - payload) / 2 % 2);
	return wide;
}

// "YYYY-MM-DD" and "HH:MM:SS.sss" of a UTC time in hundredths.
static void date_time(long long t, char *date, char *tod)
{
	char s[17];
	fr_time_stamp(t, s);
	snprintf(date, 11, "%.4s-%.2s-%.2s", s, s + 4, s + 6);
	snprintf(tod, 13, "%.2s:%.2s:%.2s.%.2s0", s + 8, s + 10, s + 12, s + 14);
}

void fw_header(fitsfile *f, const FwStation &st, long long start, long cols, bool wide, int ch, int *status)
{
	long naxes[2] = {cols, FR_POINTS};
	char d0[11], t0[13], d1[11], t1[13];
	date_time(start, d0, t0);
	date_time(start + (cols - 1) * 50LL, d1, t1);
	double zero = 0, half = 0.5, one = 1, f0 = fr_freq(0), df = FR_FREQ_STEP, scale = 0.01;
	double bzero = wide ? 0 : 327.68;
	int blank = wide ? -1 : (int)FW_NONE - 32768;
	fits_create_img(f, wide ? LONG_IMG : SHORT_IMG, 2, naxes, status);
	fits_write_key(f, TDOUBLE, "BSCALE", &scale, "levels are in hundredths", status);
	fits_write_key(f, TDOUBLE, "BZERO", &bzero, wide ? nullptr : "the values are unsigned (stored + 32768)", status);
	fits_write_key(f, TINT, "BLANK", &blank, "no frame for this half second", status);
	fits_write_key(f, TSTRING, "BUNIT", (void *)"level", "the receiver's level, once scaled", status);
	fits_write_key(f, TDOUBLE, "DATAMIN", &zero, "lowest level in the image", status);
	fits_write_key(f, TDOUBLE, "DATAMAX", &zero, "highest level in the image", status);
	fits_write_key(f, TSTRING, "DATE-OBS", d0, "date of the first column (UTC)", status);
	fits_write_key(f, TSTRING, "TIME-OBS", t0, "time of the first column (UTC)", status);
	fits_write_key(f, TSTRING, "DATE-END", d1, "date of the last column (UTC)", status);
	fits_write_key(f, TSTRING, "TIME-END", t1, "time of the last column (UTC)", status);
	fits_write_key(f, TSTRING, "TIMESYS", (void *)"UTC", nullptr, status);
	fits_write_key(f, TSTRING, "CTYPE1", (void *)"Time [UT]", "seconds from TIME-OBS", status);
	fits_write_key(f, TDOUBLE, "CRVAL1", &zero, nullptr, status);
	fits_write_key(f, TDOUBLE, "CDELT1", &half, nullptr, status);
	fits_write_key(f, TDOUBLE, "CRPIX1", &one, nullptr, status);
	fits_write_key(f, TSTRING, "CTYPE2", (void *)"Frequency [MHz]", nullptr, status);
	fits_write_key(f, TDOUBLE, "CRVAL2", &f0, nullptr, status);
	fits_write_key(f, TDOUBLE, "CDELT2", &df, nullptr, status);
	fits_write_key(f, TDOUBLE, "CRPIX2", &one, nullptr, status);
	fits_write_key(f, TSTRING, "INSTRUME", (void *)st.name.c_str(), nullptr, status);
	fits_write_key(f, TSTRING, "TELESCOP", (void *)"Radio Spectrometer", nullptr, status);
	fits_write_key(f, TSTRING, "OBJECT", (void *)st.object.c_str(), "what is observed", status);
	fits_write_key(f, TSTRING, "ORIGIN", (void *)st.name.c_str(), nullptr, status);
	if (st.has_lat)
		fits_write_key(f, TDOUBLE, "OBS_LAT", (void *)&st.lat, "[deg] station latitude, north positive", status);
	if (st.has_lon)
		fits_write_key(f, TDOUBLE, "OBS_LON", (void *)&st.lon, "[deg] station longitude, east positive", status);
	if (st.has_alt)
		fits_write_key(f, TDOUBLE, "OBS_ALT", (void *)&st.alt, "[m] station altitude", status);
	fits_write_key(f, TSTRING, "CHANNEL", (void *)(ch == 0 ? "A" : "B"), "receiver channel", status);
	fits_write_date(f, status);
	if (wide)
		fits_write_comment(f, "Levels are stored in hundredths: BSCALE 0.01 gives them in their units.", status);
	else
		fits_write_comment(f, "Levels are stored in hundredths less 32768: BSCALE and BZERO give them.", status);
	if (!st.zone_note.empty())
		fits_write_comment(f, st.zone_note.c_str(), status);
	fits_set_bscale(f, 1.0, wide ? 0.0 : 32768.0, status);  // the values go in as they are
}

void fw_minmax(fitsfile *f, int lo, int hi, int *status)
{
	double dmin = lo * 0.01, dmax = hi * 0.01;
	fits_update_key(f, TDOUBLE, "DATAMIN", &dmin, nullptr, status);
	fits_update_key(f, TDOUBLE, "DATAMAX", &dmax, nullptr, status);
}

void fw_axes(fitsfile *f, long cols, int *status)
{
	std::string tf = std::to_string(cols) + "D", ff = std::to_string(FR_POINTS) + "D";
	char *ttype[] = {(char *)"TIME", (char *)"FREQUENCY"};
	char *tform[] = {tf.data(), ff.data()};
	char *tunit[] = {(char *)"s", (char *)"MHz"};
	fits_create_tbl(f, BINARY_TBL, 1, 2, ttype, tform, tunit, nullptr, status);
	std::vector<double> time((size_t)cols), freq(FR_POINTS);
	for (long c = 0; c < cols; c++)
		time[(size_t)c] = 0.5 * (double)c;
	for (int p = 0; p < FR_POINTS; p++)
		freq[(size_t)p] = fr_freq(p);
	fits_write_col(f, TDOUBLE, 1, 1, 1, cols, time.data(), status);
	fits_write_col(f, TDOUBLE, 2, 1, 1, FR_POINTS, freq.data(), status);
}

namespace {

enum : long { BLOCK = 2048 };  // columns of the block in memory: 7.4 MB of frames

// A stretch being written: its columns, the images' forms and ranges, and the block of columns
// in memory.
struct Stretch {
	fitsfile *f = nullptr;
	long long start = 0;
	long cols = 0;
	bool wide[FR_CHANNELS] = {};
	int lo[FR_CHANNELS] = {INT_MAX, INT_MAX}, hi[FR_CHANNELS] = {-1, -1};
	long blk = -1;                       // the block in memory, -1 none
	std::vector<unsigned char> block;    // its frames by column
	std::vector<char> in;                // which of its columns hold one
	std::vector<char> written;           // blocks written to the file
	std::vector<uint16_t> side;          // a channel's piece of the image, row by row
	std::vector<int32_t> side32;
	int status = 0;
};

// Columns c0 to c0 + n - 1 of both images from frames (n of them, by column; a column whose
// `in` is 0 blank), written in place, and the ranges of both grown.
void put_columns(Stretch &s, long c0, long n, const unsigned char *frames, const char *in)
{
	for (int ch = 0; ch < FR_CHANNELS && !s.status; ch++) {
		size_t all = (size_t)n * FR_POINTS;
		s.side.resize(all);
		int lo = s.lo[ch], hi = s.hi[ch];
		for (long k = 0; k < n; k++) {
			const unsigned char *x = frames + (size_t)k * FR_PAYLOAD + 2 * ch;
			for (int q = 0; q < FR_POINTS; q++) {
				uint16_t v = in[k] ? (uint16_t)fr_le16(x + 4 * q) : (uint16_t)FW_NONE;
				s.side[(size_t)q * (size_t)n + (size_t)k] = v;
				if (in[k])
					lo = std::min(lo, (int)v), hi = std::max(hi, (int)v);
			}
		}
		s.lo[ch] = lo, s.hi[ch] = hi;
		long first[2] = {c0 + 1, 1}, last[2] = {c0 + n, FR_POINTS};
		fits_movabs_hdu(s.f, ch + 1, nullptr, &s.status);
		fits_set_bscale(s.f, 1.0, s.wide[ch] ? 0.0 : 32768.0, &s.status);  // as fw_header left it
		if (!s.wide[ch]) {
			fits_write_subset(s.f, TUSHORT, first, last, s.side.data(), &s.status);
			continue;
		}
		s.side32.resize(all);
		for (size_t i = 0; i < all; i++)
			s.side32[i] = in[i % (size_t)n] ? (int32_t)s.side[i] : -1;
		fits_write_subset(s.f, TINT, first, last, s.side32.data(), &s.status);
	}
}

void flush_block(Stretch &s)
{
	if (s.blk < 0)
		return;
	long c0 = s.blk * BLOCK, n = std::min((long)BLOCK, s.cols - c0);
	put_columns(s, c0, n, s.block.data(), s.in.data());
	s.written[(size_t)s.blk] = 1;
	s.blk = -1;
}

// A frame of the second pass into its block; a frame of a block already written goes to the
// file at once, as a column of its own.
void take(Stretch &s, long long t, const unsigned char *payload)
{
	long col = (long)((t - s.start) / 50), b = col / BLOCK;
	if (s.written[(size_t)b]) {
		char one = 1;
		put_columns(s, col, 1, payload, &one);
		return;
	}
	if (b != s.blk) {
		flush_block(s);
		s.blk = b;
		s.in.assign((size_t)BLOCK, 0);
	}
	memcpy(&s.block[(size_t)(col - b * BLOCK) * FR_PAYLOAD], payload, FR_PAYLOAD);
	s.in[(size_t)(col - b * BLOCK)] = 1;
}

}  // namespace

std::string fw_stretch(const std::string &path, const FwStation &st, long long from, long long to, const FwSource &frames)
{
	if (from < 0 || to <= from || to - from > FW_MAX_COLS * 50LL)
		return "not a stretch of at most a day";
	Stretch s;
	s.start = from - from % 50;  // columns on the half-second grid
	s.cols = (long)((to - s.start + 49) / 50);
	auto inside = [&](long long t) { return t >= from && t < to; };
	// First pass: are there frames, and which channel needs 32 bits.
	long n = 0;
	std::string why = frames([&](long long t, const unsigned char *p) {
		if (!inside(t))
			return;
		n++;
		int w = fw_wide(p);
		s.wide[0] = s.wide[0] || (w & 1), s.wide[1] = s.wide[1] || (w & 2);
	});
	if (!why.empty())
		return why;
	if (n == 0)
		return "no frames in the stretch";

	fits_create_diskfile(&s.f, path.c_str(), &s.status);
	for (int ch = 0; ch < FR_CHANNELS && !s.status; ch++)
		fw_header(s.f, st, s.start, s.cols, s.wide[ch], ch, &s.status);
	s.block.resize((size_t)BLOCK * FR_PAYLOAD);
	s.written.assign((size_t)((s.cols + BLOCK - 1) / BLOCK), 0);
	if (!s.status)
		why = frames([&](long long t, const unsigned char *p) {
			if (inside(t) && !s.status)
				take(s, t, p);
		});
	flush_block(s);
	std::vector<char> none((size_t)BLOCK, 0);
	for (size_t b = 0; b < s.written.size() && !s.status; b++)  // blocks without a frame: blank
		if (!s.written[b])
			put_columns(s, (long)b * BLOCK, std::min((long)BLOCK, s.cols - (long)b * BLOCK), s.block.data(), none.data());
	for (int ch = 0; ch < FR_CHANNELS && !s.status; ch++) {
		fits_movabs_hdu(s.f, ch + 1, nullptr, &s.status);
		fw_minmax(s.f, s.lo[ch], s.hi[ch], &s.status);
	}
	if (!s.status)
		fw_axes(s.f, s.cols, &s.status);
	int close_status = 0;
	if (s.f)
		fits_close_file(s.f, s.status ? &close_status : &s.status);
	if (s.status) {
		char msg[FLEN_STATUS];
		fits_get_errstatus(s.status, msg);
		why = std::string("cannot write ") + path + ": " + msg;
	}
	if (!why.empty() && s.f)
		unlink(path.c_str());
	return why;
}
