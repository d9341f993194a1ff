// The disk's health: what the archive's days take on disk (bytes as du counts them, inodes), how
// much of ROOT's file system is free, and how many days are left at the rate of recent days.
// arc-stat --health reports it; arc-prune measures days with it.
#pragma once

#include <string>

// What one day directory holds: bytes on disk (allocated blocks), inodes (files, directories
// and the day itself), frames (loose files, and those a pack's index lists) and periods.
struct ArcUsage {
	long long bytes = 0, inodes = 0, frames = 0, loose_periods = 0, packed_periods = 0;
};

// Walks ROOT/DAY without following links or leaving the file system. Returns null, or what
// kept it from reading (what it could read is counted).
const char *arc_day_usage(const std::string &dir, ArcUsage &u);

// Free and total bytes and inodes of the file system holding path (inodes 0: not limited).
struct ArcSpace {
	unsigned long long free_bytes = 0, total_bytes = 0, free_inodes = 0, total_inodes = 0;
};
const char *arc_space(const std::string &path, ArcSpace &s);

struct ArcHealth {
	int days = 0;                 // days measured: the newest ones (at most 7) holding frames
	std::string first, last;      // their names
	ArcUsage used;                // what they hold together
	double bytes_per_day = 0, inodes_per_day = 0;  // per day of recording (two frames a second)
	ArcSpace space;
	double days_left = -1;        // at that rate, until bytes or inodes run out; -1: no end in sight
	const char *limit = "";       // "bytes" or "inodes", whichever runs out first
	int status = 0;               // 0 more than 30 days left, 1 up to 30, 2 under 7 or full now
};

// Measures ROOT. The rate is per day of recording, from the frames the days hold (a frame a
// half second), so that a day not yet full counts for what it covers. Returns null or what
// went wrong (a directory it could not read; the figures are then from what it could).
const char *arc_health(const std::string &root, ArcHealth &h);

// The report: a few lines of text, or one JSON object (bytes_per_day, inodes_per_day,
// free_bytes, free_inodes, days_left (null: no end in sight), status, and the rest).
std::string arc_health_text(const ArcHealth &h);
std::string arc_health_json(const ArcHealth &h);
