// Time ranges of the archive readers: FROM and TO as people type them, held as two real times,
// [start, end) in hundredths of a second as fr_stamp_time reads stamps (fields as they are, no
// time zone). The end of a named period is the start of the next one, computed with the
// calendar: hour 23 ends at the next day's 00:00, December at the next January, 28 February
// in a leap year at 29 February. The local clock is read here too, the way stamps read it.
// arc-cat, arc-stat and every later reader of the archive take their ranges from this module.
#pragma once

#include <climits>
#include <string>

#include "frame.h"

// A range of times [start, end) in hundredths since 1970 (fr_stamp_time's scale; earlier
// times are negative). The whole archive has start ARC_ALL; an open range has end ARC_OPEN and
// takes every time from start on.
inline constexpr long long ARC_ALL = LLONG_MIN, ARC_OPEN = LLONG_MAX;
struct ArcRange {
	long long start = ARC_ALL, end = ARC_OPEN;
	bool open() const { return end == ARC_OPEN; }
	bool has(long long t) const { return t >= start && t < end; }
	bool after(long long t) const { return t >= end; }  // at or past the end
	// Whether a period of the calendar [a, b) shares a time with the range.
	bool overlaps(long long a, long long b) const { return b > start && a < end; }
	// For names that are not a real time (they cannot be placed in time): whether the first n
	// digits of name lie within the stamps of start and end, compared as text.
	bool spans(const char *name, int n) const;
};

// A time as typed: 4 to 16 digits (YYYY[MM[DD[HH[MM[SS[cc]]]]]]), or 11 for a ten-minute
// period as the archive names it (YYYYMMDDHHM, that hour's minutes M0 to M9), with the separators
// "-:T." and space allowed between fields and ignored. Each field given must be a real value
// (month 01-12, a day the month has, hour 00-23, minute and second 00-59). Puts the digits in
// out (17 bytes) and returns how many there are, or 0 if arg is not such a time.
int arc_when(const char *arg, char *out);

// The period the first n digits of a real time name (n even, 4 to 16: a year, a month, ... a
// hundredth; or 11: ten minutes): its start into *start and the start of the next period into *end, in
// hundredths. Returns 1, or 0 if the digits are not a real time. A period whose end lies past
// year 9999 gets end ARC_OPEN.
int arc_period(const char *digits, int n, long long *start, long long *end);

// The range of FROM and TO as arc-cat takes them (either may be null, or "now"): none, the
// whole archive; FROM alone, the period it names ("now" alone: from now on, open); both,
// from the start of FROM's period up to, not including, the start of TO's. Returns 1, or 0 if
// either is malformed or TO is not after FROM.
int arc_range(const char *from, const char *to, ArcRange *r);

// As arc_range, saying why not: "" if taken, else "FROM X: not a time", "TO X: not a time" or
// "TO X: not after FROM Y".
std::string arc_range_error(const char *from, const char *to, ArcRange *r);

// The arguments after ROOT (left of them at args: none, FROM, or FROM and TO) into *r, or the
// usage line with the reason (usage_why: "usage: ...: FROM 2026130: not a time", exit 2).
void arc_range_args(const char *line, int left, char **args, ArcRange *r);

// The local clock now in microseconds since 1970, its fields read as they are (the scale of
// fr_stamp_time, times 10,000): the one place the readers ask the host for the time.
long long arc_clock_us();

// The current local time as a 16-digit stamp, to the hundredth (out: 17 bytes).
void arc_now(char *out);

// The latest time a stamp of the archive can bear now: the host's clock plus 75 minutes, the
// grace a stream's time has (a receiver's clock a little ahead, a summer-time change). A frame
// or day named later (one stray file stamped 2099) is not of this archive's time yet: every
// reader without an end of its own passes it over and says so.
inline constexpr long long ARC_GRACE = 450000;  // hundredths
long long arc_horizon();

// The days of ROOT (its day directories, as the readers list them) that can hold frames of the
// range: how many steps a walk over the range by days takes, for a line of progress.
long arc_days_in(const std::string &root, const ArcRange &r);
