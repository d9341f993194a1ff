// Time ranges as people type them, held as two real times: a period's end is the next one's
// start by the calendar (hour, day, month, year, 29 February, ten minutes), past 9999 open.
#include <gtest/gtest.h>

#include "range.h"

namespace {

TEST(ArcRange, TimesAndPeriods)
{
	// Each range as two real times: the start of FROM's period, the start of the next.
	struct {
		const char *from, *to;
		int ok;
		const char *lo, *hi;  // "" when the range has no start / no end
	} cases[] = {
		{nullptr, nullptr, 1, "", ""},
		{"2026", nullptr, 1, "2026010100000000", "2027010100000000"},
		{"202612", nullptr, 1, "2026120100000000", "2027010100000000"},
		{"202602", nullptr, 1, "2026020100000000", "2026030100000000"},
		{"202402", nullptr, 1, "2024020100000000", "2024030100000000"},
		{"2026-12-31", nullptr, 1, "2026123100000000", "2027010100000000"},
		{"20240228", nullptr, 1, "2024022800000000", "2024022900000000"},
		{"20240229", nullptr, 1, "2024022900000000", "2024030100000000"},
		{"2026120723", nullptr, 1, "2026120723000000", "2026120800000000"},
		{"2026-12-07T23:59", nullptr, 1, "2026120723590000", "2026120800000000"},
		{"2026-12-31 23:59:59.99", nullptr, 1, "2026123123595999", "2027010100000000"},
		{"9998", nullptr, 1, "9998010100000000", "9999010100000000"},
		{"999812", nullptr, 1, "9998120100000000", "9999010100000000"},
		{"9999", nullptr, 1, "9999010100000000", ""},
		{"999912", nullptr, 1, "9999120100000000", ""},
		{"2026.12.07", "2026:12:08", 1, "2026120700000000", "2026120800000000"},
		{"2026", "202602", 1, "2026010100000000", "2026020100000000"},
		{"20261207140", nullptr, 1, "2026120714000000", "2026120714100000"},
		{"20261231235", nullptr, 1, "2026123123500000", "2027010100000000"},
		{"2026-12-07 14:0", "20261207142", 1, "2026120714000000", "2026120714200000"},
		{"20261207146", nullptr, 0, "", ""},
		{"20261207245", nullptr, 0, "", ""},
		{"20250229", nullptr, 0, "", ""},
		{"2026120700", "20261207", 0, "", ""},
	};
	auto time_of = [](const char *s) {
		long long t = 0;
		EXPECT_TRUE(fr_stamp_time(s, &t)) << s;
		return t;
	};
	for (auto &c : cases) {
		ArcRange r;
		ASSERT_EQ(arc_range(c.from, c.to, &r), c.ok) << (c.from ? c.from : "none");
		if (!c.ok)
			continue;
		EXPECT_EQ(r.start, *c.lo ? time_of(c.lo) : ARC_ALL) << c.from;
		EXPECT_EQ(r.end, *c.hi ? time_of(c.hi) : ARC_OPEN) << c.from;
		// The end itself is the next period's; the start is the range's own.
		auto in = [&](long long t) { return std::string(r.has(t) ? "in" : "out") + (r.after(t) ? "-after" : ""); };
		if (*c.hi) {
			EXPECT_EQ(in(r.end - 1) + " " + in(r.end), "in out-after") << c.from;
		}
		if (*c.lo) {
			EXPECT_EQ(in(r.start - 1) + " " + in(r.start), "out in") << c.from;
		}
	}
	char now[17];
	arc_now(now);
	long long t;
	EXPECT_TRUE(fr_stamp_time(now, &t));
	char back[17];
	fr_time_stamp(t, back);
	EXPECT_STREQ(back, now);
}

}  // namespace
