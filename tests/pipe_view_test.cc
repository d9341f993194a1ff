// pipe-view: the colour scale, and the real program under Xvfb fed through a pipe, with its
// window read back from the server.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "palette.h"
#include "xkit.h"

namespace {

unsigned long rgb(int k) { return (unsigned long)zq_extcol[3 * k] << 16 | zq_extcol[3 * k + 1] << 8 | zq_extcol[3 * k + 2]; }

TEST(Palette, LevelsToIndices)
{
	struct { unsigned v; int k; } cases[] = {
		{0, 0}, {3999, 0}, {4000, 0}, {4078, 0}, {4079, 1},  // step 1 begins at 40.78125
		{8999, 63}, {9000, 64}, {9078, 64}, {9079, 65}, {13921, 126}, {13922, 127},
		{14000, 127}, {20000, 127}, {65535, 127}, {6000, 25},
	};
	for (auto &c : cases)
		EXPECT_EQ(vw_index(c.v), c.k) << c.v;
	// The pictures' scale at the viewer's range is the viewer's, value for value.
	for (unsigned v = 0; v < 65536; v++)
		ASSERT_EQ(vw_scale(v / 100.0, 40, 140), vw_index(v)) << v;
}

TEST(Palette, TableEntries)
{
	struct { int k; unsigned long rgb; } cases[] = {
		{0, 0x000000}, {7, 0x500055}, {16, 0x7F00B4}, {25, 0x5000F0}, {32, 0x0000FF}, {48, 0x5FB4C1},
		{64, 0x00FF00}, {80, 0xCFD65F}, {96, 0xFF0000}, {112, 0xF100B4}, {127, 0xFEFDFE},
	};
	for (auto &c : cases)
		EXPECT_EQ(rgb(c.k), c.rgb) << c.k;
}

const unsigned long BLACK = 0, WHITE = 0xffffff;

// A payload from per-column values: column i gets points 2i and 2i+1.
struct Pay {
	std::string p = std::string(3600, '\0');
	Pay(unsigned a, unsigned b) { fill(a, a, b, b); }
	void put(int point, int ch, unsigned v)
	{
		p[4 * point + 2 * ch] = (char)(v & 0xff);
		p[4 * point + 2 * ch + 1] = (char)(v >> 8);
	}
	void column(int i, unsigned a1, unsigned a2, unsigned b1, unsigned b2)
	{
		put(2 * i, 0, a1);
		put(2 * i + 1, 0, a2);
		put(2 * i, 1, b1);
		put(2 * i + 1, 1, b2);
	}
	void fill(unsigned a1, unsigned a2, unsigned b1, unsigned b2)
	{
		for (int i = 0; i < 450; i++)
			column(i, a1, a2, b1, b2);
	}
};

struct View : ::testing::Test {
	Xvfb x;
	Proc p;
	Window w = 0;
	int frames = 0;
	void SetUp() override { launch(); }
	void launch()
	{
		if (p.pid > 0) {
			stop(p);
			wait_until([&] { return !find_window(x.dpy, "Spectrogram", 0); }, 5000, 5);
		}
		Spawn s;
		s.argv = {bin("pipe-view")};
		s.env = x.env();
		s.pipe_in = true;
		p = start(s);
		frames = 0;
		w = find_window(x.dpy, "Spectrogram", 10000);
		ASSERT_NE(w, 0u);
		ASSERT_TRUE(wait_px(79, 29, BLACK));
	}
	unsigned long px(int px, int py) { return pixel_at(x.dpy, w, px, py); }
	bool wait_px(int px_, int py, unsigned long want, int ms = 10000)
	{
		return wait_until([&] { return px(px_, py) == want; }, ms, 5);
	}
	// Sends one record and waits until the viewer has drawn it (its cursor line is there).
	void frame(const std::string &pay, std::string stamp = "2026120721163450", bool wait = true)
	{
		std::string r = stamp + std::string(1, '\0') + pay;
		ASSERT_EQ(write(p.in, r.data(), r.size()), (ssize_t)r.size());
		frames++;
		if (wait) {
			ASSERT_TRUE(wait_px(700, frames % 800 + 30, BLACK)) << "frame " << frames;
		}
	}
};

TEST_F(View, FrameRectangleAndDivider)
{
	for (auto [x_, y_] : {std::pair{79, 29}, {981, 29}, {79, 831}, {981, 831}, {530, 29}, {530, 400}, {530, 831},
			      {300, 29}, {300, 831}, {79, 400}, {981, 400}})
		EXPECT_EQ(px(x_, y_), BLACK) << x_ << "," << y_;
	for (auto [x_, y_] : {std::pair{80, 30}, {529, 400}, {531, 400}, {980, 830}, {78, 400}, {982, 400}, {300, 832}})
		EXPECT_EQ(px(x_, y_), WHITE) << x_ << "," << y_;
	// The close button from the library.
	EXPECT_EQ(px(994, 832), BLACK);
}

TEST_F(View, ColumnsTakeTheLargerPointAndItsColour)
{
	Pay pay(9000, 9000);
	struct { int col; unsigned a1, a2, b1, b2; unsigned long ca, cb; } cases[] = {
		{0, 4000, 3000, 100, 0, BLACK, BLACK},           // level 40 and below: colour 0
		{1, 14000, 65535, 65535, 20000, 0xFEFDFE, 0xFEFDFE},  // 140 and above: colour 127
		{2, 9000, 5000, 5000, 9000, 0x00FF00, 0x00FF00},  // the larger of 90 and 50: 64
		{3, 6000, 0, 0, 6000, 0x5000F0, 0x5000F0},        // level 60: 25
		{200, 4079, 4078, 9079, 9078, rgb(1), rgb(65)},
		{449, 12000, 0, 0, 4500, rgb(102), rgb(6)},
	};
	for (auto &c : cases)
		pay.column(c.col, c.a1, c.a2, c.b1, c.b2);
	frame(pay.p);
	for (auto &c : cases) {
		EXPECT_EQ(px(80 + c.col, 30), c.ca) << "A column " << c.col;
		EXPECT_EQ(px(531 + c.col, 30), c.cb) << "B column " << c.col;
	}
	EXPECT_EQ(px(530, 30), BLACK);  // the divider stays
}

TEST_F(View, RowsRunDownWithTheCursorBelow)
{
	frame(Pay(9000, 14000).p);
	frame(Pay(14000, 9000).p);
	frame(Pay(6000, 6000).p);
	unsigned long want[3][2] = {{0x00FF00, 0xFEFDFE}, {0xFEFDFE, 0x00FF00}, {0x5000F0, 0x5000F0}};
	for (int r = 0; r < 3; r++)
		for (int i : {0, 225, 449}) {
			EXPECT_EQ(px(80 + i, 30 + r), want[r][0]) << r << " " << i;
			EXPECT_EQ(px(531 + i, 30 + r), want[r][1]) << r << " " << i;
		}
	for (int cx = 80; cx <= 980; cx += 50)
		EXPECT_EQ(px(cx, 33), BLACK) << cx;
	EXPECT_EQ(px(980, 33), BLACK);
	EXPECT_EQ(px(530, 33), BLACK);
	EXPECT_EQ(px(300, 34), WHITE);
}

TEST_F(View, RowsWrapAfter800)
{
	std::string all;
	std::string stamp = "2026120721163450";
	for (int k = 0; k < 800; k++)
		all += stamp + std::string(1, '\0') + Pay(k % 2 ? 9000 : 6000, 14000).p;
	for (size_t at = 0; at < all.size();) {
		ssize_t n = write(p.in, all.data() + at, all.size() - at);
		ASSERT_GT(n, 0);
		at += (size_t)n;
	}
	frames = 800;
	ASSERT_TRUE(wait_px(700, 30, BLACK));  // the cursor back at the top
	frame(Pay(14000, 6000).p);              // the 801st
	EXPECT_EQ(px(80, 30), 0xFEFDFEu);
	EXPECT_EQ(px(531, 30), 0x5000F0u);
	EXPECT_EQ(px(500, 31), BLACK);  // the cursor
	EXPECT_EQ(px(80, 829), 0x00FF00u);  // the 800th frame
	EXPECT_EQ(px(80, 828), 0x5000F0u);
	EXPECT_EQ(px(500, 830), WHITE);     // never a row
}

TEST_F(View, StampIsReplacedByTheNext)
{
	frame(Pay(9000, 9000).p, "8888888888888888");
	Area eights = grab(x.dpy, w, 80, 10, 120, 19);
	frame(Pay(9000, 9000).p, "1111111111111111");
	Area ones = grab(x.dpy, w, 80, 10, 120, 19);
	EXPECT_NE(eights.px, ones.px);
	// The same as a viewer that only ever saw the second stamp.
	launch();
	frame(Pay(9000, 9000).p, "1111111111111111");
	EXPECT_EQ(grab(x.dpy, w, 80, 10, 120, 19).px, ones.px);
	Area blank = grab(x.dpy, w, 80, 10, 120, 19);
	size_t ink = 0;
	for (unsigned long v : blank.px)
		ink += v == BLACK;
	EXPECT_GT(ink, 20u);
}

TEST_F(View, EndOfInputEndsWithStatus0)
{
	frame(Pay(9000, 9000).p);
	p.close_in();
	int st;
	ASSERT_TRUE(wait_exit(p, 10000, &st));
	EXPECT_EQ(exit_code(st), 0);
}

TEST_F(View, CutPayloadWaitsForTheEndThenEndsWithStatus0)
{
	frame(Pay(14000, 14000).p);
	std::string cut = std::string("2026120721163500") + '\0' + Pay(9000, 9000).p.substr(0, 100);
	ASSERT_EQ(write(p.in, cut.data(), cut.size()), (ssize_t)cut.size());
	// Nothing more arrives yet, so the viewer waits in its read: the row is not painted.
	usleep(200000);
	EXPECT_EQ(px(80, 31), BLACK);  // still the cursor
	// The end of input completes the payload read: row 1 is painted, then the viewer ends.
	p.close_in();
	int st;
	ASSERT_TRUE(wait_exit(p, 10000, &st));
	EXPECT_EQ(exit_code(st), 0);
}

TEST_F(View, CloseButtonOrWindowManagerEndsAfterTheNextRecord)
{
	for (const char *how : {"button", "window manager"}) {
		launch();
		frame(Pay(9000, 9000).p);
		if (how == std::string("button"))
			ASSERT_EQ(xdotool(x, {"mousemove", "1020", "842", "click", "1"}), 0);
		else
			wm_close(x.dpy, w);
		usleep(300000);
		EXPECT_TRUE(still_running(p)) << how;  // the viewer waits in its read: no record, no poll
		int st = -1;
		for (int k = 0; k < 20 && still_running(p); k++) {
			frame(Pay(9000, 9000).p, "2026120721163450", false);
			wait_exit(p, 500, &st);
		}
		EXPECT_FALSE(still_running(p)) << how;
		EXPECT_EQ(exit_code(st), 0) << how;
		EXPECT_EQ(read_to_end(p.err, 100), "") << how;
	}
}

TEST_F(View, UncoveredWindowIsRepaintedOnTheNextPoll)
{
	frame(Pay(9000, 9000).p);
	EXPECT_EQ(px(150, 30), 0x00FF00u);
	Window other = XCreateSimpleWindow(x.dpy, DefaultRootWindow(x.dpy), 100, 20, 200, 100, 0, 0, 0);
	XMapWindow(x.dpy, other);
	XSync(x.dpy, False);
	XUnmapWindow(x.dpy, other);
	XSync(x.dpy, False);
	EXPECT_TRUE(wait_px(150, 30, WHITE));  // the server cleared the uncovered part
	frame(Pay(6000, 6000).p);              // the poll after this record repaints
	EXPECT_TRUE(wait_px(150, 30, 0x00FF00));
	EXPECT_EQ(px(150, 31), 0x5000F0u);
	EXPECT_EQ(px(79, 29), BLACK);
}

TEST(ViewStart, NoDisplayOrBadInput)
{
	Ran r = run({bin("pipe-view")}, "", 10000, {"DISPLAY=:4077"});
	EXPECT_EQ(exit_code(r.status), 1);
	EXPECT_EQ(r.err, "pipe-view: cannot open display :4077\n");
	r = run({"/usr/bin/env", "-u", "DISPLAY", bin("pipe-view")}, "", 10000);
	EXPECT_EQ(exit_code(r.status), 1);
	EXPECT_EQ(r.err, "pipe-view: cannot open display (DISPLAY is not set)\n");
	r = run({bin("pipe-view"), "extra"}, "", 10000);
	EXPECT_EQ(exit_code(r.status), 2);
	EXPECT_EQ(r.err.rfind("usage: pipe-view", 0), 0u);
}

TEST(ViewStart, ReadErrorEndsWithStatus1)
{
	Xvfb x;
	Ran r = run_files({bin("pipe-view")}, "/", "/dev/null", x.env());
	EXPECT_EQ(exit_code(r.status), 1);
	EXPECT_EQ(r.err, "pipe-view: read error on standard input: Is a directory\n");
}

}  // namespace
