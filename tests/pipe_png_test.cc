// pipe-png: synthetic streams with a known carrier, burst and gap, drawn and read back from the
// PNG at the coordinates the picture's geometry gives; refusals and the file's appearance.
#include <gtest/gtest.h>

#include <cairo.h>
#include <dirent.h>

#include "kit.h"
#include "palette.h"
#include "plot.h"

namespace {

const unsigned GAP = 0x808080;

unsigned colour(const unsigned char *pal, double level, double lo = 40, double hi = 140)
{
	const unsigned char *e = pal + 3 * vw_scale(level, lo, hi);
	return (unsigned)e[0] << 16 | (unsigned)e[1] << 8 | e[2];
}

struct Png {
	cairo_surface_t *s;
	explicit Png(const std::string &path) : s(cairo_image_surface_create_from_png(path.c_str())) {}
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

// A payload: channel A at level a, B at b (in level units), with points set apart.
struct Frame {
	std::string p = std::string(3600, '\0');
	Frame(double a, double b)
	{
		for (int i = 0; i < 900; i++)
			set(0, i, a), set(1, i, b);
	}
	Frame &set(int ch, int point, double level)
	{
		unsigned v = (unsigned)(level * 100);
		p[(size_t)(4 * point + 2 * ch)] = (char)(v & 0xff);
		p[(size_t)(4 * point + 2 * ch + 1)] = (char)(v >> 8);
		return *this;
	}
};

std::string stamp(int k)  // k half seconds after 2026-12-07 12:00:00
{
	char s[32];
	snprintf(s, sizeof s, "20261207%02d%02d%02d%s", 12 + k / 7200, k / 120 % 60, k / 2 % 60, k % 2 ? "50" : "00");
	return s;
}

// The column of frame k's middle, in a picture of n frames' span.
int column(const QlGeom &g, int k, int n) { return g.left + (int)((k * 50LL + 25) * g.plot_w() / (n * 50LL)); }

TEST(PipePng, CarrierBurstAndGapWhereTheStampsPutThem)
{
	TempDir t;
	// 400 frames over 200 s: a floor at 50 and 60, a carrier at point 300 of A, a burst at
	// frame 100 on points 600-609 of B, and frames 150 to 199 missing.
	std::string in;
	for (int k = 0; k < 400; k++) {
		if (k >= 150 && k < 200)
			continue;
		Frame f(50, 60);
		f.set(0, 300, 120);
		for (int p = 600; p < 610 && k == 100; p++)
			f.set(1, p, 130);
		in += record(stamp(k), f.p);
	}
	Ran r = run({bin("pipe-png"), "-t", "Test station", t / "q.png"}, in);
	ASSERT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_EQ(r.err, "");
	Png png(t / "q.png");
	ASSERT_TRUE(png.ok());
	QlGeom g{1600};
	EXPECT_EQ(png.w(), 1600);
	EXPECT_EQ(png.h(), g.height());
	struct { int k, ch, point; unsigned want; } cases[] = {
		{10, 0, 100, colour(zq_extcol, 50)}, {10, 0, 300, colour(zq_extcol, 120)},
		{10, 1, 300, colour(zq_extcol, 60)}, {100, 1, 604, colour(zq_extcol, 130)},
		{99, 1, 604, colour(zq_extcol, 60)}, {101, 1, 604, colour(zq_extcol, 60)},
		{175, 0, 300, GAP}, {175, 1, 604, GAP}, {150, 0, 10, GAP}, {199, 1, 890, GAP},
		{149, 0, 10, colour(zq_extcol, 50)}, {200, 0, 10, colour(zq_extcol, 50)},
		{0, 0, 0, colour(zq_extcol, 50)}, {399, 1, 899, colour(zq_extcol, 60)},
	};
	for (auto &c : cases)
		EXPECT_EQ(png.at(column(g, c.k, 400), g.row(c.ch, c.point)), c.want) << c.k << " " << c.ch << " " << c.point;
	// The scale's ends, and the frames around the plots.
	EXPECT_EQ(png.at(g.bar_x() + 5, g.bar_top()), colour(zq_extcol, 140));
	EXPECT_EQ(png.at(g.bar_x() + 5, g.bar_top() + g.bar_h() - 1), colour(zq_extcol, 40));
	EXPECT_EQ(png.at(g.left - 1, g.row(0, 450)), 0u);
	EXPECT_EQ(png.at(g.left + g.plot_w(), g.row(1, 450)), 0u);
	// Only the picture is left in the folder.
	EXPECT_EQ(run({"/bin/ls", "-A", t.path}).out, "q.png\n");
}

TEST(PipePng, LargestLevelOfABinSurvivesAndScalesChoose)
{
	TempDir t;
	// Half an hour into a 400-pixel picture: about nineteen frames to a column, one of them a
	// burst on channel A.
	std::string in;
	for (int k = 0; k < 3600; k++) {
		Frame f(50, 55);
		if (k == 1801)
			f.set(0, 500, 100);
		in += record(stamp(k), f.p);
	}
	QlGeom g{400};
	struct { std::vector<std::string> opts; const unsigned char *pal; double lo, hi; } cases[] = {
		{{}, zq_extcol, 40, 140},
		{{"-r", "45:80"}, zq_extcol, 45, 80},
		{{"-p", "viridis"}, vw_viridis, 40, 140},
		{{"-a", "-p", "viridis"}, vw_viridis, 50, 55},  // the data's 1st to 99.5th percentile
	};
	for (auto &c : cases) {
		std::vector<std::string> argv = {bin("pipe-png"), "-w", "400"};
		argv.insert(argv.end(), c.opts.begin(), c.opts.end());
		argv.push_back(t / "big.png");
		Ran r = run(argv, in);
		ASSERT_EQ(exit_code(r.status), 0) << r.err;
		Png png(t / "big.png");
		ASSERT_TRUE(png.ok());
		EXPECT_EQ(png.at(column(g, 1801, 3600), g.row(0, 500)), colour(c.pal, 100, c.lo, c.hi));
		EXPECT_EQ(png.at(column(g, 1801, 3600), g.row(0, 400)), colour(c.pal, 50, c.lo, c.hi));
		EXPECT_EQ(png.at(column(g, 100, 3600), g.row(1, 500)), colour(c.pal, 55, c.lo, c.hi));
		EXPECT_EQ(png.at(g.bar_x() + 5, g.bar_top()), colour(c.pal, c.hi, c.lo, c.hi));
	}
}

TEST(PipePng, BackgroundSubtractionFlattensAStepppedFloor)
{
	TempDir t;
	std::string in;
	for (int k = 0; k < 200; k++) {
		Frame f(50, 60);
		for (int p = 450; p < 900; p++)
			f.set(0, p, 70).set(1, p, 45);
		in += record(stamp(k), f.p);
	}
	Ran r = run({bin("pipe-png"), "-w", "400", "-b", t / "b.png"}, in);
	ASSERT_EQ(exit_code(r.status), 0) << r.err;
	Png png(t / "b.png");
	ASSERT_TRUE(png.ok());
	QlGeom g{400};
	unsigned first = png.at(g.left, g.row(0, 0));
	size_t other = 0;
	for (int ch = 0; ch < 2; ch++)
		for (int x = g.left; x < g.left + g.plot_w(); x++)
			for (int p = 0; p < 900; p += 2)
				other += png.at(x, g.row(ch, p)) != first;
	EXPECT_EQ(other, 0u);
	// Without -b the step is there.
	r = run({bin("pipe-png"), "-w", "400", t / "b.png"}, in);
	Png step(t / "b.png");
	EXPECT_NE(step.at(g.left, g.row(0, 0)), step.at(g.left, g.row(0, 899)));
}

TEST(PipePng, RefusalsAndSkippedRecords)
{
	TempDir t;
	std::string good = record(stamp(0), Frame(50, 50).p);
	for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
		     {}, {"-w", "100", t / "x.png"}, {"-w", "wide", t / "x.png"}, {"-r", "80:45", t / "x.png"},
		     {"-r", "45", t / "x.png"}, {"-r", "45:80", "-a", t / "x.png"}, {"-p", "rainbow", t / "x.png"},
		     {"-q", t / "x.png"}, {t / "x.png", t / "y.png"}}) {
		args.insert(args.begin(), bin("pipe-png"));
		Ran r = run(args, good);
		EXPECT_EQ(exit_code(r.status), 2) << args.back();
		EXPECT_EQ(r.err.rfind("usage: pipe-png", 0), 0u) << r.err;
	}
	// No frames: no file. Bad stamps: skipped and counted.
	Ran r = run({bin("pipe-png"), t / "x.png"}, record("2026120799999900", Frame(50, 50).p) + record("abcdefghijklmnop", Frame(50, 50).p));
	EXPECT_EQ(exit_code(r.status), 1);
	// Said when it happens (the first at once), and the total at the end.
	EXPECT_EQ(r.err, "pipe-png: 1 records skipped: stamps not 16 digits of a real time\n"
			 "pipe-png: 2 records skipped: stamps not 16 digits of a real time\npipe-png: no frames: no picture written\n");
	EXPECT_EQ(run({"/bin/ls", "-A", t.path}).out, "");
	// OUT that cannot be written: said at once, before any input is read.
	Spawn s;
	s.argv = {bin("pipe-png"), t / "none/x.png"};
	s.pipe_in = true;
	Proc p = start(s);
	int st;
	ASSERT_TRUE(wait_exit(p, 5000, &st));
	EXPECT_EQ(exit_code(st), 1);
	EXPECT_EQ(read_to_end(p.err, 1000), "pipe-png: cannot write " + t / "none/x.png" + ": No such file or directory\n");
}

}  // namespace
