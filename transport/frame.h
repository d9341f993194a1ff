// The frame and its carriers: the constants every program shares, the little-endian point
// values, and the stream-record reading and writing rules of every producer and consumer.
//
// A stream record is 3617 bytes: the 16-digit stamp, one NUL, then the 3600-byte payload of
// 900 points x 2 channels, one unsigned 16-bit little-endian value each, interleaved by point.
#pragma once

#include <cstdio>

enum : int {
	FR_STAMP = 16,                          // digits in a stamp, and the stamp datagram's length
	FR_HEADER = 17,                         // stamp plus NUL
	FR_PAYLOAD = 3600,                      // payload bytes
	FR_RECORD = FR_HEADER + FR_PAYLOAD,     // one stream record
	FR_POINTS = 900,
	FR_CHANNELS = 2,
	FR_FREQ_OFFSET = 452,                   // point p lies at (p + 452) x step
};
inline constexpr double FR_FREQ_STEP = 0.030517578125;  // 125/4096
static_assert(FR_POINTS * FR_CHANNELS * 2 == FR_PAYLOAD, "two bytes per value");

// Values are decoded byte by byte, so they are little-endian on any host.
inline unsigned fr_le16(const unsigned char *p) { return p[0] | (unsigned)p[1] << 8; }
inline unsigned fr_chan_a(const unsigned char *payload, int p) { return fr_le16(payload + 4 * p); }
inline unsigned fr_chan_b(const unsigned char *payload, int p) { return fr_le16(payload + 4 * p + 2); }
inline double fr_freq(int p) { return (p + FR_FREQ_OFFSET) * FR_FREQ_STEP; }

// 1 if the first 16 bytes of s are all ASCII digits: the only stamps that may name files or
// enter a shell command.
int fr_stamp_ok(const void *s);

// 1 if the first n digits of s (n even, 4 to 16: YYYY[MM[DD[HH[MM[SS[cc]]]]]]) are a real
// time: month 01-12, a day the month has, hour 00-23, minute and second 00-59.
int fr_time_ok(const char *s, int n);

// The stamp's time in hundredths of a second since 1970-01-01 00:00, reading its fields as
// they are (no time zone applied): differences between stamps are true durations. Returns 1,
// or 0 if the stamp is not 16 digits of a real time.
int fr_stamp_time(const void *stamp, long long *centis);

// The 16-digit stamp of a time in hundredths since 1970, as fr_stamp_time reads it (out: 17
// bytes, NUL-terminated).
void fr_time_stamp(long long centis, char *out);

enum { FR_ERROR = -1, FR_END = 0, FR_READ = 1 };

// Reads one record the way every consumer does: the 17 header bytes as one item, then the
// end-of-file test, then the 3600 payload bytes without a test, each read collecting its full
// count across short pipe reads. Returns FR_END at end of input at a header (a cut header
// included), FR_ERROR on a read error, else FR_READ; a payload cut by the end of input is
// returned as read, its tail as the previous record left it.
int fr_read(FILE *in, unsigned char *hdr, unsigned char *payload);

// Gives a consumer's input stream a static 64 KiB buffer, so that a stored stream is read in few
// large reads; a read on a pipe still returns whatever has arrived, so live records wait no longer.
void fr_input(FILE *in);

// Writes the 17 header bytes and the 3600 payload bytes and flushes. Returns 0, or -1 on error.
int fr_write(FILE *out, const void *hdr, const unsigned char *payload);
