// Completeness over a range: frames come in stamp order, a cursor walks the half-second grid
// behind them, so missing slots are counted, never listed, and memory stays flat whatever the
// range. One row per period aligned to the clock, then a total: frames expected (two a second
// over the part of the period inside the range), present, missing, the longest gap, stamps off
// the half-second grid, broken files, bytes. arc-stat prints the rows; pipe-web keeps a day's.
#pragma once

#include <functional>
#include <vector>

#include "range.h"

struct TallyRow {
	long long start = 0, expected = 0, present = 0, missing = 0, off_grid = 0, broken = 0, bytes = 0;
	long long gap_start = -1, gap_len = 0;  // the longest gap: its first slot, and its slots
	std::vector<double> offsets;            // arc-stat --live: stamp minus host clock, ms
	void gap(long long s, long long n)
	{
		if (n > gap_len)
			gap_start = s, gap_len = n;
	}
};

class ArcTally {
public:
	// Rows of period hundredths over [lo, hi) (lo ARC_ALL: from the first frame); each row closed
	// goes to on_row (the total, last, with total true); each missing run that ends to on_gap
	// (its first slot, its end, its slots, and whether it ran to the range's end).
	using RowFn = std::function<void(TallyRow &, bool total)>;
	using GapFn = std::function<void(long long start, long long end, long long slots, bool to_end)>;
	ArcTally(long long period, long long lo, long long hi, RowFn on_row, GapFn on_gap = nullptr);
	// One frame: its time, size, whether it is present (a file that is not leaves its slot
	// missing) and whether it is broken. Returns whether it lies in the range.
	bool frame(long long t, long long bytes, bool present, bool broken);
	// The end: the range closes at end (at most hi), the last row and the total go out.
	void finish(long long end);
	// Counting from t, before any frame (an explicit range starts there).
	void begin(long long t);
	TallyRow &row() { return row_; }
	const TallyRow &total() const { return total_; }
	long long cursor() const { return cursor_; }  // the next half second not yet accounted for
	long long lo() const { return lo_; }

private:
	long long period_, lo_, hi_;
	long long cursor_ = -1, run_ = -1;  // the first slot of the missing run in progress, or -1
	bool begun_ = false;
	TallyRow row_, total_;
	RowFn on_row_;
	GapFn on_gap_;
	long long slots(long long a, long long b) const;
	void end_run(long long e);
	void next_period();
	void advance(long long t);
};
