// zq2: the window library. ZQ_Open builds everything once; the polls keep the window alive
// from the client's own loop; every drawing primitive draws on the window and then, with the
// same arguments, on the backing pixmap, so the pixmap always holds the whole picture and an
// exposure repaints from it. Window dumps are handed to xwd, convert and a site print script
// through the shell.
//
// Nothing here allocates after ZQ_Open, waits for events or flushes outside the polls. When
// there is no window (no display, or the close button was pressed) every call does nothing.
#include "zq2.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cerrno>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <type_traits>

zq_rec zq;

static_assert(std::is_standard_layout_v<zq_rec> && std::is_trivial_v<zq_rec>,
	      "zq is shared with C clients");

enum { MASK_WIN = 0x8005, MASK_BTN = 0x8004 };  // exposure, button press (and key press)

// The window manager's close request; a window that takes part gets it as a ClientMessage
// instead of having its connection killed.
static Atom wm_delete;

void ZQ_Open(const char *display_name, const unsigned char *palette) noexcept
{
	setlocale(LC_CTYPE, "ja_JP.EUC");  // left as it was when the locale is not installed

	zq.dpy = XOpenDisplay(display_name);
	if (!zq.dpy) {
		const char *d = XDisplayName(display_name);
		if (d && *d)
			fprintf(stderr, "%s: cannot open display %s\n", program_invocation_short_name, d);
		else
			fprintf(stderr, "%s: cannot open display (DISPLAY is not set)\n", program_invocation_short_name);
		zq.win = 0;
		return;
	}
	Display *dpy = zq.dpy;
	zq.root = RootWindow(dpy, 0);
	zq.gc = XCreateGC(dpy, zq.root, 0, nullptr);

	for (XFontSet &fs : zq.fs) {
		char **missing = nullptr, *def = nullptr;
		int nmissing = 0;
		fs = XCreateFontSet(dpy, "fixed", &missing, &nmissing, &def);
		if (missing)
			XFreeStringList(missing);
	}
	zq.fsize = 16;
	zq.fslot = 1;

	if (palette)
		for (int k = 0; k < 128; k++) {
			zq.col[k].red = (unsigned short)(palette[3 * k] << 8);
			zq.col[k].green = (unsigned short)(palette[3 * k + 1] << 8);
			zq.col[k].blue = (unsigned short)(palette[3 * k + 2] << 8);
		}
	for (int k = 0; k < 8; k++) {  // index - 128: bit 0 blue, bit 1 red, bit 2 green
		zq.col[128 + k].blue = k & 1 ? 0xFFFF : 0;
		zq.col[128 + k].red = k & 2 ? 0xFFFF : 0;
		zq.col[128 + k].green = k & 4 ? 0xFFFF : 0;
	}
	zq.cmap = DefaultColormap(dpy, 0);
	for (XColor &c : zq.col) {
		c.flags = DoRed | DoGreen | DoBlue;
		XAllocColor(dpy, zq.cmap, &c);
	}

	zq.fg = zq.reverse ? 135 : 128;
	zq.bg = zq.reverse ? 128 : 135;
	unsigned long fg = zq.col[zq.fg].pixel, bg = zq.col[zq.bg].pixel;
	XSetForeground(dpy, zq.gc, fg);
	XSetBackground(dpy, zq.gc, bg);

	zq.win = XCreateSimpleWindow(dpy, zq.root, 0, 0, (unsigned)zq.width, (unsigned)zq.height, 0, fg, bg);
	zq.pix = XCreatePixmap(dpy, zq.win, (unsigned)zq.width, (unsigned)zq.height,
			       (unsigned)DefaultDepth(dpy, 0));
	XSelectInput(dpy, zq.win, MASK_WIN);
	zq.title[sizeof zq.title - 1] = '\0';
	XStoreName(dpy, zq.win, zq.title);
	zq.btn = XCreateSimpleWindow(dpy, zq.win, zq.width - 66, zq.height - 28, 56, 20, 2, fg, bg);
	XSelectInput(dpy, zq.btn, MASK_BTN);
	wm_delete = XInternAtom(dpy, "WM_DELETE_WINDOW", False);
	XSetWMProtocols(dpy, zq.win, &wm_delete, 1);
	XMapWindow(dpy, zq.win);
	XMapSubwindows(dpy, zq.win);

	XSetForeground(dpy, zq.gc, bg);
	XFillRectangle(dpy, zq.pix, zq.gc, 0, 0, (unsigned)zq.width, (unsigned)zq.height);
	XSetForeground(dpy, zq.gc, fg);
}

int ZQ_Event(void) noexcept
{
	if (!zq.win)
		return 0;
	Display *dpy = zq.dpy;
	// The close button, or the window manager's close request: the same end.
	bool closed = XCheckTypedWindowEvent(dpy, zq.btn, ButtonPress, &zq.ev);
	while (!closed && XCheckTypedWindowEvent(dpy, zq.win, ClientMessage, &zq.ev))
		closed = zq.ev.xclient.format == 32 && (Atom)zq.ev.xclient.data.l[0] == wm_delete;
	if (closed) {
		XDestroyWindow(dpy, zq.win);
		zq.win = 0;
		return 0;
	}
	if (XCheckTypedWindowEvent(dpy, zq.btn, Expose, &zq.ev)) {
		XSetForeground(dpy, zq.gc, zq.col[zq.fg].pixel);
		if (zq.fs[1])
			XmbDrawImageString(dpy, zq.btn, zq.fs[1], zq.gc, 0, 16, " CLOSE ", 7);
	}
	if (XCheckTypedWindowEvent(dpy, zq.win, Expose, &zq.ev))
		XCopyArea(dpy, zq.pix, zq.win, zq.gc, 0, 0, (unsigned)zq.width, (unsigned)zq.height, 0, 0);
	// Every area copy makes the server answer with one of these; nothing else wants them, and
	// left queued they would grow without bound over months.
	while (XCheckTypedEvent(dpy, NoExpose, &zq.ev) || XCheckTypedEvent(dpy, GraphicsExpose, &zq.ev)) {
	}
	return 1;
}

int ZQ_Exist(void) noexcept
{
	return zq.win != 0;
}

int ZQ_Click(void) noexcept
{
	if (!zq.win || !XCheckTypedWindowEvent(zq.dpy, zq.win, ButtonPress, &zq.ev))
		return 0;
	zq.cx = zq.ev.xbutton.x;
	zq.cy = zq.ev.xbutton.y;
	zq.cb = (int)zq.ev.xbutton.button;
	return 1;
}

int ZQ_Key(void) noexcept
{
	if (!zq.win || !XCheckTypedWindowEvent(zq.dpy, zq.win, KeyPress, &zq.ev))
		return 0;
	zq.kx = zq.ev.xkey.x;
	zq.ky = zq.ev.xkey.y;
	zq.kc = (int)zq.ev.xkey.keycode;
	return 1;
}

void ZQ_Color(int c) noexcept
{
	if (!zq.win || c < 0 || c >= ZQ_COLORS)
		return;
	zq.color = c;
	XSetForeground(zq.dpy, zq.gc, zq.col[c].pixel);
}

void ZQ_Font(int size) noexcept
{
	zq.fsize = size;
	zq.fslot = size == 16 ? 1 : size == 24 ? 2 : 0;
}

void ZQ_Line(int x1, int y1, int x2, int y2) noexcept
{
	if (!zq.win)
		return;
	XDrawLine(zq.dpy, zq.win, zq.gc, x1, y1, x2, y2);
	XDrawLine(zq.dpy, zq.pix, zq.gc, x1, y1, x2, y2);
}

void ZQ_Rect(int x1, int y1, int x2, int y2) noexcept
{
	if (!zq.win)
		return;
	XDrawRectangle(zq.dpy, zq.win, zq.gc, x1, y1, (unsigned)(x2 - x1), (unsigned)(y2 - y1));
	XDrawRectangle(zq.dpy, zq.pix, zq.gc, x1, y1, (unsigned)(x2 - x1), (unsigned)(y2 - y1));
}

void ZQ_FRect(int x1, int y1, int x2, int y2) noexcept
{
	if (!zq.win)
		return;
	XFillRectangle(zq.dpy, zq.win, zq.gc, x1, y1, (unsigned)(x2 - x1), (unsigned)(y2 - y1));
	XFillRectangle(zq.dpy, zq.pix, zq.gc, x1, y1, (unsigned)(x2 - x1), (unsigned)(y2 - y1));
}

void ZQ_String(int x, int y, int code, const char *text, int image) noexcept
{
	if (!zq.win || !text || zq.fslot < 0 || zq.fslot > 2 || !zq.fs[zq.fslot])
		return;
	int len = (int)strlen(text), size = zq.fsize;
	if (code < 1 || code > 9) {
		x = 0;
		y = 0;
	} else {
		int col = (code - 1) % 3, row = (code - 1) / 3;  // 0 left, 1 middle, 2 right
		x -= col == 1 ? size * len / 4 : col == 2 ? size * len / 2 : 0;
		y += row == 1 ? size / 2 : row == 2 ? size : 0;
	}
	XFontSet fs = zq.fs[zq.fslot];
	if (image) {
		XmbDrawImageString(zq.dpy, zq.win, fs, zq.gc, x, y, text, len);
		XmbDrawImageString(zq.dpy, zq.pix, fs, zq.gc, x, y, text, len);
	} else {
		XmbDrawString(zq.dpy, zq.win, fs, zq.gc, x, y, text, len);
		XmbDrawString(zq.dpy, zq.pix, fs, zq.gc, x, y, text, len);
	}
}

void ZQ_Copy(int sx, int sy, int dx, int dy, int w, int h) noexcept
{
	if (!zq.win)
		return;
	XCopyArea(zq.dpy, zq.win, zq.win, zq.gc, sx, sy, (unsigned)w, (unsigned)h, dx, dy);
	XCopyArea(zq.dpy, zq.pix, zq.pix, zq.gc, sx, sy, (unsigned)w, (unsigned)h, dx, dy);
}

// Formats a command into its buffer; 0 (and a message) if it would not fit, so that a command
// is never cut short and run.
static int zq_fmt(char *dst, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
static int zq_fmt(char *dst, size_t size, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	int n = vsnprintf(dst, size, fmt, ap);
	va_end(ap);
	if (n >= 0 && (size_t)n < size)
		return 1;
	fprintf(stderr, "%s: zq2: command too long, not run: %s\n", program_invocation_short_name, fmt);
	return 0;
}

static void zq_run(const char *cmd)
{
	(void)!system(cmd);
}

// The dump name of the local time now: YYMMDD.HHMMSS.
static void zq_now(char *name, size_t size)
{
	time_t t = time(nullptr);
	struct tm tm;
	localtime_r(&t, &tm);
	snprintf(name, size, "%02d%02d%02d.%02d%02d%02d", tm.tm_year % 100, tm.tm_mon + 1, tm.tm_mday,
		 tm.tm_hour, tm.tm_min, tm.tm_sec);
}

void ZQ_XWD(void) noexcept
{
	if (!zq.win)
		return;
	char name[32], s[64];
	zq_now(name, sizeof name);
	if (zq_fmt(s, sizeof s, "xwd -nobdrs -out %s.xwd -id %lu", name, zq.win))
		zq_run(s);
}

void ZQ_LPR(void) noexcept
{
	if (!zq.win)
		return;
	char name[32], s[256];
	zq_now(name, sizeof name);
	if (zq_fmt(s, sizeof s, "xwd -nobdrs -out %s.xwd -id %lu", name, zq.win))
		zq_run(s);
	if (zq_fmt(s, sizeof s, "./zq_lpr.sh %s", name))
		zq_run(s);
}

// A name the shell takes as one plain word goes into the commands as it is; any other is put
// in single quotes (a quote within as '\''). Returns 0 if the quoted name does not fit.
static int zq_word(char *dst, size_t size, const char *name)
{
	static const char plain[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-/+,:@%=";
	if (name[strspn(name, plain)] == '\0')
		return zq_fmt(dst, size, "%s", name);
	size_t n = 0;
	dst[n++] = '\'';
	for (const char *p = name; *p; p++) {
		const char *piece = *p == '\'' ? "'\\''" : nullptr;
		size_t k = piece ? 4 : 1;
		if (n + k + 2 > size)
			return 0;
		if (piece)
			memcpy(dst + n, piece, k);
		else
			dst[n] = *p;
		n += k;
	}
	dst[n++] = '\'';
	dst[n] = '\0';
	return 1;
}

void ZQ_LPR2(const char *name) noexcept
{
	if (!zq.win || !name)
		return;
	// Three names and 27 characters must fit the 256-byte command: 76 characters at most.
	char word[80], s[256];
	if (strlen(name) > 76 || !zq_word(word, sizeof word, name) ||
	    27 + 3 * strlen(word) >= sizeof s) {
		fprintf(stderr, "%s: zq2: name too long for a window dump (76 characters at most): %s\n",
			program_invocation_short_name, name);
		return;
	}
	if (zq_fmt(s, sizeof s, "xwd -nobdrs -out %s.xwd -id %lu", word, zq.win))
		zq_run(s);
	if (zq_fmt(s, sizeof s, "convert %s.xwd %s.png ; rm %s.xwd", word, word, word))
		zq_run(s);
}
