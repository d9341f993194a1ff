// What arrives from the broker, any bytes: the first byte picks the subject's station (A or B)
// and the rest is the message. A burst accepted has stamps that are real times, end not before
// start, a band in order and the subject's station; accepted bursts go to the matching, whose
// sets, once settled, give back every token once and list only sets of two stations or more.
// Frame and status checks run on the same bytes and must never read beyond them.
#include <set>
#include <string>
#include <vector>

#include "frame.h"
#include "fuzz.h"
#include "netmsg.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	if (size < 1)
		return 0;
	std::string station = data[0] & 1 ? "A" : "B";
	const char *msg = (const char *)data + 1;
	size_t n = size - 1;
	net_record_ok(msg, n);
	net_status_check(msg, n, station);
	std::string subject = ("spectrum.bursts." + std::string(msg, std::min<size_t>(n, 48))).c_str();  // as a C subject
	std::string named = net_subject_station(subject.c_str(), NET_BURSTS);
	CHECK(named.empty() || named == subject.substr(16));
	NetMatch m(2, 6000, 0);
	long token = 0;
	// The message split at newlines: each piece a burst from A or B in turn.
	for (size_t at = 0; at < n; token++) {
		size_t end = std::string(msg, n).find('\n', at);
		if (end == std::string::npos)
			end = n;
		NetBurst b;
		std::string who = token % 2 ? "A" : "B";
		if (net_burst_parse(msg + at, end - at, who, b).empty()) {
			long long s, e;
			CHECK(fr_stamp_time(b.start_stamp.c_str(), &s) && s == b.start);
			CHECK(fr_stamp_time(b.end_stamp.c_str(), &e) && e == b.end);
			CHECK(b.start <= b.end && b.f_lo <= b.f_hi && b.station == who);
			m.add(b, token, 0);
		}
		at = end + 1;
	}
	std::vector<NetGroup> out;
	std::vector<long> done;
	size_t held = m.held();
	m.settle(0, out, done);
	CHECK(done.size() == held && std::set<long>(done.begin(), done.end()).size() == held);
	for (const NetGroup &g : out) {
		CHECK(g.stations.size() >= 2);
		CHECK(!net_group_line(g).empty() && !net_group_json(g).empty());
	}
	return 0;
}
