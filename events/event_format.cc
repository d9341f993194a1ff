// The event's outside forms (see event_format.h).
#include "event_format.h"

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "frame.h"

namespace {

struct Stamps {
	char start[17], end[17], peak[17];
	explicit Stamps(const EvEvent &ev)
	{
		fr_time_stamp(ev.start, start);
		fr_time_stamp(ev.end, end);
		fr_time_stamp(ev.peak, peak);
	}
};

// v with n decimals, as the nearest double to its decimal text (so JSON shows 22.4).
double decimals(double v, int n)
{
	char s[64];
	snprintf(s, sizeof s, "%.*f", n, v);
	return strtod(s, nullptr);
}

}  // namespace

std::string ev_line(const EvEvent &ev)
{
	Stamps s(ev);
	const char *a = s.start, *b = s.end, *c = s.peak;
	bool start = ev.state == EV_STARTED;
	char span[16] = "...", line[256];
	if (!start)
		snprintf(span, sizeof span, "%.2s:%.2s:%.2s", b + 8, b + 10, b + 12);
	snprintf(line, sizeof line,
		 "%.4s-%.2s-%.2s %.2s:%.2s:%.2s-%-8s %-5s %s%6.2f-%6.2f MHz  peak %.2s:%.2s:%.2s %5.1f dB  drift %7.2f MHz/s",
		 a, a + 4, a + 6, a + 8, a + 10, a + 12, span, ev_kind_name(ev.kind), start ? "start " : "", ev.f_lo,
		 ev.f_hi, c + 8, c + 10, c + 12, ev.peak_db, ev.drift);
	return line;
}

std::string ev_list_line(const EvEvent &ev, const char *station)
{
	Stamps s(ev);
	const char *kind = ev.kind == EV_CONT ? "CTM" : ev_kind_name(ev.kind);
	char line[128];
	snprintf(line, sizeof line, "%.8s\t%.2s:%.2s-%.2s:%.2s\t%s\t%s", s.start, s.start + 8, s.start + 10,
		 s.end + 8, s.end + 10, kind, station);
	return line;
}

std::string ev_json(const EvEvent &ev, bool state)
{
	Stamps s(ev);
	nlohmann::ordered_json j = {{"kind", ev_kind_name(ev.kind)}, {"start", s.start}, {"end", s.end},
				    {"peak", s.peak}, {"f_lo", decimals(ev.f_lo, 3)}, {"f_hi", decimals(ev.f_hi, 3)},
				    {"peak_db", decimals(ev.peak_db, 1)}, {"drift", decimals(ev.drift, 3)},
				    {"id", ev.id}};
	if (state)
		j["state"] = ev.state == EV_STARTED ? "start" : "end";
	return j.dump();
}

void ev_env(const EvEvent &ev, char vars[EV_NVARS][64])
{
	Stamps s(ev);
	snprintf(vars[0], 64, "EVENT_ID=%ld", ev.id);
	snprintf(vars[1], 64, "EVENT_KIND=%s", ev_kind_name(ev.kind));
	snprintf(vars[2], 64, "EVENT_START=%s", s.start);
	snprintf(vars[3], 64, "EVENT_END=%s", s.end);
	snprintf(vars[4], 64, "EVENT_PEAK=%s", s.peak);
	snprintf(vars[5], 64, "EVENT_F_LO=%.3f", ev.f_lo);
	snprintf(vars[6], 64, "EVENT_F_HI=%.3f", ev.f_hi);
	snprintf(vars[7], 64, "EVENT_PEAK_DB=%.1f", ev.peak_db);
	snprintf(vars[8], 64, "EVENT_DRIFT=%.3f", ev.drift);
}
