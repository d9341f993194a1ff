#include "marks.h"

#include "event_format.h"
#include "frame.h"

std::string Marks::message(const EvEvent &ev) { return ev_json(ev, true); }

std::vector<std::string> Marks::feed(const std::string &r)
{
	std::vector<std::string> out;
	long long t;
	if (r.size() != FR_RECORD || time_.take(r.data(), &t) != ST_ACCEPT) {
		skipped_++;
		return out;
	}
	for (const EvEvent &ev : det_.feed(t, (const unsigned char *)r.data() + FR_HEADER)) {
		if (!ev_is_burst(ev.kind))
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
