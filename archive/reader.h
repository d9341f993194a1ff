// Reading the archive back: the frames of ROOT listed in stamp order over a time range (see
// range.h), one ten-minute period at a time, and one frame file inflated in the process.
// arc-cat, arc-stat and the nightly jobs read the archive through this and nothing else.
//
// Where the frames of a period come from, and the rule for a frame present, are decided in
// one place, the period module (period.h): every caller (the listing below, arc-cat's follower)
// takes a period's frames from arc_period_entries and reads each through arc_entry_read, so a
// second source of frames for a period needs no change in the callers. A stamp that is not a
// real time is skipped and counted (ArcList::skipped), the same way by every reader.
#pragma once

#include <cstddef>
#include <memory>
#include <sys/stat.h>
#include <string>
#include <vector>

#include "frame.h"
#include "period.h"
#include "range.h"

// 1 if name is a day (8 digits), a ten-minute period (11 digits) or a frame file (16 digits and
// ".gz") for want = 8, 11 or 16 respectively. Anything else is not part of the archive.
// (Packs, PERIOD.pack.tar.zst, are recognised by pack_name_is.)
int arc_name_is(const char *name, int want);

// The one directory lister of the archive: the names in dir that are archive names of the
// wanted kind (8, 11: see arc_name_is; for 11 the periods of packs and of packs being written
// too, once each), sorted. A directory that is not there holds nothing.
// Returns "" or, for a directory that exists but cannot be read, the message ("DIR: cannot
// read directory: ...").
std::string arc_list(const std::string &dir, int want, std::vector<std::string> &out);

// Inflates one frame file's bytes (a gzip stream) into payload (3600 bytes). Returns null if
// they hold exactly one gzip stream of exactly 3600 bytes, else what is wrong with them.
const char *arc_inflate(const unsigned char *gz, size_t n, unsigned char *payload);

// Reads the whole frame file at path (a regular file, never through a link) into buf of cap
// bytes, its length into *n and its status into *st. Returns null, or what is wrong ("cannot
// open: ...", "not a regular file", "cannot read: ...", "too large for a frame file").
const char *arc_file(const char *path, unsigned char *buf, size_t cap, size_t *n, struct stat *st);

// Reads and inflates the frame file at path. Returns null, or what is wrong ("cannot open:
// ...", "empty", "not gzip", "truncated", "corrupt", "inflates to more than 3600 bytes", ...).
// With bytes, sets the file's size there (0 if it could not be opened).
const char *arc_read(const char *path, unsigned char *payload, long long *bytes = nullptr);

// The frames of ROOT within a range, in stamp order. Reads one directory at a time and walks
// only the day and ten-minute directories that can hold the range, so memory stays that of one
// directory whatever the range. Directories whose names are not a real time are walked when
// their names lie within the range's stamps as text, so that their frames are counted as
// skipped.
class ArcList {
public:
	enum { END, FRAME, PROBLEM };
	ArcList(const std::string &root, const ArcRange &r) : root_(root), r_(r) {}
	// The next frame, or a problem (a directory that exists but cannot be read: its message),
	// or the end.
	int next(ArcEntry &e, std::string &problem);
	// The stamps passed over so far because they are not a real time.
	long skipped() const { return skipped_; }
	// With members, each packed frame comes with its bytes (gz), read from the pack in order;
	// without, only its index entry (size, fault) is given and nothing is inflated.
	void members(bool on) { members_ = on; }

private:
	std::string root_;
	ArcRange r_;
	std::vector<std::string> days_, periods_;
	std::vector<ArcEntry> entries_;
	size_t day_ = 0, period_ = 0, entry_ = 0;
	bool started_ = false;
	long skipped_ = 0;
	std::string last_;  // the last stamp given: each once
	bool members_ = false;
	std::shared_ptr<class PackReader> pack_;  // the pack being read, in order
	std::string pack_path_, pack_why_;
	bool pack_failed_ = false;
	bool member(ArcEntry &x, std::string &problem);
};

// One item of a batch: a listed frame with its payload (inflated) or what is wrong with it,
// or a directory's problem.
struct ArcItem {
	ArcEntry e;
	std::string problem;  // not empty: a directory that cannot be read, and nothing else here
	std::string why;      // not empty: the frame is broken (its fault, or why it did not inflate)
	unsigned char payload[FR_PAYLOAD];
};

// The frames of a range a batch at a time, in stamp order: listed, and with inflate each read
// and inflated by two threads (inflating is most of the work), one of them inflating while the
// other lists (reading a pack's frame files), then both. Without inflate only the walk's fault
// of each is given.
class ArcBatch {
public:
	ArcBatch(const std::string &root, const ArcRange &r, bool inflate) : list_(root, r), inflate_(inflate)
	{
		list_.members(inflate);
	}
	// The next batch; 0 items at the end.
	size_t next(ArcItem *&items);
	long skipped() const { return list_.skipped(); }

private:
	ArcList list_;
	bool inflate_;
	bool done_ = false;
	std::vector<ArcItem> items_ = std::vector<ArcItem>(256);
};
