// pipe-png: synthetic streams with a known carrier, burst and gap, drawn and read back from the
// PNG at the coordinates the picture's geometry gives; refusals and the file's appearance.
#include <gtest/gtest.h>

#include <cairo.h>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

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

TEST(PipePng, GapEdgesWhereColumnsMeetFrames)
{
	// 400 plot columns for 400 frames: column x is frame x's, and the gap 150-199 is grey from
	// its first column to its last, not a column more or less.
	TempDir t;
	std::string in;
	for (int k = 0; k < 400; k++)
		if (k < 150 || k >= 200)
			in += record(stamp(k), Frame(50, 60).p);
	Ran r = run({bin("pipe-png"), "-w", "610", t / "g.png"}, in);
	ASSERT_EQ(exit_code(r.status), 0) << r.err;
	Png png(t / "g.png");
	ASSERT_TRUE(png.ok());
	QlGeom g{610};
	ASSERT_EQ(g.plot_w(), 400);
	for (int x = 0; x < 400; x++)
		for (int ch = 0; ch < 2; ch++)
			EXPECT_EQ(png.at(g.left + x, g.row(ch, 10)), x >= 150 && x < 200 ? GAP : colour(zq_extcol, ch ? 60 : 50)) << x;
}

TEST(PipePng, LevelsAndScalesToTheHundredth)
{
	// Fractions of a level count, -b takes its scale from the data, and a scale narrower than a
	// hundredth still gives its end colours.
	TempDir t;
	QlGeom g{400};
	std::string frac;
	for (int k = 0; k < 100; k++)
		frac += record(stamp(k), Frame(50.5, 50.25).set(0, 100, 50).set(0, 101, 50).p);
	// -b: A's floor 50, frames 0-9 twenty above it and 10-19 ten above: the differences' 1st
	// to 99.5th percentile is 0 to 20.
	std::string bg;
	for (int k = 0; k < 200; k++)
		bg += record(stamp(k), Frame(k < 10 ? 70 : k < 20 ? 60 : 50, 50).p);
	struct { std::string in; std::vector<std::string> opts; int k, ch, point; double level, lo, hi; } cases[] = {
		{frac, {"-r", "50:51"}, 50, 0, 200, 50.5, 50, 51},
		{frac, {"-r", "50:51"}, 50, 1, 200, 50.25, 50, 51},
		{frac, {"-r", "50:51"}, 50, 0, 100, 50, 50, 51},
		{frac, {"-r", "0:0.000001"}, 50, 0, 200, 1e9, 0, 1},     // far above: the top colour
		{frac, {"-r", "100:100.000001"}, 50, 0, 200, -1e9, 0, 1},  // far below: the lowest
		{bg, {"-b"}, 5, 0, 300, 20, 0, 20},
		{bg, {"-b"}, 15, 0, 300, 10, 0, 20},
		{bg, {"-b"}, 150, 0, 300, 0, 0, 20},
		{bg, {"-b"}, 150, 1, 300, 0, 0, 20},
	};
	for (auto &c : cases) {
		std::vector<std::string> argv = {bin("pipe-png"), "-w", "400"};
		argv.insert(argv.end(), c.opts.begin(), c.opts.end());
		argv.push_back(t / "l.png");
		Ran r = run(argv, c.in);
		ASSERT_EQ(exit_code(r.status), 0) << r.err;
		Png png(t / "l.png");
		ASSERT_TRUE(png.ok());
		int n = (int)(c.in.size() / 3617);
		EXPECT_EQ(png.at(column(g, c.k, n), g.row(c.ch, c.point)), colour(zq_extcol, c.level, c.lo, c.hi))
			<< c.opts[0] << " " << c.opts.back() << " frame " << c.k << " level " << c.level;
	}
}

TEST(PipePng, OneFarStampNeitherStretchesNorSilences)
{
	// A stamp of 2099 inside 400 frames: the same picture, byte for byte, and the record said.
	TempDir t;
	std::string in, bad;
	for (int k = 0; k < 400; k++) {
		Frame f(50, 60);
		f.set(0, 300, 120);
		in += record(stamp(k), f.p);
		bad += record(stamp(k), f.p);
		if (k == 200)
			bad += record("2099123123595950", Frame(140, 140).p);
	}
	Ran r = run({bin("pipe-png"), "-w", "610", t / "good.png"}, in);
	ASSERT_EQ(exit_code(r.status), 0) << r.err;
	r = run({bin("pipe-png"), "-w", "610", t / "bad.png"}, bad);
	ASSERT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_EQ(r.err, "pipe-png: 1 records skipped: stamps more than 75 minutes from the stream's time\n");
	EXPECT_EQ(slurp(t / "bad.png"), slurp(t / "good.png"));
	// A clock that really jumped three hours: after ten stamps agreeing, the stream follows it.
	std::string jump = in;
	for (int k = 0; k < 40; k++)
		jump += record(stamp(3 * 7200 + k), Frame(50, 60).p);
	r = run({bin("pipe-png"), "-w", "610", t / "jump.png"}, jump);
	ASSERT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_EQ(r.err, "pipe-png: 1 records skipped: stamps more than 75 minutes from the stream's time\n"
			 "pipe-png: the stream's time jumped to " + stamp(3 * 7200 + 9) + " (10 stamps agreeing)\n"
			 "pipe-png: 9 records skipped: stamps more than 75 minutes from the stream's time\n");
	Png png(t / "jump.png");
	QlGeom g{610};
	EXPECT_EQ(png.at(g.left + g.plot_w() - 1, g.row(0, 10)), colour(zq_extcol, 50));  // the last frame's
	EXPECT_EQ(png.at(g.left + g.plot_w() / 2, g.row(0, 10)), GAP);                    // the hours between
}

TEST(PipePng, InterruptedLeavesNothing)
{
	// SIGTERM while the input is still coming: the temporary file and its folder go, and the
	// process ends by the signal.
	TempDir t;
	Spawn s;
	s.argv = {bin("pipe-png"), t / "q.png"};
	s.pipe_in = true;
	Proc p = start(s);
	std::string rec = record(stamp(0), Frame(50, 50).p);
	ASSERT_EQ(write(p.in, rec.data(), rec.size()), (ssize_t)rec.size());
	ASSERT_TRUE(wait_until([&] { return run({"/bin/ls", "-A", t.path}).out.rfind(".q.png.", 0) == 0; }, 10000));
	kill(p.pid, SIGTERM);
	int st;
	ASSERT_TRUE(wait_exit(p, 10000, &st));
	EXPECT_EQ(term_signal(st), SIGTERM);
	EXPECT_EQ(run({"/bin/ls", "-A", t.path}).out, "");
}

TEST(PipePng, AFirstStampOffTheGridKeepsTheHalfSecondGrid)
{
	// 12:00:00.25 (off the grid) at level 50, then 12:00:00.50 to 12:00:04.50, the first of them
	// with a carrier of 120 on point 300 of A. Each frame holds its own half second of the grid:
	// the burst never spreads back over the quarter second of the frame before it.
	TempDir t;
	std::string in = record("2026120712000025", Frame(50, 50).p);
	for (int k = 1; k < 10; k++) {
		Frame f(50, 50);
		if (k == 1)
			f.set(0, 300, 120);
		in += record(stamp(k), f.p);
	}
	Ran r = run({bin("pipe-png"), t / "q.png"}, in);
	ASSERT_EQ(exit_code(r.status), 0) << r.err;
	Png png(t / "q.png");
	ASSERT_TRUE(png.ok());
	QlGeom g{1600};
	long long span = 475;  // 12:00:00.25 to the end of 12:00:04.50's half second
	auto at = [&](long long from_first) { return png.at(g.left + (int)(from_first * g.plot_w() / span), g.row(0, 300)); };
	EXPECT_EQ(at(12), colour(zq_extcol, 50));   // 12:00:00.37: the first frame's
	EXPECT_EQ(at(50), colour(zq_extcol, 120));  // 12:00:00.75: the burst's
	EXPECT_EQ(at(80), colour(zq_extcol, 50));   // 12:00:01.05: the frame after it
}

// The title band of a picture as pipe-png draws it: the text, in its font, at its place.
std::vector<unsigned> title_band(const std::string &title, int width, int rows)
{
	QlGeom g{width};
	cairo_surface_t *sf = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, g.height());
	cairo_t *cr = cairo_create(sf);
	cairo_set_source_rgb(cr, 1, 1, 1);
	cairo_paint(cr);
	cairo_set_source_rgb(cr, 0, 0, 0);
	cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
	cairo_set_font_size(cr, 15);
	cairo_text_extents_t e;
	cairo_text_extents(cr, title.c_str(), &e);
	cairo_move_to(cr, g.left - e.x_bearing, 18 - e.y_bearing);
	cairo_show_text(cr, title.c_str());
	cairo_surface_flush(sf);
	std::vector<unsigned> band;
	const unsigned char *d = cairo_image_surface_get_data(sf);
	for (int y = 0; y < rows; y++)
		for (int x = 0; x < width; x++)
			band.push_back(*(const uint32_t *)(d + (size_t)y * (size_t)cairo_image_surface_get_stride(sf) + 4 * (size_t)x) & 0xffffff);
	cairo_destroy(cr);
	cairo_surface_destroy(sf);
	return band;
}

TEST(PipePng, TitleRunsFromTheFirstFrameToTheLast)
{
	// Ten frames, 12:00:00.00 to 12:00:04.50: the title names those two, not the end of the last
	// frame's half second. The band above the plots (rows 0-33) holds the title alone.
	TempDir t;
	std::string in;
	for (int k = 0; k < 10; k++)
		in += record(stamp(k), Frame(50, 50).p);
	Ran r = run({bin("pipe-png"), "-t", "Station", t / "q.png"}, in);
	ASSERT_EQ(exit_code(r.status), 0) << r.err;
	Png png(t / "q.png");
	ASSERT_TRUE(png.ok());
	std::vector<unsigned> got;
	for (int y = 0; y < 34; y++)
		for (int x = 0; x < png.w(); x++)
			got.push_back(png.at(x, y));
	std::vector<unsigned> want = title_band("Station   2026-12-07 12:00:00.00 to 12:00:04.50", 1600, 34);
	EXPECT_NE(want, title_band("Station   2026-12-07 12:00:00.00 to 12:00:05.00", 1600, 34));  // the band tells them apart
	EXPECT_TRUE(got == want) << "the title is not \"Station   2026-12-07 12:00:00.00 to 12:00:04.50\"";
}

TEST(PipePng, OutAFolderIsRefusedAtOnceOrWhenItAppears)
{
	// OUT a folder already: said at once, before any input, the folder left as it was.
	TempDir t;
	mkdir((t / "d.png").c_str(), 0755);
	spit(t / "d.png/keep", "x");
	Spawn s;
	s.argv = {bin("pipe-png"), t / "d.png"};
	s.pipe_in = true;
	Proc p = start(s);
	int st;
	ASSERT_TRUE(wait_exit(p, 5000, &st));
	EXPECT_EQ(exit_code(st), 1);
	EXPECT_EQ(read_to_end(p.err, 1000), "pipe-png: cannot write " + t / "d.png" + ": Is a directory\n");
	EXPECT_EQ(run({"/bin/ls", "-A", t.path, t / "d.png"}).out, t.path + ":\nd.png\n\n" + t / "d.png" + ":\nkeep\n");
	// A folder made at OUT while the picture is made: the rename fails, and the status says so.
	s.argv = {bin("pipe-png"), t / "e.png"};
	Proc q = start(s);
	std::string rec = record(stamp(0), Frame(50, 50).p);
	ASSERT_EQ(write(q.in, rec.data(), rec.size()), (ssize_t)rec.size());
	ASSERT_TRUE(wait_until([&] { return run({"/bin/ls", "-A", t.path}).out.find(".e.png.") != std::string::npos; }, 10000));
	mkdir((t / "e.png").c_str(), 0755);
	spit(t / "e.png/keep", "x");
	q.close_in();
	ASSERT_TRUE(wait_exit(q, 10000, &st));
	EXPECT_EQ(exit_code(st), 1);
	EXPECT_EQ(read_to_end(q.err, 1000), "pipe-png: cannot write " + t / "e.png" + ": Is a directory\n");
	EXPECT_EQ(run({"/bin/ls", "-A", t.path, t / "e.png"}).out, t.path + ":\nd.png\ne.png\n\n" + t / "e.png" + ":\nkeep\n");
}

TEST(PipePng, RefusalsAndSkippedRecords)
{
	TempDir t;
	std::string good = record(stamp(0), Frame(50, 50).p);
	for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
		     {}, {"-w", "100", t / "x.png"}, {"-w", "wide", t / "x.png"}, {"-r", "80:45", t / "x.png"},
		     {"-r", "45", t / "x.png"}, {"-r", "45:80", "-a", t / "x.png"}, {"-p", "rainbow", t / "x.png"},
		     {"-q", t / "x.png"}, {t / "x.png", t / "y.png"}, {"-t", "Station \xd6", t / "x.png"},
		     {"-t", "two\nlines", t / "x.png"}, {"-t", "\xed\xa0\x80", t / "x.png"}}) {
		args.insert(args.begin(), bin("pipe-png"));
		Ran r = run(args, good);
		EXPECT_EQ(exit_code(r.status), 2) << args.back();
		EXPECT_EQ(r.err.rfind("usage: pipe-png", 0), 0u) << r.err;
	}
	// A title in UTF-8 is drawn, whatever its script.
	EXPECT_EQ(exit_code(run({bin("pipe-png"), "-t", "Str\xc3\xb6me \xe8\xa6\xb3\xe6\xb8\xac \xf0\x9f\x93\xa1", t / "u.png"}, good).status), 0);
	run({"/bin/rm", t / "u.png"});
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

TEST(PipePng, MarksDrawnAndMalformedOnesRefused)
{
	TempDir t;
	std::string in;
	for (int k = 0; k < 400; k++)
		in += record(stamp(k), Frame(50, 60).p);
	// A malformed mark, or one too many: one usage line naming it, status 2, no file.
	std::vector<std::string> many{bin("pipe-png")};
	for (int i = 0; i < 33; i++)
		many.insert(many.end(), {"-m", "2026120712000000,2026120712000100,20,25"});
	many.push_back(t / "x.png");
	struct { std::vector<std::string> args; std::string err; } bad[] = {
		{{bin("pipe-png"), "-m", "2026120712000100,2026120712000000,20,25", t / "x.png"},
		 std::string(": -m 2026120712000100,2026120712000000,20,25: not FROM,TO,F_LO,F_HI")},
		{{bin("pipe-png"), "-m", "2026120712000000,2026120712000100,20", t / "x.png"}, ": -m 2026120712000000,2026120712000100,20: not"},
		{{bin("pipe-png"), "-m", "2026120712000000,2026120712000100,2e1,25", t / "x.png"}, ": -m 2026120712000000,2026120712000100,2e1,25: not"},
		{many, ": more than 32 marks\n"},
	};
	for (auto &b : bad) {
		Ran r = run(b.args, in);
		EXPECT_EQ(exit_code(r.status), 2) << r.err;
		EXPECT_EQ(r.err.rfind("usage: pipe-png [-w WIDTH]", 0), 0u) << r.err;
		EXPECT_NE(r.err.find(b.err), std::string::npos) << r.err;
		EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
	}
	EXPECT_EQ(run({"/bin/ls", "-A", t.path}).out, "");
	// Frames 100 to 119 between 20 and 25 MHz: white sides on both channels.
	Ran r = run({bin("pipe-png"), "-m", stamp(100) + "," + stamp(119) + ",20,25", t / "m.png"}, in);
	ASSERT_EQ(exit_code(r.status), 0) << r.err;
	Png png(t / "m.png");
	QlGeom g{1600};
	int x0 = g.left + 100 * 50 * g.plot_w() / 20000, x1 = g.left + (120 * 50 * g.plot_w() + 19999) / 20000 - 1;
	int p0 = (int)std::lround(20 / FR_FREQ_STEP) - FR_FREQ_OFFSET, p1 = (int)std::lround(25 / FR_FREQ_STEP) - FR_FREQ_OFFSET;
	for (int ch = 0; ch < 2; ch++) {
		int ym = (g.row(ch, p0) + g.row(ch, p1)) / 2;
		EXPECT_EQ(png.at(x0, ym), 0xffffffu);
		EXPECT_EQ(png.at(x1, ym), 0xffffffu);
		EXPECT_EQ(png.at(x0 - 1, ym), 0u);
		EXPECT_EQ(png.at((x0 + x1) / 2, g.row(ch, p1)), 0xffffffu);
		EXPECT_EQ(png.at((x0 + x1) / 2, g.row(ch, p0)), 0xffffffu);
		EXPECT_EQ(png.at((x0 + x1) / 2, ym), colour(zq_extcol, ch ? 60 : 50));
	}
}

TEST(PipePng, AnOutThatIsNotARegularFileIsLeftAlone)
{
	// A pipe or a folder of OUT's name is never replaced by the rename: said at once, status
	// 1, and it is still there as it was (as root, /dev/full would otherwise become a PNG).
	TempDir t;
	ASSERT_EQ(exit_code(run({"/usr/bin/mkfifo", t / "fifo.png"}).status), 0);
	ASSERT_EQ(exit_code(run({"/bin/mkdir", t / "dir.png"}).status), 0);
	std::string good = record(stamp(0), Frame(50, 50).p);
	struct Case {
		const char *name, *why, *type;
	};
	for (const Case &c : {Case{"fifo.png", "File exists", "fifo\n"}, Case{"dir.png", "Is a directory", "directory\n"}}) {
		Ran r = run({bin("pipe-png"), t / c.name}, good);
		EXPECT_EQ(exit_code(r.status), 1) << c.name;
		EXPECT_EQ(r.err, "pipe-png: cannot write " + t / c.name + ": " + c.why + "\n");
		EXPECT_EQ(run({"/usr/bin/stat", "-c", "%F", t / c.name}).out, c.type);
	}
	EXPECT_EQ(run({"/bin/ls", "-A", t.path}).out, "dir.png\nfifo.png\n");
}

}  // namespace
