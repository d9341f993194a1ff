#include "xkit.h"

#include <X11/Xproto.h>
#include <X11/Xutil.h>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

// A window listed by the tree can be gone by the time its name is asked for (a program that just
// ended): that is no error for the tests. Anything else ends the test as Xlib would.
static int tolerant(Display *dpy, XErrorEvent *e)
{
	if (e->error_code == BadWindow && (e->request_code == X_GetProperty || e->request_code == X_QueryTree ||
					   e->request_code == X_GetWindowAttributes))
		return 0;
	char text[256];
	XGetErrorText(dpy, e->error_code, text, sizeof text);
	fprintf(stderr, "X error: %s (request %d)\n", text, e->request_code);
	exit(1);
}

Xvfb::Xvfb()
{
	XSetErrorHandler(tolerant);
	Spawn s;
	s.argv = {"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"};
	s.pipe_out = true;
	proc = start(s);
	std::string n;
	char c;
	while (read_exact(proc.out, &c, 1, 15000) && c != '\n')
		n += c;
	if (n.empty())
		throw std::runtime_error("Xvfb did not start: " + read_to_end(proc.err, 100));
	display = ":" + n;
	wait_until([&] { return (dpy = XOpenDisplay(display.c_str())) != nullptr; }, 5000, 10);
	if (!dpy)
		throw std::runtime_error("cannot connect to " + display);
}

Xvfb::~Xvfb()
{
	if (dpy)
		XCloseDisplay(dpy);
	stop(proc);
}

unsigned long pixel_at(Display *dpy, Drawable d, int x, int y)
{
	return grab(dpy, d, x, y, 1, 1).px[0];
}

Area grab(Display *dpy, Drawable d, int x, int y, int w, int h)
{
	Area a{x, y, w, h, {}};
	XImage *im = XGetImage(dpy, d, x, y, (unsigned)w, (unsigned)h, AllPlanes, ZPixmap);
	if (!im)
		throw std::runtime_error("XGetImage failed");
	for (int j = 0; j < h; j++)
		for (int i = 0; i < w; i++)
			a.px.push_back(XGetPixel(im, i, j) & 0xffffff);
	XDestroyImage(im);
	return a;
}

Window find_window(Display *dpy, const std::string &name, int ms)
{
	Window found = 0;
	wait_until([&] {
		Window root = DefaultRootWindow(dpy), parent, *kids = nullptr;
		unsigned n = 0;
		XQueryTree(dpy, root, &root, &parent, &kids, &n);
		for (unsigned i = 0; i < n && !found; i++) {
			char *wn = nullptr;
			XWindowAttributes wa;
			if (XFetchName(dpy, kids[i], &wn) && wn) {
				// Named is not yet shown: only a mapped window can be read back.
				if (name == wn && XGetWindowAttributes(dpy, kids[i], &wa) && wa.map_state == IsViewable)
					found = kids[i];
				XFree(wn);
			}
		}
		if (kids)
			XFree(kids);
		return found != 0;
	}, ms, 10);
	return found;
}

int xdotool(const Xvfb &x, const std::vector<std::string> &args)
{
	std::vector<std::string> argv = {"/usr/bin/xdotool"};
	argv.insert(argv.end(), args.begin(), args.end());
	return exit_code(run(argv, "", 10000, x.env()).status);
}

void wm_close(Display *dpy, Window w)
{
	XEvent e{};
	e.xclient.type = ClientMessage;
	e.xclient.window = w;
	e.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
	e.xclient.format = 32;
	e.xclient.data.l[0] = (long)XInternAtom(dpy, "WM_DELETE_WINDOW", False);
	e.xclient.data.l[1] = CurrentTime;
	XSendEvent(dpy, w, False, NoEventMask, &e);
	XSync(dpy, False);
}
