// A real X server for tests: Xvfb on a free display, ended with the test; pixels read back.
#pragma once

#include <X11/Xlib.h>
#include <string>
#include <vector>

#include "kit.h"

struct Xvfb {
	Proc proc;
	std::string display;  // ":N"
	Display *dpy = nullptr;  // the test's own connection
	Xvfb();
	~Xvfb();
	std::vector<std::string> env() const { return {"DISPLAY=" + display}; }
};

// 0xRRGGBB of one pixel of a window or pixmap (24-bit TrueColor screens).
unsigned long pixel_at(Display *dpy, Drawable d, int x, int y);

// The pixels of an area, row by row.
struct Area {
	int x, y, w, h;
	std::vector<unsigned long> px;
	unsigned long at(int ax, int ay) const { return px[(size_t)((ay - y) * w + (ax - x))]; }
};
Area grab(Display *dpy, Drawable d, int x, int y, int w, int h);

// A top-level window by name, searched among the root's children, once it is viewable; 0 if
// none is within ms.
Window find_window(Display *dpy, const std::string &name, int ms);

// Sends the window manager's close request (WM_DELETE_WINDOW), as a window manager does.
void wm_close(Display *dpy, Window w);

// Runs xdotool against the server.
int xdotool(const Xvfb &x, const std::vector<std::string> &args);
