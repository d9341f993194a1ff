// arc-stat --health: the status from the days left at the rate of recent days, on real tmpfs
// mounts of a given size and inode count.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include "arckit.h"

namespace {

// A file system with no room left for a frame is critical even before the archive holds any
// (a new station whose disk something else filled): no rate is needed to see that it is full.
TEST(ArcHealth, AFullDiskWithoutFramesIsCritical)
{
	for (bool inodes : {false, true}) {
		SCOPED_TRACE(inodes ? "no inodes left" : "no bytes left");
		Tmpfs fs("size=1m,nr_inodes=200");
		if (!fs.ok)
			GTEST_SKIP() << "cannot mount a tmpfs here (not permitted)";
		std::string root = fs.dir + "/arc";
		ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
		std::string j;
		EXPECT_EQ(health(root, &j), 0) << j;
		for (int k = 0, fd; k < 400 && (fd = creat((fs.dir + "/f" + std::to_string(k)).c_str(), 0644)) >= 0; k++) {
			std::string block(inodes ? 0 : 1 << 16, 'x');
			bool room = write(fd, block.data(), block.size()) == (ssize_t)block.size();
			close(fd);
			if (!inodes && !room)
				break;
		}
		EXPECT_EQ(health(root, &j), 2) << j;
		EXPECT_NE(j.find(std::string("\"days_left\":0.0,\"limit\":\"") + (inodes ? "inodes" : "bytes") + "\""), std::string::npos) << j;
	}
}

TEST(ArcHealth, WarningUnderThirtyDaysAndCriticalUnderSeven)
{
	// A minute of loose frames: 122 inodes (the day, the period, 120 files) in 60 s of
	// recording, 175680 a day; the inodes run out first, in about 5.7, 14.8 and 56.9 days.
	struct {
		long inodes;
		int status;
		double lo, hi;  // days left
	} cases[] = {{1000000, 2, 5, 6.5}, {2600000, 1, 14, 15.5}, {10000000, 0, 56, 58}};
	for (auto &c : cases) {
		SCOPED_TRACE(c.inodes);
		Tmpfs fs("size=1000g,nr_inodes=" + std::to_string(c.inodes));
		if (!fs.ok)
			GTEST_SKIP() << "cannot mount a tmpfs here (not permitted)";
		std::string root = fs.dir + "/arc";
		mkdir(root.c_str(), 0755);
		int stored = 0;
		ASSERT_TRUE(write_period(root, "20261101100", 120, &stored));
		std::string j;
		EXPECT_EQ(health(root, &j), c.status) << j;
		auto h = nlohmann::json::parse(j);
		EXPECT_EQ(h["status"], c.status);
		EXPECT_EQ(h["limit"], "inodes");
		EXPECT_EQ(h["inodes_per_day"], 175680.0) << j;
		EXPECT_GT(h["days_left"], c.lo);
		EXPECT_LT(h["days_left"], c.hi);
	}
}

}  // namespace
