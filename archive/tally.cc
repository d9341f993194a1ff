// The half-second grid walked behind the frames (see tally.h).
#include "tally.h"

#include <algorithm>

ArcTally::ArcTally(long long period, long long lo, long long hi, RowFn on_row, GapFn on_gap)
	: period_(period), lo_(lo), hi_(hi), on_row_(std::move(on_row)), on_gap_(std::move(on_gap))
{
}

// The slots [a, b) of the grid within the range: how many.
long long ArcTally::slots(long long a, long long b) const
{
	a = std::max(a, lo_);
	b = std::min(b, hi_);
	if (b <= a)
		return 0;
	return (b + 49) / 50 - (a + 49) / 50;
}

// A missing run ends at slot e (exclusive): into this period's row (from its start, at most),
// the total, and the list of gaps.
void ArcTally::end_run(long long e)
{
	if (run_ < 0)
		return;
	long long n = (e - run_) / 50;
	total_.gap(run_, n);
	long long from = std::max(run_, row_.start);
	row_.gap(from, (e - from) / 50);
	if (on_gap_)
		on_gap_(run_, e, n, e >= hi_);
	run_ = -1;
}

// Closes the period being filled and opens the next.
void ArcTally::next_period()
{
	long long e = row_.start + period_;
	if (run_ >= 0) {  // the run goes on; this period has its part
		long long from = std::max(run_, row_.start);
		row_.gap(from, (e - from) / 50);
	}
	row_.expected = slots(row_.start, e);
	on_row_(row_, false);
	total_.expected += row_.expected;
	row_ = TallyRow();
	row_.start = e;
}

// Walks the cursor up to t (exclusive): the slots passed over are missing. A period is closed
// only when the cursor moves past its end, so the last frame's period is the last row.
void ArcTally::advance(long long t)
{
	t = std::min(t, hi_);
	while (cursor_ < t) {
		if (cursor_ == row_.start + period_) {
			next_period();
			continue;
		}
		long long e = std::min(t, row_.start + period_);
		long long n = slots(cursor_, e);
		if (n > 0 && run_ < 0)
			run_ = std::max(cursor_, lo_) + (50 - std::max(cursor_, lo_) % 50) % 50;
		row_.missing += n;
		total_.missing += n;
		cursor_ = e;
	}
}

void ArcTally::begin(long long from)
{
	begun_ = true;
	lo_ = from;
	cursor_ = from - ((from % 50) + 50) % 50;
	row_.start = from - ((from % period_) + period_) % period_;
}

bool ArcTally::frame(long long t, long long bytes, bool present, bool broken)
{
	if (!begun_)
		begin(t);
	if (t < lo_ || t >= hi_)
		return false;
	long long slot = t - ((t % 50) + 50) % 50;
	if (slot >= cursor_) {
		advance(slot);
		if (cursor_ == row_.start + period_)  // the frame opens the next period
			next_period();
		if (present) {
			end_run(slot);
			cursor_ = slot + 50;
		}
	}
	for (TallyRow *r : {&row_, &total_}) {
		r->present += present;
		r->off_grid += present && t != slot;
		r->broken += broken;
		r->bytes += bytes;
	}
	return true;
}

void ArcTally::finish(long long end)
{
	if (!begun_) {  // nothing at all
		on_row_(total_, true);
		return;
	}
	hi_ = std::min(hi_, end);
	advance(hi_);
	end_run(hi_);
	row_.expected = slots(row_.start, row_.start + period_);
	on_row_(row_, false);
	total_.expected += row_.expected;
	on_row_(total_, true);
}
