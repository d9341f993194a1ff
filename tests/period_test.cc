// The ten-minute period (period.h) without the file system: names, times and paths across the
// ends of hours, days, months and years, names that are not times, and the one rule that merges
// a period's loose and packed frames.
#include <gtest/gtest.h>

#include "frame.h"
#include "period.h"

namespace {

long long at(const char *stamp)
{
	long long t = 0;
	EXPECT_TRUE(fr_stamp_time(stamp, &t)) << stamp;
	return t;
}

TEST(Period, NamesAndTimesAcrossTheCalendar)
{
	struct {
		const char *name, *start, *end, *next;
	} cases[] = {
		{"20261207120", "2026120712000000", "2026120712100000", "20261207121"},
		{"20261207125", "2026120712500000", "2026120713000000", "20261207130"},  // hour
		{"20261207235", "2026120723500000", "2026120800000000", "20261208000"},  // day
		{"20261130235", "2026113023500000", "2026120100000000", "20261201000"},  // 30-day month
		{"20261231235", "2026123123500000", "2027010100000000", "20270101000"},  // year
		{"20280228235", "2028022823500000", "2028022900000000", "20280229000"},  // leap year
		{"20270228235", "2027022823500000", "2027030100000000", "20270301000"},
		{"2026120712345650", "2026120712300000", "2026120712400000", "20261207124"},  // a stamp's
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.name);
		ArcPeriod p(c.name);
		EXPECT_TRUE(p.timed);
		EXPECT_EQ(p.name, std::string(c.start, 11));
		EXPECT_EQ(p.day(), std::string(c.start, 8));
		EXPECT_EQ(p.start, at(c.start));
		EXPECT_EQ(p.end, at(c.end));
		EXPECT_EQ(p.end - p.start, 60000);
		EXPECT_EQ(p.next().name, c.next);
		EXPECT_EQ(p.next().start, p.end);
	}
}

TEST(Period, NamesThatAreNotTimes)
{
	for (const char *name : {"20261207126", "20261207240", "20261232000", "20260229000", "20261300000", "2026120712x",
				 "00000000000", "2026120712", ""}) {
		SCOPED_TRACE(name);
		EXPECT_FALSE(ArcPeriod(name).timed);
	}
}

TEST(Period, Paths)
{
	ArcPeriod p("20261231235");
	EXPECT_EQ(p.dir("R"), "R/20261231/20261231235");
	EXPECT_EQ(p.pack("R"), "R/20261231/20261231235.pack.tar.zst");
	EXPECT_EQ(p.part("/a/b"), "/a/b/20261231/20261231235.pack.tar.zst.part");
	ArcEntry loose, packed;
	loose.path = packed.path = "R/20261231/20261231235/2026123123595950.gz";
	loose.pack = packed.pack = p.pack("R");
	packed.packed = true;
	EXPECT_EQ(loose.where(), "R/20261231/20261231235/2026123123595950.gz");
	EXPECT_EQ(packed.where(), "R/20261231/20261231235.pack.tar.zst:20261231235/2026123123595950.gz");
}

// Entries of the given stamps, each marked with where it came from.
std::vector<ArcEntry> entries(std::vector<std::string> stamps, bool packed)
{
	std::vector<ArcEntry> v;
	for (auto &s : stamps) {
		ArcEntry e;
		e.stamp = s;
		e.packed = packed;
		v.push_back(e);
	}
	return v;
}

TEST(Period, ALooseFileWinsOverThePackedFrameOfItsStamp)
{
	struct {
		const char *name;
		std::vector<std::string> loose, packed;
		std::string want;  // stamps' last digit, L or P for where each came from
	} cases[] = {
		{"both empty", {}, {}, ""},
		{"loose only", {"1", "3"}, {}, "1L3L"},
		{"packed only", {}, {"2", "4"}, "2P4P"},
		{"interleaved", {"1", "3"}, {"2", "4"}, "1L2P3L4P"},
		{"the same stamps", {"1", "2"}, {"1", "2"}, "1L2L"},
		{"some the same", {"2", "5"}, {"1", "2", "3", "5", "6"}, "1P2L3P5L6P"},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.name);
		auto loose = entries(c.loose, false), packed = entries(c.packed, true);
		std::vector<ArcEntry> out;
		period_merge(loose, packed, out);
		std::string got;
		for (auto &e : out)
			got += e.stamp + (e.packed ? "P" : "L");
		EXPECT_EQ(got, c.want);
	}
}

}  // namespace
