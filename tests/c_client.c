/* A C client of zq2: compiles and links as C, opens the window, draws, and reports. */
#include <stdio.h>
#include <string.h>

#include <X11/Xutil.h>

#include "zq2.h"

int main(int argc, char **argv)
{
	unsigned char pal[384] = {0};
	pal[3 * 5] = 255;
	strcpy(zq.title, "c client");
	zq.width = 120;
	zq.height = 80;
	zq.reverse = 1;
	ZQ_Open(argc > 1 ? argv[1] : "", pal);
	if (!ZQ_Exist())
		return 1;
	ZQ_Color(5);
	ZQ_Line(3, 4, 3, 4);
	ZQ_Font(24);
	ZQ_String(10, 40, 5, "abc", 1);
	ZQ_Event();
	XSync(zq.dpy, False);
	XImage *im = XGetImage(zq.dpy, zq.pix, 3, 4, 1, 1, AllPlanes, ZPixmap);
	printf("%d %d %d %d %06lx %s\n", zq.width, zq.height, zq.fslot, zq.color, XGetPixel(im, 0, 0) & 0xffffff,
	       zq.title);
	XDestroyImage(im);
	return 0;
}
