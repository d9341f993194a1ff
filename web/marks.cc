#include "marks.h"

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "frame.h"

// v with n decimals, as the nearest double to its decimal text (so JSON shows 22.4).
static double decimals(double v, int n)
{
	char s[64];
	snprintf(s, sizeof s, "%.*f", n, v);
	return strtod(s, nullptr);
}

std::string Marks::message(const EvEvent &ev)
{
	char a[17], b[17], c[17];
	fr_time_stamp(ev.start, a);
	fr_time_stamp(ev.end, b);
	fr_time_stamp(ev.peak, c);
	nlohmann::ordered_json j = {{"state", ev.state == EV_STARTED ? "start" : "end"},
				    {"id", ev.id},
				    {"kind", ev_kind_name(ev.kind)},
				    {"start", a},
				    {"end", b},
				    {"peak", c},
				    {"f_lo", decimals(ev.f_lo, 3)},
				    {"f_hi", decimals(ev.f_hi, 3)},
				    {"peak_db", decimals(ev.peak_db, 1)},
				    {"drift", decimals(ev.drift, 3)}};
	return j.dump();
}

std::vector<std::string> Marks::feed(const std::string &r)
{
	std::vector<std::string> out;
	long long t;
	if (r.size() != FR_RECORD || time_.take(r.data(), &t) != ST_ACCEPT) {
		skipped_++;
		return out;
	}
	for (const EvEvent &ev : det_.feed(t, (const unsigned char *)r.data() + FR_HEADER)) {
		if (ev.kind == EV_SPIKE || ev.kind == EV_FAULT)
			continue;  // reported by pipe-events, but not bursts to mark
		std::string m = message(ev);
		out.push_back(m);
		bool known = false;
		for (auto &[id, msg] : recent_)
			if (id == ev.id) {
				msg = m;
				known = true;
			}
		if (!known) {
			recent_.emplace_back(ev.id, m);
			if (recent_.size() > keep_)
				recent_.pop_front();
		}
	}
	return out;
}

std::vector<std::string> Marks::recent() const
{
	std::vector<std::string> v;
	for (auto &[id, msg] : recent_)
		v.push_back(msg);
	return v;
}
