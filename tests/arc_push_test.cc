// arc-push against a real rsync daemon on loopback: the closed packs go, byte for byte, laid out
// as the archive is; what is not a closed pack stays; a pack already there is not sent again,
// one that differs is; -n lists what would go and sends nothing.
#include <gtest/gtest.h>

#include <csignal>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "kit.h"

namespace {

bool accepts(int port)
{
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons((uint16_t)port);
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	bool ok = connect(fd, (sockaddr *)&a, sizeof a) == 0;
	close(fd);
	return ok;
}

struct Daemon {
	TempDir t;
	int port = free_tcp_port();
	Proc p;
	std::string store = t / "store";
	bool up()
	{
		mkdir(store.c_str(), 0755);
		// As ourselves (a daemon started by root would be nobody otherwise).
		spit(t / "rsyncd.conf", "use chroot = no\nuid = " + std::to_string(getuid()) + "\ngid = " +
						std::to_string(getgid()) + "\npid file = " + t / "rsyncd.pid" +
						"\n[store]\npath = " + store + "\nread only = no\n");
		Spawn s;
		s.argv = {"/usr/bin/rsync", "--daemon", "--no-detach", "--address", "127.0.0.1", "--port",
			  std::to_string(port), "--config", t / "rsyncd.conf"};
		p = start(s);
		return wait_until([&] { return accepts(port) || !still_running(p); }, 20000, 10) && still_running(p);
	}
	std::string url() const { return "rsync://127.0.0.1:" + std::to_string(port) + "/store/"; }
};

TEST(ArcPush, ClosedPacksGoByteForByteAndOnlyOnce)
{
	if (access("/usr/bin/rsync", X_OK) != 0)
		GTEST_SKIP() << "rsync is not installed";
	Daemon d;
	ASSERT_TRUE(d.up());
	TempDir a;
	std::string root = a / "arc";
	for (const char *dir : {"", "/20261208", "/20261209", "/20261208/2026120810", "/notes", "/20261399"})
		mkdir((root + dir).c_str(), 0755);
	struct File {
		std::string path, bytes;
		bool goes;
	} files[] = {
		{"20261208/20261208100.pack.tar.zst", "first pack", true},
		{"20261208/20261208101.pack.tar.zst", std::string(300000, 'p'), true},
		{"20261209/20261209000.pack.tar.zst", "next day", true},
		{"20261208/20261208102.pack.tar.zst.part", "being written", false},
		{"20261208/2026120810/2026120810000000.gz", "loose", false},
		{"notes/20261208100.pack.tar.zst", "not a day", false},
		{"20261399/20261399000.pack.tar.zst", "not a date", false},
		{"20261208/x20261208100.pack.tar.zst", "not a pack's name", false},
	};
	for (const File &f : files)
		spit(root + "/" + f.path, f.bytes);
	std::string all = "20261208/20261208100.pack.tar.zst\n20261208/20261208101.pack.tar.zst\n20261209/20261209000.pack.tar.zst\n";
	Ran dry = run({bin("arc-push"), "-n", root, d.url()});
	ASSERT_EQ(exit_code(dry.status), 0) << dry.err;
	EXPECT_EQ(dry.out, all);
	EXPECT_FALSE(exists(d.store + "/20261208"));
	Ran push = run({bin("arc-push"), root, d.url()});
	ASSERT_EQ(exit_code(push.status), 0) << push.err;
	for (const File &f : files)
		if (f.goes)
			EXPECT_EQ(slurp(d.store + "/" + f.path), f.bytes) << f.path;
		else
			EXPECT_FALSE(exists(d.store + "/" + f.path)) << f.path;
	// Again: nothing would go. A copy spoilt at the same size and time goes again.
	Ran again = run({bin("arc-push"), "-n", root, d.url()});
	EXPECT_EQ(again.out.find(".pack.tar.zst"), std::string::npos) << again.out;
	std::string spoilt = d.store + "/20261208/20261208100.pack.tar.zst";
	Ran touch = run({"/usr/bin/touch", "-r", spoilt, d.t / "when"});
	spit(spoilt, "firXt pack");
	run({"/usr/bin/touch", "-r", d.t / "when", spoilt});
	Ran fix = run({bin("arc-push"), root, d.url()});
	EXPECT_EQ(exit_code(fix.status), 0) << fix.err;
	EXPECT_EQ(slurp(spoilt), "first pack");
	EXPECT_EQ(fix.out, "20261208/20261208100.pack.tar.zst\n");
}

TEST(ArcPush, UsageAndAStoreAway)
{
	TempDir a;
	EXPECT_EQ(exit_code(run({bin("arc-push"), a.path}).status), 2);
	EXPECT_EQ(exit_code(run({bin("arc-push"), a / "none", a / "dest"}).status), 1);
	mkdir((a / "20261208").c_str(), 0755);
	spit(a / "20261208/20261208100.pack.tar.zst", "p");
	Ran away = run({bin("arc-push"), a.path, "rsync://127.0.0.1:" + std::to_string(free_tcp_port()) + "/store/"});
	EXPECT_EQ(exit_code(away.status), 1);
	EXPECT_NE(away.err.find("arc-push: rsync failed with status"), std::string::npos) << away.err;
}

// Only what lies in ROOT goes: a day that is a link out of it and a pack that is a link are named
// and passed over (status 1), the rest still goes; a ROOT whose name holds a colon is a
// directory here, not a host.
TEST(ArcPush, NothingFromOutsideRootAndAColonIsNoHost)
{
	TempDir t;
	std::string root = t / "x:y";
	for (const std::string &d : {root, root + "/20261201", t / "out", t / "dest"})
		mkdir(d.c_str(), 0755);
	spit(root + "/20261201/20261201000.pack.tar.zst", "pack");
	spit(t / "out/20261202000.pack.tar.zst", "secret");
	symlink((t / "out").c_str(), (root + "/20261202").c_str());
	symlink((t / "out/20261202000.pack.tar.zst").c_str(), (root + "/20261201/20261201010.pack.tar.zst").c_str());
	Ran r = run({bin("arc-push"), root, t / "dest"}, "", 60000);
	EXPECT_EQ(exit_code(r.status), 1) << r.err;
	EXPECT_EQ(r.err, "arc-push: " + root + "/20261201/20261201010.pack.tar.zst: not a regular file; not pushed\n"
			 "arc-push: " + root + "/20261202: not a directory of the archive (a link?); passed over\n");
	EXPECT_EQ(run({"/usr/bin/find", t / "dest", "-type", "f"}).out, t / "dest/20261201/20261201000.pack.tar.zst\n");
	EXPECT_EQ(slurp(t / "dest/20261201/20261201000.pack.tar.zst"), "pack");
	// Given as a relative name, as typed in the archive's parent.
	Spawn s;
	s.argv = {bin("arc-push"), "-n", "x:y", "dest2"};
	s.cwd = t.path;
	s.pipe_out = true;
	Proc p = start(s);
	int st = 0;
	ASSERT_TRUE(wait_exit(p, 60000, &st));
	std::string err = read_to_end(p.err, 5000);
	EXPECT_EQ(exit_code(st), 1) << err;
	EXPECT_EQ(read_to_end(p.out, 5000), "20261201/20261201000.pack.tar.zst\n");
	EXPECT_EQ(err.find("ssh"), std::string::npos) << err;
}

}  // namespace
