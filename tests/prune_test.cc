// arc-prune: which days go (old ones inside ROOT, never today, yesterday or a link), --min-free
// counting inodes as well as bytes on a real tmpfs, a day it cannot measure left whole, and
// ROOT's lock shared with arc-pack.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "arckit.h"

namespace {

namespace fs = std::filesystem;

// A day n days before today (host clock), as 8 digits.
std::string day(int back)
{
	char s[16];
	time_t t = time(nullptr) - (time_t)back * 86400;
	strftime(s, sizeof s, "%Y%m%d", localtime(&t));
	return s;
}

// Pruning and packing take ROOT's lock exclusively: arc-prune started while arc-pack is stopped
// holding it (listed, before it packs) waits for it, removing nothing, and goes on once
// arc-pack has finished. Taken shared, both would run at once.
TEST(ArcPrune, WaitsWhileArcPackHoldsTheLock)
{
	ArcTree a({day(10) + "00000000", day(10) + "00000050", day(9) + "00000000"});
	Spawn pk;
	pk.argv = {bin("arc-pack"), "-a", "0m", a.root};
	pk.env = {"ARC_PACK_STOP=listed:pause", "ARC_PACK_SETTLE=0"};  // files just written
	Proc packer = start(pk);
	ASSERT_TRUE(wait_until([&] { return stopped(packer.pid); }, 20000));
	Spawn pr;
	pr.argv = {bin("arc-prune"), "--keep-days", "2", a.root};
	Proc pruner = start(pr);
	std::string wchan = "/proc/" + std::to_string(pruner.pid) + "/wchan";
	EXPECT_TRUE(wait_until([&] { return slurp(wchan).find("lock") != std::string::npos; }, 5000, 5))
		<< "arc-prune ran while arc-pack held the lock; waiting in " << slurp(wchan);
	EXPECT_TRUE(still_running(pruner));
	EXPECT_TRUE(exists(a.root + "/" + frame_path(day(10) + "00000000")));
	EXPECT_TRUE(exists(a.root + "/" + frame_path(day(9) + "00000000")));
	kill(packer.pid, SIGCONT);
	int st;
	ASSERT_TRUE(wait_exit(packer, 20000, &st));
	EXPECT_EQ(exit_code(st), 0) << read_to_end(packer.err, 1000);
	ASSERT_TRUE(wait_exit(pruner, 20000, &st));
	EXPECT_EQ(exit_code(st), 0);
	std::string err = read_to_end(pruner.err, 1000);
	EXPECT_NE(err.find("removed " + a.root + "/" + day(10) + " (2 frames, "), std::string::npos) << err;
	EXPECT_NE(err.find("removed " + a.root + "/" + day(9) + " (1 frame, "), std::string::npos) << err;
	EXPECT_FALSE(exists(a.root + "/" + day(10)));
	EXPECT_FALSE(exists(a.root + "/" + day(9)));
}

// A day it cannot measure (a period in it unreadable) is named and left whole, not removed
// blindly in part; the exit status says so, and the days it can measure still go. Root reads
// any directory: the program runs as nobody, over directories open to all but the one.
TEST(ArcPrune, ADayItCannotMeasureIsNamedAndLeftWhole)
{
	std::vector<std::string> stamps;
	for (int m = 0; m < 6; m++)
		stamps.push_back(day(10) + "0" + std::to_string(m) + "000000");
	stamps.push_back(day(9) + "00000000");
	ArcTree a(stamps);
	std::vector<std::string> argv = unprivileged({bin("arc-prune"), "--keep-days", "2", a.root});
	if (argv.empty())
		GTEST_SKIP() << "cannot drop root's privileges here (no setpriv)";
	ASSERT_EQ(chmod(a.t.path.c_str(), 0755), 0);
	ASSERT_EQ(chmod(a.root.c_str(), 0777), 0);
	for (auto &e : fs::recursive_directory_iterator(a.root))
		if (e.is_directory())
			fs::permissions(e.path(), fs::perms::all);
	std::string locked = a.root + "/" + day(10) + "/" + day(10) + "030";  // hour 03
	ASSERT_EQ(chmod(locked.c_str(), 0), 0);
	Ran r = run(argv);
	chmod(locked.c_str(), 0755);
	EXPECT_EQ(exit_code(r.status), 1);
	std::string first = "arc-prune: " + a.root + "/" + day(10) + ": cannot be measured (" + locked +
			    ": cannot read: Permission denied); left alone\n";
	EXPECT_EQ(r.err.substr(0, first.size()), first);
	std::string second = r.err.substr(std::min(first.size(), r.err.size()));
	EXPECT_EQ(second.rfind("arc-prune: removed " + a.root + "/" + day(9) + " (1 frame, ", 0), 0u) << r.err;
	EXPECT_TRUE(second.ends_with(" bytes, 3 inodes)\n")) << r.err;
	for (const std::string &s : stamps)
		EXPECT_EQ(exists(a.root + "/" + frame_path(s)), s.compare(0, 8, day(10)) == 0) << s;
}

TEST(ArcPrune, MinFreeCountsInodesAsWellAsBytes)
{
	// Bytes aplenty, inodes short: 3 days of 302 inodes each on a file system of 2000 leave
	// about 55 % free; --min-free 60 removes the oldest day alone (then about 70 %). A frame
	// file takes one page of tmpfs, a directory none.
	Tmpfs fs("size=1000g,nr_inodes=2000");
	if (!fs.ok)
		GTEST_SKIP() << "cannot mount a tmpfs here (not permitted)";
	std::string root = fs.dir + "/arc";
	mkdir(root.c_str(), 0755);
	std::vector<std::string> days;
	int stored = 0;
	for (int back : {5, 4, 3}) {
		char s[16];
		time_t t = time(nullptr) - (time_t)back * 86400;
		strftime(s, sizeof s, "%Y%m%d", localtime(&t));
		days.push_back(s);
		ASSERT_TRUE(write_period(root, days.back() + "100", 300, &stored));
	}
	Ran r = run({bin("arc-prune"), "--min-free", "60", root});
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_FALSE(exists(root + "/" + days[0]));
	EXPECT_TRUE(exists(root + "/" + days[1]));
	EXPECT_TRUE(exists(root + "/" + days[2]));
	EXPECT_EQ(r.err, "arc-prune: removed " + root + "/" + days[0] + " (300 frames, " +
				 std::to_string(300 * 4096) + " bytes, 302 inodes)\n");
}

TEST(ArcPrune, RemovesOnlyOldDaysInsideRoot)
{
	struct {
		std::vector<std::string> args;
		std::vector<int> removed;  // days back
		int status;
		bool listed;  // -n: on standard output
	} cases[] = {
		// A day that is a link is never followed, left alone and named: status 1.
		{{"--keep-days", "2"}, {3, 40}, 1, false},
		{{"-n", "--keep-days", "2"}, {}, 1, true},
		{{"--keep-days", "0"}, {2, 3, 40}, 1, false},
		{{"--min-free", "100"}, {2, 3, 40}, 1, false},
		{{"--min-free", "0.0001"}, {}, 0, false},
		{{"--keep-days", "100"}, {}, 0, false},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.args[0] + " " + c.args[1]);
		TempDir outside;
		spit(outside / "precious", "x");
		std::vector<int> backs = {-1, 0, 1, 2, 3, 40};  // tomorrow, today, yesterday, ...
		std::vector<std::string> stamps;
		for (int b : backs)
			stamps.push_back(day(b) + "00000000");
		ArcTree a(stamps);
		symlink(outside.path.c_str(), (a.root + "/" + day(60)).c_str());
		mkdir((a.root + "/old").c_str(), 0755);
		mkdir((a.root + "/19990231").c_str(), 0755);  // not a real date
		std::vector<std::string> argv = {bin("arc-prune")};
		argv.insert(argv.end(), c.args.begin(), c.args.end());
		argv.push_back(a.root);
		Ran r = run(argv);
		EXPECT_EQ(exit_code(r.status), c.status) << r.err;
		for (int b : backs) {
			bool gone = std::find(c.removed.begin(), c.removed.end(), b) != c.removed.end();
			EXPECT_EQ(exists(a.root + "/" + day(b)), !gone) << b;
			if (gone) {
				EXPECT_NE(r.err.find("removed " + a.root + "/" + day(b)), std::string::npos) << r.err;
			}
		}
		if (c.listed) {
			std::string one = "would remove " + a.root + "/" + day(40) + " (1 frame, ";
			std::string two = "would remove " + a.root + "/" + day(3) + " (1 frame, ";
			EXPECT_EQ(r.out.rfind(one, 0), 0u) << r.out;
			EXPECT_NE(r.out.find("\n" + two), std::string::npos) << r.out;
			EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2);
		} else
			EXPECT_EQ(r.out, "");
		EXPECT_TRUE(exists(outside / "precious"));
		EXPECT_TRUE(exists(a.root + "/old"));
		EXPECT_TRUE(exists(a.root + "/19990231"));
	}
	for (auto args : std::vector<std::vector<std::string>>{
		     {}, {"/tmp"}, {"--keep-days", "-1", "/tmp"}, {"--min-free", "101", "/tmp"}, {"--keep-days", "2"}}) {
		args.insert(args.begin(), bin("arc-prune"));
		Ran r = run(args);
		EXPECT_EQ(exit_code(r.status), 2);
		EXPECT_EQ(r.err.rfind("usage: arc-prune", 0), 0u);
	}
}

// A removal that fails part way (a period it may read but not write in) is named with its
// first failure, never logged as removed, and the exit status says so. Run as nobody: root
// removes whatever the modes say.
TEST(ArcPrune, ARemovalThatFailsIsNamed)
{
	ArcTree a({day(10) + "00000000", day(10) + "00000050"});
	std::vector<std::string> argv = unprivileged({bin("arc-prune"), "--keep-days", "2", a.root});
	if (argv.empty())
		GTEST_SKIP() << "cannot drop root's privileges here (no setpriv)";
	ASSERT_EQ(chmod(a.t.path.c_str(), 0755), 0);
	ASSERT_EQ(chmod(a.root.c_str(), 0777), 0);
	for (auto &e : fs::recursive_directory_iterator(a.root))
		if (e.is_directory())
			fs::permissions(e.path(), fs::perms::all);
	std::string dir = a.root + "/" + day(10), period = dir + "/" + day(10) + "000";
	ASSERT_EQ(chmod(period.c_str(), 0555), 0);
	Ran r = run(argv);
	chmod(period.c_str(), 0755);
	EXPECT_EQ(exit_code(r.status), 1) << r.err;
	std::string said = "arc-prune: " + dir + ": could not be removed whole: " + period + "/" + day(10);
	EXPECT_EQ(r.err.rfind(said, 0), 0u) << r.err;
	EXPECT_TRUE(r.err.ends_with(".gz: Permission denied\n")) << r.err;
	EXPECT_EQ(r.err.find("removed " + dir), std::string::npos) << r.err;
	EXPECT_TRUE(exists(a.root + "/" + frame_path(day(10) + "00000000")));
}

// Counts in the log are plural but for one: a day directory holding nothing says "0 frames"
// and, being one inode, "1 inode".
TEST(ArcPrune, CountsSayOneAndNoneRightly)
{
	ArcTree a({day(10) + "00000000"});
	ASSERT_EQ(mkdir((a.root + "/" + day(20)).c_str(), 0755), 0);
	Ran r = run({bin("arc-prune"), "-n", "--keep-days", "2", a.root});
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	std::string empty = "would remove " + a.root + "/" + day(20) + " (0 frames, ";
	EXPECT_EQ(r.out.rfind(empty, 0), 0u) << r.out;
	EXPECT_NE(r.out.find(" bytes, 1 inode)\nwould remove " + a.root + "/" + day(10) + " (1 frame, "), std::string::npos)
		<< r.out;
	EXPECT_TRUE(r.out.ends_with(" bytes, 3 inodes)\n")) << r.out;
}

}  // namespace
