// The quicklook module in process: marks on the pixels their span and band give (clipped at the
// plot's edges), a band's light curve stepping at the right column, the strip's size and
// columns, a fixed stretch, and the -m form of a mark. Pixels are read back from the PNG bytes
// at the coordinates the geometries give.
#include <gtest/gtest.h>

#include <cairo.h>
#include <cmath>
#include <cstring>
#include <string>

#include "draw.h"
#include "palette.h"

namespace {

const unsigned GAP = 0x808080, WHITE = 0xffffff, BLACK = 0, LINE = 0x0000c0;

unsigned colour(double level, double lo = 40, double hi = 140)
{
	const unsigned char *e = zq_extcol + 3 * vw_scale(level, lo, hi);
	return (unsigned)e[0] << 16 | (unsigned)e[1] << 8 | e[2];
}

struct Png {
	cairo_surface_t *s;
	std::string bytes;
	size_t at_ = 0;
	static cairo_status_t from(void *c, unsigned char *d, unsigned n)
	{
		Png *p = (Png *)c;
		if (p->at_ + n > p->bytes.size())
			return CAIRO_STATUS_READ_ERROR;
		memcpy(d, p->bytes.data() + p->at_, n);
		p->at_ += n;
		return CAIRO_STATUS_SUCCESS;
	}
	explicit Png(std::string b) : bytes(std::move(b)) { s = cairo_image_surface_create_from_png_stream(from, this); }
	~Png() { cairo_surface_destroy(s); }
	bool ok() const { return cairo_surface_status(s) == CAIRO_STATUS_SUCCESS; }
	int w() const { return cairo_image_surface_get_width(s); }
	int h() const { return cairo_image_surface_get_height(s); }
	unsigned at(int x, int y) const
	{
		const unsigned char *d = cairo_image_surface_get_data(s);
		return *(const uint32_t *)(d + (size_t)y * (size_t)cairo_image_surface_get_stride(s) + 4 * (size_t)x) & 0xffffff;
	}
};

// A payload with every point of both channels at level (level units).
std::string flat(double level)
{
	std::string p(FR_PAYLOAD, '\0');
	unsigned v = (unsigned)std::lround(level * 100);
	for (int i = 0; i < FR_POINTS * FR_CHANNELS; i++)
		p[(size_t)(2 * i)] = (char)(v & 0xff), p[(size_t)(2 * i + 1)] = (char)(v >> 8);
	return p;
}

void set(std::string &p, int ch, int point, double level)
{
	unsigned v = (unsigned)std::lround(level * 100);
	p[(size_t)(4 * point + 2 * ch)] = (char)(v & 0xff);
	p[(size_t)(4 * point + 2 * ch + 1)] = (char)(v >> 8);
}

const long long T0 = 178000000000LL;  // 2026-05-28 20:26:40 (hundredths), on the half-second grid

// The picture of n frames at level 50 from T0, two a second.
std::string draw(const QlOpts &o, int n, long long t0 = T0)
{
	EXPECT_EQ(ql_check(o), "");
	QlDraw d(o);
	std::string p = flat(50);
	for (int k = 0; k < n; k++)
		d.add(t0 + 50LL * k, (const unsigned char *)p.data());
	std::string png;
	EXPECT_EQ(d.png(&png), "");
	// It ends at its last chunk: no bytes after it, kept or served.
	const std::string iend("\0\0\0\0IEND\xae\x42\x60\x82", 12);
	EXPECT_TRUE(png.size() >= iend.size() && png.compare(png.size() - iend.size(), iend.size(), iend) == 0) << png.size() << " bytes";
	return png;
}

int point(double mhz) { return (int)std::lround(mhz / FR_FREQ_STEP) - FR_FREQ_OFFSET; }

TEST(Draw, MarksLandOnTheirSpanAndBandClippedAtTheEdges)
{
	// 400 frames (200 s) in a 1600-pixel picture: 1390 columns of 50 s x 1390 / 20000.
	const int n = 400;
	QlGeom g{1600};
	const long long span = n * 50LL, w = g.plot_w();
	auto col0 = [&](long long t) { return (int)((t - T0) * w / span); };
	auto col1 = [&](long long end) { return (int)(((end + 50 - T0) * w + span - 1) / span - 1); };
	struct Case {
		const char *name;
		long long start, end;  // in frames from T0
		double f_lo, f_hi;
		bool left, right, top, bottom;  // the sides drawn
	} cases[] = {
		{"inside", 100, 119, 20, 25, true, true, true, true},
		{"before the first frame", -40, 10, 20, 25, false, true, true, true},
		{"after the last frame", 390, 450, 20, 25, true, false, true, true},
		{"above the highest point", 200, 220, 30, 60, true, true, false, true},
		{"below the lowest point", 200, 220, 5, 20, true, true, true, false},
		// To the last frame, from the lowest point to the highest: every side on the plot's edge.
		{"the whole picture", 0, n - 1, fr_freq(0), fr_freq(FR_POINTS - 1), true, true, true, true},
	};
	for (const Case &c : cases) {
		QlOpts o;
		QlMark m{T0 + 50 * c.start, T0 + 50 * c.end, c.f_lo, c.f_hi};
		o.marks = {m};
		Png png(draw(o, n));
		ASSERT_TRUE(png.ok());
		int x0 = g.left + std::max(col0(m.start), 0), x1 = g.left + std::min(col1(m.end), (int)w - 1);
		int p0 = std::max(point(c.f_lo), 0), p1 = std::min(point(c.f_hi), FR_POINTS - 1);
		for (int ch = 0; ch < FR_CHANNELS; ch++) {
			int ytop = g.row(ch, p1), ybot = g.row(ch, p0), ymid = (ytop + ybot) / 2, xmid = (x0 + x1) / 2;
			SCOPED_TRACE(std::string(c.name) + " channel " + std::to_string(ch));
			// A side drawn is white with black either side of it; one not drawn leaves the plot.
			EXPECT_EQ(png.at(x0, ymid), c.left ? WHITE : colour(50));
			EXPECT_EQ(png.at(x0 + 1, ymid), c.left ? BLACK : colour(50));
			EXPECT_EQ(png.at(x1, ymid), c.right ? WHITE : colour(50));
			EXPECT_EQ(png.at(x1 - 1, ymid), c.right ? BLACK : colour(50));
			EXPECT_EQ(png.at(xmid, ytop), c.top ? WHITE : colour(50));
			EXPECT_EQ(png.at(xmid, ybot), c.bottom ? WHITE : colour(50));
			if (c.left) {
				EXPECT_EQ(png.at(x0 - 1, ymid), BLACK);
			}
			if (c.top) {
				EXPECT_EQ(png.at(xmid, ytop - 1), BLACK);
			}
			// Inside the box, the plot as it was; nothing over the panel's frame.
			EXPECT_EQ(png.at(xmid, ymid), colour(50));
			EXPECT_EQ(png.at(g.left - 1, ymid), BLACK);
			EXPECT_EQ(png.at(g.left + (int)w, ymid), BLACK);
			EXPECT_EQ(png.at(xmid, g.panel_top(ch) - 1), BLACK);
			EXPECT_EQ(png.at(xmid, g.panel_top(ch) - 2), WHITE);  // the margin
		}
	}
	// The first frame's column starts a mark of that frame alone; a mark wholly outside the
	// picture's time draws nothing.
	QlOpts o;
	o.marks = {{T0, T0, 20, 25}, {T0 + 50LL * n, T0 + 50LL * (n + 10), 20, 25}};
	Png png(draw(o, n));
	int y = g.row(0, point(22));
	EXPECT_EQ(png.at(g.left, y), WHITE);
	EXPECT_EQ(png.at(g.left + col1(T0), y), WHITE);
	EXPECT_EQ(png.at(g.left + (int)w - 1, y), colour(50));
}

TEST(Draw, LightCurveStepsAtItsColumn)
{
	// 400 frames; from frame 200 the band 20 to 25 MHz of channel B is at 80, all else at 50.
	const int n = 400;
	QlOpts o;
	o.kind = QL_CURVE;
	o.width = 800;
	o.channel = 1;
	o.f_lo = 20, o.f_hi = 25;
	o.lo = 40, o.hi = 100;
	ASSERT_EQ(ql_check(o), "");
	QlDraw d(o);
	for (int k = 0; k < n; k++) {
		std::string p = flat(50);
		for (int q = point(20); q <= point(25) && k >= 200; q++)
			set(p, 1, q, 80);
		set(p, 0, point(22), 120);  // channel A is not drawn
		d.add(T0 + 50LL * k, (const unsigned char *)p.data());
	}
	std::string bytes;
	ASSERT_EQ(d.png(&bytes), "");
	Png png(bytes);
	ASSERT_TRUE(png.ok());
	QlCurveGeom g{800};
	EXPECT_EQ(png.w(), 800);
	EXPECT_EQ(png.h(), g.height());
	int step = g.plot_w() / 2;  // 345: frame 200 starts exactly half way
	int y50 = g.y(50, 40, 100), y80 = g.y(80, 40, 100);
	EXPECT_EQ(y50, g.top + g.plot_h - 1 - (int)std::lround(10.0 / 60 * (g.plot_h - 1)));
	struct { int col, y; unsigned want; } cases[] = {
		{0, y50, LINE}, {step - 1, y50, LINE}, {step - 1, y80, WHITE}, {step, y50, LINE},
		{step, (y50 + y80) / 2, LINE}, {step, y80, LINE}, {step + 1, y80, LINE}, {step + 1, y50, WHITE},
		{g.plot_w() - 1, y80, LINE}, {g.plot_w() - 1, y80 - 1, WHITE}, {g.plot_w() - 1, y80 + 1, WHITE},
	};
	for (auto &c : cases)
		EXPECT_EQ(png.at(g.left + c.col, c.y), c.want) << c.col << " " << c.y;
	// Automatic levels run from the curve's lowest to its highest: the ends of the plot.
	o.automatic = true;
	QlDraw a(o);
	for (int k = 0; k < n; k++) {
		std::string p = flat(50);
		for (int q = point(20); q <= point(25) && k >= 200; q++)
			set(p, 1, q, 80);
		a.add(T0 + 50LL * k, (const unsigned char *)p.data());
	}
	Png auto_png((a.png(&bytes), bytes));
	EXPECT_EQ(auto_png.at(g.left, g.top + g.plot_h - 1), LINE);
	EXPECT_EQ(auto_png.at(g.left + g.plot_w() - 1, g.top), LINE);
}

TEST(Draw, StripIsItsSizeWithGapsGrey)
{
	// A day's strip of 288 columns (five minutes each), frames in its first 55 minutes only and
	// a carrier in the top row's points.
	QlOpts o;
	o.kind = QL_STRIP;
	o.width = QL_STRIP_W;
	o.automatic = true;
	o.from = T0;
	o.to = T0 + 8640000;
	ASSERT_EQ(ql_check(o), "");
	QlDraw d(o);
	std::string p = flat(50);
	for (int q = 880; q < 900; q++)
		set(p, 0, q, 90);
	for (int k = 0; k < 6600; k++)
		d.add(T0 + 50LL * k, (const unsigned char *)p.data());
	d.add(T0 - 50, (const unsigned char *)p.data());  // outside the stretch: left out
	d.add(o.to, (const unsigned char *)p.data());     // its end is outside it too
	EXPECT_EQ(d.frames(), 6600);
	std::string bytes;
	ASSERT_EQ(d.png(&bytes), "");
	Png png(bytes);
	ASSERT_TRUE(png.ok());
	EXPECT_EQ(png.w(), QL_STRIP_W);
	EXPECT_EQ(png.h(), QL_STRIP_H);
	EXPECT_EQ(png.at(0, 0), colour(90, 50, 90));   // levels 50 (1st percentile) to 90
	EXPECT_EQ(png.at(0, 1), colour(50, 50, 90));
	EXPECT_EQ(png.at(9, 23), colour(50, 50, 90));  // 50 minutes: columns 0 to 9 (the bins of a
	EXPECT_EQ(png.at(12, 23), GAP);                 // day are 256 s wide, and may reach into 11)
	EXPECT_EQ(png.at(287, 0), GAP);
}

TEST(Draw, AStripShowsItsOwnChannel)
{
	// Channel A at 50, channel B at 90 with its lowest 37 points at 120: each strip its own.
	std::string p = flat(50);
	for (int q = 0; q < FR_POINTS; q++)
		set(p, 1, q, q < 37 ? 120 : 90);
	for (int ch : {0, 1}) {
		QlOpts o;
		o.kind = QL_STRIP;
		o.width = QL_STRIP_W;
		o.channel = ch;
		ASSERT_EQ(ql_check(o), "");
		QlDraw d(o);
		for (int k = 0; k < 600; k++)
			d.add(T0 + 50LL * k, (const unsigned char *)p.data());
		std::string bytes;
		ASSERT_EQ(d.png(&bytes), "");
		Png png(bytes);
		ASSERT_TRUE(png.ok());
		EXPECT_EQ(png.at(0, 0), colour(ch ? 90 : 50)) << ch;
		EXPECT_EQ(png.at(QL_STRIP_W - 1, QL_STRIP_H - 1), colour(ch ? 120 : 50)) << ch;
	}
}

TEST(Draw, AFixedStretchShowsWhereNoFramesCame)
{
	// Ten minutes asked for, frames in its second half only: the first half is grey.
	QlOpts o;
	o.from = T0 - 30000, o.to = T0 + 30000;
	QlGeom g{1600};
	Png png(draw(o, 600));
	int y = g.row(0, 100);
	EXPECT_EQ(png.at(g.left, y), GAP);
	EXPECT_EQ(png.at(g.left + g.plot_w() / 2 - 1, y), GAP);
	EXPECT_EQ(png.at(g.left + g.plot_w() / 2, y), colour(50));
	EXPECT_EQ(png.at(g.left + g.plot_w() - 1, y), colour(50));
}

TEST(Draw, NoFramesNoPictureAndBadOptionsSaid)
{
	QlOpts o;
	QlDraw d(o);
	std::string png = "x";
	EXPECT_EQ(d.png(&png), "no frames");
	EXPECT_EQ(png, "");
	struct { const char *name; void (*edit)(QlOpts &); } bad[] = {
		{"narrow", [](QlOpts &q) { q.width = QL_MIN_WIDTH - 1; }},
		{"wide", [](QlOpts &q) { q.width = QL_MAX_WIDTH + 1; }},
		{"levels", [](QlOpts &q) { q.lo = 50, q.hi = 50; }},
		{"NaN levels", [](QlOpts &q) { q.hi = NAN; }},
		{"title", [](QlOpts &q) { q.title = "a\nb"; }},
		{"marks", [](QlOpts &q) { q.marks.assign(QL_MAX_MARKS + 1, QlMark{T0, T0, 20, 25}); }},
		{"band", [](QlOpts &q) { q.kind = QL_CURVE, q.f_lo = 50, q.f_hi = 60; }},
		{"channel", [](QlOpts &q) { q.kind = QL_STRIP, q.channel = 2; }},
		{"stretch", [](QlOpts &q) { q.from = T0, q.to = T0 + 10; }},
	};
	for (auto &b : bad) {
		QlOpts q;
		b.edit(q);
		EXPECT_NE(ql_check(q), "") << b.name;
	}
}

TEST(Draw, MarkOptionForm)
{
	struct { const char *s; bool ok; } cases[] = {
		{"2026120712000000,2026120712003050,20,25.5", true},
		{"2026120712000000,2026120712000000,0,1000", true},
		{"2026120712000000,2026120712000000,22.5,22.5", true},
		{"2026120712003050,2026120712000000,20,25", false},   // ends before it starts
		{"2026120712000000,2026120712003050,25,20", false},   // band upside down
		{"2026120712000000,2026120712003050,20,1000.5", false},
		{"2026120712000000,2026120712003050,-1,20", false},
		{"2026120712000000,2026120712003050,2e1,25", false},
		{"2026120712000000,2026120712003050,20,25,", false},
		{"2026120712000000,2026120712003050,20", false},
		{"2026120712000000,2026120712003050,20,", false},
		{"2026120712000000,2026120712003050,.,25", false},
		{"2026120712000000,2026120712003050,20, 25", false},
		{"2026120712000000,2026120712003050,20,nan", false},
		{"2026120712000000,2026120712003050,20,25.5.5", false},
		{"202612071200000,2026120712003050,20,25", false},    // fifteen digits
		{"2026120712000000,20261207120030500,20,25", false},  // seventeen
		{"2026120712000000,2026133112003050,20,25", false},   // no such day
		{"2026120724000000,2026120712003050,20,25", false},
		{"", false},
		{",,,", false},
	};
	for (auto &c : cases) {
		QlMark m{};
		EXPECT_EQ(ql_mark_parse(c.s, &m), c.ok) << c.s;
	}
	QlMark m{};
	ASSERT_TRUE(ql_mark_parse("2026120712000000,2026120712003050,20,25.5", &m));
	long long t;
	ASSERT_TRUE(fr_stamp_time("2026120712000000", &t));
	EXPECT_EQ(m.start, t);
	EXPECT_EQ(m.end, t + 3050);
	EXPECT_EQ(m.f_lo, 20);
	EXPECT_EQ(m.f_hi, 25.5);
}

}  // namespace
