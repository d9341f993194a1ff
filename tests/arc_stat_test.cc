// arc-stat: small archives with known holes, off-grid stamps and broken files against the exact
// rows, as a table and as JSON; the stream form; clock offsets of a receiver running ahead.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <ctime>
#include <unistd.h>

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

TEST(ArcStat, AStreamsStrayAndLateStampsCostOnlyThemselves)
{
	// The stream form: ten frames, a stray 2099 stamp, then frames already counted (repeated
	// out of order) and four more. The stray neither adds 73 years of rows nor takes the frames
	// after it; the late ones count once, in their own period; each kind is said.
	std::vector<std::string> st = run_of(9, 55, 10);
	std::string in;
	for (const std::string &x : st)
		in += record(x, payload(1));
	in += record("2099010100000000", payload(2));
	for (int k = 0; k < 4; k++)
		in += record(st[(size_t)k], payload(3));
	for (const std::string &x : run_of(10, 0, 4))
		in += record(x, payload(4));
	Ran r = run({bin("arc-stat"), "-p", "10m", "--json", "-"}, in);
	EXPECT_EQ(exit_code(r.status), 0);
	EXPECT_EQ(r.out, "{\"period\":\"20261207120\",\"expected\":10,\"present\":10,\"missing\":0,\"off_grid\":0,"
			 "\"broken\":null,\"bytes\":36170,\"longest_gap_start\":null,\"longest_gap_s\":0}\n"
			 "{\"period\":\"20261207121\",\"expected\":4,\"present\":4,\"missing\":0,\"off_grid\":0,"
			 "\"broken\":null,\"bytes\":14468,\"longest_gap_start\":null,\"longest_gap_s\":0}\n"
			 "{\"period\":\"total\",\"expected\":14,\"present\":14,\"missing\":0,\"off_grid\":0,"
			 "\"broken\":null,\"bytes\":50638,\"longest_gap_start\":null,\"longest_gap_s\":0}\n");
	EXPECT_EQ(r.err, "arc-stat: 1 records skipped: stamps more than 75 minutes from the stream's time\n"
			 "arc-stat: 1 records skipped: stamps before one already counted\n"
			 "arc-stat: 4 records skipped: stamps before one already counted\n");
	// A stamp of the host's time now is no stray, however far the one before it (a receiver
	// back after an outage, watched live): counted, unsaid.
	time_t now = time(nullptr);
	struct tm tm;
	localtime_r(&now, &tm);
	char s[32];
	strftime(s, sizeof s, "%Y%m%d%H%M%S00", &tm);
	r = run({bin("arc-stat"), "-p", "1d", "--json", "-"}, record(st[0], payload(1)) + record(s, payload(1)));
	EXPECT_EQ(r.err, "");
	EXPECT_NE(r.out.find("{\"period\":\"total\",\"expected\":"), std::string::npos);
	EXPECT_NE(r.out.find(",\"present\":2,"), std::string::npos) << r.out.substr(r.out.rfind('{'));
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
	ASSERT_TRUE(wait_bound_by(p.a, port, 5000));
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

// The rows of a table: their names (first word), header and total left out.
std::vector<std::string> row_names(const std::string &out)
{
	std::vector<std::string> v;
	for (size_t at = out.find('\n') + 1; at < out.size() && out.compare(at, 5, "total") != 0;
	     at = out.find('\n', at) + 1)
		v.push_back(out.substr(at, out.find(' ', at) - at));
	return v;
}

std::string total_row(const std::string &out)
{
	size_t at = out.find("\ntotal");
	return at == std::string::npos ? "" : out.substr(at + 1, out.find('\n', at + 1) - at - 1);
}

TEST(ArcReaders, PeriodEndsAreRealTimes)
{
	// For each period typed alone: a frame on the last half second before it, its first and
	// last half seconds, and the first after it. arc-cat gives the two inside; arc-stat, one
	// hour or one day a row, ends with the right rows and counts every slot of the period.
	struct {
		const char *from;
		std::vector<std::string> stamps;  // before, first, last, after
		size_t hours, days;
		const char *first_hour, *last_hour;
		long long expected;
	} cases[] = {
		{"2026120723", {"2026120722595950", "2026120723000000", "2026120723595950", "2026120800000000"},
		 1, 1, "2026120723", "2026120723", 7200},
		{"20261231", {"2026123023595950", "2026123100000000", "2026123123595950", "2027010100000000"},
		 24, 1, "2026123100", "2026123123", 172800},
		{"202612", {"2026113023595950", "2026120100000000", "2026123123595950", "2027010100000000"},
		 744, 31, "2026120100", "2026123123", 31 * 172800LL},
		{"2026", {"2025123123595950", "2026010100000000", "2026123123595950", "2027010100000000"},
		 8760, 365, "2026010100", "2026123123", 365 * 172800LL},
		{"20240229", {"2024022823595950", "2024022900000000", "2024022923595950", "2024030100000000"},
		 24, 1, "2024022900", "2024022923", 172800},
		{"202402", {"2024013123595950", "2024020100000000", "2024022923595950", "2024030100000000"},
		 696, 29, "2024020100", "2024022923", 29 * 172800LL},
	};
	for (auto &c : cases) {
		ArcTree a(c.stamps);
		Ran cat = run({bin("arc-cat"), a.root, c.from}, "", 10000);
		EXPECT_EQ(exit_code(cat.status), 0) << c.from;
		EXPECT_TRUE(cat.out == record(c.stamps[1], payload(1)) + record(c.stamps[2], payload(2))) << c.from;
		std::string bytes = std::to_string(slurp(a.root + "/" + frame_path(c.stamps[1])).size() +
						   slurp(a.root + "/" + frame_path(c.stamps[2])).size());
		char total[256];
		snprintf(total, sizeof total, "total       %9lld %9d %9lld", c.expected, 2, c.expected - 2);
		for (const char *p : {"", "1h", "1d"}) {
			std::vector<std::string> argv = {bin("arc-stat"), a.root, c.from};
			if (*p)
				argv.insert(argv.begin() + 1, {"-p", p});
			Ran r = run(argv, "", 10000);
			ASSERT_EQ(exit_code(r.status), 0) << c.from << " " << p << ": " << r.out.size() << " bytes";
			std::vector<std::string> rows = row_names(r.out);
			bool days = !strcmp(p, "1d");
			ASSERT_EQ(rows.size(), days ? c.days : c.hours) << c.from << " " << p;
			EXPECT_EQ(rows.front(), std::string(c.first_hour).substr(0, days ? 8 : 10)) << c.from;
			EXPECT_EQ(rows.back(), std::string(c.last_hour).substr(0, days ? 8 : 10)) << c.from;
			EXPECT_EQ(total_row(r.out).substr(0, strlen(total)), total) << c.from << " " << p;
			EXPECT_NE(total_row(r.out).find(" " + bytes), std::string::npos) << c.from;
		}
	}
}

TEST(ArcStat, RangeEndsOffTheGridAndTheLastGapToTheEnd)
{
	// 12:00:00.49 up to 12:00:02.01 holds the slots .50, 1.00, 1.50 and 2.00: four expected.
	ArcTree a({"2026120712000000", "2026120712000050", "2026120712000100", "2026120712000150", "2026120712000200",
		   "2026120712000250"});
	Ran r = run({bin("arc-stat"), "--json", "-p", "10m", a.root, "2026120712000049", "2026120712000201"});
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_NE(r.out.find("{\"period\":\"total\",\"expected\":4,\"present\":4,\"missing\":0,"), std::string::npos) << r.out;
	// A gap that runs to the range's end has no next frame: null.
	r = run({bin("arc-stat"), "--json", "--gaps", "1", "-p", "10m", a.root, "2026120712000000", "2026120712000500"});
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_NE(r.out.find("\"longest_gap_start\":\"2026120712000300\",\"longest_gap_s\":2}\n"
			     "{\"gap_start\":\"2026120712000300\",\"next_present\":null,\"missing\":4}\n"),
		  std::string::npos)
		<< r.out;
}

TEST(ArcStat, AGapOfAnOddNumberOfHalfSecondsInJson)
{
	// 12:00:01.00, 1.50 and 2.00 missing: a gap of 1.5 s, said as 1.5, not cut to a whole second.
	std::string in;
	for (const char *st : {"2026120712000000", "2026120712000050", "2026120712000250"})
		in += record(st, std::string(3600, '\0'));
	Ran r = run({bin("arc-stat"), "-p", "10m", "--json", "-", "20261207120000", "20261207120003"}, in);
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	std::string row = "\"expected\":6,\"present\":3,\"missing\":3,\"off_grid\":0,\"broken\":null,\"bytes\":10851,"
			  "\"longest_gap_start\":\"2026120712000100\",\"longest_gap_s\":1.5}\n";
	EXPECT_EQ(r.out, "{\"period\":\"20261207120\"," + row + "{\"period\":\"total\"," + row);
}

TEST(ArcStat, NoEmptyRowAfterAFrameOnAPeriodsLastHalfSecond)
{
	for (const char *p : {"10m", "1h", "1d"}) {
		ArcTree a({"2026120723595900", "2026120723595950"});
		Ran r = run({bin("arc-stat"), "-p", p, a.root});
		EXPECT_EQ(exit_code(r.status), 0);
		std::vector<std::string> rows = row_names(r.out);
		ASSERT_EQ(rows.size(), 1u) << p << "\n" << r.out;
		EXPECT_EQ(rows[0], std::string("20261207235").substr(0, !strcmp(p, "10m") ? 11 : !strcmp(p, "1h") ? 10 : 8));
		EXPECT_EQ(total_row(r.out).substr(0, 41), "total               2         2         0") << p;
		r = run({bin("arc-stat"), "-p", p, "-"}, run({bin("arc-cat"), a.root}).out);
		EXPECT_EQ(row_names(r.out).size(), 1u) << p << "\n" << r.out;
	}
}

TEST(ArcReaders, StampsThatAreNotATimeAreSkippedAndCountedAlike)
{
	// Month 13 and second 60, stored as net-arc would name them, beside two good frames.
	ArcTree a({"2026120712000000", "2026120712000050"});
	a.put("", gzip(payload(7)), "20261307/20261307120/2026130712000000.gz");
	a.put("", gzip(payload(8)), "20261207/20261207120/2026120712006000.gz");
	const std::string msg = ": 2 records skipped: stamps not 16 digits of a real time\n";
	Ran cat = run({bin("arc-cat"), a.root});
	EXPECT_EQ(exit_code(cat.status), 0);
	EXPECT_EQ(cat.err, "arc-cat" + msg);
	EXPECT_EQ(cat.out.size(), 2u * 3617);
	Ran st = run({bin("arc-stat"), a.root});
	EXPECT_EQ(exit_code(st.status), 0);
	EXPECT_EQ(st.err, "arc-stat" + msg);
	// The stream form counts the same records the same way, and a repeated stamp once.
	std::string stream = cat.out + record("2026130712000000", payload(7)) + record("2026120712006000", payload(8)) +
			     cat.out.substr(3617);
	Ran sst = run({bin("arc-stat"), "-"}, stream);
	EXPECT_EQ(sst.err, "arc-stat" + msg);
	EXPECT_EQ(total_row(sst.out).substr(0, 41), "total               2         2         0") << sst.out;
	EXPECT_EQ(total_row(st.out).substr(0, 41), "total               2         2         0") << st.out;
}

TEST(ArcStat, OneRuleForAFramePresent)
{
	// A good frame, one that is not gzip, an empty one, a link to a good one, a directory:
	// only regular files that are not empty are present, and only their sizes are bytes.
	std::vector<std::string> st = {"2026120712000000", "2026120712000050", "2026120712000100", "2026120712000150",
				       "2026120712000200"};
	ArcTree a({st[0]});
	a.put(st[1], "not gzip");
	a.put(st[2], "");
	symlink((a.root + "/" + frame_path(st[0])).c_str(), (a.root + "/" + frame_path(st[3])).c_str());
	run({"/bin/mkdir", a.root + "/" + frame_path(st[4])});
	std::string bytes = std::to_string(slurp(a.root + "/" + frame_path(st[0])).size() + 8);
	auto named = [&](int k, const char *why) { return "arc-stat: " + a.root + "/" + frame_path(st[(size_t)k]) + ": " + why + "\n"; };
	std::string walk = named(2, "empty") + named(3, "not a regular file") + named(4, "not a regular file");
	struct {
		const char *v;
		std::string err, broken;
	} cases[] = {
		{"", walk, "null"},
		{"-v", named(1, "not gzip") + walk, "4"},
	};
	for (auto &c : cases) {
		std::vector<std::string> argv = {bin("arc-stat"), "--json", "-p", "10m", a.root, "2026120712000000", "2026120712000250"};
		if (*c.v)
			argv.insert(argv.begin() + 1, c.v);
		Ran r = run(argv);
		EXPECT_EQ(exit_code(r.status), 1) << c.v;
		EXPECT_EQ(r.err, c.err) << c.v;
		EXPECT_NE(r.out.find("{\"period\":\"total\",\"expected\":5,\"present\":2,\"missing\":3,\"off_grid\":0,\"broken\":" +
				     c.broken + ",\"bytes\":" + bytes + ","),
			  std::string::npos)
			<< c.v << "\n" << r.out;
	}
}

}  // namespace

TEST(ArcReaders, AStrayFileStampedYearsAheadEndsNeitherReportNorReplayThere)
{
	// One file stamped 2099 among an hour's frames: without an end, the archive's range stops
	// at the host's clock, so the report has the one hour and the paced replay does not wait
	// 73 years for it. Asked for by name, the 2099 file is counted like any other.
	std::vector<std::string> st = run_of(10, 0, 4);
	ArcTree a(st);
	a.put("2099010100000000", gzip(payload(9)));
	Ran r = run({bin("arc-stat"), "--json", a.root}, "", 20000);
	EXPECT_EQ(exit_code(r.status), 0);
	EXPECT_EQ(r.out, "{\"period\":\"2026120712\",\"expected\":4,\"present\":4,\"missing\":0,\"off_grid\":0,"
			 "\"broken\":null,\"bytes\":" + std::to_string(bytes_of(a, st)) +
			 ",\"longest_gap_start\":null,\"longest_gap_s\":0}\n"
			 "{\"period\":\"total\",\"expected\":4,\"present\":4,\"missing\":0,\"off_grid\":0,"
			 "\"broken\":null,\"bytes\":" + std::to_string(bytes_of(a, st)) +
			 ",\"longest_gap_start\":null,\"longest_gap_s\":0}\n");
	EXPECT_EQ(r.err, "arc-stat: 1 records skipped: stamps more than 75 minutes ahead of the host's clock\n");
	Ran c = run({bin("arc-cat"), "-s", "100", a.root}, "", 20000);
	EXPECT_EQ(exit_code(c.status), 0);
	std::string want;
	for (size_t k = 0; k < st.size(); k++)
		want += record(st[k], payload((int)k));
	EXPECT_EQ(c.out, want);
	EXPECT_EQ(c.err, "arc-cat: 1 records skipped: stamps more than 75 minutes ahead of the host's clock\n");
	Ran named = run({bin("arc-stat"), "-p", "1d", a.root, "2099"}, "", 20000);
	EXPECT_EQ(exit_code(named.status), 0);
	EXPECT_NE(named.out.find("\ntotal        63072000         1  63071999"), std::string::npos) << named.out;
}

namespace {

TEST(ArcStat, FramesATruncatedPackCannotGiveAreBrokenNotMissing)
{
	// 240 frames packed, the pack cut to 60 %: its index lists all 240, so every one is present,
	// and with -v those it can no longer give are broken (the pack named once, each frame too).
	std::vector<std::string> st = run_of(0, 0, 240);
	ArcTree a(st);
	struct timespec t[2];
	clock_gettime(CLOCK_REALTIME, &t[0]);
	t[0].tv_sec -= 10;  // left alone a while, as arc-pack wants
	t[1] = t[0];
	for (const std::string &s : st)
		utimensat(AT_FDCWD, (a.root + "/" + frame_path(s)).c_str(), t, 0);
	Ran p = run({bin("arc-pack"), "-a", "0m", a.root});
	ASSERT_EQ(exit_code(p.status), 0) << p.err;
	std::string pack = a.root + "/20261207/20261207120.pack.tar.zst";
	std::string whole = slurp(pack);
	ASSERT_GT(whole.size(), 0u);
	spit(pack, whole.substr(0, whole.size() * 6 / 10));
	Ran cat = run({bin("arc-cat"), a.root});
	EXPECT_EQ(exit_code(cat.status), 1);
	long good = (long)(cat.out.size() / 3617), broken = 240 - good;
	ASSERT_GT(good, 0);
	ASSERT_GT(broken, 0);
	std::vector<std::string> range = {a.root, "202612071200", "202612071210"};
	auto row = [&](const std::string &b) {
		return "\"expected\":1200,\"present\":240,\"missing\":960,\"off_grid\":0,\"broken\":" + b + ",\"bytes\":";
	};
	Ran plain = run({bin("arc-stat"), "-p", "10m", "--json", range[0], range[1], range[2]});
	EXPECT_EQ(exit_code(plain.status), 0) << plain.err;
	EXPECT_NE(plain.out.find(row("null")), std::string::npos) << plain.out;
	Ran v = run({bin("arc-stat"), "-p", "10m", "-v", "--json", range[0], range[1], range[2]});
	EXPECT_EQ(exit_code(v.status), 1);
	EXPECT_EQ(v.out.find("{\"period\":\"20261207120\"," + row(std::to_string(broken))), 0u) << v.out;
	EXPECT_NE(v.out.find("{\"period\":\"total\"," + row(std::to_string(broken))), std::string::npos) << v.out;
	// The pack once, then each frame it cannot give.
	EXPECT_EQ(v.err.find("arc-stat: " + pack + ": truncated"), 0u) << v.err.substr(0, 300);
	EXPECT_EQ(std::count(v.err.begin(), v.err.end(), '\n'), broken + 1);
}

TEST(ArcReaders, StampsUpToTheGraceAheadOfTheClockAreCounted)
{
	// A receiver's clock a little ahead: frames stamped up to 75 minutes past the host's clock
	// are the archive's own and counted; one stamped beyond is skipped and said.
	std::vector<std::string> st;
	time_t now = time(nullptr);
	for (int minutes : {0, 1, 70, 80}) {
		time_t t = now + minutes * 60;
		struct tm tm;
		localtime_r(&t, &tm);
		char s[32];
		strftime(s, sizeof s, "%Y%m%d%H%M%S", &tm);
		st.push_back(std::string(s) + "00");
	}
	ArcTree a(st);
	Ran r = run({bin("arc-stat"), "--json", a.root}, "", 20000);
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_EQ(r.err, "arc-stat: 1 records skipped: stamps more than 75 minutes ahead of the host's clock\n");
	size_t total = r.out.find("{\"period\":\"total\"");
	ASSERT_NE(total, std::string::npos) << r.out;
	EXPECT_NE(r.out.find("\"present\":3,", total), std::string::npos) << r.out;
}

}  // namespace
