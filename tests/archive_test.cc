// The archive's shared rules: roots, names, command formatting and clock slots.
#include <gtest/gtest.h>

#include "archive.h"

TEST(Archive, RootsThatMayEnterACommand)
{
	struct { const char *root; size_t max; int ok; } cases[] = {
		{"arc", 15, 1}, {"/srv/arc", 15, 1}, {"./a-b_c.d+e/f", 15, 1}, {"123456789012345", 15, 1},
		{"1234567890123456", 15, 0}, {"1234567890123", 13, 1}, {"12345678901234", 13, 0},
		{"", 15, 0}, {"-rf", 15, 0}, {"a b", 15, 0}, {"a;b", 15, 0}, {"$(x)", 15, 0}, {"a`b`", 15, 0},
		{"a'b", 15, 0}, {"a\"b", 15, 0}, {"a|b", 15, 0}, {"a>b", 15, 0}, {"a\nb", 15, 0}, {"~/a", 15, 0},
		{"a*", 15, 0},
	};
	for (auto &c : cases)
		EXPECT_EQ(arc_root_ok(c.root, c.max), c.ok) << c.root;
}

TEST(Archive, NamesFromTheStamp)
{
	char fn[64], dn1[64], dn2[64];
	arc_names("2026120721163450", fn, dn1, dn2);
	EXPECT_STREQ(fn, "2026120721163450");
	EXPECT_STREQ(dn1, "20261207");
	EXPECT_STREQ(dn2, "20261207211");
	char self[64] = "20261207211634999";
	arc_names(self, self, dn1, dn2);
	EXPECT_STREQ(self, "2026120721163499");
}

TEST(Archive, CommandsFitOrAreNotRun)
{
	char s[64];
	// The longest commands with the longest roots fit exactly.
	EXPECT_EQ(arc_fmt(s, sizeof s, ARC_GZIP_FMT, "123456789012345", "20261207", "20261207211",
			  "2026120721163450"), 1);
	EXPECT_EQ(strlen(s), 63u);
	EXPECT_EQ(arc_fmt(s, sizeof s, ARC_GUNZIP_FMT, "1234567890123", "20261207", "20261207211",
			  "2026120721163450"), 1);
	EXPECT_EQ(strlen(s), 63u);
	EXPECT_EQ(arc_fmt(s, sizeof s, ARC_GZIP_FMT, "1234567890123456", "20261207", "20261207211",
			  "2026120721163450"), 0);
	EXPECT_STREQ(ARC_CLOCK_CMD, "date +%Y%m%d%H%M%S%3N -d '0.5 second ago'");
}

TEST(Archive, ClockReadingsToSlots)
{
	struct { const char *reading; int slot; } cases[] = {
		{"2026120721163000", 0}, {"2026120721163040", 0}, {"2026120721163050", 1}, {"2026120721163499", 9},
		{"2026120721163400", 8}, {"2026120721163950", 19}, {"2026120721163999", 19},
		{"", -1}, {"hello", -1}, {"202612072116345", -1}, {"20261207211634500", -1},
		{"2026120721163x50", -1}, {"2026120721163450\n", -1}, {"../../etc/passwd", -1},
	};
	for (auto &c : cases)
		EXPECT_EQ(arc_slot(c.reading), c.slot) << c.reading;
}
