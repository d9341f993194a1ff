// Checks of what arrives from the broker, and the matching of bursts across stations.
#include "netmsg.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>
#include <nlohmann/json.hpp>

#include "cli.h"
#include "detect.h"
#include "event_format.h"
#include "frame.h"

bool net_name_ok(const char *name)
{
	size_t n = strlen(name);
	return station_name_ok(name) && !strstr(name, "..") && (n == 0 || name[n - 1] != '.');
}

std::string net_subject_station(const char *subject, const char *prefix)
{
	size_t n = strlen(prefix);
	if (!subject || strncmp(subject, prefix, n) != 0 || !net_name_ok(subject + n))
		return "";
	return subject + n;
}

bool net_record_ok(const void *data, size_t n)
{
	const char *p = static_cast<const char *>(data);
	return n == FR_RECORD && p[FR_STAMP] == 0 && fr_time_ok(p, FR_STAMP);
}

std::string net_burst_json(const std::string &ev_json, const std::string &station)
{
	nlohmann::ordered_json j = nlohmann::ordered_json::parse(ev_json);
	j["station"] = station;
	return j.dump();
}

static int kind_of(const std::string &name)
{
	for (int k = EV_III; k <= EV_SOUNDER; k++)
		if (name == ev_kind_name(k))
			return k;
	return -1;
}

// A 16-digit stamp of a real time, read.
static bool stamp(const nlohmann::json &j, const char *key, std::string &s, long long &t)
{
	auto it = j.find(key);
	if (it == j.end() || !it->is_string())
		return false;
	s = it->get<std::string>();
	return s.size() == FR_STAMP && fr_stamp_time(s.c_str(), &t);
}

static bool number(const nlohmann::json &j, const char *key, double &v)
{
	auto it = j.find(key);
	if (it == j.end() || !it->is_number())
		return false;
	v = it->get<double>();
	return std::isfinite(v);
}

// The object, or a discarded value when the bytes are not one JSON object of a fit size.
static nlohmann::json object(const char *data, size_t n)
{
	if (n == 0 || n > NET_MAX_JSON)
		return nlohmann::json(nlohmann::json::value_t::discarded);
	nlohmann::json j = nlohmann::json::parse(data, data + n, nullptr, false);
	return j.is_object() ? j : nlohmann::json(nlohmann::json::value_t::discarded);
}

static bool station_is(const nlohmann::json &j, const std::string &station)
{
	auto it = j.find("station");
	return it != j.end() && it->is_string() && it->get<std::string>() == station && net_name_ok(station.c_str());
}

std::string net_burst_parse(const char *data, size_t n, const std::string &station, NetBurst &b)
{
	if (n > NET_MAX_JSON)
		return "too large";
	nlohmann::json j = object(data, n);
	if (j.is_discarded())
		return "not a JSON object";
	if (!station_is(j, station))
		return "not from its subject's station";
	auto kind = j.find("kind");
	int k = kind != j.end() && kind->is_string() ? kind_of(kind->get<std::string>()) : -1;
	if (k < 0)
		return "no known kind";
	if (!stamp(j, "start", b.start_stamp, b.start) || !stamp(j, "end", b.end_stamp, b.end))
		return "a stamp that is not a time";
	if (b.end < b.start || b.end - b.start > 4 * 360000)  // the detector ends an event after four hours
		return "an end before its start, or more than four hours after it";
	if (!number(j, "f_lo", b.f_lo) || !number(j, "f_hi", b.f_hi) || b.f_lo < 0 || b.f_lo > b.f_hi || b.f_hi > 1000)
		return "no band";
	auto id = j.find("id");
	if (id == j.end() || !id->is_number_integer())
		return "no id";
	b.id = id->get<long>();
	b.station = station;
	b.kind = ev_kind_name(k);
	b.burst = ev_is_burst(k);
	return "";
}

std::string net_status_check(const char *data, size_t n, const std::string &station)
{
	if (n > NET_MAX_JSON)
		return "too large";
	nlohmann::json j = object(data, n);
	if (j.is_discarded())
		return "not a JSON object";
	return station_is(j, station) ? "" : "not from its subject's station";
}

std::string net_group_line(const NetGroup &g)
{
	EvEvent ev{};
	ev.kind = kind_of(g.kind);
	ev.start = g.start;
	ev.end = g.end;
	std::string line = ev_list_line(ev, "");
	for (size_t i = 0; i < g.stations.size(); i++)
		line += (i ? "," : "") + g.stations[i];
	return line;
}

std::string net_group_json(const NetGroup &g)
{
	auto mhz = [](double v) { return std::round(v * 1000) / 1000; };
	nlohmann::ordered_json j = {{"kind", g.kind},		 {"start", g.start_stamp}, {"end", g.end_stamp},
				    {"f_lo", mhz(g.f_lo)},	 {"f_hi", mhz(g.f_hi)},	   {"stations", g.stations}};
	return j.dump();
}

bool NetMatch::joins(const NetBurst &b, long long start, long long end, double f_lo, double f_hi) const
{
	return b.start <= end + window_ && start <= b.end + window_ && b.f_lo <= f_hi && f_lo <= b.f_hi;
}

bool NetMatch::add(const NetBurst &b, long token, long long now_ms)
{
	for (const Held &h : bursts_)
		if (h.b.station == b.station && h.b.start == b.start && h.b.id == b.id)
			return false;
	std::erase_if(listed_, [&](const Listed &l) { return now_ms - l.at_ms >= alone_; });
	for (const Listed &l : listed_)
		if (joins(b, l.start, l.end, l.f_lo, l.f_hi))
			return false;
	int set = next_set_++;
	for (Held &h : bursts_) {
		if (joins(b, h.b.start, h.b.end, h.b.f_lo, h.b.f_hi) && h.set != set) {
			int old = h.set;  // joins this set: every burst of it moves to ours
			for (Held &o : bursts_)
				if (o.set == old)
					o.set = set;
			last_.erase(old);
			if (auto r = reached_.find(old); r != reached_.end()) {
				reached_[set] = reached_.count(set) ? std::min(reached_[set], r->second) : r->second;
				reached_.erase(r);
			}
		}
	}
	bursts_.push_back({b, token, set});
	last_[set] = now_ms;
	if (!reached_.count(set)) {
		std::set<std::string> stations;
		for (const Held &h : bursts_)
			if (h.set == set)
				stations.insert(h.b.station);
		if ((int)stations.size() >= k_)
			reached_[set] = now_ms;
	}
	return true;
}

// One settled set as a network burst, if enough stations saw it.
static bool group(const std::vector<const NetBurst *> &bs, int k, NetGroup &g)
{
	for (const NetBurst *b : bs)
		g.stations.push_back(b->station);
	std::sort(g.stations.begin(), g.stations.end());
	g.stations.erase(std::unique(g.stations.begin(), g.stations.end()), g.stations.end());
	if ((int)g.stations.size() < k)
		return false;
	std::map<std::string, int> votes;
	const NetBurst *first = bs[0];
	for (const NetBurst *b : bs) {
		votes[b->kind]++;
		if (b->start < first->start)
			first = b;
	}
	g.kind = first->kind;
	for (auto &[kind, n] : votes)
		if (n > votes[g.kind])
			g.kind = kind;
	g.start = first->start;
	g.start_stamp = first->start_stamp;
	g.end = bs[0]->end;
	g.end_stamp = bs[0]->end_stamp;
	g.f_lo = bs[0]->f_lo;
	g.f_hi = bs[0]->f_hi;
	for (const NetBurst *b : bs) {
		if (b->end > g.end) {
			g.end = b->end;
			g.end_stamp = b->end_stamp;
		}
		g.f_lo = std::min(g.f_lo, b->f_lo);
		g.f_hi = std::max(g.f_hi, b->f_hi);
	}
	return true;
}

void NetMatch::settle(long long now_ms, std::vector<NetGroup> &out, std::vector<long> &done)
{
	for (auto it = last_.begin(); it != last_.end();) {
		int set = it->first;
		auto r = reached_.find(set);
		if (r != reached_.end() ? now_ms - r->second < hold_ : now_ms - it->second < alone_) {
			++it;
			continue;
		}
		std::vector<const NetBurst *> bs;
		std::vector<long> tokens;
		for (const Held &h : bursts_)
			if (h.set == set) {
				bs.push_back(&h.b);
				tokens.push_back(h.token);
			}
		if (r != reached_.end())
			reached_.erase(r);
		NetGroup g;
		if (!bs.empty() && group(bs, k_, g)) {
			g.tokens = tokens;
			out.push_back(g);
			listed_.push_back({g.start, g.end, g.f_lo, g.f_hi, now_ms});
		}
		done.insert(done.end(), tokens.begin(), tokens.end());
		std::erase_if(bursts_, [set](const Held &h) { return h.set == set; });
		it = last_.erase(it);
	}
	std::sort(out.begin(), out.end(), [](const NetGroup &a, const NetGroup &b) { return a.start < b.start; });
}
