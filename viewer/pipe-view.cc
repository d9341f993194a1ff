// pipe-view: the live spectrogram. Reads stream records from standard input and paints each
// frame as one pixel row of two side-by-side panels, channel A left and channel B right, 450
// columns each (a column shows the larger of its two points), coloured by level on a 128-step
// scale. Rows run downward and wrap after 800; a black cursor line marks the next row, and the
// latest stamp is shown above the plot. Window events are served by one poll before each
// record. Ends with status 0 at the end of its input or when its close button is pressed.
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "frame.h"
#include "palette.h"
#include "zq2.h"

static unsigned char buf1[FR_HEADER];   // record header
static unsigned char buf2[FR_PAYLOAD];  // payload
static char s[256];                     // the stamp as drawn

int main(int argc, char **argv)
{
	(void)argv;
	if (argc != 1)
		usage("usage: pipe-view");
	strcpy(zq.title, "Spectrogram");
	zq.width = 1060;
	zq.height = 860;
	zq.reverse = 0;
	ZQ_Open("", zq_extcol);
	if (!ZQ_Exist())
		return 1;  // the library has said why
	ZQ_Color(128);
	ZQ_Rect(79, 29, 981, 831);
	ZQ_Line(530, 29, 530, 831);

	fr_input(stdin);
	int r = 0;
	while (ZQ_Event()) {
		int st = fr_read(stdin, buf1, buf2);
		if (st == FR_END)
			break;
		if (st == FR_ERROR)
			die("read error on standard input:");
		size_t n = strnlen((char *)buf1, FR_HEADER);
		memcpy(s, buf1, n);
		s[n] = '\0';
		ZQ_String(80, 26, 1, s, 1);

		int y = r + 30;
		for (int i = 0; i < FR_POINTS / 2; i++) {
			unsigned a = fr_chan_a(buf2, 2 * i), a2 = fr_chan_a(buf2, 2 * i + 1);
			unsigned b = fr_chan_b(buf2, 2 * i), b2 = fr_chan_b(buf2, 2 * i + 1);
			ZQ_Color(vw_index(a > a2 ? a : a2));
			ZQ_Line(80 + i, y, 80 + i, y);
			ZQ_Color(vw_index(b > b2 ? b : b2));
			ZQ_Line(531 + i, y, 531 + i, y);
		}
		if (++r == 800)
			r = 0;
		ZQ_Color(128);
		ZQ_Line(80, r + 30, 980, r + 30);
	}
	return 0;
}
