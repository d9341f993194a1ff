// net-pipe over real UDP on loopback, read through a real pipe.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "kit.h"

namespace {

const std::string S1 = "2026120721163400", S2 = "2026120721163450", S3 = "2026120721163500",
		  S4 = "2026120721163550";

struct NetPipe : ::testing::Test {
	int port = free_udp_port();
	Udp udp;
	Proc p;
	void SetUp() override { p = start_net_pipe(port); }
	void pair(const std::string &stamp, const std::string &pay)
	{
		udp.send(port, stamp);
		udp.send(port, pay);
	}
	std::string next(int ms = 5000)
	{
		std::string r(3617, '\0');
		return read_exact(p.out, r.data(), r.size(), ms) ? r : std::string("(no record)");
	}
	bool quiet(int ms = 300) { return !readable(p.out, ms); }
};

TEST_F(NetPipe, OneFlushedRecordPerPairInOrder)
{
	// Each record must be readable before the next pair is sent: flushed per record.
	for (int k = 0; k < 6; k++) {
		std::string stamp = "20261207211634" + std::string(k % 2 ? "50" : "00");
		stamp[11] = (char)('0' + k);
		pair(stamp, payload(k));
		EXPECT_EQ(next(), record(stamp, payload(k))) << "pair " << k;
	}
	EXPECT_TRUE(quiet());
}

TEST_F(NetPipe, DatagramsBeforeTheFirstStampGiveNothing)
{
	for (size_t n : {0, 1, 15, 17, 100, 3600, 4000})
		udp.send(port, std::string(n, 'j'));
	EXPECT_TRUE(quiet());
	pair(S1, payload(1));
	// The 3600 and 4000-byte junk left nothing behind: the payload overwrote all of it.
	EXPECT_EQ(next(), record(S1, payload(1)));
}

TEST_F(NetPipe, ShortPayloadKeepsWhatEarlierReceivesLeft)
{
	// Nothing received yet beyond the stamp: zeros after it.
	pair(S1, "abcdefghij");
	EXPECT_EQ(next(), record(S1, "abcdefghij" + S1.substr(10) + std::string(3584, '\0')));
	pair(S2, payload(2));
	EXPECT_EQ(next(), record(S2, payload(2)));
	// Longer than the stamp: the previous payload's bytes from there on.
	std::string p3 = payload(3).substr(0, 100);
	pair(S3, p3);
	EXPECT_EQ(next(), record(S3, p3 + payload(2).substr(100)));
	// Shorter than the stamp: the stamp's own bytes up to byte 15, then the earlier receives'.
	pair(S4, "xyz");
	EXPECT_EQ(next(), record(S4, "xyz" + S4.substr(3) + p3.substr(16) + payload(2).substr(100)));
}

TEST_F(NetPipe, LongPayloadIsCutAt3600)
{
	std::string big = payload(7) + std::string(1400, 'L');
	pair(S1, big);
	EXPECT_EQ(next(), record(S1, payload(7)));
}

TEST_F(NetPipe, LostPayloadGivesOneMixedRecordThenResynchronises)
{
	pair(S1, payload(1));
	EXPECT_EQ(next(), record(S1, payload(1)));
	udp.send(port, S2);  // its payload is lost
	pair(S3, payload(3));
	pair(S4, payload(4));
	// S3 is taken as S2's payload; payload 3 is then discarded as a non-stamp.
	EXPECT_EQ(next(), record(S2, S3 + payload(1).substr(16)));
	EXPECT_EQ(next(), record(S4, payload(4)));
	EXPECT_TRUE(quiet());
}

TEST_F(NetPipe, EndsWhenItsReaderIsGone)
{
	p.close_out();
	pair(S1, payload(1));
	int st;
	ASSERT_TRUE(wait_exit(p, 5000, &st));
	EXPECT_EQ(term_signal(st), SIGPIPE);
}

TEST(NetPipeStart, UsesTheLow16BitsOfPort)
{
	int port = free_udp_port();
	Spawn s;
	s.argv = {bin("net-pipe"), std::to_string(port + 65536)};
	s.pipe_out = true;
	Proc p = start(s);
	ASSERT_TRUE(wait_bound_by(p, port, 5000));
	Udp u;
	u.send(port, S1);
	u.send(port, payload(5));
	std::string r(3617, '\0');
	ASSERT_TRUE(read_exact(p.out, r.data(), r.size(), 5000));
	EXPECT_EQ(r, record(S1, payload(5)));
}

TEST(NetPipeStart, UsageErrors)
{
	for (auto args : std::vector<std::vector<std::string>>{{}, {""}, {"abc"}, {"50x"}, {"1", "2"}}) {
		args.insert(args.begin(), bin("net-pipe"));
		Ran r = run(args, "", 5000);
		EXPECT_EQ(exit_code(r.status), 2) << args.size();
		EXPECT_EQ(r.err.rfind("usage: net-pipe PORT", 0), 0u) << r.err;
		EXPECT_EQ(r.out, "");
	}
}

TEST(NetPipeStart, PortInUseFailsAtOnce)
{
	HeldPort held;
	Ran r = run({bin("net-pipe"), std::to_string(held.port)}, "", 5000);
	EXPECT_EQ(exit_code(r.status), 1);
	EXPECT_EQ(r.err, "net-pipe: cannot bind port " + std::to_string(held.port) + ": Address already in use\n");
	EXPECT_EQ(r.out, "");
}

TEST(NetPipeStart, APortTakenAfterItWasPickedIsPickedAgain)
{
	// The kit's start: a port another socket took between the pick and net-pipe's bind is not
	// mistaken for net-pipe's own; another is picked, and net-pipe is there on it.
	HeldPort held;
	int port = held.port;
	Proc p = start_net_pipe(port);
	EXPECT_NE(port, held.port);
	Udp u;
	u.send(port, S1);
	u.send(port, payload(1));
	EXPECT_EQ(read_n(p.out, 3617, 5000), record(S1, payload(1)));
}

TEST(NetPipeStart, WriteErrorEndsWithStatus1)
{
	int port = free_udp_port();
	int full = open("/dev/full", O_WRONLY);
	Spawn s;
	s.argv = {bin("net-pipe"), std::to_string(port)};
	s.stdout_fd = full;
	Proc p = start(s);
	close(full);
	ASSERT_TRUE(wait_bound_by(p, port, 5000));
	Udp u;
	u.send(port, S1);
	u.send(port, payload(1));
	int st;
	ASSERT_TRUE(wait_exit(p, 5000, &st));
	EXPECT_EQ(exit_code(st), 1);
	EXPECT_EQ(read_to_end(p.err, 1000), "net-pipe: write error on standard output: No space left on device\n");
}

}  // namespace
