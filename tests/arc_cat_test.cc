// arc-cat and the archive reader: exact streams from archives the test writes,
// broken files named and skipped, and following a real net-arc.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <sys/time.h>

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

// arc-cat -f over a tree the test writes file by file, as net-arc does.
struct Following {
	ArcTree a;
	Proc cat;
	explicit Following(const std::vector<std::string> &stamps) : a(stamps) {}
	void start(const std::vector<std::string> &range = {})
	{
		Spawn s;
		s.argv = {bin("arc-cat"), "-f", a.root};
		s.argv.insert(s.argv.end(), range.begin(), range.end());
		s.pipe_out = true;
		cat = start_proc(s);
	}
	static Proc start_proc(const Spawn &s) { return ::start(s); }
	void store(int k) { a.put(STAMPS[(size_t)k], gzip(payload(k))); }
};

TEST(ArcCatFollow, AcrossATenMinuteAndADayBoundary)
{
	Following f({STAMPS[0]});
	f.start();
	ASSERT_TRUE(read_n(f.cat.out, 3617, 5000) == stream_of({0}));
	f.store(1);
	ASSERT_TRUE(read_n(f.cat.out, 3617, 5000) == stream_of({1}));  // the watches are in place
	f.a.put("", gzip(payload(9)), "20261206/20261206235/2026120623596000.gz");  // second 60: skipped
	for (int k = 2; k <= 5; k++)  // a new day at 2, a new period at 5
		f.store(k);
	std::string out = read_n(f.cat.out, 4 * 3617, 10000);
	EXPECT_TRUE(out == stream_of({2, 3, 4, 5})) << out.size() / 3617 << " records";
	EXPECT_EQ(drain(f.cat.err), "arc-cat: 1 records skipped: stamps not 16 digits of a real time\n");
}

TEST(ArcCatFollow, WatchesStayOnTheDayAndPeriodOfTheLastFrame)
{
	// The period of 00:00 made (empty) before following starts: frame 2 comes by its close and
	// moves the frontier there; the frames after it, in that period and a new one of that day,
	// still come, each on its own.
	Following f({STAMPS[0]});
	run({"/bin/mkdir", "-p", f.a.root + "/20261207/20261207000"});
	f.start();
	ASSERT_TRUE(read_n(f.cat.out, 3617, 5000) == stream_of({0}));
	f.store(1);
	ASSERT_TRUE(read_n(f.cat.out, 3617, 5000) == stream_of({1}));  // the watches are in place
	for (int k : {2, 3, 5}) {
		f.store(k);
		ASSERT_TRUE(read_n(f.cat.out, 3617, 5000) == stream_of({k})) << "frame " << k;
	}
}

TEST(ArcCatFollow, AnEmptyDirectoryDatedLaterTrapsNothing)
{
	// Left by a clock that jumped ahead, or made by hand: a later day and a later period, empty.
	Following f({STAMPS[0]});
	run({"/bin/mkdir", "-p", f.a.root + "/20270101/20270101000", f.a.root + "/20261206/20261206236"});
	f.start();
	ASSERT_TRUE(read_n(f.cat.out, 3617, 5000) == stream_of({0}));
	for (int k = 1; k <= 5; k++)
		f.store(k);
	std::string out = read_n(f.cat.out, 5 * 3617, 10000);
	EXPECT_TRUE(out == stream_of({1, 2, 3, 4, 5})) << out.size() / 3617 << " records";
}

TEST(ArcCatFollow, EndsWhenAFramePastTheRangeIsStored)
{
	// Up to 00:00:00.50: the frame of 00:00:00.50 ends it; with one stored already, at once.
	struct {
		std::vector<int> before, after;
		std::vector<int> out;
	} cases[] = {
		{{0}, {1, 2, 3, 4}, {0, 1, 2}},
		{{0, 1, 2, 3}, {}, {0, 1, 2}},
	};
	for (auto &c : cases) {
		std::vector<std::string> st;
		for (int k : c.before)
			st.push_back(STAMPS[(size_t)k]);
		Following f(st);
		f.start({"2026120623", "2026-12-07 00:00:00.50"});
		ASSERT_TRUE(read_n(f.cat.out, 3617, 5000) == stream_of({0}));
		for (int k : c.after)
			f.store(k);
		int status;
		ASSERT_TRUE(wait_exit(f.cat, 10000, &status)) << c.before.size();
		EXPECT_EQ(exit_code(status), 0);
		EXPECT_TRUE(read_to_end(f.cat.out, 5000) == stream_of(c.out).substr(3617)) << c.before.size();
	}
}

TEST(ArcCatFollow, AStrayStampNeitherSilencesNorEnds)
{
	// One file stamped 2099 (a receiver's bad stamp, stored as net-arc stores every stamp):
	// skipped and said, and the frames after it still come; nor does it end a range, whether
	// stored while following or before the follower started.
	const std::string STRAY = "2099010100000000";
	const char *SAID = "arc-cat: 1 records skipped: stamps more than 75 minutes from the stream's time\n";
	struct {
		bool before;  // stored before the follower starts
		std::vector<std::string> range;
		std::vector<int> out;  // after frames 0 and 1
		bool ends;             // frame 3 (00:00:00.50) is past the range: the end
		const char *err;       // standard error, when it is certain
	} cases[] = {
		{false, {}, {2, 3}, false, SAID},
		{false, {"2026120623", "2026120700000050"}, {2}, true, nullptr},  // said, unless 3 is seen first
		{true, {"2026120623", "2026120700000050"}, {2}, true, ""},
	};
	for (auto &c : cases) {
		std::vector<std::string> st = {STAMPS[0]};
		if (c.before)
			st.push_back(STRAY);
		Following f(st);
		f.start(c.range);
		ASSERT_TRUE(read_n(f.cat.out, 3617, 5000) == stream_of({0})) << c.before;
		f.store(1);
		ASSERT_TRUE(read_n(f.cat.out, 3617, 5000) == stream_of({1}));  // the watches are in place
		if (!c.before)
			f.a.put(STRAY, gzip(payload(9)));
		f.store(2);
		f.store(3);
		std::string want = stream_of(c.out);
		if (c.ends) {
			int status;
			ASSERT_TRUE(wait_exit(f.cat, 10000, &status)) << c.before;
			EXPECT_EQ(exit_code(status), 0);
		}
		std::string out = c.ends ? read_to_end(f.cat.out, 5000) : read_n(f.cat.out, want.size(), 10000);
		EXPECT_TRUE(out == want) << out.size() / 3617 << " records, case " << c.range.size() << c.before;
		std::string err = c.ends ? read_to_end(f.cat.err, 5000) : drain(f.cat.err);
		if (c.err) {
			EXPECT_EQ(err, c.err) << c.range.size() << c.before;
		}
	}
}

TEST(ArcCatFollow, AfterALongOutageFramesOfTheHostsTimeComeAtOnce)
{
	// The last frame written is two days old (the receiver was off): a frame stamped with the
	// host's time now is no stray, and comes at once, unsaid.
	Following f({STAMPS[0]});
	f.start();
	ASSERT_TRUE(read_n(f.cat.out, 3617, 5000) == stream_of({0}));
	f.store(1);
	ASSERT_TRUE(read_n(f.cat.out, 3617, 5000) == stream_of({1}));  // the watches are in place
	char s[17];
	arc_now(s);
	std::string now(s, 14);
	now += "00";
	f.a.put(now, gzip(payload(7)));
	EXPECT_TRUE(read_n(f.cat.out, 3617, 5000) == record(now, payload(7)));
	EXPECT_EQ(drain(f.cat.err), "");
}

TEST(ArcCatFollow, ALostEventRescansFromTheLastFrameWritten)
{
	// The follower stopped while more frames are closed than the kernel queues events for, and
	// a new day and period begin meanwhile: after the overflow all come out, once, in order.
	long queue = std::stol(slurp("/proc/sys/fs/inotify/max_queued_events"));
	Following f({});
	f.a.put("2026120623500000", gzip(payload(9)));
	f.start();
	ASSERT_TRUE(read_n(f.cat.out, 3617, 5000) == record("2026120623500000", payload(9)));
	f.a.put("2026120623500001", gzip(payload(8)));  // once written, the watches are in place
	ASSERT_TRUE(read_n(f.cat.out, 3617, 5000) == record("2026120623500001", payload(8)));
	ASSERT_EQ(kill(f.cat.pid, SIGSTOP), 0);
	long long t0;
	ASSERT_TRUE(fr_stamp_time("2026120623500000", &t0));
	std::string gz = gzip(payload(7)), want, dir = f.a.root + "/20261206/20261206235/";
	for (long k = 0; k < queue + 100; k++) {  // three hundredths apart: all in 23:50-00:00
		char s[17];
		fr_time_stamp(t0 + 2 + 3 * k, s);
		int fd = open((dir + s + ".gz").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		ASSERT_GE(fd, 0);
		ASSERT_EQ(write(fd, gz.data(), gz.size()), (ssize_t)gz.size());
		close(fd);
		want += record(s, payload(7));
	}
	f.store(2);
	f.store(5);
	want += stream_of({2, 5});
	ASSERT_EQ(kill(f.cat.pid, SIGCONT), 0);
	std::string out = read_n(f.cat.out, want.size(), 30000);
	EXPECT_EQ(out.size() / 3617, want.size() / 3617);
	EXPECT_TRUE(out == want);
	EXPECT_EQ(drain(f.cat.err), "");
}

TEST(ArcCatFollow, BrokenFilesAtTheStartAreNamedOnceClosedOrOld)
{
	// Empty files (a full disk) in the newest period: one a minute old, one just made; then one
	// closed while following. Each is named, the old one at once, the others soon.
	Following f({STAMPS[0]});
	f.a.put(STAMPS[1], "");
	std::string old = f.a.root + "/" + frame_path(STAMPS[1]);
	struct timeval tv[2];
	gettimeofday(&tv[0], nullptr);
	tv[0].tv_sec -= 60;
	tv[1] = tv[0];
	ASSERT_EQ(utimes(old.c_str(), tv), 0);
	f.a.put(STAMPS[2], "");
	f.start();
	std::string err;
	auto named = [&](const std::string &stamp) {
		err += drain(f.cat.err);
		return err.find(frame_path(stamp) + ": empty\n") != std::string::npos;
	};
	ASSERT_TRUE(wait_until([&] { return named(STAMPS[1]); }, 5000, 10)) << err;
	f.a.put(STAMPS[3], "");
	EXPECT_TRUE(wait_until([&] { return named(STAMPS[3]); }, 5000, 10)) << err;
	EXPECT_TRUE(wait_until([&] { return named(STAMPS[2]); }, 10000, 20)) << err;
	f.store(4);
	EXPECT_TRUE(read_n(f.cat.out, 2 * 3617, 5000) == stream_of({0, 4}));
	// Each named once (the order of the last two depends on the clock).
	std::vector<std::string> lines;
	for (size_t at = 0; at < err.size(); at = err.find('\n', at) + 1)
		lines.push_back(err.substr(at, err.find('\n', at) - at));
	std::sort(lines.begin(), lines.end());
	std::vector<std::string> want;
	for (int k : {1, 2, 3})
		want.push_back("arc-cat: " + f.a.root + "/" + frame_path(STAMPS[(size_t)k]) + ": empty");
	EXPECT_EQ(lines, want);
}

TEST(ArcCatFollow, AFileStillBeingWrittenAtTheStartIsHeldNotNamed)
{
	// Frame 1's file just made and still empty when following starts (net-arc is writing it):
	// held, then written once whole, and never named broken.
	Following f({STAMPS[0]});
	f.a.put(STAMPS[1], "");
	f.start();
	ASSERT_TRUE(read_n(f.cat.out, 3617, 5000) == stream_of({0}));  // frame 1 has been judged
	f.store(1);
	EXPECT_TRUE(read_n(f.cat.out, 3617, 10000) == stream_of({1}));
	EXPECT_EQ(drain(f.cat.err), "");
}

TEST(ArcCat, SpeedPacesTheArrivals)
{
	// Eleven frames half a second apart at ten times real time: record k arrives no sooner than
	// k x 50 ms after the first (the load of a machine can only make it later).
	std::vector<std::string> st;
	long long t0;
	ASSERT_TRUE(fr_stamp_time("2026120712000000", &t0));
	for (int k = 0; k < 11; k++) {
		char s[17];
		fr_time_stamp(t0 + 50 * k, s);
		st.push_back(s);
	}
	ArcTree a(st);
	Spawn s;
	s.argv = {bin("arc-cat"), "-s", "10", a.root};
	s.pipe_out = true;
	Proc cat = start(s);
	std::vector<double> at;
	auto now = [] { return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count(); };
	for (int k = 0; k < 11; k++) {
		std::string r = read_n(cat.out, 3617, 10000);
		ASSERT_EQ(r.size(), 3617u) << k;
		at.push_back(now());
	}
	for (int k = 1; k < 11; k++)
		EXPECT_GE(at[(size_t)k] - at[0], 50.0 * k - 15) << k;
	int status;
	ASSERT_TRUE(wait_exit(cat, 5000, &status));
	EXPECT_EQ(exit_code(status), 0);
}

}  // namespace
