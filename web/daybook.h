// What pipe-web knows of each day of the archive without reading its frames again: a summary
// (frames present and missing of the day's 172,800 half seconds, the longest gap, the number of
// bursts) and the day's burst list, kept as small files in the cache directory and trusted only
// while the day's files are unchanged. The day's signature is cheap: the status (inode, size,
// modification time to the nanosecond) of the day's directory and of each period's directory and
// pack, without opening any of them, so a new frame, a pack written or a day pruned each change
// it. Today (a day whose end has not come) is summarised afresh and never kept.
//
// The counting is arc-stat's (tally.h) over the frames as the archive's readers list them
// (reader.h); the bursts are the nightly job's list (ROOT.products/DAY/events.json) where it is,
// else the detector's (detect.h) over the day's frames, as pipe-events finds them. No network
// code: pipe-web calls these from its worker threads.
#pragma once

#include <mutex>
#include <utility>
#include <string>
#include <vector>

#include "detect.h"

enum : long long { DAY_SLOTS = 172800 };  // half seconds in a day
enum : int { DAY_GAP_SLOTS = 120, DAY_GAPS = 100 };  // the gaps a day lists: a minute or more, the first 100

struct DaySummary {
	std::string day, sig;           // 8 digits; the signature it was made under
	long long expected = 0, present = 0, missing = 0;
	long long gap_start = -1, gap_slots = 0;  // the longest gap: its first half second, its length
	long bursts = -1;               // -1: not known yet (the list not made)
	std::vector<std::pair<long long, long long>> gaps;  // of a minute or more: first half second, length (at most 100)
	bool final = false;             // the day is over: kept
};

// One burst of a day's list: the detector's event, as the list's JSON line gives it.
struct DayBurst {
	long id = 0;
	std::string kind, start, end, peak;  // kind's name, 16-digit stamps
	double f_lo = 0, f_hi = 0, peak_db = 0, drift = 0;
	long long t_start = 0, t_end = 0;    // start and end in hundredths
};

// The parse of one line of an events.json (pipe-events --json): false if it is not one.
bool day_burst_parse(const std::string &line, DayBurst &b);

class Daybook {
public:
	// root: the archive (read only); cache: the directory for summaries (made if missing).
	Daybook(std::string root, std::string cache);
	const std::string &root() const { return root_; }
	const std::string &cache() const { return cache_; }
	// "" or why the cache cannot be used (it is then not written, and everything is made afresh).
	const std::string &cache_error() const { return cache_error_; }

	// The archive's days (its day directories, as the readers list them), oldest first.
	std::string days(std::vector<std::string> &out) const;
	// The day's signature ("" when it is not there). Given a stretch (hundredths), the signature
	// of the periods it overlaps alone: a picture of an hour past stays true while net-arc
	// writes into the hour after it.
	std::string signature(const std::string &day) const;
	std::string signature(const std::string &day, long long from, long long to) const;
	// The summary of the day kept under its current signature, if there is one.
	bool kept(const std::string &day, const std::string &sig, DaySummary &s) const;
	// The day's summary: kept, or counted now (listing its frames, inflating none) and kept if
	// the day is over. now: the local time (hundredths). Returns "" or a problem met on the way.
	std::string summary(const std::string &day, long long now, DaySummary &s);
	// The day's bursts (bursts only: no spikes, faults or interference), by id: the nightly
	// list, or the cached one, or the detector's (kept once the day is over).
	std::string bursts(const std::string &day, long long now, std::vector<DayBurst> &out);

private:
	std::string root_, cache_, cache_error_;
	mutable std::mutex write_;  // the cache's files are written one at a time
	std::string path(const std::string &day, const char *what) const;
	void keep(const std::string &file, const std::string &text);
};
