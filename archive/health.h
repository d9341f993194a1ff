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

// Walks ROOT/DAY without following links or leaving the file system. Returns "" or what kept
// it from reading all of it ("PATH: cannot read: ..."; what it could read is counted). A pack
// whose index cannot be read counts its bytes and inode but no frames.
std::string arc_day_usage(const std::string &dir, ArcUsage &u);

// Free and total bytes and inodes of the file system holding path (inodes 0: not limited).
struct ArcSpace {
	unsigned long long free_bytes = 0, total_bytes = 0, free_inodes = 0, total_inodes = 0;
};
const char *arc_space(const std::string &path, ArcSpace &s);

// The statuses, as monitoring takes them (and as arc-stat --health exits).
enum { ARC_OK, ARC_WARNING, ARC_CRITICAL, ARC_UNKNOWN };

struct ArcHealth {
	int days = 0;                 // days measured: the newest ones (at most 7) holding frames
	std::string first, last;      // their names
	ArcUsage used;                // what they hold together
	double bytes_per_day = 0, inodes_per_day = 0;  // per day of recording (two frames a second)
	ArcSpace space;
	double days_left = -1;        // at that rate, until bytes or inodes run out; -1: no end in sight
	const char *limit = "";       // "bytes" or "inodes", whichever runs out first
	int ahead = 0;                // days passed over: named later than the host's clock allows
	bool measured = false;        // ROOT and its file system were measured (the figures hold)
	std::string error;            // what could not be measured, or ""
	int status = ARC_OK;          // OK more than 30 days left, WARNING up to 30, CRITICAL under 7
				      // or full now, UNKNOWN when something could not be measured
};

// Measures ROOT: the newest 7 days holding frames (a day named later than arc_horizon, a stray
// stamp far ahead, is passed over and counted), at the rate per day of recording, from the
// frames the days hold (a frame a half second), so that a day not yet full counts for what it
// covers. ROOT missing, not a directory, unreadable, or its file system not measurable:
// UNKNOWN, nothing measured. A day that cannot be walked whole: UNKNOWN with the figures of what
// could be read, unless the disk is full now (CRITICAL whatever the rate). Returns h.status.
int arc_health(const std::string &root, ArcHealth &h);

// The report: a few lines of text, or one JSON object (bytes_per_day, inodes_per_day,
// free_bytes, free_inodes, days_left (null: no end in sight), status (0, 1, 2 or "UNKNOWN"),
// error (null, or what could not be measured), and the rest). When nothing could be measured,
// only the status and the error.
std::string arc_health_text(const ArcHealth &h);
std::string arc_health_json(const ArcHealth &h);
