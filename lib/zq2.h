/* zq2: one X11 window with a backing pixmap, 136 numbered colours, three font-set slots, a
 * close button, event polls and window dumps. All state lives in the one global record `zq`,
 * whose fields clients read and set directly.
 *
 * A client sets zq.title, zq.width, zq.height and zq.reverse, calls ZQ_Open once, draws with
 * the ZQ_ primitives (each draws on the window and then on the pixmap), and calls ZQ_Event from
 * its own loop to keep the window alive: a repaint from the pixmap on exposure, and the close
 * button. Nothing waits for events and nothing flushes but the polls.
 *
 * Colour indices: 0-127 the client's palette, 128-135 black, blue, red, magenta, green, cyan,
 * yellow, white. Usable from C and C++. */
#ifndef ZQ2_H
#define ZQ2_H

#include <X11/Xlib.h>

#ifdef __cplusplus
#define ZQ_NOEXCEPT noexcept
extern "C" {
#else
#define ZQ_NOEXCEPT
#endif

#define ZQ_COLORS 136

typedef struct zq_rec {
	Display *dpy;             /* the open display; null if it could not be opened */
	Window root;              /* root window of screen 0 */
	Window win;               /* main window; 0 before opening and after the close button */
	Window btn;               /* the close-button subwindow */
	Pixmap pix;               /* backing pixmap, window-sized */
	GC gc;                    /* the one graphics context for all drawing */
	XFontSet fs[3];           /* font sets of slots 0, 1, 2 (null if one could not be made) */
	int fsize;                /* nominal font size in pixels: 16 after opening */
	int fslot;                /* font slot used for text, 0-2: 1 after opening */
	XColor col[ZQ_COLORS];    /* pixel value and red, green, blue of each colour index */
	int color;                /* the last index given to ZQ_Color */
	Colormap cmap;            /* colormap of screen 0 */
	XEvent ev;                /* receive buffer shared by every poll */
	int cx, cy, cb;           /* x, y and button of the last press taken by ZQ_Click */
	int kc, kx, ky;           /* keycode, x and y of the last key press taken by ZQ_Key */
	long fg, bg;              /* foreground and background colour indices */
	char title[64];           /* window name */
	int width, height;        /* window size in pixels */
	int reverse;              /* 0: black on white; otherwise white on black */
} zq_rec;

extern zq_rec zq;

/* Opens the display (the environment's for ""), allocates the colours (palette: 128 entries of
 * red, green, blue bytes, or null for black) and shows the window with its close button. If
 * the display cannot be opened, one line goes to stderr and zq.win stays 0: every later call
 * then does nothing. */
void ZQ_Open(const char *display_name, const unsigned char *palette) ZQ_NOEXCEPT;

/* Polls. Each returns at once. */
int ZQ_Event(void) ZQ_NOEXCEPT; /* 0 on the call that takes a close-button press (and after), else 1 */
int ZQ_Exist(void) ZQ_NOEXCEPT; /* 1 while the window exists */
int ZQ_Click(void) ZQ_NOEXCEPT; /* 1 if a button press in the window was taken into cx, cy, cb */
int ZQ_Key(void) ZQ_NOEXCEPT;   /* 1 if a key press in the window was taken into kc, kx, ky */

/* Drawing, on the window and then on the pixmap. */
void ZQ_Color(int c) ZQ_NOEXCEPT;    /* current colour index 0-135; others are ignored */
void ZQ_Font(int size) ZQ_NOEXCEPT;  /* nominal size; slot 1 for 16, 2 for 24, else 0 */
void ZQ_Line(int x1, int y1, int x2, int y2) ZQ_NOEXCEPT;
void ZQ_Rect(int x1, int y1, int x2, int y2) ZQ_NOEXCEPT;   /* outline, corners inclusive */
void ZQ_FRect(int x1, int y1, int x2, int y2) ZQ_NOEXCEPT;  /* fill x1..x2-1, y1..y2-1 */
/* Text anchored by code 1-9 (1-3 baseline left, middle, right; 4-6 half a size above it; 7-9 a
 * size above it); any other code draws at (0, 0). image: fill the cells with the background. */
void ZQ_String(int x, int y, int code, const char *text, int image) ZQ_NOEXCEPT;
void ZQ_Copy(int sx, int sy, int dx, int dy, int w, int h) ZQ_NOEXCEPT;

/* Capture, through the shell: YYMMDD.HHMMSS.xwd; that dump and ./zq_lpr.sh YYMMDD.HHMMSS;
 * name.png by way of name.xwd (a name of at most 76 characters). */
void ZQ_XWD(void) ZQ_NOEXCEPT;
void ZQ_LPR(void) ZQ_NOEXCEPT;
void ZQ_LPR2(const char *name) ZQ_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
