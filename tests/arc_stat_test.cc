// arc-stat: small archives with known holes, off-grid stamps and broken files against the exact
// rows, as a table and as JSON; the stream form; clock offsets of a receiver running ahead.
#include <gtest/gtest.h>

#include "kit.h"

namespace {

// Stamps every half second from hhmmss (within 2026-12-07 12:xx), n of them.
std::vector<std::string> run_of(int minute, int second, int n)
{
	std::vector<std::string> v;
	for (int k = 0; k < n; k++) {
		int s = second + k / 2;
		char b[32];
		snprintf(b, sizeof b, "2026120712%02d%02d%s", minute + s / 60, s % 60, k % 2 ? "50" : "00");
		v.push_back(b);
	}
	return v;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b)
{
	a.insert(a.end(), b.begin(), b.end());
	return a;
}

long long bytes_of(const ArcTree &a, const std::vector<std::string> &stamps)
{
	long long n = 0;
	for (const std::string &s : stamps)
		n += (long long)slurp(a.root + "/" + frame_path(s)).size();
	return n;
}

TEST(ArcStat, RowsOfAnArchiveWithHolesOffGridAndBrokenFiles)
{
	// 12:00:00.00 to 12:00:09.50, a hole of 5 s, 12:00:15.00 to 12:00:19.50, one stamp off the
	// grid, and the frame of 12:00:05.00 broken.
	std::vector<std::string> st = run_of(0, 0, 20) + run_of(0, 15, 10) + std::vector<std::string>{"2026120712001725"};
	ArcTree a(st);
	a.put("2026120712000500", "not gzip");
	long long bytes = bytes_of(a, st);
	std::string b = std::to_string(bytes);
	Ran r = run({bin("arc-stat"), "-p", "10m", a.root, "20261207120000", "20261207120020"});
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_EQ(r.err, "");
	char want[1024];
	snprintf(want, sizeof want,
		 "period       expected   present   missing       %%  longest gap          gap s off-grid  broken         bytes\n"
		 "20261207120        40        31        10   25.00  2026120712001000       5.0        1       - %13lld\n"
		 "total              40        31        10   25.00  2026120712001000       5.0        1       - %13lld\n",
		 bytes, bytes);
	EXPECT_EQ(r.out, want);
	r = run({bin("arc-stat"), "-p", "10m", "-v", "--json", a.root, "20261207120000", "20261207120020"});
	EXPECT_EQ(exit_code(r.status), 1);
	EXPECT_EQ(r.err, "arc-stat: " + a.root + "/" + frame_path("2026120712000500") + ": not gzip\n");
	std::string row = "\"expected\":40,\"present\":31,\"missing\":10,\"off_grid\":1,\"broken\":1,\"bytes\":" + b +
			  ",\"longest_gap_start\":\"2026120712001000\",\"longest_gap_s\":5}\n";
	EXPECT_EQ(r.out, "{\"period\":\"20261207120\"," + row + "{\"period\":\"total\"," + row);
}

TEST(ArcStat, AGapAcrossPeriodsTheStreamFormAndTheGapList)
{
	// 12:09:50.00 to 12:09:54.50, ten seconds missing across 12:10, 12:10:05.00 to 12:10:09.50.
	std::vector<std::string> st = run_of(9, 50, 10) + run_of(10, 5, 10);
	ArcTree a(st);
	Ran r = run({bin("arc-stat"), "-p", "10m", "--json", "--gaps", "3", a.root});
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	auto rows = [&](const std::string &b1, const std::string &b2, const std::string &bt) {
		return "{\"period\":\"20261207120\",\"expected\":20,\"present\":10,\"missing\":10,\"off_grid\":0,\"broken\":null,"
		       "\"bytes\":" + b1 + ",\"longest_gap_start\":\"2026120712095500\",\"longest_gap_s\":5}\n"
		       "{\"period\":\"20261207121\",\"expected\":20,\"present\":10,\"missing\":10,\"off_grid\":0,\"broken\":null,"
		       "\"bytes\":" + b2 + ",\"longest_gap_start\":\"2026120712100000\",\"longest_gap_s\":5}\n"
		       "{\"period\":\"total\",\"expected\":40,\"present\":20,\"missing\":20,\"off_grid\":0,\"broken\":null,"
		       "\"bytes\":" + bt + ",\"longest_gap_start\":\"2026120712095500\",\"longest_gap_s\":10}\n"
		       "{\"gap_start\":\"2026120712095500\",\"next_present\":\"2026120712100500\",\"missing\":20}\n";
	};
	std::vector<std::string> first(st.begin(), st.begin() + 10), second(st.begin() + 10, st.end());
	EXPECT_EQ(r.out, rows(std::to_string(bytes_of(a, first)), std::to_string(bytes_of(a, second)),
			      std::to_string(bytes_of(a, st))));
	// The same rows from the stream arc-cat makes of it, bytes counted as records.
	Ran cat = run({bin("arc-cat"), a.root});
	ASSERT_EQ(cat.out.size(), 20u * 3617);
	r = run({bin("arc-stat"), "-p", "10m", "--json", "--gaps", "3", "-"}, cat.out);
	EXPECT_EQ(r.out, rows("36170", "36170", "72340"));
	// A range wider than the frames: what lies outside them is missing too; the table's gap list.
	r = run({bin("arc-stat"), "-p", "1h", "--gaps", "100", a.root, "2026120712"});
	EXPECT_EQ(exit_code(r.status), 0);
	EXPECT_NE(r.out.find("\n2026120712       7200        20      7180   99.72  2026120712101000    2990.0"), std::string::npos) << r.out;
	EXPECT_NE(r.out.find("\ngap from          next present       missing\n"
			     "2026120712000000  2026120712095000      1180\n"
			     "2026120712101000  -                     5980\n"), std::string::npos) << r.out;
}

TEST(ArcStat, LiveOffsetsOfAReceiverClockAhead)
{
	int port = free_udp_port();
	Spawn np, st;
	np.argv = {bin("net-pipe"), std::to_string(port)};
	st.argv = {bin("arc-stat"), "--live", "--json", "-"};
	st.pipe_out = true;
	Pipeline p(np, st);
	ASSERT_TRUE(wait_bound(port, 5000));
	Ran send = run({bin("frame-send"), "-c", "6", "-a", "5", "127.0.0.1", std::to_string(port)});
	ASSERT_EQ(exit_code(send.status), 0);
	ASSERT_TRUE(wait_until([&] { return written(p.a.pid) >= 6 * 3617; }, 5000));
	stop(p.a);
	std::string out = read_to_end(p.b.out, 5000);
	size_t at = out.find("\"offset_ms\":");
	ASSERT_NE(at, std::string::npos) << out;
	double ms = atof(out.c_str() + at + 12);
	EXPECT_GT(ms, 4700) << out;  // five seconds ahead, less the time on the way
	EXPECT_LE(ms, 5000) << out;
}

TEST(ArcStat, Refusals)
{
	ArcTree a({"2026120712000000"});
	for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
		     {}, {"-p", "2h", a.root}, {"--gaps", "0", a.root}, {"--gaps", "x", a.root}, {a.root, "2026-13"},
		     {"--live", a.root}, {a.root, "2026120712", "2026120711"}, {"--bogus", a.root}}) {
		args.insert(args.begin(), bin("arc-stat"));
		Ran r = run(args);
		EXPECT_EQ(exit_code(r.status), 2) << args.back();
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err.rfind("usage: arc-stat", 0), 0u) << r.err;
	}
	Ran r = run({bin("arc-stat"), a.t / "none"});
	EXPECT_EQ(exit_code(r.status), 1);
	EXPECT_EQ(r.err, "arc-stat: cannot open " + a.t / "none" + ": No such file or directory\n");
}

}  // namespace
