// The archive's pages, pictures and records (see site.h).
#include "site.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli.h"
#include "draw.h"
#include "fitswrite.h"
#include "frame.h"
#include "health.h"
#include "palette.h"

using Json = nlohmann::ordered_json;

std::string site_html(const std::string &s)
{
	std::string o;
	for (char c : s)
		switch (c) {
		case '&': o += "&amp;"; break;
		case '<': o += "&lt;"; break;
		case '>': o += "&gt;"; break;
		case '"': o += "&quot;"; break;
		case '\'': o += "&#39;"; break;
		default: o += c;
		}
	return o;
}

static SiteReply text(int status, const std::string &t)
{
	SiteReply r;
	r.status = status;
	r.type = "text/plain; charset=utf-8";
	r.body = std::make_shared<const std::string>(t + "\n");
	return r;
}

static SiteReply made(const std::string &type, std::string body)
{
	SiteReply r;
	r.type = type;
	r.body = std::make_shared<const std::string>(std::move(body));
	return r;
}

static std::string stamp(long long t)
{
	char s[FR_HEADER];
	fr_time_stamp(t, s);
	return s;
}

// "2026-12-08 10:20:30" of a stamp (16 digits, or fewer).
static std::string readable(const std::string &s)
{
	std::string o = s.substr(0, 4) + "-" + s.substr(4, 2) + "-" + s.substr(6, 2);
	if (s.size() >= 14)
		o += " " + s.substr(8, 2) + ":" + s.substr(10, 2) + ":" + s.substr(12, 2);
	return o;
}

static std::string seconds(long long slots)
{
	char b[32];
	snprintf(b, sizeof b, "%.1f s", (double)slots * 0.5);
	return b;
}

static std::string head(const Site &s, const std::string &title)
{
	return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
	       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
	       "<title>" + site_html(s.title + " - " + title) + "</title><style>"
	       "body{font-family:sans-serif;margin:0.5em;background:#111;color:#ddd}a{color:#8cf}"
	       "img{max-width:100%;height:auto;display:block}table{border-collapse:collapse}"
	       "td,th{padding:2px 6px;border-bottom:1px solid #333;text-align:right}"
	       "td.l,th.l{text-align:left}nav a{margin-right:1em}"
	       ".hours{display:flex;flex-wrap:wrap;gap:6px}.hours a{width:400px;max-width:100%}</style></head><body>\n"
	       "<nav><a href=\"/\">live</a><a href=\"/days\">days</a><a href=\"/health\">health</a></nav>\n"
	       "<h1>" + site_html(s.title + " - " + title) + "</h1>\n";
}

static const char TAIL[] = "</body></html>\n";

// The signatures of the days a range touches (at most two: a range is at most a day).
static std::string signatures(Site &s, const ArcRange &r)
{
	std::string sig;
	for (long long t = r.start; t < r.end;) {
		std::string d = route_day(t);
		sig += d + ":" + s.book.signature(d, r.start, r.end) + ";";
		ArcRange day;
		arc_period(d.c_str(), 8, &day.start, &day.end);
		t = day.end;
	}
	return sig;
}

// The frames of a range into a picture.
static std::string draw(Site &s, const ArcRange &r, QlOpts o, std::string &png)
{
	o.from = r.start;
	o.to = r.end;
	if (std::string why = ql_check(o); !why.empty())
		return why;
	QlDraw d(o);
	ArcBatch batch(s.book.root(), r, true);
	ArcItem *items;
	while (size_t n = batch.next(items))
		for (size_t i = 0; i < n; i++)
			if (items[i].problem.empty() && items[i].why.empty())
				d.add(items[i].e.t, items[i].payload);
	return d.png(&png);
}

static QlMark mark_of(const DayBurst &b)
{
	return QlMark{b.t_start, b.t_end, b.f_lo, b.f_hi};
}

// Whether a picture of a stretch not over was drawn in this minute (shelved under its key
// alone), or, with drawn set, that it was now.
static bool live_drawn(Site &s, const std::string &k, long long minute, bool drawn = false)
{
	std::lock_guard<std::mutex> l(s.live.drawn_m);
	auto &at = s.live.drawn;
	if (!drawn) {
		auto it = at.find(k);
		return it != at.end() && it->second == minute;
	}
	if (at.size() >= 1024)  // older minutes' are of no use: bounded
		std::erase_if(at, [minute](const auto &e) { return e.second != minute; });
	at[k] = minute;
	return true;
}

// A picture, from the shelf while the days it shows are unchanged (a stretch not over: drawn
// this minute), else drawn and shelved.
static SiteReply picture(Site &s, const std::string &key, const ArcRange &r, const QlOpts &o, long long now)
{
	bool live = now < r.end;
	long long minute = now / SITE_LIVE;
	std::string k = live ? key + "|so far" : key + "|" + signatures(s, r);
	if (auto got = !live || live_drawn(s, k, minute) ? s.shelf.get(k) : nullptr) {
		SiteReply rep;
		rep.type = "image/png";
		rep.body = got;
		rep.cached = true;
		return rep;
	}
	std::string png;
	std::string why = draw(s, r, o, png);
	if (why == "no frames")
		return text(404, "no frames in " + readable(stamp(r.start)) + " to " + readable(stamp(r.end)));
	if (!why.empty())
		return text(500, "cannot draw: " + why);
	auto body = std::make_shared<const std::string>(std::move(png));
	if (live || k == key + "|" + signatures(s, r)) {  // unchanged while drawn
		s.shelf.put(k, body);
		if (live)
			live_drawn(s, k, minute, true);
	}
	SiteReply rep;
	rep.type = "image/png";
	rep.body = body;
	return rep;
}

// The summary and the bursts of a day: a day not over's made at most once a minute.
template <class T, class Make>
static std::string memo(SiteMemo<T> &m, const std::string &d, long long now, T &out, Make make)
{
	std::lock_guard<std::mutex> l(m.m);
	if (m.day != d || m.minute != now / SITE_LIVE) {
		m.why = make(m.value);
		m.day = d;
		m.minute = now / SITE_LIVE;
	}
	out = m.value;
	return m.why;
}

static std::string day_summary(Site &s, const std::string &d, long long now, DaySummary &sum)
{
	ArcRange r;
	if (!arc_period(d.c_str(), 8, &r.start, &r.end) || now >= r.end)
		return s.book.summary(d, now, sum);
	return memo(s.live.sum, d, now, sum, [&](DaySummary &v) { return s.book.summary(d, now, v); });
}

static std::string day_bursts(Site &s, const std::string &d, long long now, std::vector<DayBurst> &out)
{
	ArcRange r;
	if (!arc_period(d.c_str(), 8, &r.start, &r.end) || now >= r.end)
		return s.book.bursts(d, now, out);
	return memo(s.live.bursts, d, now, out, [&](std::vector<DayBurst> &v) { return s.book.bursts(d, now, v); });
}

static QlOpts spectrum(const Site &s, const std::string &title)
{
	QlOpts o;
	o.width = SITE_WIDTH;
	o.title = ql_text_ok(s.title.c_str()) ? s.title + " " + title : title;
	return o;
}

// The days given counted behind the pages (see Site), unless a count is under way already.
static void count_later(Site &s, std::vector<std::string> days, long long now)
{
	std::lock_guard<std::mutex> l(s.count_m);
	if (s.counting || s.ending)
		return;
	if (s.counter.joinable())
		s.counter.join();  // ended: it cleared `counting` as its last step
	s.counting = true;
	s.counter = std::thread([&s, days = std::move(days), now] {
		for (const std::string &d : days) {
			if (s.ending)
				break;
			DaySummary sum;
			s.book.summary(d, now, sum);
			std::lock_guard<std::mutex> l(s.count_m);
			s.counted[d] = sum;
		}
		std::lock_guard<std::mutex> l(s.count_m);
		s.counting = false;
	});
}

// A past day's summary if it has one (kept, or counted behind the pages) under the day's
// current signature; today's (and a later day's) counted now.
static bool known(Site &s, const std::string &d, const ArcRange &r, long long now, DaySummary &sum)
{
	if (now < r.end) {
		day_summary(s, d, now, sum);
		return true;
	}
	std::string sig = s.book.signature(d);
	if (s.book.kept(d, sig, sum))
		return true;
	std::lock_guard<std::mutex> l(s.count_m);
	auto it = s.counted.find(d);
	if (it == s.counted.end() || it->second.sig != sig)
		return false;
	sum = it->second;
	return true;
}

static SiteReply days_page(Site &s, long long now)
{
	std::vector<std::string> days, later;
	std::string why = s.book.days(days);
	std::string h = head(s, "days");
	if (!why.empty())
		h += "<p>" + site_html(why) + "</p>\n";
	h += "<table><tr><th class=l>day</th><th>present</th><th>missing</th><th>complete</th>"
	     "<th>longest gap</th><th>bursts</th><th class=l>the day</th></tr>\n";
	std::reverse(days.begin(), days.end());  // the newest first
	for (const std::string &d : days) {
		DaySummary sum;
		ArcRange r;
		if (!arc_period(d.c_str(), 8, &r.start, &r.end))
			continue;
		if (!known(s, d, r, now, sum)) {
			later.push_back(d);
			h += "<tr id=\"d" + d + "\"><td class=l><a href=\"/day/" + d + "\">" + readable(d) +
			     "</a></td><td colspan=5 class=uncounted>not counted yet</td><td></td></tr>\n";
			continue;
		}
		char pct[32];
		snprintf(pct, sizeof pct, "%.2f%%", sum.expected ? 100.0 * (double)sum.present / (double)sum.expected : 0.0);
		h += "<tr id=\"d" + d + "\"><td class=l><a href=\"/day/" + d + "\">" + readable(d) + "</a>" +
		     (sum.final ? "" : " (so far)") + "</td><td>" + std::to_string(sum.present) + "</td><td>" +
		     std::to_string(sum.missing) + "</td><td>" + pct + "</td><td>" +
		     (sum.gap_slots ? seconds(sum.gap_slots) : "-") + "</td><td>" +
		     (sum.bursts >= 0 ? std::to_string(sum.bursts) : "?") + "</td><td class=l><a href=\"/day/" + d +
		     "\"><img src=\"/day/" + d + "/strip.png\" width=\"" + std::to_string(QL_STRIP_W) + "\" height=\"" +
		     std::to_string(QL_STRIP_H) + "\" loading=\"lazy\" alt=\"\"></a></td></tr>\n";
	}
	h += "</table>\n<p>present and missing: frames of the day's 172800 half seconds; bursts: ? until the day's "
	     "page has been seen or the nightly job has listed them.</p>\n";
	if (!later.empty()) {
		h += "<p id=counting>" + std::to_string(later.size()) + " days not counted yet: they are being counted, "
		     "newest first; ask for this page again.</p>\n";
		count_later(s, std::move(later), now);
	}
	return made("text/html; charset=utf-8", h + TAIL);
}

// The ten minutes around a burst (more for a longer one: a minute either side; at most a day).
static ArcRange burst_window(const DayBurst &b)
{
	ArcRange w;
	long long mid = (b.t_start + b.t_end) / 2, half = SITE_BURST_S * 50;
	w.start = std::min(mid - half, b.t_start - 6000);
	w.end = std::max(mid + half, b.t_end + 6000);
	w.start -= (w.start % 100 + 100) % 100;  // whole seconds, for a short address
	w.end += (100 - (w.end % 100 + 100) % 100) % 100;
	if (w.end - w.start > ROUTE_MAX_RANGE)
		w.end = w.start + ROUTE_MAX_RANGE;
	return w;
}

static std::string burst_row(const std::string &day, const DayBurst &b)
{
	char band[64], fig[96];
	snprintf(band, sizeof band, "%.2f-%.2f MHz", b.f_lo, b.f_hi);
	snprintf(fig, sizeof fig, "<td>%.1f dB</td><td>%.3f MHz/s</td>", b.peak_db, b.drift);
	std::string id = std::to_string(b.id);
	ArcRange w = burst_window(b);
	return "<tr id=\"burst-" + id + "\"><td><a href=\"#burst-" + id + "\">" + id + "</a></td><td class=l>" +
	       site_html(b.kind) + "</td><td class=l>" + readable(b.start).substr(11) + " - " + readable(b.end).substr(11) +
	       "</td><td>" + band + "</td><td>" + readable(b.peak).substr(11) + "</td>" + fig + "<td class=l><a href=\"" +
	       route_range_path(w.start, w.end) + "\"><img class=burst src=\"/day/" + day + "/burst/" + id +
	       ".png\" width=\"400\" loading=\"lazy\" alt=\"burst " + id + "\"></a></td></tr>\n";
}

static SiteReply day_page(Site &s, const Route &r, long long now)
{
	DaySummary sum;
	std::string why = day_summary(s, r.day, now, sum);
	if (sum.sig.empty())
		return text(404, "no such day in the archive: " + r.day);
	std::vector<DayBurst> bursts;
	std::string bwhy = day_bursts(s, r.day, now, bursts);
	std::string h = head(s, readable(r.day));
	h += "<nav><a href=\"/day/" + route_day(r.range.start - 1) + "\">previous day</a><a href=\"/day/" +
	     route_day(r.range.end) + "\">next day</a><a href=\"" + route_range_path(r.range.start, r.range.end) +
	     "\">the records, FITS</a></nav>\n";
	h += "<img src=\"/day/" + r.day + ".png\" width=\"" + std::to_string(SITE_WIDTH) + "\" alt=\"the day\">\n";
	for (const std::string &w : {why, bwhy})
		if (!w.empty())
			h += "<p>" + site_html(w) + "</p>\n";
	h += "<table class=figures><tr><td class=l>present</td><td id=present>" + std::to_string(sum.present) +
	     "</td></tr><tr><td class=l>missing</td><td id=missing>" + std::to_string(sum.missing) +
	     "</td></tr><tr><td class=l>longest gap</td><td id=gap>" +
	     (sum.gap_slots ? seconds(sum.gap_slots) + " from " + readable(stamp(sum.gap_start)).substr(11) : "-") +
	     "</td></tr><tr><td class=l>bursts</td><td id=bursts>" + std::to_string(bursts.size()) + "</td></tr>" +
	     (sum.final ? "" : "<tr><td class=l colspan=2>the day is not over: so far</td></tr>") + "</table>\n";
	h += "<h2>Bursts</h2>\n<table class=bursts><tr><th>id</th><th class=l>kind</th><th class=l>span</th><th>band</th>"
	     "<th>peak</th><th>peak level</th><th>drift</th><th class=l>the ten minutes around it</th></tr>\n";
	for (const DayBurst &b : bursts)
		h += burst_row(r.day, b);
	h += "</table>\n<h2>Gaps</h2>\n<table class=gaps><tr><th class=l>from</th><th class=l>to</th><th>missing</th></tr>\n";
	for (auto &[start, n] : sum.gaps)
		h += "<tr><td class=l>" + readable(stamp(start)).substr(11) + "</td><td class=l>" +
		     (start + n * 50 >= r.range.end ? std::string("the day's end") : readable(stamp(start + n * 50)).substr(11)) +
		     "</td><td>" + seconds(n) + "</td></tr>\n";
	h += "</table>\n<p>Gaps of a minute or more";
	h += sum.gaps.size() >= DAY_GAPS ? ", the first " + std::to_string(DAY_GAPS) + ".</p>\n" : ".</p>\n";
	h += "<h2>Hours</h2>\n<div class=hours>";
	for (int hour = 0; hour < 24; hour++) {  // drawn when the browser comes to them; not yet: a link
		char b[16];
		long long from = r.range.start + hour * 360000LL;
		snprintf(b, sizeof b, "%02d:00", hour);
		std::string path = route_range_path(from, from + 360000);
		bool empty = std::any_of(sum.gaps.begin(), sum.gaps.end(), [&](const std::pair<long long, long long> &g) {
			return g.first <= from && g.first + g.second * 50 >= from + 360000;
		});
		h += "<a href=\"" + path + "\">" + b +
		     (empty ? "<br>no frames" : "") + (from < now && !empty ? "<br><img src=\"" + path + ".png\" width=\"400\" loading=\"lazy\" alt=\"" + b + "\">" : "") +
		     "</a>\n";
	}
	h += "</div>\n";
	return made("text/html; charset=utf-8", h + TAIL);
}

static SiteReply range_page(Site &s, const Route &r)
{
	std::string base = route_range_path(r.range.start, r.range.end);
	long long d = r.range.end - r.range.start;
	std::string h = head(s, readable(stamp(r.range.start)) + " to " + readable(stamp(r.range.end)));
	h += "<nav><a href=\"" + route_range_path(r.range.start - d, r.range.start) + "\">earlier</a><a href=\"" +
	     route_range_path(r.range.end, r.range.end + d) + "\">later</a><a href=\"/day/" + route_day(r.range.start) +
	     "\">the day</a></nav>\n";
	h += "<img src=\"" + base + ".png\" width=\"" + std::to_string(SITE_WIDTH) + "\" alt=\"the stretch\">\n";
	h += "<p>Download: <a href=\"" + base + ".rec\" download>records</a> <a href=\"" + base +
	     ".fits\" download>FITS</a> <a href=\"" + base + ".png\" download>PNG</a></p>\n<h2>Light curve</h2>\n";
	h += "<img class=curve src=\"" + base + "/curve/20-30.png\" width=\"" + std::to_string(SITE_CURVE_WIDTH) +
	     "\" alt=\"light curve 20 to 30 MHz\">\n<p>Other bands:";
	for (const char *b : {"15-20", "20-25", "25-30", "30-35", "35-40"})
		h += std::string(" <a href=\"") + base + "/curve/" + b + ".png\">" + b + " MHz</a>";
	h += "</p>\n";
	return made("text/html; charset=utf-8", h + TAIL);
}

// The last nightly run's status, as spectrum-nightly leaves it in ROOT.products/last-run.json.
// The nightly job's record of its last run (ROOT.products/last-run.json): a small regular file,
// never a link or a pipe, which would hold a worker for ever.
static std::string nightly_rows(const Site &s)
{
	enum { MAX_RECORD = 65536 };
	int fd = open((s.book.root() + ".products/last-run.json").c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
	if (fd < 0 && errno == ENOENT)
		return "<p id=nightly>No nightly run recorded.</p>\n";
	struct stat st;
	std::string text, why;
	if (fd < 0)
		why = strerror(errno);
	else if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
		why = "not a regular file";
	else if (st.st_size > MAX_RECORD)
		why = "too large";
	else {
		text.resize((size_t)st.st_size);
		ssize_t n = read(fd, text.data(), text.size());
		text.resize(n > 0 ? (size_t)n : 0);
	}
	if (fd >= 0)
		close(fd);
	nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
	if (why.empty() && !j.is_object())
		why = "not a JSON object";
	if (!why.empty())
		return "<p id=nightly>The record of the last nightly run (last-run.json beside the archive) cannot be "
		       "read: " + site_html(why) + ".</p>\n";
	std::string h = "<table id=nightly>";
	for (auto &[k, v] : j.items())
		h += "<tr><td class=l>" + site_html(k) + "</td><td class=l>" +
		     site_html(v.is_string() ? v.get<std::string>() : v.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)) +
		     "</td></tr>";
	return h + "</table>\n";
}

static SiteReply health_page(Site &s)
{
	ArcHealth hl;
	arc_health(s.book.root(), hl);
	Json j = Json::parse(arc_health_json(hl));
	std::string h = head(s, "health") + "<h2>The disk</h2>\n<table id=disk>";
	for (auto &[k, v] : j.items())
		h += "<tr><td class=l>" + site_html(k) + "</td><td>" +
		     site_html(v.is_string() ? v.get<std::string>() : v.dump()) + "</td></tr>";
	h += "</table>\n<pre>" + site_html(arc_health_text(hl)) + "</pre>\n<h2>The last nightly run</h2>\n" + nightly_rows(s);
	return made("text/html; charset=utf-8", h + TAIL);
}

static SiteReply burst_picture(Site &s, const Route &r, long long now)
{
	std::vector<DayBurst> bursts;
	day_bursts(s, r.day, now, bursts);
	auto b = std::find_if(bursts.begin(), bursts.end(), [&](const DayBurst &x) { return x.id == r.burst; });
	if (b == bursts.end())
		return text(404, "no burst " + std::to_string(r.burst) + " on " + r.day);
	ArcRange w = burst_window(*b);
	QlOpts o = spectrum(s, b->kind + " " + std::to_string(b->id));
	o.marks.push_back(mark_of(*b));
	return picture(s, "burst/" + r.day + "/" + std::to_string(r.burst) + "/" + b->start, w, o, now);
}

SiteReply site_answer(Site &s, const Route &r, long long now)
{
	switch (r.kind) {
	case RT_DAYS:
		return days_page(s, now);
	case RT_HEALTH:
		return health_page(s);
	case RT_DAY:
		if (r.format == RF_PAGE)
			return day_page(s, r, now);
		{
			std::vector<DayBurst> bursts;
			day_bursts(s, r.day, now, bursts);
			QlOpts o = spectrum(s, r.day);
			for (const DayBurst &b : bursts)
				if (o.marks.size() < QL_MAX_MARKS)
					o.marks.push_back(mark_of(b));
			return picture(s, "day/" + r.day + "/" + std::to_string(bursts.size()), r.range, o, now);
		}
	case RT_STRIP: {
		QlOpts o;
		o.kind = QL_STRIP;
		o.width = QL_STRIP_W;
		return picture(s, "strip/" + r.day, r.range, o, now);
	}
	case RT_BURST:
		return burst_picture(s, r, now);
	case RT_RANGE:
		if (r.format == RF_PAGE)
			return range_page(s, r);
		return picture(s, "range/" + stamp(r.range.start) + "/" + stamp(r.range.end), r.range, spectrum(s, ""), now);
	case RT_CURVE: {
		QlOpts o;
		o.kind = QL_CURVE;
		o.width = SITE_CURVE_WIDTH;
		o.f_lo = r.f_lo;
		o.f_hi = r.f_hi;
		o.title = s.title;
		char k[64];
		snprintf(k, sizeof k, "/%.4f-%.4f", r.f_lo, r.f_hi);
		return picture(s, "curve/" + stamp(r.range.start) + "/" + stamp(r.range.end) + k, r.range, o, now);
	}
	default:
		return text(404, "not found");
	}
}

bool RecStream::next(std::string &out)
{
	ArcItem *items;
	size_t n = batch_.next(items);
	for (size_t i = 0; i < n; i++) {
		ArcItem &it = items[i];
		if (!it.problem.empty() || !it.why.empty() || (last_[0] && memcmp(it.e.stamp.c_str(), last_, FR_STAMP) <= 0))
			continue;
		memcpy(last_, it.e.stamp.c_str(), FR_STAMP);
		out.append(last_, FR_HEADER);
		out.append((const char *)it.payload, FR_PAYLOAD);
	}
	return n > 0;
}

// A stamp's time (fields as they are) as UTC, by the host's zone at that hour.
struct Utc {
	long long hour = -1, off = 0;
	long long operator()(long long local)
	{
		if (local / 360000 != hour) {
			hour = local / 360000;
			time_t t = (time_t)(local / 100);
			struct tm tm;
			gmtime_r(&t, &tm);  // the stamp's fields
			tm.tm_isdst = -1;
			off = ((long long)t - (long long)mktime(&tm)) * 100;
		}
		return local - off;
	}
};

FitsStream::~FitsStream()
{
	if (fd_ >= 0)
		close(fd_);
}

std::string FitsStream::start()
{
	const char *base = getenv("TMPDIR");
	std::string dir = (tmp_.empty() ? std::string(base && *base ? base : "/tmp") : tmp_) + "/.fits.XXXXXX";
	if (!mkdtemp(dir.data()))
		return "cannot make a temporary directory: " + std::string(strerror(errno));
	std::string path = dir + "/stretch.fits";
	// Room for it at its largest (32-bit values; the tables and headers a megabyte at most).
	long long need = 2LL * FR_POINTS * 4 * ((r_.end - r_.start) / 50 + 1) + (1 << 20);
	struct statvfs fs;
	if (statvfs(dir.c_str(), &fs) == 0) {
		long long total = (long long)fs.f_blocks * (long long)fs.f_frsize,
			  avail = (long long)fs.f_bavail * (long long)fs.f_frsize,
			  reserve = std::max(FITS_RESERVE_MIN, total / 100 * FITS_RESERVE_PCT);
		if (avail - need < reserve) {
			rmdir(dir.c_str());
			fail_status = 507;
			return "not enough free space to write it (" + std::to_string(need >> 20) + " MB, and " +
			       std::to_string(reserve >> 20) + " MB kept free)";
		}
	}
	FwStation st;
	if (station_name_ok(name_.c_str()))
		st.name = name_;
	const char *tz = getenv("TZ");
	st.zone_note = std::string("Frame stamps were local time in the host's zone (") + (tz && *tz ? tz : "its default") +
		       "); converted to UTC here.";
	Utc utc;
	long long from = utc(r_.start), to = utc(r_.end);
	std::string root = root_;
	ArcRange r = r_;
	std::string why = fw_stretch(path, st, from, to, [root, r](const FwTake &take) {
		Utc u;
		ArcBatch batch(root, r, true);
		ArcItem *items;
		while (size_t n = batch.next(items))
			for (size_t i = 0; i < n; i++)
				if (items[i].problem.empty() && items[i].why.empty())
					take(u(items[i].e.t), items[i].payload);
		return std::string();
	});
	if (why.empty() && (fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)) < 0)
		why = "cannot read it back: " + std::string(strerror(errno));
	unlink(path.c_str());  // the file lives on while open, and goes with it
	rmdir(dir.c_str());
	if (why == "no frames in the stretch")
		fail_status = 404;
	for (size_t at; (at = why.find(path)) != std::string::npos;)  // the server's own paths are not told
		why.replace(at, path.size(), "the file");
	return why;
}

bool FitsStream::next(std::string &out)
{
	char b[1 << 16];
	for (int k = 0; k < 16; k++) {
		ssize_t n = read(fd_, b, sizeof b);
		if (n <= 0)
			return !out.empty();
		out.append(b, (size_t)n);
	}
	return true;
}
