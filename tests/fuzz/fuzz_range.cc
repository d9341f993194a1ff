// arc-cat's FROM and TO as anyone might type them: whatever the bytes, a range is taken only
// when both are real times, and then it starts at FROM's first instant and ends after it.
#include "fuzz.h"
#include "reader.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	std::string in((const char *)data, size);
	size_t cut = in.find('\0');
	std::string from = in.substr(0, cut), to = cut == std::string::npos ? "" : in.substr(cut + 1);
	to = to.substr(0, to.find('\0'));
	char d[17];
	int n = arc_when(from.c_str(), d);
	if (n) {
		CHECK(n >= 4 && n <= 16 && (n % 2 == 0 || n == 11) && strlen(d) == (size_t)n && all_digits(d, (size_t)n));
		CHECK(n == 11 ? fr_time_ok(d, 10) && d[10] <= '5' : fr_time_ok(d, n));  // 11: ten minutes
		std::string only;
		for (char c : from)
			if (c >= '0' && c <= '9')
				only += c;
		CHECK(only == d);
	}
	ArcRange r;
	if (!arc_range(from.c_str(), cut == std::string::npos ? nullptr : to.c_str(), &r))
		return 0;
	CHECK(r.open() || r.end > r.start);
	CHECK(from == "now" || n > 0);
	if (n > 0 && r.start >= 0) {  // the range starts at the first instant of FROM's period
		char s[17];
		fr_time_stamp(r.start, s);
		CHECK(strncmp(s, d, (size_t)n) == 0);
	}
	return 0;
}
