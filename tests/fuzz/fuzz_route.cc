// pipe-web's archive addresses as any client might send them: whatever the bytes, an address
// taken names only days and times (no slash, no "..", nothing else reaches the archive), a day
// is 8 digits of a real day, and a range is real times at most a day long, in order.
#include "fuzz.h"
#include "route.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	std::string target((const char *)data, size);
	Route r = route_parse(target);
	CHECK(r.status == 200 || r.status == 400 || r.status == 404);
	CHECK(r.status == 200 || (!r.why.empty() && r.why.find('\n') == std::string::npos));
	if (r.status != 200 || r.kind == RT_OTHER)
		return 0;
	if (r.kind == RT_DAY || r.kind == RT_STRIP || r.kind == RT_BURST) {
		CHECK(r.day.size() == 8 && all_digits(r.day.c_str(), 8));
		CHECK(r.range.end > r.range.start && route_day(r.range.start) == r.day);
	}
	if (r.kind == RT_RANGE || r.kind == RT_CURVE) {
		CHECK(r.range.end > r.range.start && r.range.end - r.range.start <= ROUTE_MAX_RANGE && !r.range.open());
		for (const std::string &s : {r.from, r.to})
			CHECK(s.find('/') == std::string::npos && s.find("..") == std::string::npos);
	}
	if (r.kind == RT_CURVE)
		CHECK(r.f_lo >= 0 && r.f_lo < r.f_hi && r.f_hi <= 1000);
	return 0;
}
