// What pipe-png draws, apart from drawing it: frames binned by time in memory that depends on
// the picture's width and not on the input's length, the columns of the picture from those
// bins, the picture's geometry, and the level statistics of -a and -b.
#pragma once

#include <cstdint>
#include <vector>

#include "frame.h"

enum : int { QL_VALUES = FR_POINTS * FR_CHANNELS };  // a slot or column: channel A's 900, then B's

// Frames binned by time: a fixed number of slots, each holding the largest value of every point
// among its frames. Slots start half a second wide; when the stamps seen span more slots than
// there are, their width doubles and neighbours merge (largest wins), so a day or a year fits
// in the same memory. Times are in hundredths (fr_stamp_time).
class TimeBins {
public:
	explicit TimeBins(int slots);
	void add(long long t, const unsigned char *payload);
	// Makes the bins' span at least [from, to) (to - from at least 50), with no frame in it: a
	// picture of a fixed stretch whatever frames come.
	void cover(long long from, long long to);
	bool empty() const { return tmin_ < 0; }
	long long first() const { return tmin_; }
	long long last() const { return tmax_; }
	// The picture's w columns over [first, last + 0.5 s): each column the largest value of each
	// point among the slots that overlap it; has[c] 0 where none does (a gap).
	void columns(int w, std::vector<uint16_t> &out, std::vector<char> &has) const;

private:
	int n_;
	long long origin_ = 0, dt_ = 50, tmin_ = -1, tmax_ = -1;
	std::vector<uint16_t> v_;
	std::vector<char> filled_;
	void regrow(long long lo, long long hi);
};

// The picture's geometry, in one place: two panels (channel A above B), a colour bar at the
// right, margins for the axes and the title. Point p of a channel is drawn on row
// row(ch, p), two points to a row (the larger shown), low frequencies at the bottom.
struct QlGeom {
	int width;
	static constexpr int left = 80, right = 130, top = 50, panel = FR_POINTS / 2, gap = 50, bottom = 60;
	static constexpr int bar_gap = 30, bar_w = 20;
	int plot_w() const { return width - left - right; }
	int height() const { return top + 2 * panel + gap + bottom; }
	int panel_top(int ch) const { return top + ch * (panel + gap); }
	int row(int ch, int p) const { return panel_top(ch) + panel - 1 - p / 2; }
	int bar_x() const { return width - right + bar_gap; }
	int bar_top() const { return panel_top(0); }
	int bar_h() const { return 2 * panel + gap; }
	// The colour index of bar row y (128 steps, the lowest at the bottom).
	int bar_index(int y) const { return (bar_top() + bar_h() - 1 - y) * 128 / bar_h(); }
};

// The value at fraction q (0-1) of the sorted values of the columns that have data, in
// hundredths; 0 if there are none.
int ql_percentile(const std::vector<int32_t> &v, const std::vector<char> &has, double q);

// Background subtraction: from each point of each channel, its median over the columns that
// have data. v holds w columns of QL_VALUES values and becomes the differences.
void ql_subtract_median(std::vector<int32_t> &v, const std::vector<char> &has, int w);
