// net-arc over real UDP with the real shell, mkdir and gzip, storing into a real tree.
#include <gtest/gtest.h>

#include <dirent.h>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kit.h"

namespace {

// Every path below a directory, relative to it.
std::set<std::string> tree(const std::string &dir, const std::string &rel = "")
{
	std::set<std::string> out;
	DIR *d = opendir((dir + "/" + rel).c_str());
	if (!d)
		return out;
	while (struct dirent *e = readdir(d)) {
		std::string n = e->d_name;
		if (n == "." || n == "..")
			continue;
		std::string r = rel.empty() ? n : rel + "/" + n;
		out.insert(r);
		if (e->d_type == DT_DIR)
			for (const std::string &sub : tree(dir, r))
				out.insert(sub);
	}
	closedir(d);
	return out;
}

std::string gunzip(const std::string &path)
{
	Ran r = run({"/bin/gzip", "-dc", path}, "", 5000);
	return exit_code(r.status) == 0 ? r.out : "(not a whole gzip file)";
}

struct NetArc : ::testing::Test {
	TempDir t;
	int port = free_udp_port();
	Udp udp;
	Proc p;
	void SetUp() override { p = start_net_arc(t.path, port); }
	void pair(const std::string &stamp, const std::string &pay)
	{
		udp.send(port, stamp);
		udp.send(port, pay);
	}
	static std::string path(const std::string &stamp)
	{
		return "arc/" + stamp.substr(0, 8) + "/" + stamp.substr(0, 11) + "/" + stamp + ".gz";
	}
	// Waits until the stamp's file decompresses to want; returns what it holds at the end.
	std::string stored(const std::string &stamp, const std::string &want, int ms = 10000)
	{
		std::string got;
		wait_until([&] { return exists(t / path(stamp)) && (got = gunzip(t / path(stamp))) == want; }, ms, 10);
		return got;
	}
	std::string err() { return drain(p.err); }
};

TEST_F(NetArc, DirectoriesAreMadeAsFirstNeeded)
{
	const std::string a = "2026120721163450", b = "2026120721185900", c = "2026120721200000",
			  d = "2026120800000050";
	pair(a, payload(1));
	EXPECT_EQ(stored(a, payload(1)), payload(1));
	EXPECT_EQ(tree(t / "arc"), (std::set<std::string>{"20261207", "20261207/20261207211", path(a).substr(4)}));
	pair(b, payload(2));  // same ten minutes: nothing made
	EXPECT_EQ(stored(b, payload(2)), payload(2));
	pair(c, payload(3));  // a new ten minutes of the same day: only its directory
	EXPECT_EQ(stored(c, payload(3)), payload(3));
	pair(d, payload(4));  // a new day
	EXPECT_EQ(stored(d, payload(4)), payload(4));
	EXPECT_EQ(tree(t / "arc"),
		  (std::set<std::string>{"20261207", "20261207/20261207211", "20261207/20261207212", "20261208",
					 "20261208/20261208000", path(a).substr(4), path(b).substr(4),
					 path(c).substr(4), path(d).substr(4)}));
	// Had a directory been made twice, mkdir would have said so.
	EXPECT_EQ(err(), "");
	EXPECT_EQ(exists(t / "arc/20261207/20261207211"), true);
}

TEST_F(NetArc, PayloadsAreStoredExactlyWithTheReceiveRules)
{
	const std::string a = "2026120721163450", b = "2026120721163500", c = "2026120721163550";
	pair(a, payload(1));
	EXPECT_EQ(stored(a, payload(1)), payload(1));
	pair(b, payload(2).substr(0, 100));  // short: the tail of the earlier receives
	EXPECT_EQ(stored(b, payload(2).substr(0, 100) + payload(1).substr(100)), payload(2).substr(0, 100) + payload(1).substr(100));
	pair(c, payload(3) + "beyond 3600");  // long: cut
	EXPECT_EQ(stored(c, payload(3)), payload(3));
	pair(a, payload(4));  // a repeated stamp replaces its file
	EXPECT_EQ(stored(a, payload(4)), payload(4));
}

TEST_F(NetArc, HostileStampsAreNeverStampsAndTheNextGoodFrameIsStored)
{
	const std::string hostile[] = {
		"../../../../tmp/", "2026/../../etc/x", "20261207 2116345", "2026;touch pwn;x", "$(touch pwned)00",
		"`touch pwned`000", "'\"20261207211634", std::string("20261207\0" "1163450", 16), "2026120721163&50",
		"20261207211634|5", "2026120721163\n50", "-rf 202612072116", "..2026120721163.",
	};
	for (const std::string &h : hostile) {
		ASSERT_EQ(h.size(), 16u);
		pair(h, payload(9));
	}
	const std::string good = "2026120721163450";
	pair(good, payload(5));
	EXPECT_EQ(stored(good, payload(5)), payload(5));
	EXPECT_EQ(tree(t.path), (std::set<std::string>{"arc", "arc/20261207", "arc/20261207/20261207211", path(good)}));
	EXPECT_EQ(err(), "");
}

TEST_F(NetArc, MissingRootLosesFramesUntilItExists)
{
	stop(p);
	ASSERT_EQ(rmdir((t / "arc").c_str()), 0);
	Spawn s;  // started by hand: the kit would make the root
	s.argv = {bin("net-arc"), std::to_string(port), "arc"};
	s.cwd = t.path;
	p = start(s);
	ASSERT_TRUE(wait_bound_by(p, port, 5000));
	const std::string a = "2026120721163450", b = "2026120721163500";
	pair(a, payload(1));
	// The shell says what failed; the archiver lives on (the compressor never read its pipe).
	std::string e;
	wait_until([&] { return (e += err()).find(".gz") != std::string::npos; }, 5000, 10);
	EXPECT_NE(e.find("arc/20261207"), std::string::npos) << e;
	EXPECT_NE(e.find(path(a)), std::string::npos) << e;
	EXPECT_TRUE(still_running(p));
	EXPECT_FALSE(exists(t / "arc"));
	ASSERT_EQ(mkdir((t / "arc").c_str(), 0755), 0);
	pair(b, payload(2));
	EXPECT_EQ(stored(b, payload(2)), payload(2));
	EXPECT_FALSE(exists(t / path(a)));
	EXPECT_TRUE(still_running(p));
}

TEST(NetArcRace, ADirectoryRemovedBeforeTheWriteIsMadeAgain)
{
	// arc-pack (or arc-prune) removes a directory just after net-arc saw it or made it, before
	// the compressor's shell opens its file there: here a mkdir ahead on the PATH that makes the
	// first and third period directories and then removes them at once. The frames are stored
	// all the same, the stored bytes as ever, and the shell's complaint is the only trace.
	TempDir t;
	std::string shim = t / "bin";
	mkdir(shim.c_str(), 0755);
	spit(shim + "/mkdir",
	     "#!/bin/sh\n"
	     "/bin/mkdir \"$@\" || exit\n"
	     "case \"$1\" in */*/*) echo x >> " + t / "made" + "; n=$(wc -l < " + t / "made" + ")\n"
	     "  [ \"$n\" = 1 ] || [ \"$n\" = 3 ] && /bin/rmdir \"$1\";;\n"
	     "esac\n"
	     "exit 0\n",
	     0755);
	int port = free_udp_port();
	Proc p = start_net_arc(t.path, port, {"PATH=" + shim + ":/usr/bin:/bin"});
	Udp udp;
	const std::string a = "2026120721163450", b = "2026120721200000";
	for (const std::string &stamp : {a, b}) {
		udp.send(port, stamp);
		udp.send(port, payload(stamp == a ? 1 : 2));
	}
	std::string pa = t / ("arc/20261207/20261207211/" + a + ".gz"), pb = t / ("arc/20261207/20261207212/" + b + ".gz");
	auto unzipped = [](const std::string &path) { return run({"/bin/gzip", "-dc", path}, "", 5000).out; };
	EXPECT_TRUE(wait_until([&] { return unzipped(pb) == payload(2); }, 10000, 20));
	EXPECT_EQ(unzipped(pa), payload(1));
	EXPECT_EQ(slurp(t / "made"), "x\nx\nx\nx\n");
	EXPECT_TRUE(still_running(p));
}

TEST(NetArcStart, UsageAndRootRefusals)
{
	for (auto args : std::vector<std::vector<std::string>>{
		     {}, {"5000"}, {"x", "arc"}, {"5000", ""}, {"5000", "1234567890123456"}, {"5000", "a b"},
		     {"5000", "a;b"}, {"5000", "$(id)"}, {"5000", "-rf"}, {"5000", "a'b"}, {"5000", "arc", "x"}}) {
		args.insert(args.begin(), bin("net-arc"));
		Ran r = run(args, "", 5000);
		EXPECT_EQ(exit_code(r.status), 2) << (args.size() > 2 ? args[2] : "");
		EXPECT_EQ(r.err.rfind("usage: net-arc PORT ROOT", 0), 0u) << r.err;
		EXPECT_EQ(r.out, "");
	}
	// Fifteen characters are fine.
	int port = free_udp_port();
	Spawn s;
	s.argv = {bin("net-arc"), std::to_string(port), "123456789012345"};
	Proc p = start(s);
	EXPECT_TRUE(wait_bound_by(p, port, 5000));
}

TEST(NetArcStart, PortInUseFailsAtOnce)
{
	HeldPort held;
	Ran r = run({bin("net-arc"), std::to_string(held.port), "arc"}, "", 5000);
	EXPECT_EQ(exit_code(r.status), 1);
	EXPECT_EQ(r.err, "net-arc: cannot bind port " + std::to_string(held.port) + ": Address already in use\n");
	EXPECT_EQ(r.out, "");
}

}  // namespace
