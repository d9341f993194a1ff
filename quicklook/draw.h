// The quicklook pictures, drawn in memory: pipe-png's dynamic spectrum (channel A above B, axes,
// colour bar, title, burst marks), a small strip of a day for a list of days, and the light
// curve of a band. Frames are given one at a time (time, payload) and binned by TimeBins
// (plot.h), so memory depends on the picture's width, never on the number of frames; the
// picture comes out as PNG bytes. pipe-png draws through this, and so does pipe-web.
//
// Times are hundredths since 1970 as fr_stamp_time reads a stamp; frequencies are MHz, point p
// at fr_freq(p) (frame.h).
#pragma once

#include <string>
#include <vector>

#include "frame.h"
#include "plot.h"

enum : int {
	QL_MIN_WIDTH = 200,    // the smallest picture of any kind (pipe-png's own least is 400)
	QL_MAX_WIDTH = 20000,  // the widest: a caller serving pictures to others sets its own less
	QL_MAX_MARKS = 32,     // marks on one picture
};

// A burst's span and band: the frames from start to end (both included, so to end + 0.5 s),
// between f_lo and f_hi MHz.
struct QlMark {
	long long start, end;
	double f_lo, f_hi;
};

enum QlKind : int {
	QL_SPECTRUM,  // the quicklook: both channels, axes, colour bar, title, marks
	QL_STRIP,     // one channel as width x QL_STRIP_H pixels, nothing else (no axes or text)
	QL_CURVE,     // one channel's level in a band against time: a line with axes; a column's
		      // level is the mean over the band's points of each point's largest level
		      // among the column's frames
};
enum : int { QL_STRIP_H = 24, QL_STRIP_W = 288 };

// One picture's options. Levels: fixed lo to hi, or automatic (the data's 1st to 99.5th
// percentile: pipe-png -a, and -b without -r); for a curve, automatic levels run from the
// curve's lowest to its highest value.
struct QlOpts {
	QlKind kind = QL_SPECTRUM;
	int width = 1600;            // QL_MIN_WIDTH to QL_MAX_WIDTH
	double lo = 40, hi = 140;    // levels (hi > lo), unless automatic
	bool automatic = false;
	bool background = false;     // subtract each point's median over the picture's columns
	const unsigned char *pal = nullptr;  // a palette.h scale; null is the viewer's (zq_extcol)
	std::string title;           // before the time range in the title (UTF-8, no control characters)
	std::vector<QlMark> marks;   // at most QL_MAX_MARKS (QL_SPECTRUM)
	int channel = 0;             // 0 (A) or 1 (B): QL_STRIP and QL_CURVE
	double f_lo = 0, f_hi = 0;   // the band of QL_CURVE, MHz (f_lo <= f_hi, overlapping the points)
	// The time axis: [from, to) when from < to (frames outside it are left out, and the axis is
	// that stretch whatever frames come); otherwise the first frame's time to the last's + 0.5 s.
	long long from = 0, to = 0;
};

// "" when the options can be drawn, else why not (one short phrase).
std::string ql_check(const QlOpts &o);

// Whether s is UTF-8 text without control characters, as a title must be.
bool ql_text_ok(const char *s);

// A mark as pipe-png -m takes it: "FROM,TO,F_LO,F_HI", two 16-digit stamps of real times
// (FROM at or before TO) and two plain decimal numbers of MHz (0 <= F_LO <= F_HI <= 1000).
bool ql_mark_parse(const char *s, QlMark *m);

// A picture being drawn: construct with checked options (ql_check), add the frames, take the
// PNG. The frames' times need not be in order.
class QlDraw {
public:
	explicit QlDraw(const QlOpts &o);
	void add(long long t, const unsigned char *payload);
	long frames() const { return frames_; }
	// The PNG's bytes into *png. Returns "" or why there is no picture ("no frames", or
	// cairo's error).
	std::string png(std::string *png);

private:
	QlOpts o_;
	TimeBins bins_;
	long frames_ = 0;
};

// The geometry of a light curve, in one place: the plot's box and where a level lies.
struct QlCurveGeom {
	int width;
	static constexpr int left = 80, right = 30, top = 50, plot_h = 300, bottom = 60;
	int plot_w() const { return width - left - right; }
	int height() const { return top + plot_h + bottom; }
	// The row of a level on a scale lo to hi (lo on the bottom row, hi on the top one).
	int y(double level, double lo, double hi) const;
};

// The points of a band: p_lo to p_hi of the 900 (lround(f / FR_FREQ_STEP) - FR_FREQ_OFFSET,
// clamped). Returns false when the band lies wholly outside them.
bool ql_band_points(double f_lo, double f_hi, int *p_lo, int *p_hi);
