// Dynamic spectra read back from FITS files as frames: the files pipe-fits writes (exactly, a
// column a frame) and the network stations' files (channels x samples of digits, averaged into
// half-second frames and interpolated in frequency onto the frame's 900 points). fits-pipe
// writes what this gives as records; the fuzz target drives it on any bytes.
//
// A file is checked whole before its first frame is given, so a bad one gives none. Memory is
// one station image, or one block of columns of pipe-fits's longer files.
#pragma once

#include <cstdint>
#include <fitsio.h>
#include <string>
#include <vector>

inline constexpr double SP_DB_PER_DIGIT = 2500.0 / (255 * 25.4);  // 2,500 mV over 255 digits, 25.4 mV/dB
inline constexpr double SP_FILL = 40.0;  // the level of points outside a station's band

struct SpOpts {
	double db_per_digit = SP_DB_PER_DIGIT;
	double fill = SP_FILL;
};

// The start a file states (DATE-OBS and TIME-OBS, UTC), in microseconds since 1970. Returns ""
// or why there is none.
std::string sp_start(fitsfile *f, long long *us);

// One file, checked, and where its next frame is.
struct SpReader {
	fitsfile *f = nullptr;
	long long bytes = 0;  // the file's size when opened: what a header claims beyond it is refused
	bool own = false;  // as pipe-fits writes them
	char channel = 0;  // and then its channel, 'A' or 'B'
	long long start = 0;  // microseconds since 1970 (UTC) of TIME 0
	long cols = 0, rows = 0;  // image axes: samples or half seconds; channels or points
	std::vector<double> time;  // seconds from start, per sample or column
	long next = 0;  // the next sample or column
	// A station's file: its image (channel-major), the channels by frequency in groups of
	// equal frequency, and for each point the group below it and the weight of the one above.
	std::vector<double> img;
	std::vector<double> gfreq;
	std::vector<std::vector<long>> group;
	std::vector<int> lo;  // -1: outside the band
	std::vector<double> w, sum;
	double scale = 0;  // payload values per digit
	uint16_t fill = 0;
	// pipe-fits's file: the block of columns in memory, point-major.
	std::vector<int32_t> block;
	long block0 = -1, width = 0;
};

// Reads and checks the file's header, arrays and values. Returns "" or why it cannot be read;
// CFITSIO's errors are named in it.
std::string sp_open(fitsfile *f, const SpOpts &o, SpReader *r);

// The next frame: its time (hundredths since 1970, UTC, on the half-second grid) and its 900
// values. Returns 1, 0 at the end, -1 with *why on a read error.
int sp_next(SpReader *r, long long *centis, uint16_t *v, std::string *why);

// "+HHMM" or "-HHMM" (up to 14 hours), as -z of fits-pipe and pipe-fits takes it: the offset of
// local time from UTC in hundredths.
bool sp_zone(const char *s, long long *centis);
