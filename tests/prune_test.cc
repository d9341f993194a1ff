// arc-prune: which days go (old ones inside ROOT, never today, yesterday or a link) and
// --min-free counting inodes as well as bytes on a real tmpfs.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include "arckit.h"

namespace {

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
	auto day = [](int back) {
		char s[16];
		time_t t = time(nullptr) - (time_t)back * 86400;
		strftime(s, sizeof s, "%Y%m%d", localtime(&t));
		return std::string(s);
	};
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
			std::string one = "would remove " + a.root + "/" + day(40) + " (1 frames, ";
			std::string two = "would remove " + a.root + "/" + day(3) + " (1 frames, ";
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

}  // namespace
