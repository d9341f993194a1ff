// The archive reader on trees the test writes: what a frame present is, each stamp once, stamps
// that are not a time skipped and counted, and listing in batches over many files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kit.h"
#include "pack.h"
#include "period.h"
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

TEST(Reader, BatchesOverAPackAndBrokenFramesGiveWhatEachFrameReadAloneGives)
{
	// 700 frames a second apart: the first period's 600 in its pack, the rest loose, with broken
	// frames about the edges of the batches (256 items) in both.
	std::vector<std::string> st;
	long long t0;
	ASSERT_TRUE(fr_stamp_time("2026120712000000", &t0));
	for (int k = 0; k < 700; k++) {
		char b[17];
		fr_time_stamp(t0 + 100LL * k, b);
		st.push_back(b);
	}
	ArcTree a(st);
	for (int k : {255, 256, 511, 512, 513})
		a.put(st[k], k % 2 ? "not gzip" : gzip(payload(k)).substr(0, 40));
	a.put(st[610], "");
	a.put(st[611], "truncated");
	std::vector<PackEntry> index;
	std::vector<std::string> bytes;
	for (int k = 0; k < 600; k++) {
		bytes.push_back(slurp(a.root + "/" + frame_path(st[k])));
		index.push_back({st[k], (uint32_t)bytes.back().size(), pack_checksum(bytes.back())});
	}
	std::string pack = a.root + "/20261207/20261207120" + PACK_SUFFIX;
	int fd = open(pack.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	ASSERT_GE(fd, 0);
	PackWriter w;
	ASSERT_EQ(w.open(fd, "20261207120", index), nullptr);
	for (int k = 0; k < 600; k++)
		ASSERT_EQ(w.add(index[k], bytes[k], 0, 0644), nullptr);
	ASSERT_EQ(w.close(), nullptr);
	close(fd);
	run({"/bin/rm", "-r", a.root + "/20261207/20261207120"});
	// Each frame listed and read alone, one after the other.
	ArcList l(a.root, ArcRange());
	l.members(true);
	ArcEntry e;
	std::string problem, alone;
	unsigned char p[FR_PAYLOAD];
	std::vector<std::string> payloads;
	while (l.next(e, problem) == ArcList::FRAME) {
		const char *why = arc_entry_read(e, p);
		alone += e.stamp + " " + (why ? why : "ok") + " " + std::to_string(e.bytes) + (e.pack.empty() ? "\n" : " packed\n");
		payloads.push_back(why ? "" : std::string((const char *)p, FR_PAYLOAD));
	}
	ASSERT_EQ(payloads.size(), 700u);
	EXPECT_NE(alone.find(st[256] + " truncated"), std::string::npos);
	EXPECT_NE(alone.find(st[611] + " not gzip"), std::string::npos);
	// The same in batches, and each payload the frame's own.
	ArcBatch b(a.root, ArcRange(), true);
	ArcItem *items;
	std::string batched;
	size_t k = 0;
	while (size_t n = b.next(items))
		for (size_t i = 0; i < n; i++, k++) {
			ArcItem &it = items[i];
			ASSERT_EQ(it.problem, "");
			batched += it.e.stamp + " " + (it.why.empty() ? "ok" : it.why) + " " + std::to_string(it.e.bytes) +
				   (it.e.pack.empty() ? "\n" : " packed\n");
			ASSERT_LT(k, payloads.size());
			EXPECT_TRUE(it.why.empty() ? std::string((const char *)it.payload, FR_PAYLOAD) == payloads[k] && payloads[k] == payload((int)k)
						   : payloads[k].empty())
				<< it.e.stamp;
		}
	EXPECT_EQ(batched, alone);
}

TEST(Reader, AFrameListedLooseThenPackedIsReadFromThePack)
{
	// Listed as loose files, then packed (the loose files removed) before they are read: each
	// frame's bytes come from the pack. One that is gone without a pack is its file's failure.
	ArcTree a({"2026120712000000", "2026120712000050", "2026120712000100"});
	std::vector<ArcEntry> e;
	ASSERT_EQ(arc_period_entries(a.root, "20261207120", e), "");
	ASSERT_EQ(e.size(), 3u);
	Ran p = run({bin("arc-pack"), "-a", "0m", a.root}, "", 20000, {"ARC_PACK_SETTLE=0"});
	ASSERT_EQ(exit_code(p.status), 0) << p.err;
	ASSERT_FALSE(exists(a.root + "/" + frame_path("2026120712000000")));
	unsigned char got[FR_PAYLOAD];
	for (size_t k = 0; k < e.size(); k++) {
		SCOPED_TRACE(e[k].stamp);
		EXPECT_FALSE(e[k].packed);
		const char *why = arc_entry_read(e[k], got);
		EXPECT_EQ(why ? why : "", std::string());
		EXPECT_TRUE(std::string((const char *)got, FR_PAYLOAD) == payload((int)k));
	}
	ArcTree b({"2026120712000000"});
	ASSERT_EQ(arc_period_entries(b.root, "20261207120", e), "");
	ASSERT_EQ(e.size(), 1u);
	ASSERT_EQ(unlink((b.root + "/" + frame_path("2026120712000000")).c_str()), 0);
	const char *why = arc_entry_read(e[0], got);
	EXPECT_EQ(why ? why : "", std::string("cannot open: No such file or directory"));
}

}  // namespace

TEST(Reader, ADayOrPeriodThatIsALinkIsNotFollowed)
{
	// Links inside ROOT leading out of it: their frames are not read, and each is named.
	ArcTree a({"2026120712000000"});
	ArcTree out({"2026120812000000", "2026120912000000"});
	ASSERT_EQ(symlink((out.root + "/20261208").c_str(), (a.root + "/20261208").c_str()), 0);
	mkdir((a.root + "/20261209").c_str(), 0755);
	ASSERT_EQ(symlink((out.root + "/20261209/20261209120").c_str(), (a.root + "/20261209/20261209120").c_str()), 0);
	std::string got = listed(a.root, ArcRange(), true);
	EXPECT_EQ(got, "2026120712000000 ok " + std::to_string(slurp(a.root + "/" + frame_path("2026120712000000")).size()) +
			       "\n! " + a.root + "/20261208: cannot read directory: a link, not followed\n! " + a.root +
			       "/20261209/20261209120: cannot read directory: a link, not followed\n");
	// ROOT itself given as a link (a disk mounted elsewhere) is the archive.
	ASSERT_EQ(symlink(out.root.c_str(), (a.root + "/elsewhere").c_str()), 0);
	EXPECT_EQ(listed(a.root + "/elsewhere", ArcRange(), true),
		  "2026120812000000 ok " + std::to_string(slurp(out.root + "/" + frame_path("2026120812000000")).size()) +
			  "\n2026120912000000 ok " +
			  std::to_string(slurp(out.root + "/" + frame_path("2026120912000000")).size()) + "\n");
}
