// The stream's running time, one rule for every consumer that orders frames by their stamps
// (pipe-fits' periods, pipe-png's time axis, a burst detector): each stamp is accepted, or is
// not a time, or is an outlier, or is late (at or before the running time). One bad stamp
// costs only its own record: it never moves the running time, and what was skipped is said on
// standard error when it happens, not only at the end of input, which a live logger never
// reaches.
//
// The rule: a stamp more than `window` (75 minutes: beyond an hour, so that the summer-time
// change in stamps of local time is no outlier) ahead of the running time or behind it is an
// outlier: skipped and counted. A genuine clock jump (the receiver's clock set, a stored
// stream with a long gap) shows as outliers that agree with each other: when `agree`
// consecutive outliers each follow the one before by 0 to 60 s (stamps that are not times
// between them neither count nor break the run), the last of them is accepted
// and becomes the running time (the ones before it are lost, five seconds of frames at two a
// second), and the jump is said. The first stamp of a stream sets the running time.
#pragma once

#include "cli.h"

enum StVerdict : int {
	ST_ACCEPT,    // the running time moves to it
	ST_LATE,      // at or before the running time, within the window: the consumer decides
	ST_NOT_TIME,  // not 16 digits of a real time (or before 1970): skip
	ST_OUTLIER,   // too far from the running time: skip
};

// A count of skipped records, said on standard error as "PROGRAM: N records skipped: WHAT"
// when it grows: at once the first time, then at most once a minute (N counting from the
// start), and at the end whatever is unsaid. Times are milliseconds of a monotonic clock.
struct SkipNote {
	const char *what;
	long n = 0, said = 0;
	long long said_ms = 0;
	bool quiet = false;  // count only: for a consumer whose records go on regardless
	explicit SkipNote(const char *w) : what(w) {}
	void add(long long now_ms);
	void finish();
};

struct StreamTime {
	long long window = 450000;  // hundredths: 75 minutes either way
	int agree = 10;             // consecutive agreeing outliers that make a clock jump
	long long now = -1;         // the running time (hundredths since 1970, as stamped), -1 before any
	long accepted = 0, late = 0, jumps = 0;
	SkipNote not_time{STAMPS_NOT_TIMES};
	SkipNote outliers{"stamps more than 75 minutes from the stream's time"};

	// Judges one stamp (its first 16 bytes). Sets *t to its time for ST_ACCEPT and ST_LATE
	// (and for ST_OUTLIER). now_ms: the monotonic clock for the reports; -1 reads it.
	StVerdict take(const void *stamp, long long *t, long long now_ms = -1);
	// Judges a time already read from a stamp (and perhaps moved to UTC): ST_ACCEPT, ST_LATE
	// or ST_OUTLIER.
	StVerdict judge(long long t, long long now_ms = -1);
	// Says the counts not yet said; call at the end of input.
	void finish();
	// Counts without saying anything: for a consumer that skips stamps for a side product only
	// (pipe-web's burst marks), while the records themselves go on.
	void silence() { not_time.quiet = outliers.quiet = quiet_ = true; }

private:
	long long run_last_ = -1;  // the last outlier of a run that agrees
	int run_ = 0;
	bool quiet_ = false;
};

// Milliseconds of the monotonic clock.
long long st_clock_ms();
