// pipe-dump through real pipes: exact lines, ends, refusals; and the live pipeline into it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "kit.h"

namespace {

// A payload with channel A and B of points n..n+3 set, everything else from payload(0).
std::string with_points(int n, std::array<unsigned, 4> a, std::array<unsigned, 4> b,
			std::string p = payload(0))
{
	for (int i = 0; i < 4; i++) {
		p[4 * (n + i)] = (char)(a[i] & 0xff);
		p[4 * (n + i) + 1] = (char)(a[i] >> 8);
		p[4 * (n + i) + 2] = (char)(b[i] & 0xff);
		p[4 * (n + i) + 3] = (char)(b[i] >> 8);
	}
	return p;
}

TEST(PipeDump, ExactLines)
{
	struct {
		int n;
		std::array<unsigned, 4> a, b;
		const char *line;
	} cases[] = {
		{100, {0, 1, 65535, 12345}, {9, 99, 999, 9999},
		 "21163450     0     1 65535 12345 /     9    99   999  9999 /  16.845703\n"},
		{0, {6000, 4500, 14000, 65535}, {65535, 65535, 0, 256},
		 "21163450  6000  4500 14000 65535 / 65535 65535     0   256 /  13.793945\n"},
		{896, {1, 2, 3, 4}, {5, 6, 7, 32768},
		 "21163450     1     2     3     4 /     5     6     7 32768 /  41.137695\n"},
	};
	for (auto &c : cases) {
		Ran r = run({bin("pipe-dump"), std::to_string(c.n)}, record("2026120721163450", with_points(c.n, c.a, c.b)));
		EXPECT_EQ(exit_code(r.status), 0);
		EXPECT_EQ(r.out, c.line) << "N = " << c.n;
		EXPECT_EQ(r.err, "");
	}
}

TEST(PipeDump, OneLinePerRecordOverManyRecords)
{
	std::string in, want;
	for (int k = 0; k < 500; k++) {
		char stamp[17];
		snprintf(stamp, sizeof stamp, "20261207%06d%02d", 100000 + k / 2, k % 2 ? 50 : 0);
		in += record(stamp, with_points(10, {(unsigned)k, 0, 0, 0}, {0, 0, 0, (unsigned)(65535 - k)}));
		char line[128];
		snprintf(line, sizeof line, "%.8s %5d     0     0     0 /     0     0     0 %5d /  14.099121\n",
			 stamp + 8, k, 65535 - k);
		want += line;
	}
	Ran r = run({bin("pipe-dump"), "10"}, in);
	EXPECT_EQ(exit_code(r.status), 0);
	EXPECT_EQ(r.out, want);
}

TEST(PipeDump, EndsOfInput)
{
	std::string first = record("2026120721163450", with_points(100, {1, 2, 3, 4}, {5, 6, 7, 8}));
	std::string second = record("2026120721163500", payload(9));
	const std::string l1 = "21163450     1     2     3     4 /     5     6     7     8 /  16.845703\n";
	struct {
		const char *what;
		std::string in, out;
	} cases[] = {
		{"empty input", "", ""},
		{"cut header", first + second.substr(0, 16), l1},
		// Points 100..103 lie beyond the 50 payload bytes that arrived: the previous record's.
		{"cut payload", first + second.substr(0, 17 + 50),
		 l1 + "21163500     1     2     3     4 /     5     6     7     8 /  16.845703\n"},
	};
	for (auto &c : cases) {
		Ran r = run({bin("pipe-dump"), "100"}, c.in);
		EXPECT_EQ(exit_code(r.status), 0) << c.what;
		EXPECT_EQ(r.out, c.out) << c.what;
	}
}

TEST(PipeDump, UsageErrors)
{
	for (auto args : std::vector<std::vector<std::string>>{{}, {"x"}, {"-1"}, {"897"}, {"10.5"}, {"1", "2"}}) {
		args.insert(args.begin(), bin("pipe-dump"));
		Ran r = run(args, record("2026120721163450", payload(1)));
		EXPECT_EQ(exit_code(r.status), 2);
		EXPECT_EQ(r.err.rfind("usage: pipe-dump N", 0), 0u) << r.err;
		EXPECT_EQ(r.out, "");
	}
}

TEST(PipeDump, ReadAndWriteErrorsEndWithStatus1)
{
	// A directory as standard input fails every read: one message, not endless lines.
	Ran r = run_files({bin("pipe-dump"), "0"}, "/", "/dev/null");
	EXPECT_EQ(exit_code(r.status), 1);
	EXPECT_EQ(r.err, "pipe-dump: read error on standard input: Is a directory\n");

	TempDir t;
	spit(t / "in", record("2026120721163450", payload(1)));
	r = run_files({bin("pipe-dump"), "0"}, t / "in", "/dev/full");
	EXPECT_EQ(exit_code(r.status), 1);
	EXPECT_EQ(r.err, "pipe-dump: write error on standard output: No space left on device\n");
}

// frame-send | net-pipe | pipe-dump, the live pipeline on simulated frames.
TEST(LivePipeline, SimulatedFramesReachTheDump)
{
	int port = free_udp_port();
	Spawn np, pd;
	np.argv = {bin("net-pipe"), std::to_string(port)};
	pd.argv = {bin("pipe-dump"), "137"};
	pd.pipe_out = true;
	Pipeline live(np, pd);
	Proc &recv = live.a, &dump = live.b;
	ASSERT_TRUE(wait_bound_by(recv, port, 5000));
	Ran send = run({bin("frame-send"), "-c", "6", "-i", "20", "127.0.0.1", std::to_string(port)});
	EXPECT_EQ(exit_code(send.status), 0) << send.err;
	// net-pipe has written all six records into the pipe.
	ASSERT_TRUE(wait_until([&] { return written(recv.pid) >= 6 * 3617; }, 5000));
	stop(recv);  // the dump then sees the end of its input
	int st;
	ASSERT_TRUE(wait_exit(dump, 5000, &st));
	EXPECT_EQ(exit_code(st), 0);
	std::string out = read_to_end(dump.out, 1000);
	ASSERT_EQ(std::count(out.begin(), out.end(), '\n'), 6) << out;
	// Consecutive half seconds, and the carrier at point 137 far above the floor in both channels.
	std::string prev;
	for (size_t at = 0; at < out.size(); at = out.find('\n', at) + 1) {
		std::string line = out.substr(at, out.find('\n', at) - at);
		EXPECT_EQ(line.size(), 71u) << line;
		std::string cc = line.substr(6, 2);
		EXPECT_TRUE(cc == "00" || cc == "50") << line;
		EXPECT_NE(cc, prev) << line;
		prev = cc;
		EXPECT_GT(std::stoi(line.substr(9, 5)), 8500) << line;
		EXPECT_GT(std::stoi(line.substr(35, 5)), 8500) << line;
		EXPECT_EQ(line.substr(61), " 17.974854");
	}
}

}  // namespace
