// The stream's running time fed any sequence of 16-byte stamps (with the first byte of each
// 17 as the monotonic clock's step): only real times are accepted, the running time never
// goes back, never moves on an outlier or a late stamp, and moves only to a stamp within the
// window unless enough outliers in a row agreed.
#include <fcntl.h>
#include <unistd.h>

#include "frame.h"
#include "fuzz.h"
#include "streamtime.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	static bool quiet = [] { return dup2(open("/dev/null", 1), 2) >= 0; }();  // the reports
	(void)quiet;
	StreamTime st;
	long long ms = 0;
	int run = 0;
	for (size_t at = 0; at + 17 <= size; at += 17) {
		ms += data[at] * 1000;
		const unsigned char *s = data + at + 1;
		long long before = st.now, t = -1;
		StVerdict v = st.take(s, &t, ms);
		long long real;
		bool ok = fr_stamp_time(s, &real) && real >= 0;
		CHECK((v == ST_NOT_TIME) == !ok);
		if (v == ST_ACCEPT) {
			CHECK(st.now == t && t > before);
			CHECK(before < 0 || t - before <= st.window || run + 1 >= st.agree);
		} else {
			CHECK(st.now == before);
		}
		if (v == ST_LATE)
			CHECK(t <= before && before - t <= st.window);
		run = v == ST_OUTLIER ? run + 1 : 0;
	}
	st.finish();
	return 0;
}
