// Floods of hostile datagrams over real UDP: random lengths from 0 to 65,507 bytes, 16-byte ones
// among them (some all digits), mixed with well-formed pairs. Sending waits on the receiver's
// socket queue, so nothing is lost and the output must be exactly what the receive rules imply.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>
#include <thread>
#include <unistd.h>

#include "kit.h"
#include "rxmodel.h"

namespace {

// Sends once the queue has room for the datagram, so the kernel never drops one.
void paced(const Udp &u, int port, const std::string &d)
{
	wait_until([&] {
		long q = rx_queue(port);
		return q == 0 || (d.size() < 8000 && q < 60000);
	}, 4000, 0);
	u.send(port, d);
}

std::string digits16(std::mt19937 &rng)
{
	std::string s(16, '0');
	for (char &c : s)
		c = (char)('0' + rng() % 10);
	return s;
}

std::vector<std::string> flood(unsigned seed, int n, int *pairs)
{
	std::mt19937 rng(seed);
	std::vector<std::string> dg;
	auto bytes = [&](size_t len) {
		std::string s(len, '\0');
		for (char &c : s)
			c = (char)(rng() & 0xff);
		return s;
	};
	*pairs = 0;
	for (int i = 0; i < n; i++) {
		unsigned r = rng() % 100;
		if (r < 25) {
			char stamp[64];
			snprintf(stamp, sizeof stamp, "20261207%06d%02d", 100000 + *pairs / 2 % 100000, *pairs % 2 ? 50 : 0);
			dg.push_back(stamp);
			dg.push_back(bytes(3600));
			++*pairs;
		} else if (r < 35)
			dg.push_back(digits16(rng));
		else if (r < 45)
			dg.push_back(bytes(16));
		else if (r < 75)
			dg.push_back(bytes(rng() % 100));
		else if (r < 90)
			dg.push_back(bytes(100 + rng() % 3900));
		else
			dg.push_back(bytes(4000 + rng() % (65507 - 4000 + 1)));
	}
	// Two last pairs: whatever state the flood left, the second is received in step.
	dg.push_back("2026120823595900");
	dg.push_back(bytes(3600));
	dg.push_back("2026120823595950");
	dg.push_back(bytes(3600));
	return dg;
}

TEST(Flood, NetPipeWritesExactlyTheImpliedRecords)
{
	int pairs;
	std::vector<std::string> dg = flood(7, 6000, &pairs);
	std::vector<RxFrame> want = rx_model(dg, false);
	ASSERT_GT(pairs, 1000);

	int port = free_udp_port();
	Proc p = start_net_pipe(port);
	std::string out;
	std::thread reader([&] { out = read_n(p.out, want.size() * 3617, 120000); });
	Udp u;
	for (const std::string &d : dg)
		paced(u, port, d);
	reader.join();
	EXPECT_TRUE(still_running(p));
	stop(p);
	out += drain(p.out);  // nothing beyond the implied records

	ASSERT_EQ(out.size(), want.size() * 3617);
	for (size_t k = 0; k < want.size(); k++)
		ASSERT_EQ(out.substr(k * 3617, 3617), record(want[k].stamp, want[k].payload)) << "record " << k;
	EXPECT_EQ(out.substr(out.size() - 3617), record(dg[dg.size() - 2], dg.back()));
}

TEST(Flood, NetArcStoresExactlyTheImpliedFiles)
{
	int pairs;
	std::vector<std::string> dg = flood(11, 2500, &pairs);
	std::map<std::string, std::string> want;  // the last payload of each digit stamp
	for (const RxFrame &f : rx_model(dg, true))
		want[f.stamp] = f.payload;

	TempDir t;
	int port = free_udp_port();
	Proc p = start_net_arc(t.path, port);
	Udp u;
	for (const std::string &d : dg)
		paced(u, port, d);
	// Done when the last frame's file is whole.
	const std::string last = "arc/20261208/20261208235/2026120823595950.gz";
	wait_until([&] { return exists(t / last) && run({"/bin/gzip", "-t", t / last}).status == 0 && rx_queue(port) == 0; },
		   30000, 10);
	EXPECT_TRUE(still_running(p));
	stop(p);

	Ran found = run({"/usr/bin/find", t / "arc", "-name", "*.gz"}, "", 20000);
	std::vector<std::string> files;
	for (size_t at = 0; at < found.out.size(); at = found.out.find('\n', at) + 1) {
		std::string f = found.out.substr(at, found.out.find('\n', at) - at);
		files.push_back(f.substr(t.path.size() + 1));
	}
	// Everything stored lies where its digit stamp puts it, inside the root.
	std::vector<std::string> cmd = {"/bin/sh", "-c", "cd '" + t.path + "' && for f; do gzip -dc \"$f\"; done", "sh"};
	std::vector<std::string> expect_files;
	for (auto &[stamp, pay] : want)
		expect_files.push_back("arc/" + stamp.substr(0, 8) + "/" + stamp.substr(0, 11) + "/" + stamp + ".gz");
	std::sort(files.begin(), files.end());
	std::sort(expect_files.begin(), expect_files.end());
	ASSERT_EQ(files, expect_files);
	cmd.insert(cmd.end(), expect_files.begin(), expect_files.end());
	Ran all = run(cmd, "", 60000);
	ASSERT_EQ(all.out.size(), want.size() * 3600) << all.err.substr(0, 500);
	size_t k = 0;
	for (const std::string &f : expect_files) {
		std::string stamp = f.substr(f.size() - 19, 16);
		EXPECT_EQ(all.out.substr(k++ * 3600, 3600), want[stamp]) << f;
	}
	Ran top = run({"/bin/ls", "-A", t.path});
	EXPECT_EQ(top.out, "arc\n");
}

}  // namespace
