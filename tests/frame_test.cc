// The shared frame code: value decoding, frequencies, stamps, argument parsing, record reading.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "cli.h"
#include "frame.h"
#include "kit.h"

TEST(Frame, ValuesAreLittleEndianUnsigned)
{
	struct { unsigned char b[2]; unsigned v; } cases[] = {
		{{0x00, 0x00}, 0}, {{0x01, 0x00}, 1}, {{0x00, 0x01}, 256},
		{{0x34, 0x12}, 0x1234}, {{0xff, 0xff}, 65535}, {{0x70, 0x17}, 6000},
	};
	for (auto &c : cases)
		EXPECT_EQ(fr_le16(c.b), c.v);
	unsigned char p[3600] = {};
	p[4 * 899] = 0x01; p[4 * 899 + 1] = 0x02; p[4 * 899 + 2] = 0xfe; p[4 * 899 + 3] = 0xff;
	EXPECT_EQ(fr_chan_a(p, 899), 0x0201u);
	EXPECT_EQ(fr_chan_b(p, 899), 0xfffeu);
}

TEST(Frame, FrequencyOfPoints)
{
	EXPECT_EQ(fr_freq(0), 13.7939453125);
	EXPECT_EQ(fr_freq(100), 16.845703125);
	EXPECT_EQ(fr_freq(896), 41.1376953125);
	EXPECT_EQ(fr_freq(899), 41.229248046875);
	EXPECT_EQ(FR_RECORD, 3617);
}

TEST(Frame, StampIsSixteenDigits)
{
	EXPECT_TRUE(fr_stamp_ok("2026120721163450"));
	EXPECT_TRUE(fr_stamp_ok("0000000000000000"));
	for (const char *bad : {"202612072116345/", "2026120721163 50", "../../etc/passwd", "20261207$(id)000",
				"2026120721163a50", "2026120721`163`0", "202612072116345\n"})
		EXPECT_FALSE(fr_stamp_ok(bad)) << bad;
	EXPECT_FALSE(fr_stamp_ok(std::string("20261207\0" "1163450", 16).data()));
}

TEST(Cli, IntegersAreWholeDecimalNumbers)
{
	struct { const char *s; int ok, v; } cases[] = {
		{"0", 1, 0}, {"5000", 1, 5000}, {"-1", 1, -1}, {"+7", 1, 7}, {"70000", 1, 70000},
		{"2147483647", 1, 2147483647}, {"2147483648", 0, 0}, {"", 0, 0}, {"-", 0, 0},
		{"12x", 0, 0}, {"x12", 0, 0}, {" 1", 0, 0}, {"1 ", 0, 0}, {"0x10", 0, 0},
	};
	for (auto &c : cases) {
		int v = 0;
		EXPECT_EQ(arg_int(c.s, &v), c.ok) << c.s;
		if (c.ok) {
			EXPECT_EQ(v, c.v) << c.s;
		}
	}
}

// Feeds bytes through a real pipe in small writes and reads records back with fr_read.
static std::vector<int> read_all(const std::string &bytes, std::vector<std::string> *heads,
				 std::vector<std::string> *pays)
{
	int fd[2];
	EXPECT_EQ(pipe(fd), 0);
	pid_t pid = fork();
	if (pid == 0) {
		close(fd[0]);
		for (size_t i = 0; i < bytes.size(); i += 1000) {  // short pipe writes
			(void)!write(fd[1], bytes.data() + i, std::min<size_t>(1000, bytes.size() - i));
			usleep(200);
		}
		_exit(0);
	}
	close(fd[1]);
	FILE *in = fdopen(fd[0], "r");
	std::vector<int> sts;
	unsigned char h[17], p[3600] = {};
	for (;;) {
		int st = fr_read(in, h, p);
		sts.push_back(st);
		if (st != FR_READ)
			break;
		heads->push_back(std::string((char *)h, 17));
		pays->push_back(std::string((char *)p, 3600));
	}
	fclose(in);
	waitpid(pid, nullptr, 0);
	return sts;
}

TEST(Frame, RecordsAreReadWholeAcrossShortPipeReads)
{
	std::string a = record("2026120721163450", payload(1)), b = record("2026120721163500", payload(2));
	std::vector<std::string> h, p;
	EXPECT_EQ(read_all(a + b, &h, &p), (std::vector<int>{FR_READ, FR_READ, FR_END}));
	EXPECT_EQ(h[1], b.substr(0, 17));
	EXPECT_EQ(p[0], payload(1));
	EXPECT_EQ(p[1], payload(2));
}

TEST(Frame, CutPayloadKeepsPreviousTailAndCutHeaderEnds)
{
	std::string a = record("2026120721163450", payload(1));
	std::string cut = record("2026120721163500", payload(2)).substr(0, 17 + 100);
	std::vector<std::string> h, p;
	EXPECT_EQ(read_all(a + cut, &h, &p), (std::vector<int>{FR_READ, FR_READ, FR_END}));
	EXPECT_EQ(p[1], payload(2).substr(0, 100) + payload(1).substr(100));

	h.clear();
	p.clear();
	EXPECT_EQ(read_all(a + a.substr(0, 10), &h, &p), (std::vector<int>{FR_READ, FR_END}));
	EXPECT_EQ(read_all("", &h, &p), (std::vector<int>{FR_END}));
}
