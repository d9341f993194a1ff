// The quicklook pictures (draw.h): each drawn with one cairo image surface and context in a fixed
// order (plot pixels, marks, panel frames and ticks, labels, colour bar, title), checked with
// cairo_status, then written as PNG into a string. The plot's pixels and the marks are set
// directly, so that a pixel's colour is exactly the palette's entry for its level; cairo draws
// the lines and text around them.
#include "draw.h"

#include <algorithm>
#include <cairo.h>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <png.h>

#include "palette.h"
#include "stats.h"

static const unsigned GAP = 0x808080;  // no level is drawn in this grey
static const unsigned MARK = 0xffffff, MARK_EDGE = 0x000000;  // a mark: white between black

bool ql_text_ok(const char *s)
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

bool ql_band_points(double f_lo, double f_hi, int *p_lo, int *p_hi)
{
	if (!(f_lo <= f_hi) || !std::isfinite(f_lo) || !std::isfinite(f_hi) || f_hi > 1e6 || f_lo < -1e6)
		return false;
	long lo = std::lround(f_lo / FR_FREQ_STEP) - FR_FREQ_OFFSET, hi = std::lround(f_hi / FR_FREQ_STEP) - FR_FREQ_OFFSET;
	if (hi < 0 || lo > FR_POINTS - 1)
		return false;
	*p_lo = (int)std::max(lo, 0L);
	*p_hi = (int)std::min(hi, (long)FR_POINTS - 1);
	return true;
}

// A plain decimal number (digits, at most one point, no sign): no spaces, exponents or names.
static bool decimal(const char *s, size_t n, double *v)
{
	size_t dots = 0, digits = 0;
	for (size_t i = 0; i < n; i++) {
		if (s[i] == '.')
			dots++;
		else if (s[i] >= '0' && s[i] <= '9')
			digits++;
		else
			return false;
	}
	if (dots > 1 || digits == 0 || digits > 12)
		return false;
	*v = strtod(std::string(s, n).c_str(), nullptr);
	return std::isfinite(*v);
}

bool ql_mark_parse(const char *s, QlMark *m)
{
	const char *c1 = strchr(s, ','), *c2 = c1 ? strchr(c1 + 1, ',') : nullptr, *c3 = c2 ? strchr(c2 + 1, ',') : nullptr;
	if (!c3 || strchr(c3 + 1, ',') || c1 - s != FR_STAMP || c2 - c1 - 1 != FR_STAMP)
		return false;
	QlMark k;
	if (!fr_stamp_time(s, &k.start) || !fr_stamp_time(c1 + 1, &k.end) || k.end < k.start)
		return false;
	if (!decimal(c2 + 1, (size_t)(c3 - c2 - 1), &k.f_lo) || !decimal(c3 + 1, strlen(c3 + 1), &k.f_hi))
		return false;
	if (k.f_lo > k.f_hi || k.f_hi > 1000)
		return false;
	*m = k;
	return true;
}

std::string ql_check(const QlOpts &o)
{
	if (o.kind != QL_SPECTRUM && o.kind != QL_STRIP && o.kind != QL_CURVE)
		return "no such kind of picture";
	if (o.width < QL_MIN_WIDTH || o.width > QL_MAX_WIDTH)
		return "width out of bounds";
	if (o.kind == QL_SPECTRUM && QlGeom{o.width}.plot_w() < 10)
		return "width out of bounds";
	if (!o.automatic && !(std::isfinite(o.lo) && std::isfinite(o.hi) && o.hi > o.lo))
		return "levels are not LO below HI";
	if (!ql_text_ok(o.title.c_str()) || o.title.size() > 200)
		return "title is not short UTF-8 text";
	if (o.marks.size() > QL_MAX_MARKS)
		return "too many marks";
	for (const QlMark &m : o.marks)
		if (m.end < m.start || !(m.f_lo <= m.f_hi) || !std::isfinite(m.f_lo) || !std::isfinite(m.f_hi))
			return "a mark is not a span and a band";
	if (o.channel < 0 || o.channel >= FR_CHANNELS)
		return "no such channel";
	int p0, p1;
	if (o.kind == QL_CURVE && !ql_band_points(o.f_lo, o.f_hi, &p0, &p1))
		return "the band lies outside the frequencies";
	if (o.from < o.to && (o.from < 0 || o.to - o.from < 50))
		return "the stretch is shorter than a frame";
	return "";
}

// The slots of a picture's bins: two to a column of its plot.
static int slots(const QlOpts &o)
{
	int w = o.kind == QL_SPECTRUM ? QlGeom{o.width}.plot_w() : o.kind == QL_CURVE ? QlCurveGeom{o.width}.plot_w() : o.width;
	return 2 * std::max(w, 1);
}

QlDraw::QlDraw(const QlOpts &o) : o_(o), bins_(slots(o))
{
	if (!o_.pal)
		o_.pal = zq_extcol;
	if (o_.from < o_.to)
		bins_.cover(o_.from, o_.to);
}

void QlDraw::add(long long t, const unsigned char *payload)
{
	if (o_.from < o_.to && (t < o_.from || t >= o_.to))
		return;
	bins_.add(t, payload);
	frames_++;
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

static unsigned rgb(const unsigned char *pal, int i)
{
	const unsigned char *e = pal + 3 * i;
	return (unsigned)e[0] << 16 | (unsigned)e[1] << 8 | e[2];
}

// Direct access to an image surface's pixels.
struct Pixels {
	unsigned char *data;
	int stride, w, h;
	explicit Pixels(cairo_surface_t *sf)
		: data(cairo_image_surface_get_data(sf)), stride(cairo_image_surface_get_stride(sf)),
		  w(cairo_image_surface_get_width(sf)), h(cairo_image_surface_get_height(sf)) {}
	uint32_t &at(int x, int y) { return *((uint32_t *)(data + (size_t)y * (size_t)stride) + x); }
};

// One mark on one panel: its columns c0 to c1 of the plot and rows y0 (top) to y1, each side
// drawn only where it lies inside the plot (a side beyond it is cut off); white, with black on
// either side of it.
static void mark_box(Pixels &px, int left, int w, int top, int h, int c0, int c1, int y0, int y1, bool sides[4])
{
	auto put = [&](int x, int y, unsigned colour) {
		if (x >= left && x < left + w && y >= top && y < top + h)
			px.at(x, y) = colour;
	};
	for (int pass = 0; pass < 2; pass++)
		for (int d = -1; d <= 1; d++) {
			if ((pass == 0) == (d == 0))
				continue;
			unsigned colour = d == 0 ? MARK : MARK_EDGE;
			int x0 = left + c0 - d, x1 = left + c1 + d, ya = y0 - d, yb = y1 + d;
			if (x0 > x1 || ya > yb)
				continue;
			for (int x = x0; x <= x1; x++) {
				if (sides[0])
					put(x, ya, colour);
				if (sides[1])
					put(x, yb, colour);
			}
			for (int y = ya; y <= yb; y++) {
				if (sides[2])
					put(x0, y, colour);
				if (sides[3])
					put(x1, y, colour);
			}
		}
}

static void marks(Pixels &px, const QlGeom &g, long long t0, long long span, const std::vector<QlMark> &ms)
{
	long long w = g.plot_w();
	for (const QlMark &m : ms) {
		int p0, p1;
		long long s = m.start - t0, e = m.end + 50 - t0;
		if (e <= 0 || s >= span || !ql_band_points(m.f_lo, m.f_hi, &p0, &p1))
			continue;
		long long c0 = std::max(s, 0LL) * w / span, c1 = (std::min(e, span) * w + span - 1) / span - 1;
		int lo = (int)std::lround(m.f_lo / FR_FREQ_STEP) - FR_FREQ_OFFSET, hi = (int)std::lround(m.f_hi / FR_FREQ_STEP) - FR_FREQ_OFFSET;
		// top, bottom, left, right: a side drawn where it lies in the plot.
		bool sides[4] = {hi <= FR_POINTS - 1, lo >= 0, s >= 0, e <= span};
		for (int ch = 0; ch < FR_CHANNELS; ch++)
			mark_box(px, g.left, (int)w, g.panel_top(ch), g.panel, (int)c0, (int)c1, g.row(ch, p1), g.row(ch, p0), sides);
	}
}

static void plot(cairo_surface_t *sf, const QlGeom &g, const std::vector<int32_t> &v, const std::vector<char> &has,
		 const QlOpts &o, long long t0, long long span)
{
	cairo_surface_flush(sf);
	Pixels px(sf);
	for (int c = 0; c < g.plot_w(); c++)
		for (int ch = 0; ch < FR_CHANNELS; ch++)
			for (int p = 0; p < FR_POINTS; p += 2) {
				unsigned colour = GAP;
				if (has[(size_t)c]) {
					const int32_t *col = &v[(size_t)c * QL_VALUES + (size_t)ch * FR_POINTS];
					int32_t m = std::max(col[p], col[p + 1]);
					colour = rgb(o.pal, vw_scale(m / 100.0, o.lo, o.hi));
				}
				px.at(g.left + c, g.row(ch, p)) = colour;
			}
	for (int y = g.bar_top(); y < g.bar_top() + g.bar_h(); y++)
		for (int x = g.bar_x(); x < g.bar_x() + g.bar_w; x++)
			px.at(x, y) = rgb(o.pal, g.bar_index(y));
	marks(px, g, t0, span, o.marks);
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

// The time ticks and their labels below a plot from x = left, w wide, whose bottom is bot.
static void time_ticks(cairo_t *cr, int left, int w, int bot, long long t0, long long span)
{
	long long step = tick_step(span);
	for (long long t = (t0 + step - 1) / step * step; t <= t0 + span; t += step) {
		double x = left + (double)(t - t0) * w / (double)span + 0.5;
		cairo_move_to(cr, x, bot + 0.5);
		cairo_line_to(cr, x, bot + 6.5);
		cairo_stroke(cr);
		std::string s = when(t, false);
		text(cr, x, bot + 9, step < 6000 ? s.substr(0, 8) : s.substr(0, 5), 0.5, 0);
	}
}

static void title(cairo_t *cr, int x, const QlOpts &o, long long t0, long long span)
{
	cairo_set_font_size(cr, 15);
	std::string t = o.title;
	t += (t.empty() ? "" : "   ") + when(t0, true) + " to " + when(t0 + span - 50, false);
	text(cr, x, 18, t, 0, 0);
}

static void axes(cairo_t *cr, const QlGeom &g, long long t0, long long span, const QlOpts &o)
{
	cairo_set_source_rgb(cr, 0, 0, 0);
	cairo_set_line_width(cr, 1);
	cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
	cairo_set_font_size(cr, 12);
	for (int ch = 0; ch < FR_CHANNELS; ch++) {
		int top = g.panel_top(ch), bot = top + g.panel;
		cairo_rectangle(cr, g.left - 0.5, top - 0.5, g.plot_w() + 1, g.panel + 1);
		cairo_stroke(cr);
		text(cr, g.left + g.plot_w(), top - 5, ch == 0 ? "channel A" : "channel B", 1, 1);
		time_ticks(cr, g.left, g.plot_w(), bot, t0, span);
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
	title(cr, g.left, o, t0, span);
}

// The levels of automatic pictures: the 1st to 99.5th percentile of the values given.
static void auto_levels(std::vector<int32_t> &all, QlOpts &o)
{
	int lo = all.empty() ? 0 : fr_percentile(all, 0.01), hi = all.empty() ? 0 : fr_percentile(all, 0.995);
	o.lo = lo / 100.0;
	o.hi = std::max(hi / 100.0, o.lo + 0.01);
}

// One channel's values of the columns that have data.
static std::vector<int32_t> channel_values(const std::vector<int32_t> &v, const std::vector<char> &has, int ch)
{
	std::vector<int32_t> all;
	for (size_t c = 0; c < has.size(); c++)
		if (has[c]) {
			auto at = v.begin() + (long)(c * QL_VALUES + (size_t)ch * FR_POINTS);
			all.insert(all.end(), at, at + FR_POINTS);
		}
	return all;
}

static void spectrum(cairo_surface_t *sf, cairo_t *cr, QlOpts &o, std::vector<int32_t> &v, const std::vector<char> &has,
		     long long t0, long long span)
{
	QlGeom g{o.width};
	if (o.background)
		ql_subtract_median(v, has, g.plot_w());
	if (o.automatic) {
		o.lo = ql_percentile(v, has, 0.01) / 100.0;
		o.hi = std::max(ql_percentile(v, has, 0.995) / 100.0, o.lo + 0.01);
	}
	plot(sf, g, v, has, o, t0, span);
	axes(cr, g, t0, span, o);
}

// The strip: each pixel the largest level of its column's points that its row covers.
static void strip(cairo_surface_t *sf, QlOpts &o, std::vector<int32_t> &v, const std::vector<char> &has)
{
	if (o.background)
		ql_subtract_median(v, has, o.width);
	if (o.automatic) {
		std::vector<int32_t> all = channel_values(v, has, o.channel);
		auto_levels(all, o);
	}
	cairo_surface_flush(sf);
	Pixels px(sf);
	for (int c = 0; c < o.width; c++)
		for (int y = 0; y < QL_STRIP_H; y++) {
			unsigned colour = GAP;
			if (has[(size_t)c]) {
				int p0 = (QL_STRIP_H - 1 - y) * FR_POINTS / QL_STRIP_H, p1 = (QL_STRIP_H - y) * FR_POINTS / QL_STRIP_H;
				const int32_t *col = &v[(size_t)c * QL_VALUES + (size_t)o.channel * FR_POINTS];
				int32_t m = *std::max_element(col + p0, col + p1);
				colour = rgb(o.pal, vw_scale(m / 100.0, o.lo, o.hi));
			}
			px.at(c, y) = colour;
		}
	cairo_surface_mark_dirty(sf);
}

int QlCurveGeom::y(double level, double lo, double hi) const
{
	double k = (level - lo) / (hi - lo) * (plot_h - 1);
	k = std::clamp(k, 0.0, (double)(plot_h - 1));
	return top + plot_h - 1 - (int)std::lround(k);
}

// The light curve: a column's level joined to the one before it by a vertical run of pixels.
static void curve(cairo_surface_t *sf, cairo_t *cr, QlOpts &o, const std::vector<int32_t> &v, const std::vector<char> &has,
		  long long t0, long long span)
{
	QlCurveGeom g{o.width};
	int p0 = 0, p1 = 0;
	ql_band_points(o.f_lo, o.f_hi, &p0, &p1);
	std::vector<double> lv((size_t)g.plot_w());
	double mn = INFINITY, mx = -INFINITY;
	for (size_t c = 0; c < lv.size(); c++) {
		if (!has[c])
			continue;
		const int32_t *col = &v[c * QL_VALUES + (size_t)o.channel * FR_POINTS];
		double sum = 0;
		for (int p = p0; p <= p1; p++)
			sum += col[p];
		lv[c] = sum / (p1 - p0 + 1) / 100.0;
		mn = std::min(mn, lv[c]), mx = std::max(mx, lv[c]);
	}
	if (o.automatic) {
		o.lo = std::floor(mn), o.hi = std::ceil(mx);
		if (o.hi <= o.lo)
			o.hi = o.lo + 1;
	}
	cairo_surface_flush(sf);
	Pixels px(sf);
	for (int c = 0, prev = -1; c < g.plot_w(); c++) {
		if (!has[(size_t)c]) {
			prev = -1;
			continue;
		}
		int y = g.y(lv[(size_t)c], o.lo, o.hi), ya = prev < 0 ? y : std::min(prev, y), yb = prev < 0 ? y : std::max(prev, y);
		// The run from the last column's row to this one's, drawn in this column.
		for (int k = ya; k <= yb; k++)
			px.at(g.left + c, k) = 0x0000c0;
		prev = y;
	}
	cairo_surface_mark_dirty(sf);

	cairo_set_source_rgb(cr, 0, 0, 0);
	cairo_set_line_width(cr, 1);
	cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
	cairo_set_font_size(cr, 12);
	int bot = g.top + g.plot_h;
	cairo_rectangle(cr, g.left - 0.5, g.top - 0.5, g.plot_w() + 1, g.plot_h + 1);
	cairo_stroke(cr);
	time_ticks(cr, g.left, g.plot_w(), bot, t0, span);
	for (int i = 0; i <= 4; i++) {
		double l = o.lo + (o.hi - o.lo) * i / 4, y = g.y(l, o.lo, o.hi) + 0.5;
		char s[32];
		snprintf(s, sizeof s, "%g", std::round(l * 100) / 100);
		cairo_move_to(cr, g.left - 6.5, y);
		cairo_line_to(cr, g.left - 0.5, y);
		cairo_stroke(cr);
		text(cr, g.left - 9, y, s, 1, 0.5);
	}
	char band[96];
	snprintf(band, sizeof band, "channel %c, %.3f to %.3f MHz: mean level", 'A' + o.channel, fr_freq(p0), fr_freq(p1));
	text(cr, g.left + g.plot_w(), g.top - 5, band, 1, 1);
	cairo_save(cr);
	cairo_translate(cr, 22, g.top + g.plot_h / 2.0);
	cairo_rotate(cr, -M_PI / 2);
	text(cr, 0, 0, "level", 0.5, 0.5);
	cairo_restore(cr);
	text(cr, g.left + g.plot_w() / 2.0, g.height() - 16, "time (HH:MM as stamped)", 0.5, 1);
	title(cr, g.left, o, t0, span);
}

// The drawn surface (spent: its rows are packed in place) as an 8-bit RGB PNG into *out.
// Written for speed (no filter, light compression): cairo's own writer, over the same library,
// compresses hard and took most of a picture's time. A real sky's noisy ten minutes is smaller
// so (0.84 MB against 1.0 MB, in a fifth of the time); a smooth picture is larger (a half more).
static std::string encode(cairo_surface_t *sf, std::string *out)
{
	cairo_surface_flush(sf);
	int w = cairo_image_surface_get_width(sf), h = cairo_image_surface_get_height(sf);
	int stride = cairo_image_surface_get_stride(sf);
	unsigned char *px = cairo_image_surface_get_data(sf);
	for (int y = 0; y < h; y++) {  // each row packed to RGB in place: 3 bytes a pixel from 4
		unsigned char *row = px + (size_t)y * (size_t)stride, *o = row;
		for (int x = 0; x < w; x++) {
			uint32_t q;  // cairo's RGB24: 0x00RRGGBB in the host's order
			memcpy(&q, row + 4 * (size_t)x, 4);
			*o++ = (unsigned char)(q >> 16);
			*o++ = (unsigned char)(q >> 8);
			*o++ = (unsigned char)q;
		}
	}
	png_image im;
	memset(&im, 0, sizeof im);
	im.version = PNG_IMAGE_VERSION;
	im.width = (png_uint_32)w;
	im.height = (png_uint_32)h;
	im.format = PNG_FORMAT_RGB;
	im.flags = PNG_IMAGE_FLAG_FAST;
	png_alloc_size_t n = PNG_IMAGE_PNG_SIZE_MAX(im);
	std::vector<unsigned char> buf(n);
	if (!png_image_write_to_memory(&im, buf.data(), &n, 0, px, stride, nullptr)) {
		std::string why = std::string("cannot write the PNG: ") + im.message;
		png_image_free(&im);
		return why;
	}
	out->assign((const char *)buf.data(), n);  // no more room than the picture: it may be kept
	return "";
}

std::string QlDraw::png(std::string *out)
{
	out->clear();
	if (frames_ == 0)
		return "no frames";
	QlOpts o = o_;
	int w = o.kind == QL_SPECTRUM ? QlGeom{o.width}.plot_w() : o.kind == QL_CURVE ? QlCurveGeom{o.width}.plot_w() : o.width;
	int h = o.kind == QL_SPECTRUM ? QlGeom{o.width}.height() : o.kind == QL_CURVE ? QlCurveGeom{o.width}.height() : QL_STRIP_H;
	std::vector<uint16_t> cols;
	std::vector<char> has;
	bins_.columns(w, cols, has);
	std::vector<int32_t> v(cols.begin(), cols.end());
	std::vector<uint16_t>().swap(cols);
	long long t0 = bins_.first(), span = bins_.last() + 50 - bins_.first();

	cairo_surface_t *sf = cairo_image_surface_create(CAIRO_FORMAT_RGB24, o.width, h);
	cairo_t *cr = cairo_create(sf);
	cairo_set_source_rgb(cr, 1, 1, 1);
	cairo_paint(cr);
	if (o.kind == QL_SPECTRUM)
		spectrum(sf, cr, o, v, has, t0, span);
	else if (o.kind == QL_STRIP)
		strip(sf, o, v, has);
	else
		curve(sf, cr, o, v, has, t0, span);
	cairo_status_t st = cairo_status(cr);
	cairo_destroy(cr);
	std::string why = st == CAIRO_STATUS_SUCCESS ? encode(sf, out) : std::string("cannot draw: ") + cairo_status_to_string(st);
	cairo_surface_destroy(sf);
	if (!why.empty())
		out->clear();
	return why;
}
