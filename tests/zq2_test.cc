// The zq2 library under a real X server: window, colours, polls, primitives and captures,
// with pixels read back from both the window and the backing pixmap.
#include <gtest/gtest.h>

#include <X11/Xutil.h>
#include <clocale>
#include <cstring>
#include <ctime>
#include <set>
#include <vector>
#include <unistd.h>

#include "xkit.h"
#include "zq2.h"

// Every colour the library asks the server for, in order (the test links with
// --wrap=XAllocColor): what was asked, before the server's rounding comes back in the cell.
static std::vector<XColor> asked;
extern "C" Status __real_XAllocColor(Display *d, Colormap c, XColor *x);
extern "C" Status __wrap_XAllocColor(Display *d, Colormap c, XColor *x)
{
	asked.push_back(*x);
	return __real_XAllocColor(d, c, x);
}

namespace {

const unsigned long WHITE = 0xffffff, BLACK = 0, RED = 0xff0000;

struct Zq : ::testing::Test {
	Xvfb x;
	void open(int w = 400, int h = 300, int reverse = 0, const unsigned char *pal = nullptr,
		  const char *title = "zq test")
	{
		memset(&zq, 0, sizeof zq);
		snprintf(zq.title, sizeof zq.title, "%s", title);
		zq.width = w;
		zq.height = h;
		zq.reverse = reverse;
		ZQ_Open(x.display.c_str(), pal);
		ASSERT_TRUE(ZQ_Exist());
		settle();
	}
	void settle()  // let the first exposures arrive and be taken
	{
		for (int i = 0; i < 5; i++) {
			XSync(zq.dpy, False);
			ZQ_Event();
			usleep(2000);
		}
		XSync(zq.dpy, False);
	}
	void TearDown() override
	{
		// A program keeps all this until it ends; a test that opens again frees it first.
		if (zq.dpy) {
			for (XFontSet fs : zq.fs)
				if (fs)
					XFreeFontSet(zq.dpy, fs);
			XFreeGC(zq.dpy, zq.gc);
			XCloseDisplay(zq.dpy);
		}
		memset(&zq, 0, sizeof zq);
	}
	unsigned long win(int px, int py) { return pixel_at(zq.dpy, zq.win, px, py); }
	unsigned long pix(int px, int py) { return pixel_at(zq.dpy, zq.pix, px, py); }
	// The pixel in both drawables, or a marker if they differ.
	unsigned long both(int px, int py)
	{
		unsigned long a = win(px, py), b = pix(px, py);
		return a == b ? a : 0xBADBAD00000ul;
	}
};

TEST_F(Zq, WindowTitleSizeAndCloseButton)
{
	open(1060, 860, 0, nullptr, "Spectrogram");
	char *name = nullptr;
	ASSERT_TRUE(XFetchName(x.dpy, zq.win, &name));
	EXPECT_STREQ(name, "Spectrogram");
	XFree(name);
	XWindowAttributes wa;
	XGetWindowAttributes(x.dpy, zq.win, &wa);
	EXPECT_EQ(wa.width, 1060);
	EXPECT_EQ(wa.height, 860);
	EXPECT_EQ(wa.map_state, IsViewable);
	EXPECT_EQ(wa.your_event_mask, 0);  // the test's own connection selected nothing
	XGetWindowAttributes(zq.dpy, zq.win, &wa);
	EXPECT_EQ(wa.your_event_mask, 0x8005);
	XGetWindowAttributes(zq.dpy, zq.btn, &wa);
	EXPECT_EQ(wa.x, 994);
	EXPECT_EQ(wa.y, 832);
	EXPECT_EQ(wa.width, 56);
	EXPECT_EQ(wa.height, 20);
	EXPECT_EQ(wa.border_width, 2);
	EXPECT_EQ(wa.your_event_mask, 0x8004);
	EXPECT_EQ(zq.fsize, 16);
	EXPECT_EQ(zq.fslot, 1);
	EXPECT_EQ(zq.color, 0);
}

TEST_F(Zq, ReverseSetsBackgroundForegroundAndBorders)
{
	struct { int reverse; unsigned long bg, fg; } cases[] = {{0, WHITE, BLACK}, {1, BLACK, WHITE}};
	for (auto &c : cases) {
		open(200, 100, c.reverse);
		EXPECT_EQ(zq.fg, c.reverse ? 135 : 128);
		EXPECT_EQ(zq.bg, c.reverse ? 128 : 135);
		EXPECT_EQ(both(5, 5), c.bg);
		EXPECT_EQ(both(199, 99), c.bg);
		// The button: its border in the foreground, its inside in the background (or label).
		EXPECT_EQ(win(200 - 66, 100 - 28), c.fg);
		EXPECT_EQ(win(200 - 66 + 59, 100 - 28 + 23), c.fg);
		EXPECT_EQ(win(200 - 66 + 3, 100 - 28 + 20), c.bg);  // below the label's cells
		// A line drawn without ZQ_Color is in the foreground.
		ZQ_Line(20, 20, 30, 20);
		EXPECT_EQ(both(25, 20), c.fg);
		TearDown();
	}
}

TEST_F(Zq, PaletteAndStandardColours)
{
	unsigned char pal[384];
	for (int k = 0; k < 128; k++) {
		pal[3 * k] = (unsigned char)(2 * k);
		pal[3 * k + 1] = (unsigned char)(255 - k);
		pal[3 * k + 2] = (unsigned char)(k * 37);
	}
	pal[3 * 127] = 255;
	asked.clear();
	open(200, 100, 0, pal);
	// 136 cells asked for in index order: palette bytes in the high byte, standard colours full.
	ASSERT_EQ(asked.size(), 136u);
	for (int k = 0; k < 128; k++) {
		EXPECT_EQ(asked[k].red, pal[3 * k] << 8) << k;
		EXPECT_EQ(asked[k].green, pal[3 * k + 1] << 8) << k;
		EXPECT_EQ(asked[k].blue, pal[3 * k + 2] << 8) << k;
	}
	EXPECT_EQ(asked[127].red, 0xFF00);  // 255 below the full value of standard white
	for (int k = 0; k < 8; k++) {
		EXPECT_EQ(asked[128 + k].blue, k & 1 ? 0xFFFF : 0) << k;
		EXPECT_EQ(asked[128 + k].red, k & 2 ? 0xFFFF : 0) << k;
		EXPECT_EQ(asked[128 + k].green, k & 4 ? 0xFFFF : 0) << k;
	}
	for (int k : {0, 1, 64, 100, 126, 127}) {
		ZQ_Color(k);
		EXPECT_EQ(zq.color, k);
		ZQ_Line(k, 10, k, 10);
		unsigned long want = (unsigned long)pal[3 * k] << 16 | pal[3 * k + 1] << 8 | pal[3 * k + 2];
		EXPECT_EQ(both(k, 10), want) << "index " << k;
	}
	const unsigned long standard[8] = {0x000000, 0x0000ff, 0xff0000, 0xff00ff,
					   0x00ff00, 0x00ffff, 0xffff00, 0xffffff};
	for (int k = 0; k < 8; k++) {
		ZQ_Color(128 + k);
		ZQ_Line(k, 20, k, 20);
		EXPECT_EQ(both(k, 20), standard[k]) << "index " << 128 + k;
	}
	// Outside 0..135 nothing changes, not even the current index.
	ZQ_Color(130);
	ZQ_Color(136);
	ZQ_Color(-1);
	EXPECT_EQ(zq.color, 130);
	ZQ_Line(50, 50, 50, 50);
	EXPECT_EQ(both(50, 50), RED);
}

TEST_F(Zq, NullPaletteGivesBlackCells)
{
	asked.clear();
	open(200, 100, 0, nullptr);
	ASSERT_EQ(asked.size(), 136u);  // still all 136 cells
	for (int k = 0; k < 128; k++)
		EXPECT_EQ(asked[k].red | asked[k].green | asked[k].blue, 0) << k;
	for (int k : {0, 5, 64, 127}) {
		ZQ_Color(k);
		ZQ_Line(k, 10, k, 10);
		EXPECT_EQ(both(k, 10), BLACK) << k;
		EXPECT_EQ(zq.col[k].red | zq.col[k].green | zq.col[k].blue, 0) << k;
	}
}

TEST_F(Zq, LinesAndRectanglesHitExactPixels)
{
	open(1060, 860);
	ZQ_Color(130);
	ZQ_Line(10, 10, 10, 10);
	EXPECT_EQ(both(10, 10), RED);
	for (auto [dx, dy] : {std::pair{-1, 0}, {1, 0}, {0, -1}, {0, 1}})
		EXPECT_EQ(both(10 + dx, 10 + dy), WHITE);

	ZQ_Color(129);
	ZQ_Rect(79, 29, 981, 831);
	for (auto [px, py] : {std::pair{79, 29}, {981, 29}, {79, 831}, {981, 831}, {500, 29}, {981, 500}})
		EXPECT_EQ(both(px, py), 0x0000ffu) << px << "," << py;
	for (auto [px, py] : {std::pair{80, 30}, {982, 831}, {981, 832}, {78, 29}, {500, 500}})
		EXPECT_EQ(both(px, py), WHITE) << px << "," << py;

	ZQ_Color(132);
	ZQ_FRect(79, 29, 981, 831);
	for (auto [px, py] : {std::pair{79, 29}, {980, 830}, {500, 500}})
		EXPECT_EQ(both(px, py), 0x00ff00u) << px << "," << py;
	// The outline's right and bottom edges stay: the fill stops one short of the corner.
	for (auto [px, py] : {std::pair{981, 500}, {500, 831}, {981, 831}})
		EXPECT_EQ(both(px, py), 0x0000ffu) << px << "," << py;
}

TEST_F(Zq, CopyWithinWindowAndPixmap)
{
	open(300, 200);
	ZQ_Color(130);
	ZQ_FRect(10, 10, 20, 15);
	ZQ_Copy(10, 10, 100, 50, 10, 5);
	EXPECT_EQ(both(100, 50), RED);
	EXPECT_EQ(both(109, 54), RED);
	EXPECT_EQ(both(110, 54), WHITE);
	EXPECT_EQ(both(109, 55), WHITE);
	EXPECT_EQ(both(15, 12), RED);
}

// The set of non-background pixels of a region, shifted by (dx, dy).
std::set<std::pair<int, int>> ink(const Area &a, int dx = 0, int dy = 0)
{
	std::set<std::pair<int, int>> s;
	for (int j = 0; j < a.h; j++)
		for (int i = 0; i < a.w; i++)
			if (a.px[(size_t)(j * a.w + i)] != WHITE)
				s.insert({a.x + i + dx, a.y + j + dy});
	return s;
}

TEST_F(Zq, StringAnchorsAndFontSizes)
{
	open(600, 300);
	const char *text = "Ag_jpqy|gJ";  // 10 bytes, descenders for the (0, 0) cases
	auto draw = [&](int px, int py, int code) {
		ZQ_Color(135);
		ZQ_FRect(0, 0, 600, 250);
		ZQ_Color(128);
		ZQ_String(px, py, code, text, 0);
		XSync(zq.dpy, False);
		Area w = grab(zq.dpy, zq.win, 0, 0, 600, 250), p = grab(zq.dpy, zq.pix, 0, 0, 600, 250);
		EXPECT_EQ(w.px, p.px);
		return ink(w);
	};
	auto ref = draw(200, 100, 1);
	ASSERT_FALSE(ref.empty());
	// Size 16, 10 bytes: middle moves 40 left, right 80; codes 4-6 8 down, 7-9 16 down.
	struct { int code, dx, dy; } cases[] = {{1, 0, 0}, {2, -40, 0}, {3, -80, 0}, {4, 0, 8}, {5, -40, 8},
						{6, -80, 8}, {7, 0, 16}, {8, -40, 16}, {9, -80, 16}};
	for (auto &c : cases) {
		std::set<std::pair<int, int>> want;
		for (auto [px, py] : ref)
			want.insert({px + c.dx + 100, py + c.dy + 20});
		EXPECT_EQ(draw(300, 120, c.code), want) << "code " << c.code;
	}
	for (int code : {0, 10, -3}) {
		std::set<std::pair<int, int>> want;
		for (auto [px, py] : ref)
			if (px - 200 >= 0 && py - 100 >= 0)
				want.insert({px - 200, py - 100});
		ASSERT_FALSE(want.empty());
		EXPECT_EQ(draw(300, 120, code), want) << "code " << code;
	}

	struct { int size, slot; } slots[] = {{12, 0}, {16, 1}, {24, 2}, {18, 0}, {20, 0}};
	for (auto &s : slots) {
		ZQ_Font(s.size);
		EXPECT_EQ(zq.fsize, s.size);
		EXPECT_EQ(zq.fslot, s.slot) << s.size;
	}
	// Size 18, one byte: code 2 moves 4 left (18 / 4 truncated), code 4 moves 9 down.
	ZQ_Font(18);
	text = "A";
	auto one = draw(200, 100, 1);
	std::set<std::pair<int, int>> left, down;
	for (auto [px, py] : one) {
		left.insert({px - 4, py});
		down.insert({px, py + 9});
	}
	EXPECT_EQ(draw(200, 100, 2), left);
	EXPECT_EQ(draw(200, 100, 4), down);
}

TEST_F(Zq, ImageStringReplacesWhatWasUnder)
{
	open(300, 100);
	ZQ_Color(130);
	ZQ_FRect(0, 0, 300, 100);
	ZQ_Color(128);
	ZQ_String(10, 50, 1, "88888888", 1);  // cells filled with the background, white
	ZQ_String(10, 50, 1, "11111111", 1);  // a second stamp covers the first entirely
	XSync(zq.dpy, False);
	Area a = grab(zq.dpy, zq.win, 10, 40, 48, 12);
	EXPECT_EQ(a.px, grab(zq.dpy, zq.pix, 10, 40, 48, 12).px);
	size_t white = 0, red = 0;
	for (unsigned long p : a.px) {
		white += p == WHITE;
		red += p == RED;
	}
	EXPECT_GT(white, 300u);
	EXPECT_EQ(red, 0u);
	// Plain text leaves what is around its glyphs.
	ZQ_Color(130);
	ZQ_FRect(0, 0, 300, 100);
	ZQ_Color(128);
	ZQ_String(10, 50, 1, "1", 0);
	XSync(zq.dpy, False);
	EXPECT_EQ(both(10, 50), RED);
}

TEST_F(Zq, ExposeRepaintsTheWholeWindowFromThePixmap)
{
	open(400, 300);
	// Something only in the pixmap: the window shows it only after a repaint.
	XSetForeground(zq.dpy, zq.gc, zq.col[130].pixel);
	XFillRectangle(zq.dpy, zq.pix, zq.gc, 0, 0, 400, 300);
	XSync(zq.dpy, False);
	EXPECT_EQ(win(350, 250), WHITE);
	// Cover a small corner with another client's window, then uncover it.
	Window other = XCreateSimpleWindow(x.dpy, DefaultRootWindow(x.dpy), 0, 0, 20, 20, 0, 0, 0);
	XMapWindow(x.dpy, other);
	XSync(x.dpy, False);
	XUnmapWindow(x.dpy, other);
	XSync(x.dpy, False);
	wait_until([&] { ZQ_Event(); return win(350, 250) == RED; }, 2000, 5);
	EXPECT_EQ(win(350, 250), RED);  // far from the uncovered corner: the whole window
	EXPECT_EQ(win(5, 5), RED);
}

TEST_F(Zq, CloseButtonEndsTheWindow)
{
	open(400, 300);
	ASSERT_EQ(xdotool(x, {"mousemove", "360", "285", "click", "1"}), 0);  // inside the button
	int r = 1;
	wait_until([&] { return (r = ZQ_Event()) == 0; }, 5000, 5);
	EXPECT_EQ(r, 0);
	EXPECT_EQ(ZQ_Exist(), 0);
	EXPECT_EQ(zq.win, 0u);
	EXPECT_EQ(ZQ_Event(), 0);
	EXPECT_EQ(ZQ_Click(), 0);
	EXPECT_EQ(ZQ_Key(), 0);
	ZQ_Line(1, 1, 2, 2);  // nothing is drawn on the destroyed window, and nothing fails
	ZQ_String(10, 10, 1, "x", 1);
	XSync(zq.dpy, False);
	XWindowAttributes wa;
	EXPECT_EQ(find_window(x.dpy, "zq test", 0), 0u);
	(void)wa;
}

// Calls a poll until it takes something (the press may still be on its way), at most 2.5 s.
int poll(int (*f)(void))
{
	return wait_until([&] { return f() != 0; }, 2500, 5);
}

TEST_F(Zq, ClicksAndKeysAreTakenOneAtATimeInOrder)
{
	open(400, 300);
	ASSERT_EQ(xdotool(x, {"mousemove", "100", "100", "click", "1", "mousemove", "200", "150", "click", "3"}), 0);
	int got = 0;
	got = poll(ZQ_Click);
	ASSERT_EQ(got, 1);
	EXPECT_EQ(zq.cx, 100);
	EXPECT_EQ(zq.cy, 100);
	EXPECT_EQ(zq.cb, 1);
	got = poll(ZQ_Click);
	ASSERT_EQ(got, 1);
	EXPECT_EQ(zq.cx, 200);
	EXPECT_EQ(zq.cy, 150);
	EXPECT_EQ(zq.cb, 3);
	EXPECT_EQ(ZQ_Click(), 0);

	ASSERT_EQ(xdotool(x, {"mousemove", "50", "60", "key", "a"}), 0);
	got = poll(ZQ_Key);
	ASSERT_EQ(got, 1);
	EXPECT_EQ(zq.kc, (int)XKeysymToKeycode(x.dpy, XK_a));
	EXPECT_EQ(zq.kx, 50);
	EXPECT_EQ(zq.ky, 60);
	// ZQ_Event leaves presses in the main window for the client.
	ASSERT_EQ(xdotool(x, {"click", "2"}), 0);
	ASSERT_TRUE(wait_until([&] {  // the press has reached our queue; put it back for ZQ_Event
		XSync(zq.dpy, False);
		if (!XCheckTypedWindowEvent(zq.dpy, zq.win, ButtonPress, &zq.ev))
			return false;
		XPutBackEvent(zq.dpy, &zq.ev);
		return true;
	}, 2500, 5));
	EXPECT_EQ(ZQ_Event(), 1);
	EXPECT_EQ(poll(ZQ_Click), 1);
	EXPECT_EQ(zq.cb, 2);
}

TEST_F(Zq, AreaCopyEventsDoNotPileUp)
{
	open(200, 100);
	for (int i = 0; i < 2000; i++) {
		ZQ_Copy(0, 0, 10, 10, 5, 5);
		if (i % 100 == 0)
			ZQ_Event();
	}
	XSync(zq.dpy, False);
	ZQ_Event();
	EXPECT_EQ(XPending(zq.dpy), 0);
}

TEST(ZqNoDisplay, OpenFailsCleanlyAndEveryCallDoesNothing)
{
	memset(&zq, 0, sizeof zq);
	zq.width = 100;
	zq.height = 100;
	testing::internal::CaptureStderr();
	ZQ_Open(":4077", nullptr);
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_EQ(err, std::string(program_invocation_short_name) + ": cannot open display :4077\n");
	EXPECT_EQ(zq.win, 0u);
	EXPECT_EQ(ZQ_Exist(), 0);
	EXPECT_EQ(ZQ_Event(), 0);
	EXPECT_EQ(ZQ_Click(), 0);
	EXPECT_EQ(ZQ_Key(), 0);
	ZQ_Color(3);
	ZQ_Line(0, 0, 1, 1);
	ZQ_Rect(0, 0, 1, 1);
	ZQ_FRect(0, 0, 1, 1);
	ZQ_String(0, 0, 1, "x", 1);
	ZQ_Copy(0, 0, 1, 1, 1, 1);
	ZQ_XWD();
	ZQ_LPR();
	ZQ_LPR2("x");
}

// Captures, with fake xwd, convert, rm and ./zq_lpr.sh that log their arguments.
struct Capture : Zq {
	TempDir t;
	std::string cwd;
	void SetUp() override
	{
		const char *logger = "#!/bin/sh\nprintf '%s' \"$(basename \"$0\")\" >> \"$ZQ_LOG\"\n"
				     "for a in \"$@\"; do printf ' [%s]' \"$a\" >> \"$ZQ_LOG\"; done\necho >> \"$ZQ_LOG\"\n";
		mkdir((t / "fake").c_str(), 0755);
		for (const char *p : {"xwd", "convert", "rm"})
			spit(t / (std::string("fake/") + p), logger, 0755);
		spit(t / "zq_lpr.sh", logger, 0755);
		setenv("ZQ_LOG", (t / "log").c_str(), 1);
		setenv("PATH", (t.path + "/fake:" + getenv("PATH")).c_str(), 1);
		char b[4096];
		cwd = getcwd(b, sizeof b);
		ASSERT_EQ(chdir(t.path.c_str()), 0);
		open(200, 100);
	}
	void TearDown() override
	{
		(void)!chdir(cwd.c_str());
		Zq::TearDown();
	}
	std::string log() { return slurp(t / "log"); }
	static std::string stamp(time_t at)
	{
		struct tm tm;
		localtime_r(&at, &tm);
		char s[32];
		strftime(s, sizeof s, "%y%m%d.%H%M%S", &tm);
		return s;
	}
	// The log matches the template (NAME for the time-stamped name) at the call's second or the next.
	void expect(const std::string &tmpl, time_t before)
	{
		std::string got = log(), id = std::to_string(zq.win);
		bool match = false;
		for (time_t at = before; at <= before + 1 && !match; at++) {
			std::string w = tmpl;
			for (size_t p; (p = w.find("NAME")) != std::string::npos;)
				w.replace(p, 4, stamp(at));
			for (size_t p; (p = w.find("WIN")) != std::string::npos;)
				w.replace(p, 3, id);
			match = got == w;
		}
		EXPECT_TRUE(match) << got;
	}
};

TEST_F(Capture, XwdAndLprNameTheDumpByLocalTime)
{
	time_t t0 = time(nullptr);
	ZQ_XWD();
	expect("xwd [-nobdrs] [-out] [NAME.xwd] [-id] [WIN]\n", t0);
	remove((t / "log").c_str());
	t0 = time(nullptr);
	ZQ_LPR();
	expect("xwd [-nobdrs] [-out] [NAME.xwd] [-id] [WIN]\nzq_lpr.sh [NAME]\n", t0);
	// Every field two digits: YYMMDD.HHMMSS.
	std::string l = log();
	EXPECT_EQ(l.find(".xwd"), 35u) << l;
}

TEST_F(Capture, Lpr2GivesTheNameAsOneWord)
{
	struct { const char *name, *log; } cases[] = {
		{"shot", "xwd [-nobdrs] [-out] [shot.xwd] [-id] [WIN]\nconvert [shot.xwd] [shot.png]\nrm [shot.xwd]\n"},
		{"dir/a-b_1.2", "xwd [-nobdrs] [-out] [dir/a-b_1.2.xwd] [-id] [WIN]\nconvert [dir/a-b_1.2.xwd] [dir/a-b_1.2.png]\nrm [dir/a-b_1.2.xwd]\n"},
		{"a b;touch pwned", "xwd [-nobdrs] [-out] [a b;touch pwned.xwd] [-id] [WIN]\nconvert [a b;touch pwned.xwd] [a b;touch pwned.png]\nrm [a b;touch pwned.xwd]\n"},
		{"$(touch pwned)`touch pwned`", "xwd [-nobdrs] [-out] [$(touch pwned)`touch pwned`.xwd] [-id] [WIN]\nconvert [$(touch pwned)`touch pwned`.xwd] [$(touch pwned)`touch pwned`.png]\nrm [$(touch pwned)`touch pwned`.xwd]\n"},
		{"it's|&<>*", "xwd [-nobdrs] [-out] [it's|&<>*.xwd] [-id] [WIN]\nconvert [it's|&<>*.xwd] [it's|&<>*.png]\nrm [it's|&<>*.xwd]\n"},
	};
	for (auto &c : cases) {
		remove((t / "log").c_str());
		ZQ_LPR2(c.name);
		std::string want = c.log;
		for (size_t p; (p = want.find("WIN")) != std::string::npos;)
			want.replace(p, 3, std::to_string(zq.win));
		EXPECT_EQ(log(), want) << c.name;
		EXPECT_FALSE(exists(t / "pwned"));
	}
}

TEST_F(Capture, LongNamesAreRefusedAndAClosedWindowRunsNothing)
{
	std::string n76(76, 'n'), n77(77, 'n');
	ZQ_LPR2(n76.c_str());
	EXPECT_NE(log().find("convert [" + n76 + ".xwd] [" + n76 + ".png]"), std::string::npos);
	remove((t / "log").c_str());
	testing::internal::CaptureStderr();
	ZQ_LPR2(n77.c_str());
	ZQ_LPR2((std::string(20, '\'') + std::string(50, 'q')).c_str());  // 70, but 132 once quoted
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_FALSE(exists(t / "log"));
	EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;

	XDestroyWindow(zq.dpy, zq.win);  // as the close button does
	zq.win = 0;
	ZQ_XWD();
	ZQ_LPR();
	ZQ_LPR2("shot");
	EXPECT_FALSE(exists(t / "log"));
}

TEST_F(Zq, Lpr2WithRealToolsLeavesAPngOnly)
{
	TempDir t;
	setenv("DISPLAY", x.display.c_str(), 1);  // xwd finds the server as a client's shell would
	open(320, 200);
	ZQ_Color(130);
	ZQ_FRect(0, 0, 100, 100);
	XSync(zq.dpy, False);
	ZQ_LPR2((t / "shot").c_str());
	EXPECT_TRUE(exists(t / "shot.png"));
	EXPECT_FALSE(exists(t / "shot.xwd"));
	Ran r = run({"/usr/bin/convert", t / "shot.png", "-format", "%w %h %[pixel:p{10,10}] %[pixel:p{200,150}]", "info:"});
	EXPECT_EQ(r.out, "320 200 srgb(255,0,0) srgb(255,255,255)") << r.err;
}

TEST_F(Zq, EucTextIsDrawnWhenTheLocaleIsThere)
{
	open(300, 100);
	const char *lc = setlocale(LC_CTYPE, nullptr);
	if (std::string(lc) != "ja_JP.EUC")
		GTEST_SKIP() << "the ja_JP.EUC locale is not installed";
	// Two EUC characters, then two ASCII bytes: ink where the multibyte glyphs are drawn (the
	// 16-pixel font's cells from x = 10, rows above the baseline at 50), and "AB" after them.
	ZQ_String(10, 50, 1, "\xa4\xa2\xa4\xa4" "AB", 0);
	XSync(zq.dpy, False);
	EXPECT_FALSE(ink(grab(zq.dpy, zq.win, 10, 34, 28, 18)).empty());
	EXPECT_FALSE(ink(grab(zq.dpy, zq.win, 42, 34, 40, 18)).empty());
}

}  // namespace
