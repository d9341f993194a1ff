// The archive's addresses parsed (see route.h).
#include "route.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "frame.h"

static int hex(char c)
{
	return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

bool route_decode(std::string_view s, std::string &out)
{
	out.clear();
	for (size_t i = 0; i < s.size(); i++) {
		unsigned char c = (unsigned char)s[i];
		if (c == '%') {
			if (i + 2 >= s.size() || hex(s[i + 1]) < 0 || hex(s[i + 2]) < 0)
				return false;
			c = (unsigned char)(hex(s[i + 1]) * 16 + hex(s[i + 2]));
			if (c == '/')
				return false;
			i += 2;
		}
		if (c < 0x20 || c >= 0x7f)
			return false;
		out += (char)c;
	}
	return true;
}

static Route refuse(int status, const std::string &why)
{
	Route r;
	r.status = status;
	r.why = why;
	return r;
}

std::string route_day(long long t)
{
	char s[FR_HEADER];
	fr_time_stamp(t, s);
	return std::string(s, 8);
}

// A time as an address writes it: the shortest stamp that names it exactly (12 digits to the
// minute, 14 to the second, 16 to the hundredth).
static std::string when(long long t)
{
	char s[FR_HEADER];
	fr_time_stamp(t, s);
	std::string v(s, FR_STAMP);
	if (v.compare(12, 4, "0000") == 0)
		return v.substr(0, 12);
	if (v.compare(14, 2, "00") == 0)
		return v.substr(0, 14);
	return v;
}

std::string route_range_path(long long start, long long end)
{
	return "/range/" + when(start) + "/" + when(end);
}

// A day's 8 digits that are a real day.
static bool real_day(const std::string &d, ArcRange &r)
{
	if (d.size() != 8 || d.find_first_not_of("0123456789") != std::string::npos)
		return false;
	return arc_period(d.c_str(), 8, &r.start, &r.end) == 1;
}

// Strips a known ending from s: the format it names, or RF_PAGE.
static RouteFormat ending(std::string &s)
{
	static const std::pair<const char *, RouteFormat> ends[] = {{".png", RF_PNG}, {".fits", RF_FITS}, {".rec", RF_REC}};
	for (auto &[e, f] : ends) {
		size_t n = strlen(e);
		if (s.size() > n && s.compare(s.size() - n, n, e) == 0) {
			s.resize(s.size() - n);
			return f;
		}
	}
	return RF_PAGE;
}

// A band "LO-HI" in MHz: two plain decimals, LO below HI, within the receiver's 0 to 1000.
static bool band(const std::string &s, double &lo, double &hi)
{
	size_t dash = s.find('-');
	if (dash == std::string::npos || s.find_first_not_of("0123456789.-") != std::string::npos || s.size() > 20)
		return false;
	std::string a = s.substr(0, dash), b = s.substr(dash + 1);
	if (a.empty() || b.empty() || b.find('-') != std::string::npos)
		return false;
	char *e;
	lo = strtod(a.c_str(), &e);
	if (*e)
		return false;
	hi = strtod(b.c_str(), &e);
	return !*e && lo >= 0 && hi <= 1000 && lo < hi;
}

Route route_parse(std::string_view target)
{
	target = target.substr(0, target.find('?'));
	if (target.size() > 200)
		return refuse(400, "address too long");
	std::string path;
	if (!route_decode(target, path))
		return refuse(400, "malformed address (an escape, an escaped slash or a control character)");
	if (path.empty() || path[0] != '/')
		return refuse(400, "not a path");
	std::vector<std::string> seg;
	for (size_t at = 1; at <= path.size();) {
		size_t slash = path.find('/', at);
		if (slash == std::string::npos)
			slash = path.size();
		seg.push_back(path.substr(at, slash - at));
		at = slash + 1;
	}
	for (const std::string &s : seg)
		if (s == "." || s == ".." || s.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.-_: ") != std::string::npos)
			return refuse(400, "malformed address");
	Route r;
	const std::string &top = seg[0];
	if (seg.size() == 1 && (top == "days" || top == "health")) {
		r.kind = top == "days" ? RT_DAYS : RT_HEALTH;
		return r;
	}
	if (top == "day" && seg.size() >= 2) {
		std::string d = seg[1];
		r.format = seg.size() == 2 ? ending(d) : RF_PAGE;
		if (r.format == RF_FITS || r.format == RF_REC)
			return refuse(404, "no such address: a day is a page or .png (its records and FITS: /range)");
		if (!real_day(d, r.range))
			return refuse(404, "not a day: " + d);
		if (r.range.start < 0)  // stamps name no time before 1970
			return refuse(404, "not a day of the archive: " + d);
		r.day = d;
		if (seg.size() == 2) {
			r.kind = RT_DAY;
			return r;
		}
		if (seg.size() == 3 && seg[2] == "strip.png") {
			r.kind = RT_STRIP;
			r.format = RF_PNG;
			return r;
		}
		if (seg.size() == 4 && seg[2] == "burst") {
			std::string id = seg[3];
			if (ending(id) == RF_PNG && !id.empty() && id.size() <= 9 && (id[0] != '0' || id == "0") &&
			    id.find_first_not_of("0123456789") == std::string::npos) {  // one address each
				r.kind = RT_BURST;
				r.format = RF_PNG;
				r.burst = atol(id.c_str());
				return r;
			}
		}
		return refuse(404, "no such address");
	}
	if (top == "range" && (seg.size() == 3 || (seg.size() == 5 && seg[3] == "curve"))) {
		r.from = seg[1];
		r.to = seg[2];
		if (seg.size() == 3)
			r.format = ending(r.to);
		std::string why = arc_range_error(r.from.c_str(), r.to.c_str(), &r.range);
		if (r.from == "now" || r.to == "now")
			why = "now is not a stable address: name the times";
		if (!why.empty())
			return refuse(400, why);
		if (r.range.end - r.range.start > ROUTE_MAX_RANGE)
			return refuse(400, "range too long: at most a day (24 hours)");
		if (r.range.start < 0)
			return refuse(400, "not a time of the archive: before 1970");
		r.kind = RT_RANGE;
		if (seg.size() == 5) {
			std::string b = seg[4];
			if (ending(b) != RF_PNG || !band(b, r.f_lo, r.f_hi))
				return refuse(404, "no such address: a light curve is curve/LO-HI.png, MHz");
			r.kind = RT_CURVE;
			r.format = RF_PNG;
		}
		return r;
	}
	return r;  // RT_OTHER: the live page's addresses, or not found
}
