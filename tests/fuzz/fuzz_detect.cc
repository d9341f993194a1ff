// The burst detector: any frames at any times (the input's first bytes choose each frame's time
// step, backwards and repeated ones included, and its payload is the input itself, levels of
// any value) give well-formed reports: an event ends after it starts, its band lies in the
// frame's, ids start at one and never repeat among starts, and every started event ends.
#include <cmath>
#include <set>
#include <vector>

#include "detect.h"
#include "frame.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	if (size < 4)
		return 0;
	EvDetector det;
	unsigned char pay[FR_PAYLOAD];
	std::set<long> open, ended;
	long long t = 1000000000LL;
	auto check = [&](const std::vector<EvEvent> &evs) {
		for (const EvEvent &e : evs) {
			CHECK(e.start <= e.end && e.peak >= e.start && e.peak <= e.end);
			CHECK(e.f_lo >= fr_freq(0) - 1e-9 && e.f_hi <= fr_freq(FR_POINTS - 1) + 1e-9 && e.f_lo <= e.f_hi);
			CHECK(std::isfinite(e.peak_db) && std::isfinite(e.drift));
			CHECK(e.id >= 1 && !ended.count(e.id));
			if (e.state == EV_STARTED) {
				CHECK(!open.count(e.id));
				open.insert(e.id);
			} else {
				CHECK(!ev_is_burst(e.kind) || open.count(e.id));
				open.erase(e.id);
				ended.insert(e.id);
			}
		}
	};
	// Up to 400 frames; each takes its step from one input byte and its payload from the input.
	for (size_t k = 0; k < 400; k++) {
		unsigned char step = data[k % size];
		t += step < 200 ? 50 : step < 250 ? (long long)step * 100 - 24000 : -50;
		for (size_t i = 0; i < FR_PAYLOAD; i++)
			pay[i] = data[(k * 7 + i) % size];
		check(det.feed(t, pay));
	}
	check(det.finish());
	CHECK(open.empty());
	return 0;
}
