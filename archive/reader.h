// Reading the archive back: stamp ranges as people type them, the frames of ROOT listed in
// stamp order over a range one directory at a time, and one frame file inflated in the process.
// arc-cat, arc-stat and the nightly jobs read the archive through this and nothing else.
#pragma once

#include <cstddef>
#include <dirent.h>
#include <string>
#include <vector>

#include "frame.h"

// A stamp range [from, to): 16-digit stamps compared as text. An open range has no end.
struct ArcRange {
	char from[FR_STAMP + 1] = "0000000000000000";
	char to[FR_STAMP + 1] = "0000000000000000";
	bool open = true;
	bool has(const char *stamp) const;  // 16 digits within the range
	bool after(const char *stamp) const;  // at or past the range's end
};

// A time as typed: 4 to 16 digits (YYYY[MM[DD[HH[MM[SS[cc]]]]]]), with the separators
// "-:T." and space allowed between fields and ignored. Each field given must be a real value
// (month 01-12, day 01-31, hour 00-23, minute and second 00-59). Puts the digits in out
// (17 bytes) and returns how many there are, or 0 if arg is not such a time.
int arc_when(const char *arg, char *out);

// The current local time as 16 digits, to the hundredth.
void arc_now(char *out);

// The range of FROM and TO as arc-cat takes them (either may be null, or "now"): none, the
// whole archive; FROM alone, the period it names ("now" alone: from now on, open); both,
// from FROM up to, not including, TO, each padded with zeros. Returns 1, or 0 if either is
// malformed or TO is not after FROM.
int arc_range(const char *from, const char *to, ArcRange *r);

// Inflates one frame file's bytes (a gzip stream) into payload (3600 bytes). Returns null if
// they hold exactly one gzip stream of exactly 3600 bytes, else what is wrong with them.
const char *arc_inflate(const unsigned char *gz, size_t n, unsigned char *payload);

// Reads and inflates the frame file at path. Returns null, or what is wrong ("cannot open:
// ...", "empty", "not gzip", "truncated", "corrupt", "inflates to more than 3600 bytes", ...).
// With bytes, sets the file's size there (0 if it could not be opened).
const char *arc_read(const char *path, unsigned char *payload, long long *bytes = nullptr);

// 1 if name is a day (8 digits), a ten-minute period (11 digits) or a frame file (16 digits and
// ".gz") for want = 8, 11 or 16 respectively. Anything else is not part of the archive.
int arc_name_is(const char *name, int want);

// The frames of ROOT within a range, in stamp order. Reads one directory at a time and walks
// only the day and ten-minute directories that can hold the range, so memory stays that of one
// directory whatever the range.
class ArcList {
public:
	enum { END, FRAME, PROBLEM };
	ArcList(const std::string &root, const ArcRange &r);
	// The next frame (its stamp, 16 digits, and path), or a problem (a directory that exists but
	// cannot be read: its message in path), or the end.
	int next(std::string &stamp, std::string &path);

private:
	friend class ArcBatch;
	std::string root_;
	ArcRange r_;
	std::vector<std::string> days_, periods_, files_;
	size_t day_ = 0, period_ = 0, file_ = 0;
	bool started_ = false;
	std::string day_dir_, period_dir_;
	std::string problem_;
	bool list(const std::string &dir, int want, std::vector<std::string> &out);
};

// One frame of a batch: its stamp, path, file size, and payload, or what is wrong with the file;
// or, with no stamp, a directory's problem (its message in path).
struct ArcItem {
	std::string stamp, path, why;
	long long bytes = 0;
	unsigned char payload[FR_PAYLOAD];
};

// The frames of a range a batch at a time, in stamp order: listed, then each file read and
// inflated by two threads (inflating is most of the work), or, without inflating, only its
// size taken.
class ArcBatch {
public:
	ArcBatch(const std::string &root, const ArcRange &r, bool inflate) : list_(root, r), inflate_(inflate) {}
	// The next batch; 0 items at the end.
	size_t next(ArcItem *&items);

private:
	ArcList list_;
	bool inflate_;
	bool done_ = false;
	std::vector<ArcItem> items_ = std::vector<ArcItem>(256);
	void read(size_t from, size_t to);
};
