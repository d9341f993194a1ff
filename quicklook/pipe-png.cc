// pipe-png [-w WIDTH] [-r LO:HI | -a] [-b] [-p PALETTE] [-t TITLE] OUT.png: the quicklook.
// Reads stream records from standard input and, at its end, writes one PNG: channel A above
// channel B, each a dynamic spectrum with time along x (from the stamps, so gaps show as gaps)
// and frequency along y, with axes, a colour bar and a title. Many frames to a column show the
// largest level of the column's time; memory depends on the picture, not on the input.
//
// Drawn with cairo in a fixed order: plot pixels, panel frames and ticks, labels, colour bar.
// Stamps go through the stream's running time: one far from it (a stamp of 2099 in a day's
// stream) is skipped and said, and never stretches the time axis. The file is written under a
// temporary name beside OUT, synced and renamed when complete.
#include <cairo.h>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>

#include "cli.h"
#include "frame.h"
#include "outfile.h"
#include "palette.h"
#include "plot.h"
#include "streamtime.h"

static const char USAGE[] = "usage: pipe-png [-w WIDTH] [-r LO:HI | -a] [-b] [-p PALETTE] [-t TITLE] OUT.png";
static const char HELP[] =
	"Reads stream records from standard input and draws them as a labelled dynamic spectrum.\n"
	"  -w WIDTH    picture width in pixels (default 1600, at least 400)\n"
	"  -r LO:HI    levels LO to HI on the colour scale (default 40:140)\n"
	"  -a          levels from the data: its 1st to 99.5th percentile\n"
	"  -b          subtract each frequency's median level; show the difference\n"
	"  -p PALETTE  viewer (default) or viridis\n"
	"  -t TITLE    text before the time range in the title (UTF-8, no control characters)\n";

static const unsigned GAP = 0x808080;  // no level is drawn in this grey

static unsigned char hdr[FR_HEADER], buf2[FR_PAYLOAD];

// Whether s is UTF-8 text without control characters, as cairo draws it (a title in another
// encoding would fail the drawing only after the whole input was read).
static bool utf8_text(const char *s)
{
	for (const unsigned char *p = (const unsigned char *)s; *p;) {
		int n = *p < 0x80 ? 0 : (*p & 0xe0) == 0xc0 && *p >= 0xc2 ? 1 : (*p & 0xf0) == 0xe0 ? 2 : (*p & 0xf8) == 0xf0 && *p <= 0xf4 ? 3 : -1;
		if (n < 0 || *p < 0x20 || *p == 0x7f)
			return false;
		unsigned cp = n ? *p & (0x3f >> n) : *p;
		for (int k = 1; k <= n; k++) {
			if ((p[k] & 0xc0) != 0x80)
				return false;
			cp = cp << 6 | (p[k] & 0x3f);
		}
		if ((n == 2 && (cp < 0x800 || (cp >= 0xd800 && cp < 0xe000))) || (n == 3 && (cp < 0x10000 || cp > 0x10ffff)))
			return false;
		p += n + 1;
	}
	return true;
}

// The options, checked.
struct Opts {
	int width = 1600;
	double lo = 40, hi = 140;
	bool automatic = false, background = false, range = false;
	const unsigned char *pal = zq_extcol;
	const char *title = "", *out = nullptr;
};

static Opts options(int argc, char **argv)
{
	Opts o;
	opterr = 0;
	for (int c; (c = getopt(argc, argv, "w:r:abp:t:")) != -1;) {
		char *end;
		if (c == 'w' && arg_int(optarg, &o.width) && o.width >= 400 && o.width <= 20000)
			continue;
		if (c == 'r') {
			o.lo = strtod(optarg, &end);
			if (*end == ':' && end != optarg) {
				const char *h = end + 1;
				o.hi = strtod(h, &end);
				if (!*end && end != h && std::isfinite(o.lo) && std::isfinite(o.hi) && o.hi > o.lo) {
					o.range = true;
					continue;
				}
			}
		}
		if (c == 'a') {
			o.automatic = true;
			continue;
		}
		if (c == 'b') {
			o.background = true;
			continue;
		}
		if (c == 'p' && (o.pal = vw_palette(optarg)))
			continue;
		if (c == 't' && utf8_text(optarg)) {
			o.title = optarg;
			continue;
		}
		usage(USAGE);
	}
	if (optind != argc - 1 || (o.range && o.automatic))
		usage(USAGE);
	o.out = argv[optind];
	return o;
}

// "YYYY-MM-DD HH:MM:SS.cc" of a time in hundredths.
static std::string when(long long t, bool date)
{
	char s[17], o[40];
	fr_time_stamp(t, s);
	if (date)
		snprintf(o, sizeof o, "%.4s-%.2s-%.2s %.2s:%.2s:%.2s.%.2s", s, s + 4, s + 6, s + 8, s + 10, s + 12, s + 14);
	else
		snprintf(o, sizeof o, "%.2s:%.2s:%.2s.%.2s", s + 8, s + 10, s + 12, s + 14);
	return o;
}

static void text(cairo_t *cr, double x, double y, const std::string &s, double ax, double ay)
{
	cairo_text_extents_t e;
	cairo_text_extents(cr, s.c_str(), &e);
	cairo_move_to(cr, x - e.width * ax - e.x_bearing, y - e.height * ay - e.y_bearing);
	cairo_show_text(cr, s.c_str());
}

static void plot(cairo_surface_t *sf, const QlGeom &g, const std::vector<int32_t> &v,
		 const std::vector<char> &has, const Opts &o)
{
	cairo_surface_flush(sf);
	unsigned char *data = cairo_image_surface_get_data(sf);
	int stride = cairo_image_surface_get_stride(sf);
	for (int c = 0; c < g.plot_w(); c++)
		for (int ch = 0; ch < FR_CHANNELS; ch++)
			for (int p = 0; p < FR_POINTS; p += 2) {
				unsigned rgb = GAP;
				if (has[(size_t)c]) {
					const int32_t *col = &v[(size_t)c * QL_VALUES + (size_t)ch * FR_POINTS];
					int32_t m = std::max(col[p], col[p + 1]);
					const unsigned char *e = o.pal + 3 * vw_scale(m / 100.0, o.lo, o.hi);
					rgb = (unsigned)e[0] << 16 | (unsigned)e[1] << 8 | e[2];
				}
				uint32_t *px = (uint32_t *)(data + (size_t)g.row(ch, p) * (size_t)stride) + g.left + c;
				*px = rgb;
			}
	for (int y = g.bar_top(); y < g.bar_top() + g.bar_h(); y++) {
		const unsigned char *e = o.pal + 3 * g.bar_index(y);
		for (int x = g.bar_x(); x < g.bar_x() + g.bar_w; x++)
			*((uint32_t *)(data + (size_t)y * (size_t)stride) + x) = (unsigned)e[0] << 16 | (unsigned)e[1] << 8 | e[2];
	}
	cairo_surface_mark_dirty(sf);
}

// A round step for about six ticks over span hundredths.
static long long tick_step(long long span)
{
	static const long long steps[] = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400};
	for (long long s : steps)
		if (span / (s * 100) <= 8)
			return s * 100;
	return 86400LL * 100 * (span / (86400LL * 100 * 8) + 1);
}

static void axes(cairo_t *cr, const QlGeom &g, long long t0, long long span, const Opts &o)
{
	cairo_set_source_rgb(cr, 0, 0, 0);
	cairo_set_line_width(cr, 1);
	cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
	cairo_set_font_size(cr, 12);
	long long step = tick_step(span);
	for (int ch = 0; ch < FR_CHANNELS; ch++) {
		int top = g.panel_top(ch), bot = top + g.panel;
		cairo_rectangle(cr, g.left - 0.5, top - 0.5, g.plot_w() + 1, g.panel + 1);
		cairo_stroke(cr);
		text(cr, g.left + g.plot_w(), top - 5, ch == 0 ? "channel A" : "channel B", 1, 1);
		for (long long t = (t0 + step - 1) / step * step; t <= t0 + span; t += step) {
			double x = g.left + (double)(t - t0) * g.plot_w() / (double)span + 0.5;
			cairo_move_to(cr, x, bot + 0.5);
			cairo_line_to(cr, x, bot + 6.5);
			cairo_stroke(cr);
			std::string s = when(t, false);
			text(cr, x, bot + 9, step < 6000 ? s.substr(0, 8) : s.substr(0, 5), 0.5, 0);
		}
		for (int mhz = 15; mhz <= 40; mhz += 5) {
			int p = (int)std::lround(mhz / FR_FREQ_STEP) - FR_FREQ_OFFSET;
			double y = g.row(ch, p) + 0.5;
			cairo_move_to(cr, g.left - 6.5, y);
			cairo_line_to(cr, g.left - 0.5, y);
			cairo_stroke(cr);
			text(cr, g.left - 9, y, std::to_string(mhz), 1, 0.5);
		}
		cairo_save(cr);
		cairo_translate(cr, 22, top + g.panel / 2.0);
		cairo_rotate(cr, -M_PI / 2);
		text(cr, 0, 0, "frequency (MHz)", 0.5, 0.5);
		cairo_restore(cr);
	}
	text(cr, g.left + g.plot_w() / 2.0, g.height() - 16, "time (HH:MM as stamped)", 0.5, 1);
	// The colour bar's scale.
	cairo_rectangle(cr, g.bar_x() - 0.5, g.bar_top() - 0.5, g.bar_w + 1, g.bar_h() + 1);
	cairo_stroke(cr);
	for (int i = 0; i <= 4; i++) {
		double lv = o.lo + (o.hi - o.lo) * i / 4, y = g.bar_top() + g.bar_h() - (double)g.bar_h() * i / 4;
		char s[32];
		snprintf(s, sizeof s, "%g", std::round(lv * 100) / 100);
		cairo_move_to(cr, g.bar_x() + g.bar_w + 0.5, y);
		cairo_line_to(cr, g.bar_x() + g.bar_w + 4.5, y);
		cairo_stroke(cr);
		text(cr, g.bar_x() + g.bar_w + 7, y, s, 0, 0.5);
	}
	cairo_save(cr);
	cairo_translate(cr, g.width - 12, g.bar_top() + g.bar_h() / 2.0);
	cairo_rotate(cr, -M_PI / 2);
	text(cr, 0, 0, o.background ? "level above the median of its frequency" : "level", 0.5, 0.5);
	cairo_restore(cr);
	// The title.
	cairo_set_font_size(cr, 15);
	std::string title = o.title;
	title += (title.empty() ? "" : "   ") + when(t0, true) + " to " + when(t0 + span - 50, false);
	text(cr, g.left, 18, title, 0, 0);
}

static cairo_status_t to_file(void *f, const unsigned char *data, unsigned int n)
{
	return fwrite(data, 1, n, (FILE *)f) == n ? CAIRO_STATUS_SUCCESS : CAIRO_STATUS_WRITE_ERROR;
}

static void write_png(cairo_surface_t *sf, OutFile *of)
{
	FILE *f = fopen(of->tmp.c_str(), "wbx");
	bool ok = f && cairo_surface_write_to_png_stream(sf, to_file, f) == CAIRO_STATUS_SUCCESS;
	if (f && fclose(f) != 0)
		ok = false;
	if (!ok || of_commit(of) != 0) {
		of_abort(of);
		die("cannot write %s:", of->path.c_str());
	}
}

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	Opts o = options(argc, argv);
	OutFile of;  // made now, so that an OUT that cannot be written fails before any input
	if (of_begin(&of, o.out) != 0)
		die("cannot write %s:", o.out);
	QlGeom g{o.width};

	TimeBins bins(2 * g.plot_w());
	StreamTime clock;
	fr_input(stdin);
	for (int st; (st = fr_read(stdin, hdr, buf2)) != FR_END;) {
		if (st == FR_ERROR) {
			of_abort(&of);
			die("read error on standard input:");
		}
		long long t;
		StVerdict v = clock.take(hdr, &t);
		if (v == ST_ACCEPT || v == ST_LATE)
			bins.add(t, buf2);
	}
	clock.finish();
	if (bins.empty()) {
		of_abort(&of);
		die("no frames: no picture written");
	}

	std::vector<uint16_t> cols;
	std::vector<char> has;
	bins.columns(g.plot_w(), cols, has);
	std::vector<int32_t> v(cols.begin(), cols.end());
	if (o.background)
		ql_subtract_median(v, has, g.plot_w());
	if (o.automatic || (o.background && !o.range)) {
		o.lo = ql_percentile(v, has, 0.01) / 100.0;
		o.hi = std::max(ql_percentile(v, has, 0.995) / 100.0, o.lo + 0.01);
	}

	cairo_surface_t *sf = cairo_image_surface_create(CAIRO_FORMAT_RGB24, g.width, g.height());
	cairo_t *cr = cairo_create(sf);
	cairo_set_source_rgb(cr, 1, 1, 1);
	cairo_paint(cr);
	plot(sf, g, v, has, o);
	axes(cr, g, bins.first(), bins.last() + 50 - bins.first(), o);
	if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
		of_abort(&of);
		die("cannot draw: %s", cairo_status_to_string(cairo_status(cr)));
	}
	write_png(sf, &of);
	cairo_destroy(cr);
	cairo_surface_destroy(sf);
	return 0;
}
