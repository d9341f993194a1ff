// Reading the archive back: the frames of ROOT listed in stamp order over a time range (see
// range.h), one ten-minute period at a time, and one frame file inflated in the process.
// arc-cat, arc-stat and the nightly jobs read the archive through this and nothing else.
//
// Where the frames of a period come from is decided in one place, arc_period_entries: the
// files of ROOT/DAY/PERIOD and the frames of its pack, ROOT/DAY/PERIOD.pack.tar.zst (pack.h),
// a loose file winning over a packed frame of the same stamp (it is the newer write); every caller (the listing below, arc-cat's follower) takes a
// period's frames from it and reads each through arc_entry_read, so a second source of frames
// for a period needs no change in the callers.
//
// A frame present: a regular file (not a symlink, not a directory) of non-zero size named
// STAMP.gz in its own period directory (ROOT/STAMP[0,8)/STAMP[0,11)/), or a frame file of
// non-zero size that its period's pack lists in its index (counted without inflating). Any other file of that
// name is broken, whether or not it is inflated; bytes are the sizes of regular files only; a
// stamp is listed once however often it is stored. A stamp that is not a real time is skipped
// and counted (ArcList::skipped), the same way by every reader.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "frame.h"
#include "range.h"

// 1 if name is a day (8 digits), a ten-minute period (11 digits) or a frame file (16 digits and
// ".gz") for want = 8, 11 or 16 respectively. Anything else is not part of the archive.
// (Packs, PERIOD.pack.tar.zst, are recognised by pack_name_is.)
int arc_name_is(const char *name, int want);

// The one directory lister of the archive: the names in dir that are archive names of the
// wanted kind (8, 11: see arc_name_is; for 11 the periods of packs too, once each), sorted. A directory that is not there holds nothing.
// Returns "" or, for a directory that exists but cannot be read, the message ("DIR: cannot
// read directory: ...").
std::string arc_list(const std::string &dir, int want, std::vector<std::string> &out);

// One frame of a period, as the walk found it.
struct ArcEntry {
	std::string stamp;            // 16 digits
	bool timed = false;           // the stamp is a real time; if not, readers skip it
	long long t = 0;              // the stamp's time (fr_stamp_time), when timed
	std::string path;             // where its bytes are; for a packed frame, PACK:PERIOD/STAMP.gz
	std::string pack;             // the pack holding it, or "" for a loose file
	std::string gz;               // a packed frame's bytes, once the lister has read them
	long long bytes = 0;          // the file's size if it is a regular file, else 0
	long long mtime = 0;          // when it was last written (seconds since 1970, UTC)
	const char *fault = nullptr;  // why it is broken without reading it ("empty", "not a
				      // regular file"), or null: then the frame is present
	bool present() const { return fault == nullptr; }
};

// The frames stored for the ten-minute period named by 11 digits, sorted by stamp, each stamp
// once. Returns "" or a problem as arc_list does (out is then empty), or a pack that cannot be
// read ("PACK: not a pack: ...": out then holds the period's loose frames).
std::string arc_period_entries(const std::string &root, const std::string &period, std::vector<ArcEntry> &out);

// The entry of one frame file, named STAMP.gz, in its own period of ROOT, as
// arc_period_entries lists it: for a file whose writing was just seen to end. Returns 0 if name
// is not a frame file's name or the file is not there.
int arc_frame_entry(const std::string &root, const char *name, ArcEntry &e);

// Inflates one frame file's bytes (a gzip stream) into payload (3600 bytes). Returns null if
// they hold exactly one gzip stream of exactly 3600 bytes, else what is wrong with them.
const char *arc_inflate(const unsigned char *gz, size_t n, unsigned char *payload);

// Reads and inflates the frame file at path. Returns null, or what is wrong ("cannot open:
// ...", "empty", "not gzip", "truncated", "corrupt", "inflates to more than 3600 bytes", ...).
// With bytes, sets the file's size there (0 if it could not be opened).
const char *arc_read(const char *path, unsigned char *payload, long long *bytes = nullptr);

// Reads one listed frame into payload: null, or what is wrong with it (its fault, if it has
// one). The way every reader gets a frame's payload.
const char *arc_entry_read(const ArcEntry &e, unsigned char *payload);

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
	std::string pack_path_;
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
