// The archive reader on trees the test writes: what a frame present is, each stamp once, stamps
// that are not a time skipped and counted, and listing in batches over many files.
#include <gtest/gtest.h>

#include <unistd.h>

#include "kit.h"
#include "reader.h"

namespace {

// Every entry a batch gives for a range, as "stamp fault bytes" lines; problems as "! message".
std::string listed(const std::string &root, const ArcRange &r, bool inflate, long *skipped = nullptr)
{
	ArcBatch b(root, r, inflate);
	ArcItem *items;
	std::string out;
	while (size_t n = b.next(items))
		for (size_t i = 0; i < n; i++)
			out += items[i].problem.empty() ? items[i].e.stamp + " " + (items[i].why.empty() ? "ok" : items[i].why) +
							      " " + std::to_string(items[i].e.bytes) + "\n"
							: "! " + items[i].problem + "\n";
	if (skipped)
		*skipped = b.skipped();
	return out;
}

TEST(Reader, OneRuleForAFramePresent)
{
	ArcTree a({"2026120712000000"});
	std::string gz = gzip(payload(1));
	long long n = (long long)gz.size();
	a.put("2026120712000050", "");                                    // what a full disk leaves
	a.put("2026120712000100", "not gzip");                            // broken only when read
	symlink((a.root + "/" + frame_path("2026120712000000")).c_str(),  // a link to a good frame
		(a.root + "/" + frame_path("2026120712000150")).c_str());
	run({"/bin/mkdir", a.root + "/" + frame_path("2026120712000200")});  // a directory
	a.put("", gz, "20261207/20261207120/2026120712000250.gz");
	a.put("", gz, "20261207/20261207121/2026120712000250.gz");  // the same stamp, wrong period
	a.put("", gz, "20261207/20261207120/2026120712006000.gz");  // second 60: not a time
	a.put("", gz, "20261307/20261307120/2026130712000000.gz");  // month 13
	std::string first = std::to_string(slurp(a.root + "/" + frame_path("2026120712000000")).size());
	std::string walk = "2026120712000000 ok " + first + "\n"
			   "2026120712000050 empty 0\n"
			   "2026120712000100 ok 8\n"
			   "2026120712000150 not a regular file 0\n"
			   "2026120712000200 not a regular file 0\n"
			   "2026120712000250 ok " + std::to_string(n) + "\n";
	long skipped = -1;
	EXPECT_EQ(listed(a.root, ArcRange(), false, &skipped), walk);
	EXPECT_EQ(skipped, 2);
	std::string read = walk;
	read.replace(read.find("ok 8"), 4, "not gzip 8");
	EXPECT_EQ(listed(a.root, ArcRange(), true, &skipped), read);
	EXPECT_EQ(skipped, 2);
	// Within a range of another day, the month-13 frame is not counted; within 2026 it is.
	ArcRange r;
	ASSERT_TRUE(arc_range("20261207", nullptr, &r));
	listed(a.root, r, false, &skipped);
	EXPECT_EQ(skipped, 1);
	ASSERT_TRUE(arc_range("2026", nullptr, &r));
	listed(a.root, r, false, &skipped);
	EXPECT_EQ(skipped, 2);
	// One period's entries, as the follower takes them.
	std::vector<ArcEntry> es;
	EXPECT_EQ(arc_period_entries(a.root, "20261207120", es), "");
	ASSERT_EQ(es.size(), 7u);
	EXPECT_FALSE(es[6].timed);
	EXPECT_EQ(es[5].path, a.root + "/20261207/20261207120/2026120712000250.gz");
	ArcEntry e;
	ASSERT_TRUE(arc_frame_entry(a.root, "2026120712000050.gz", e));
	EXPECT_STREQ(e.fault, "empty");
	EXPECT_FALSE(arc_frame_entry(a.root, "2026120712000300.gz", e));
}

TEST(Reader, BatchesOverManyFilesKeepOrderAndPayloads)
{
	// 600 frames across two periods: more than two batches, each item its own payload.
	std::vector<std::string> st;
	long long t0;
	ASSERT_TRUE(fr_stamp_time("2026120712080000", &t0));
	for (int k = 0; k < 600; k++) {
		char b[17];
		fr_time_stamp(t0 + 50LL * k, b);
		st.push_back(b);
	}
	ArcTree a(st);
	ArcBatch b(a.root, ArcRange(), true);
	ArcItem *items;
	size_t k = 0, batches = 0;
	while (size_t n = b.next(items)) {
		batches++;
		for (size_t i = 0; i < n; i++, k++) {
			ASSERT_LT(k, st.size());
			EXPECT_EQ(items[i].e.stamp, st[k]);
			EXPECT_EQ(items[i].why, "");
			EXPECT_TRUE(std::string((const char *)items[i].payload, 3600) == payload((int)k)) << k;
		}
	}
	EXPECT_EQ(k, 600u);
	EXPECT_EQ(batches, 3u);
}

}  // namespace
