// arc-pipe with a fake date whose readings the test sets, reading a real archive through the
// real shell and gunzip; and the whole archive road with the real clock.
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kit.h"

namespace {

struct ArcPipe : ::testing::Test {
	TempDir t;
	Proc p;
	void SetUp() override
	{
		mkdir((t / "fake").c_str(), 0755);
		mkdir((t / "arc").c_str(), 0755);
		// Prints what date prints half a second after the reading's time; logs its first call.
		spit(t / "fake/date",
		     "#!/bin/sh\n[ -e \"$ZQ_DATELOG\" ] || { for a in \"$@\"; do printf '[%s] ' \"$a\"; done; echo; } "
		     ">\"$ZQ_DATELOG\"\ncat \"$ZQ_CLOCK\"\n",
		     0755);
	}
	void clock(const std::string &reading)
	{
		spit(t / "clock.new", reading + "\n");
		rename((t / "clock.new").c_str(), (t / "clock").c_str());
	}
	void launch(const std::string &root = "arc")
	{
		Spawn s;
		s.argv = {bin("arc-pipe"), root};
		s.cwd = t.path;
		s.env = {"PATH=" + t.path + "/fake:" + getenv("PATH"), "ZQ_CLOCK=" + (t / "clock"),
			 "ZQ_DATELOG=" + (t / "datelog")};
		s.pipe_out = true;
		p = start(s);
	}
	void store(const std::string &stamp, const std::string &content)
	{
		std::string d1 = t / ("arc/" + stamp.substr(0, 8)), d2 = d1 + "/" + stamp.substr(0, 11);
		mkdir(d1.c_str(), 0755);
		mkdir(d2.c_str(), 0755);
		Ran r = run({"/bin/gzip", "-c"}, content);
		spit(d2 + "/" + stamp + ".gz", r.out);
	}
	std::string next(int ms = 5000)
	{
		std::string r(3617, '\0');
		return read_exact(p.out, r.data(), r.size(), ms) ? r : std::string("(no record)");
	}
	bool quiet(int ms = 300) { return !readable(p.out, ms); }
};

TEST_F(ArcPipe, EachNewHalfSecondGivesTheFrameHalfASecondBefore)
{
	store("2026120721163400", payload(0));
	store("2026120721163450", payload(1));
	store("2026120721163500", payload(10));
	store("2026120721163550", payload(11));
	// Readings as date prints them (half a second ago), and the record each new one brings.
	struct { const char *reading, *stamp; int pay; } cases[] = {
		{"20261207211634000", "2026120721163400", 0},  // clock at 34.500: second 34, "00"
		{"20261207211634250", nullptr, 0},             // 34.750: the same half second
		{"20261207211634499", nullptr, 0},             // 34.999: still
		{"20261207211634500", "2026120721163450", 1},  // 35.000: second 34, "50"
		{"20261207211634999", nullptr, 0},             // 35.499
		{"20261207211635000", "2026120721163500", 10},
		{"20261207211635733", "2026120721163550", 11},
		{"20261207211645012", "2026120721164500", -1},  // no file: the last payload again
		{"20261207211655200", nullptr, 0},              // ten seconds on: the same slot number
		{"20261207211655600", "2026120721165550", -1},
	};
	clock(cases[0].reading);
	launch();
	std::string last;
	for (auto &c : cases) {
		clock(c.reading);
		if (!c.stamp) {
			EXPECT_TRUE(quiet()) << c.reading;
			continue;
		}
		std::string want = c.pay < 0 ? last : payload(c.pay);
		EXPECT_EQ(next(), record(c.stamp, want)) << c.reading;
		last = want;
	}
	EXPECT_EQ(slurp(t / "datelog"), "[+%Y%m%d%H%M%S%3N] [-d] [0.5 second ago] \n");
}

TEST_F(ArcPipe, MissingShortAndLongFiles)
{
	clock("20261207211634000");  // no file yet: zeros
	launch();
	EXPECT_EQ(next(), record("2026120721163400", std::string(3600, '\0')));
	store("2026120721163450", payload(1));
	clock("20261207211634500");
	EXPECT_EQ(next(), record("2026120721163450", payload(1)));
	store("2026120721163500", payload(2).substr(0, 100));  // short: the previous tail stays
	clock("20261207211635000");
	EXPECT_EQ(next(), record("2026120721163500", payload(2).substr(0, 100) + payload(1).substr(100)));
	store("2026120721163550", payload(3) + std::string(5000, 'x'));  // long: the first 3600
	clock("20261207211635500");
	EXPECT_EQ(next(), record("2026120721163550", payload(3)));
	clock("20261207211636000");  // missing again
	EXPECT_EQ(next(), record("2026120721163600", payload(3)));
	std::string err = read_to_end(p.err, 300);
	EXPECT_NE(err.find("arc/20261207/20261207211/2026120721163600.gz"), std::string::npos) << err;
}

TEST_F(ArcPipe, GarbageReadingsGiveNoRecordAndRunNothing)
{
	store("2026120721163450", payload(4));
	clock("hello");
	launch();
	for (const char *g : {"", "2026120721163", "20261207211634x00", "../../etc/passwd0", "$(touch pwned)0000",
			      "`touch pwned`00000", "2026 120721163450", "-20261207211634500"}) {
		clock(g);
		EXPECT_TRUE(quiet(200)) << g;
	}
	EXPECT_FALSE(exists(t / "pwned"));
	clock("20261207211634500");
	EXPECT_EQ(next(), record("2026120721163450", payload(4)));
	EXPECT_TRUE(still_running(p));
}

TEST_F(ArcPipe, EndsWhenItsReaderIsGone)
{
	clock("20261207211634000");
	launch();
	EXPECT_NE(next(), "(no record)");
	p.close_out();
	clock("20261207211634500");
	int st;
	ASSERT_TRUE(wait_exit(p, 5000, &st));
	EXPECT_EQ(term_signal(st), SIGPIPE);
}

TEST_F(ArcPipe, UsageAndRootRefusals)
{
	for (auto args : std::vector<std::vector<std::string>>{
		     {}, {""}, {"12345678901234"}, {"a b"}, {"a;b"}, {"$(id)"}, {"-x"}, {"arc", "x"}}) {
		args.insert(args.begin(), bin("arc-pipe"));
		Ran r = run(args, "", 5000);
		EXPECT_EQ(exit_code(r.status), 2);
		EXPECT_EQ(r.err.rfind("usage: arc-pipe ROOT", 0), 0u) << r.err;
		EXPECT_EQ(r.out, "");
	}
	clock("20261207211634000");
	launch("1234567890123");  // thirteen characters are fine
	EXPECT_NE(next(), "(no record)");
}

// frame-send -> net-arc, with arc-pipe | pipe-dump following half a second behind, real clock.
TEST(ArchiveRoad, ArcPipeFollowsWhatNetArcStores)
{
	TempDir t;
	int port = free_udp_port();
	Proc arc = start_net_arc(t.path, port);

	Spawn ap, pd;
	ap.argv = {bin("arc-pipe"), "arc"};
	ap.cwd = t.path;
	pd.argv = {bin("pipe-dump"), "137"};
	pd.pipe_out = true;
	Pipeline follow(ap, pd);
	Proc &relay = follow.a, &dump = follow.b;

	Ran send = run({bin("frame-send"), "-c", "8", "127.0.0.1", std::to_string(port)}, "", 15000);
	ASSERT_EQ(exit_code(send.status), 0);
	// The last frame is wanted half a second after it was sent: three more slots are past it.
	long sent = written(relay.pid);
	ASSERT_TRUE(wait_until([&] { return written(relay.pid) >= sent + 3 * 3617; }, 10000));
	stop(relay);
	int st;
	ASSERT_TRUE(wait_exit(dump, 5000, &st));
	std::string out = read_to_end(dump.out, 1000);

	// The stored frames, and the line each must have given.
	Ran ls = run({"/usr/bin/find", t / "arc", "-name", "*.gz"});
	std::vector<std::string> files;
	for (size_t at = 0; at < ls.out.size(); at = ls.out.find('\n', at) + 1)
		files.push_back(ls.out.substr(at, ls.out.find('\n', at) - at));
	ASSERT_EQ(files.size(), 8u) << ls.out;
	int found = 0;
	for (const std::string &f : files) {
		std::string pay = run({"/bin/gzip", "-dc", f}).out;
		std::string stamp = f.substr(f.size() - 19, 16);
		std::string rec = record(stamp, pay);
		Ran line = run({bin("pipe-dump"), "137"}, rec);
		if (out.find(line.out) != std::string::npos)
			found++;
	}
	// Every half second is looked up once; on a loaded machine a slot can pass unnoticed.
	EXPECT_GE(found, 6) << out;
	EXPECT_TRUE(still_running(arc));
}

}  // namespace
