// The stream's running time fed any sequence of 16-byte stamps (with the first byte of each
// 17 as the monotonic clock's step): only real times are accepted, the running time never
// goes back except by a clock jump, never moves on an outlier or a late stamp, and moves only
// to a stamp within the window unless enough outliers in a row agreed. The reports go to
// /dev/null while it runs.
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "frame.h"
#include "fuzz.h"
#include "streamtime.h"

namespace {
struct Step {
	const unsigned char *stamp;
	long long before, t, after;
	StVerdict v;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	static int null = open("/dev/null", O_WRONLY);
	StreamTime st;
	std::vector<Step> steps;
	long long ms = 0;
	int saved = dup(2);
	dup2(null, 2);
	for (size_t at = 0; at + 17 <= size; at += 17) {
		ms += data[at] * 1000;
		Step s{data + at + 1, st.now, -1, 0, ST_ACCEPT};
		s.v = st.take(s.stamp, &s.t, ms);
		s.after = st.now;
		steps.push_back(s);
	}
	st.finish();
	dup2(saved, 2);
	close(saved);
	int run = 0;
	for (const Step &s : steps) {
		long long real;
		bool ok = fr_stamp_time(s.stamp, &real) && real >= 0;
		CHECK((s.v == ST_NOT_TIME) == !ok);
		if (s.v == ST_ACCEPT) {
			// Within the window it moves forward; a jump (either way) only after a run.
			bool within = s.before < 0 || (s.t > s.before && s.t - s.before <= st.window);
			CHECK(s.after == s.t);
			CHECK(within || run + 1 >= st.agree);
		} else {
			CHECK(s.after == s.before);
		}
		if (s.v == ST_LATE)
			CHECK(s.t <= s.before && s.before - s.t <= st.window);
		if (s.v != ST_NOT_TIME)  // a garbled stamp neither counts nor breaks a run
			run = s.v == ST_OUTLIER ? run + 1 : 0;
	}
	return 0;
}
