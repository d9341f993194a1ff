// Day summaries and burst lists, kept in the cache (see daybook.h).
#include "daybook.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "event_format.h"
#include "frame.h"
#include "outfile.h"
#include "reader.h"
#include "tally.h"

using Json = nlohmann::json;

Daybook::Daybook(std::string root, std::string cache) : root_(std::move(root)), cache_(std::move(cache))
{
	if (mkdir(cache_.c_str(), 0755) != 0 && errno != EEXIST)
		cache_error_ = cache_ + ": cannot make directory: " + strerror(errno);
	else if (struct stat st; lstat(cache_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
		cache_error_ = cache_ + ": not a directory";
	else if (access(cache_.c_str(), W_OK) != 0)
		cache_error_ = cache_ + ": cannot write: " + strerror(errno);
	else if (DIR *d = opendir(cache_.c_str())) {  // FITS files an earlier run was writing when it ended
		while (struct dirent *e = readdir(d))
			if (strncmp(e->d_name, ".fits.", 6) == 0) {
				std::string dir = cache_ + "/" + e->d_name;
				unlink((dir + "/stretch.fits").c_str());
				rmdir(dir.c_str());
			}
		closedir(d);
	}
}

std::string Daybook::days(std::vector<std::string> &out) const
{
	std::string why = arc_list(root_, 8, out);
	std::erase_if(out, [&](const std::string &d) {  // a day that is a link is not the archive's
		struct stat st;
		return lstat((root_ + "/" + d).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
	});
	return why;
}

std::string Daybook::path(const std::string &day, const char *what) const
{
	return cache_ + "/" + day + what;
}

// Mixes the status of one name into the signature: absent, or its inode, size and times.
static void mix(std::string &sig, const std::string &path)
{
	struct stat st;
	char b[128];
	if (lstat(path.c_str(), &st) != 0)
		snprintf(b, sizeof b, "-;");
	else
		snprintf(b, sizeof b, "%llx.%llx.%llx.%lx.%o;", (unsigned long long)st.st_ino, (unsigned long long)st.st_size,
			 (unsigned long long)st.st_mtim.tv_sec, (long)st.st_mtim.tv_nsec, (unsigned)st.st_mode);
	sig += b;
}

std::string Daybook::signature(const std::string &day) const
{
	return signature(day, LLONG_MIN, LLONG_MAX);
}

std::string Daybook::signature(const std::string &day, long long from, long long to) const
{
	std::string dir = root_ + "/" + day, sig;
	struct stat st;
	if (lstat(dir.c_str(), &st) != 0)
		return "";
	std::vector<std::string> all, periods;
	if (!arc_list(dir, 11, all).empty())
		return "";
	bool whole = from == LLONG_MIN && to == LLONG_MAX;
	for (std::string &p : all) {
		long long start, end;
		if (whole || (arc_period(p.c_str(), 11, &start, &end) && start < to && end > from))
			periods.push_back(std::move(p));
	}
	if (whole)
		mix(sig, dir);  // the day's own directory: any period made or removed (a stretch names its own)
	for (const std::string &p : periods) {
		mix(sig, dir + "/" + p);
		mix(sig, dir + "/" + p + ".pack.tar.zst");
	}
	// The text itself is long (two entries a period): kept as a 64-bit FNV-1a of it and its size.
	unsigned long long h = 14695981039346656037ull;
	for (unsigned char c : sig)
		h = (h ^ c) * 1099511628211ull;
	char b[64];
	snprintf(b, sizeof b, "%016llx-%zu-%zu", h, sig.size(), periods.size());
	return b;
}

// A cache file's text, or "".
static std::string slurp(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

void Daybook::keep(const std::string &file, const std::string &text)
{
	if (!cache_error_.empty())
		return;
	std::lock_guard<std::mutex> lock(write_);  // of_begin's list is not shared between threads
	OutFile f;
	if (of_begin(&f, file) != 0)
		return;
	FILE *o = fopen(f.tmp.c_str(), "w");
	bool ok = o && fwrite(text.data(), 1, text.size(), o) == text.size();
	if (o && fclose(o) != 0)
		ok = false;
	if (!ok || of_commit(&f) != 0)
		of_abort(&f);
}

bool Daybook::kept(const std::string &day, const std::string &sig, DaySummary &s) const
{
	Json j = Json::parse(slurp(path(day, ".json")), nullptr, false);
	if (!j.is_object() || j.value("sig", "") != sig || sig.empty())
		return false;
	try {
		s.day = day;
		s.sig = sig;
		s.expected = j.at("expected").get<long long>();
		s.present = j.at("present").get<long long>();
		s.missing = j.at("missing").get<long long>();
		s.gap_start = j.at("gap_start").get<long long>();
		s.gap_slots = j.at("gap_slots").get<long long>();
		s.bursts = j.at("bursts").get<long>();
		s.gaps = j.at("gaps").get<std::vector<std::pair<long long, long long>>>();
		s.final = true;
	} catch (const Json::exception &) {
		return false;
	}
	return true;
}

bool day_burst_parse(const std::string &line, DayBurst &b)
{
	Json j = Json::parse(line, nullptr, false);
	if (!j.is_object())
		return false;
	try {
		b.kind = j.at("kind").get<std::string>();
		b.start = j.at("start").get<std::string>();
		b.end = j.at("end").get<std::string>();
		b.peak = j.at("peak").get<std::string>();
		b.f_lo = j.at("f_lo").get<double>();
		b.f_hi = j.at("f_hi").get<double>();
		b.peak_db = j.at("peak_db").get<double>();
		b.drift = j.at("drift").get<double>();
		b.id = j.at("id").get<long>();
	} catch (const Json::exception &) {
		return false;
	}
	return b.start.size() == FR_STAMP && b.end.size() == FR_STAMP && fr_stamp_time(b.start.c_str(), &b.t_start) &&
	       fr_stamp_time(b.end.c_str(), &b.t_end) && b.t_end >= b.t_start && b.f_lo <= b.f_hi;
}

// The bursts of a list's lines (JSON lines; lines that are not one are passed over).
static std::vector<DayBurst> parse_list(const std::string &text)
{
	std::vector<DayBurst> out;
	std::istringstream in(text);
	for (std::string line; std::getline(in, line);) {
		DayBurst b;
		if (day_burst_parse(line, b) && (b.kind == "III" || b.kind == "II" || b.kind == "CONT" || b.kind == "OTHER"))
			out.push_back(b);
	}
	return out;
}

// The nightly job's list of the day, if it has written one.
static bool nightly(const std::string &root, const std::string &day, std::vector<DayBurst> &out)
{
	std::string file = root + ".products/" + day + "/events.json";
	struct stat st;
	if (lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > (16 << 20))
		return false;
	out = parse_list(slurp(file));
	return true;
}

// The cached list: its first line the signature it was made under, then the events.
static bool cached(const std::string &file, const std::string &sig, std::vector<DayBurst> &out)
{
	std::string text = slurp(file);
	size_t nl = text.find('\n');
	if (sig.empty() || nl == std::string::npos || text.compare(0, nl, sig) != 0)
		return false;
	out = parse_list(text.substr(nl + 1));
	return true;
}

// A summary as it is kept: one line of JSON.
static std::string summary_text(const DaySummary &s)
{
	return Json{{"sig", s.sig}, {"expected", s.expected}, {"present", s.present}, {"missing", s.missing},
		    {"gap_start", s.gap_start}, {"gap_slots", s.gap_slots}, {"bursts", s.bursts}, {"gaps", s.gaps}}
		       .dump() + "\n";
}

std::string Daybook::summary(const std::string &day, long long now, DaySummary &s)
{
	std::string sig = signature(day);
	if (kept(day, sig, s))
		return "";
	ArcRange r;
	if (day.size() != 8 || !arc_period(day.c_str(), 8, &r.start, &r.end))
		return day + ": not a day";
	s = DaySummary();
	s.day = day;
	s.sig = sig;
	s.final = now >= r.end;
	// Counted as arc-stat -p 1d DAY counts it, up to now when the day is not over; a day not begun
	// (frames stamped ahead of the host's clock) as a whole, as arc-stat counts it.
	ArcTally t(r.end - r.start, r.start, r.end, [](TallyRow &, bool) {},
		   [&s](long long start, long long, long long n, bool) {
			   if (n >= DAY_GAP_SLOTS && s.gaps.size() < DAY_GAPS)
				   s.gaps.emplace_back(start, n);
		   });
	t.begin(r.start);
	ArcList list(root_, r);
	ArcEntry e;
	std::string problem, first;
	for (int k; (k = list.next(e, problem)) != ArcList::END;)
		if (k == ArcList::PROBLEM && first.empty())
			first = problem;
		else if (k == ArcList::FRAME)
			t.frame(e.t, e.bytes, e.present(), !e.present());
	t.finish(now < r.start ? r.end : std::min(now, r.end));
	const TallyRow &tot = t.total();
	s.expected = tot.expected;
	s.present = tot.present;
	s.missing = tot.missing;
	s.gap_start = tot.gap_len ? tot.gap_start : -1;
	s.gap_slots = tot.gap_len;
	std::vector<DayBurst> b;
	if (nightly(root_, day, b) || cached(path(day, ".bursts"), sig, b))
		s.bursts = (long)b.size();
	if (s.final && first.empty() && !sig.empty() && sig == signature(day))  // unchanged while counted
		keep(path(day, ".json"), summary_text(s));
	return first;
}

std::string Daybook::bursts(const std::string &day, long long now, std::vector<DayBurst> &out)
{
	out.clear();
	if (nightly(root_, day, out)) {  // written after the day was summarised, maybe: the count follows
		std::string sig = signature(day);
		DaySummary s;
		if (kept(day, sig, s) && s.bursts != (long)out.size()) {
			s.bursts = (long)out.size();
			keep(path(day, ".json"), summary_text(s));
		}
		return "";
	}
	std::string sig = signature(day), file = path(day, ".bursts");
	if (cached(file, sig, out))
		return "";
	ArcRange r;
	if (!arc_period(day.c_str(), 8, &r.start, &r.end))
		return day + ": not a day";
	// The detector over the day's frames in order, as pipe-events sees arc-cat's records: bursts
	// that have ended (interference, spikes and faults left out), and those still open at the end.
	EvDetector det;
	std::string lines, first;
	auto take = [&](const std::vector<EvEvent> &evs) {
		for (const EvEvent &ev : evs)
			if (ev.state == EV_ENDED && ev_is_burst(ev.kind))
				lines += ev_json(ev, false) + "\n";
	};
	ArcBatch batch(root_, r, true);
	ArcItem *items;
	std::string last;
	while (size_t n = batch.next(items))
		for (size_t i = 0; i < n; i++) {
			ArcItem &it = items[i];
			if (!it.problem.empty()) {
				if (first.empty())
					first = it.problem;
			} else if (it.why.empty() && it.e.stamp > last) {
				last = it.e.stamp;
				take(det.feed(it.e.t, it.payload));
			}
		}
	take(det.finish());
	out = parse_list(lines);
	bool over = now >= r.end;
	if (over && first.empty() && !sig.empty() && sig == signature(day)) {
		keep(file, sig + "\n" + lines);
		DaySummary s;
		if (kept(day, sig, s) && s.bursts != (long)out.size()) {  // the summary learns the count
			s.bursts = (long)out.size();
			keep(path(day, ".json"), summary_text(s));
		}
	}
	return first;
}
