// zq-shot TITLE NAME: saves the window titled TITLE as NAME.png with the window library's own
// capture (xwd, then convert). Not part of the pipeline: the demo uses it to keep a picture of
// pipe-view when there is no screen to look at.
#include <X11/Xlib.h>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "zq2.h"

static const char USAGE[] = "usage: zq-shot TITLE NAME";
static const char HELP[] = "Saves the window titled TITLE on the display as NAME.png.\n";

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	if (argc != 3)
		usage(USAGE);
	zq.dpy = XOpenDisplay(nullptr);
	if (!zq.dpy)
		die("cannot open display %s", XDisplayName(nullptr));
	Window root = DefaultRootWindow(zq.dpy), parent, *kids = nullptr;
	unsigned n = 0;
	XQueryTree(zq.dpy, root, &root, &parent, &kids, &n);
	for (unsigned i = 0; i < n && !zq.win; i++) {
		char *name = nullptr;
		if (XFetchName(zq.dpy, kids[i], &name) && name) {
			if (strcmp(name, argv[1]) == 0)
				zq.win = kids[i];
			XFree(name);
		}
	}
	if (kids)
		XFree(kids);
	if (!zq.win)
		die("no window titled %s", argv[1]);
	ZQ_LPR2(argv[2]);
	return 0;
}
