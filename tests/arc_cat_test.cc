// arc-cat and the archive reader: ranges as typed, exact streams from archives the test writes,
// broken files named and skipped, and following a real net-arc.
#include <gtest/gtest.h>


#include "kit.h"
#include "reader.h"

namespace {

const std::vector<std::string> STAMPS = {
	"2026120623595900", "2026120623595950",  // the end of one day...
	"2026120700000000", "2026120700000050",  // ...the start of the next
	"2026120700095950", "2026120700100000",  // either side of a ten-minute boundary
	"2026120702300000", "2026120712300000",
};

std::string stream_of(const std::vector<int> &ks)
{
	std::string s;
	for (int k : ks)
		s += record(STAMPS[(size_t)k], payload(k));
	return s;
}

TEST(ArcCat, RangesGiveExactStreams)
{
	ArcTree a(STAMPS);
	// Things that are not the archive's names are passed over silently.
	spit(a.root + "/notes.txt", "x");
	a.put("", gzip(payload(99)), "2026120/2026120700000000.gz");
	a.put("", gzip(payload(99)), "20261207/20261207000/2026120700000025.gz.part");
	a.put("", gzip(payload(99)), "20261207/20261207000/x2026120700000025.gz");
	a.put("", gzip(payload(99)), "20261207/20261208000/2026120800000025.gz");  // not its day
	struct {
		std::vector<std::string> args;
		std::vector<int> frames;
	} cases[] = {
		{{}, {0, 1, 2, 3, 4, 5, 6, 7}},
		{{"20261207"}, {2, 3, 4, 5, 6, 7}},
		{{"2026-12-07"}, {2, 3, 4, 5, 6, 7}},
		{{"2026"}, {0, 1, 2, 3, 4, 5, 6, 7}},
		{{"2026120700"}, {2, 3, 4, 5}},
		{{"2026-12-07T00:10"}, {5}},
		{{"2026-12-07 00:09:59.50"}, {4}},
		{{"2026120700", "2026120700100000"}, {2, 3, 4}},
		{{"20261206235959", "20261207000001"}, {0, 1, 2, 3}},
		{{"202612062359595", "2026120700000001"}, {}},  // 15 digits is not a time
		{{"2026120623595950", "2026120700000001"}, {1, 2}},
		{{"2025"}, {}},
		{{"20261208", "2027"}, {}},
		{{"2026120702", "now"}, {6, 7}},
		{{"now"}, {}},
	};
	for (auto &c : cases) {
		std::vector<std::string> argv = {bin("arc-cat"), a.root};
		argv.insert(argv.end(), c.args.begin(), c.args.end());
		Ran r = run(argv);
		std::string what = c.args.empty() ? "(all)" : c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
		if (what == "202612062359595 2026120700000001") {
			EXPECT_EQ(exit_code(r.status), 2) << what;
			continue;
		}
		EXPECT_EQ(exit_code(r.status), 0) << what << r.err;
		EXPECT_EQ(r.err, "") << what;
		EXPECT_TRUE(r.out == stream_of(c.frames)) << what << ": " << r.out.size() / 3617 << " records";
	}
	// Paced, the same bytes.
	Ran r = run({bin("arc-cat"), "-s", "1000", a.root, "20261207", "2026120701"});
	EXPECT_TRUE(r.out == stream_of({2, 3, 4, 5}));
}

TEST(ArcCat, BrokenFilesAreNamedAndSkipped)
{
	std::string whole = gzip(payload(5));
	std::string corrupt = whole;
	corrupt[corrupt.size() - 6] ^= 0x55;  // the check value no longer matches
	struct {
		std::string bytes;
		const char *why;
	} cases[] = {
		{"", "empty"},
		{"hello, world", "not gzip"},
		{whole.substr(0, whole.size() / 2), "truncated"},
		{corrupt, "corrupt (incorrect data check)"},
		{gzip(payload(5).substr(0, 100)), "inflates to 100 bytes, not 3600"},
		{gzip(payload(5) + "x"), "inflates to 3601 bytes, not 3600"},
		{gzip(payload(5) + "xy"), "inflates to more than 3600 bytes"},
		{whole + whole, "data after the gzip stream"},
	};
	for (auto &c : cases) {
		ArcTree a({STAMPS[0], STAMPS[1], STAMPS[2]});
		a.put(STAMPS[1], c.bytes);
		Ran r = run({bin("arc-cat"), a.root});
		EXPECT_EQ(exit_code(r.status), 1) << c.why;
		EXPECT_EQ(r.err, "arc-cat: " + a.root + "/" + frame_path(STAMPS[1]) + ": " + c.why + "\n");
		EXPECT_TRUE(r.out == stream_of({0, 2})) << c.why;
	}
	// A directory where a frame file should be; a file where a day should be.
	ArcTree a({STAMPS[0]});
	a.put(STAMPS[2], gzip(payload(2)));
	run({"/bin/mkdir", "-p", a.root + "/" + frame_path(STAMPS[1])});
	spit(a.root + "/20261209", "x");
	Ran r = run({bin("arc-cat"), a.root});
	EXPECT_EQ(exit_code(r.status), 1);
	EXPECT_EQ(r.err, "arc-cat: " + a.root + "/" + frame_path(STAMPS[1]) + ": not a regular file\n" +
			 "arc-cat: " + a.root + "/20261209: cannot read directory: Not a directory\n");
	EXPECT_TRUE(r.out == stream_of({0, 2}));
}

TEST(ArcCat, BadArgumentsAndRoots)
{
	ArcTree a({STAMPS[0]});
	for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
		     {}, {"-x", a.root}, {"-s", "0", a.root}, {"-s", "fast", a.root}, {"-s", "-1", a.root},
		     {a.root, "2026-13"}, {a.root, "abc"}, {a.root, "202"}, {a.root, "20261"},
		     {a.root, "20261207123456789"}, {a.root, "20261232"}, {a.root, "20250229"},
		     {a.root, "2026120724"}, {a.root, "202612072360"}, {a.root, "2026--12"}, {a.root, "2026-"},
		     {a.root, "-2026"}, {a.root, "2026  12"}, {a.root, "2-026"}, {a.root, "20261207", "20261207"},
		     {a.root, "20261207", "20261206"}, {a.root, "2026", "2027", "2028"}, {a.root, "yesterday"}}) {
		args.insert(args.begin(), bin("arc-cat"));
		Ran r = run(args);
		EXPECT_EQ(exit_code(r.status), 2) << args.back();
		EXPECT_EQ(r.out, "") << args.back();
		EXPECT_EQ(r.err.rfind("usage: arc-cat", 0), 0u) << args.back() << ": " << r.err;
	}
	Ran r = run({bin("arc-cat"), a.t / "none"});
	EXPECT_EQ(exit_code(r.status), 1);
	EXPECT_EQ(r.err, "arc-cat: cannot open " + a.t / "none" + ": No such file or directory\n");
	spit(a.t / "file", "x");
	r = run({bin("arc-cat"), a.t / "file"});
	EXPECT_EQ(exit_code(r.status), 1);
	EXPECT_EQ(r.err, "arc-cat: " + a.t / "file" + ": not a directory\n");
	r = run({bin("arc-cat"), "--help"});
	EXPECT_EQ(exit_code(r.status), 0);
	EXPECT_EQ(r.out.rfind("usage: arc-cat [-f] [-s SPEED] ROOT [FROM [TO]]\n", 0), 0u);
	r = run({bin("arc-cat"), "--version"});
	EXPECT_EQ(r.out.rfind("arc-cat ", 0), 0u);
}

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
		{"9999", nullptr, 1, "9999010100000000", ""},
		{"999912", nullptr, 1, "9999120100000000", ""},
		{"2026.12.07", "2026:12:08", 1, "2026120700000000", "2026120800000000"},
		{"2026", "202602", 1, "2026010100000000", "2026020100000000"},
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
	}
	char now[17];
	arc_now(now);
	long long t;
	EXPECT_TRUE(fr_stamp_time(now, &t));
	char back[17];
	fr_time_stamp(t, back);
	EXPECT_STREQ(back, now);
}

// frame-send -> net-arc ROOT, and arc-cat -f ROOT following it.
TEST(ArcCatFollow, WritesEachFrameNetArcStoresInOrder)
{
	TempDir t;
	int port = free_udp_port();
	Proc arc = start_net_arc(t.path, port);
	// Two frames already there, then the follower starts, then six more.
	Ran first = run({bin("frame-send"), "-c", "2", "-i", "20", "127.0.0.1", std::to_string(port)});
	ASSERT_EQ(exit_code(first.status), 0);
	auto stored = [&] { return run({"/usr/bin/find", t / "arc", "-name", "*.gz"}).out; };
	ASSERT_TRUE(wait_until([&] {
		std::string f = stored();
		return std::count(f.begin(), f.end(), '\n') == 2;
	}, 10000, 20));
	// The next frames' stamps must come after these: wait until the clock has passed them.
	std::string f = stored();
	long long last = 0, now = 0;
	for (size_t at = 0; at < f.size(); at = f.find('\n', at) + 1) {
		long long c;
		ASSERT_TRUE(fr_stamp_time(f.substr(f.find('\n', at) - 19, 16).c_str(), &c));
		last = std::max(last, c);
	}
	ASSERT_TRUE(wait_until([&] {
		char s[17];
		arc_now(s);
		return fr_stamp_time(s, &now) && now >= last + 50;
	}, 2000, 10));
	Spawn s;
	s.argv = {bin("arc-cat"), "-f", t / "arc"};
	s.pipe_out = true;
	Proc cat = start(s);
	Ran more = run({bin("frame-send"), "-c", "6", "-i", "200", "-s", "3", "127.0.0.1", std::to_string(port)});
	ASSERT_EQ(exit_code(more.status), 0);
	std::string out = read_n(cat.out, 8 * 3617, 15000);
	ASSERT_EQ(out.size(), 8u * 3617) << read_to_end(cat.err, 100);
	// Exactly the stored frames, whole, in stamp order.
	std::string files = stored();
	std::vector<std::string> paths;
	for (size_t at = 0; at < files.size(); at = files.find('\n', at) + 1)
		paths.push_back(files.substr(at, files.find('\n', at) - at));
	std::sort(paths.begin(), paths.end(), [](const std::string &x, const std::string &y) {
		return x.substr(x.size() - 19) < y.substr(y.size() - 19);
	});
	ASSERT_EQ(paths.size(), 8u);
	for (size_t k = 0; k < 8; k++) {
		std::string stamp = paths[k].substr(paths[k].size() - 19, 16);
		std::string pay = run({"/bin/gzip", "-dc", paths[k]}).out;
		EXPECT_TRUE(out.substr(k * 3617, 3617) == record(stamp, pay)) << k;
	}
	EXPECT_EQ(drain(cat.err), "");
	// The reader going away ends the follower at once, quietly.
	cat.close_out();
	int st;
	ASSERT_TRUE(wait_exit(cat, 5000, &st));
	EXPECT_EQ(exit_code(st), 0);
	EXPECT_EQ(read_to_end(cat.err, 100), "");
}

}  // namespace
