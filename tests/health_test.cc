// arc-stat --health: the status from the days left at the rate of recent days, on real tmpfs
// mounts of a given size and inode count; UNKNOWN (3) for what cannot be measured; the days it
// measures; and the pack unit's check, which logs and fails by that status.
#include <gtest/gtest.h>

#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "arckit.h"

namespace {

// What cannot be measured is UNKNOWN, exit status 3, in both forms, never a mere WARNING: ROOT
// missing (an archive disk not mounted), not a directory, or unreadable. Usage stays 2.
TEST(ArcHealth, WhatCannotBeMeasuredIsUnknown)
{
	TempDir t;
	ASSERT_EQ(chmod(t.path.c_str(), 0755), 0);  // for the unprivileged row
	spit(t / "file", "x");
	ASSERT_EQ(mkdir((t / "locked").c_str(), 0), 0);
	struct {
		const char *name;
		std::string root, error;
		bool unprivileged;
	} cases[] = {
		{"ROOT missing", t / "none", t / "none" + ": No such file or directory", false},
		{"ROOT a file", t / "file", t / "file" + ": not a directory", false},
		// Root reads any directory whatever its mode: run as nobody, or skipped.
		{"ROOT unreadable", t / "locked", t / "locked" + ": cannot read directory: Permission denied", true},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.name);
		for (bool json : {true, false}) {
			std::vector<std::string> argv = {bin("arc-stat"), "--health"};
			if (json)
				argv.push_back("--json");
			argv.push_back(c.root);
			if (c.unprivileged && (argv = unprivileged(argv)).empty())
				GTEST_SKIP() << "cannot drop root's privileges here (no setpriv): the unreadable ROOT is untested";
			Ran r = run(argv);
			EXPECT_EQ(exit_code(r.status), 3) << r.err;
			EXPECT_EQ(r.out, json ? "{\"status\":\"UNKNOWN\",\"error\":\"" + c.error + "\"}\n"
					      : "status          3 UNKNOWN\nerror           " + c.error + "\n");
			EXPECT_EQ(r.err, "arc-stat: " + c.error + "\n");
		}
	}
	for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
		     {"--health"}, {"--health", "-v", t / "none"}, {"--health", t.path, "2026"}}) {
		args.insert(args.begin(), bin("arc-stat"));
		Ran r = run(args);
		EXPECT_EQ(exit_code(r.status), 2) << args.back();
		EXPECT_EQ(r.err.rfind("usage: arc-stat", 0), 0u) << r.err;
	}
}

// A day among the newest that cannot be walked: the figures are of part of the days, so the
// status is UNKNOWN, naming the day, not the status of a rate it cannot know.
TEST(ArcHealth, ADayThatCannotBeReadMakesItUnknown)
{
	ArcTree a({"2026110100000000", "2026110200000000"});
	ASSERT_EQ(chmod(a.t.path.c_str(), 0755), 0);
	ASSERT_EQ(chmod((a.root + "/20261102/20261102000").c_str(), 0), 0);
	std::vector<std::string> argv = unprivileged({bin("arc-stat"), "--health", "--json", a.root});
	if (argv.empty())
		GTEST_SKIP() << "cannot drop root's privileges here (no setpriv)";
	Ran r = run(argv);
	EXPECT_EQ(exit_code(r.status), 3) << r.err;
	std::string error = a.root + "/20261102/20261102000: cannot read: Permission denied";
	EXPECT_EQ(r.err, "arc-stat: " + error + "\n");
	auto j = nlohmann::json::parse(r.out);
	EXPECT_EQ(j["status"], "UNKNOWN") << r.out;
	EXPECT_EQ(j["error"], error) << r.out;
	EXPECT_EQ(j["days_measured"], 1) << r.out;
}

// A stray day stamped far ahead of the host's clock (one file of 2099) is not one of the seven
// newest days: the rate is that of the real ones, and the stray day is said.
TEST(ArcHealth, ADayNamedFarAheadIsNotOneOfTheSeven)
{
	std::vector<std::string> stamps;
	for (int d = 1; d <= 8; d++)
		stamps.push_back("2026110" + std::to_string(d) + "12000000");
	ArcTree a(stamps);
	a.put("2099123100000000", gzip(payload(9)));
	Ran r = run({bin("arc-stat"), "--health", "--json", a.root});
	auto j = nlohmann::json::parse(r.out);
	// Its status is the host disk's (the days left at the rate measured): anything but UNKNOWN.
	EXPECT_EQ(exit_code(r.status), j["status"].get<int>()) << r.err;
	EXPECT_LT(exit_code(r.status), 3) << r.err;
	EXPECT_EQ(j["days_measured"], 7) << r.out;
	EXPECT_EQ(j["first_day"], "20261102") << r.out;
	EXPECT_EQ(j["last_day"], "20261108") << r.out;
	EXPECT_EQ(j["frames"], 7) << r.out;
	EXPECT_EQ(j["days_ahead"], 1) << r.out;
	EXPECT_EQ(r.err, "arc-stat: 1 day skipped: named more than 75 minutes ahead of the host's clock\n");
}

// The check arc-pack@.service runs after packing (its ExecStopPost line, as systemd runs it):
// OK and WARNING log nothing, CRITICAL logs the report at warning priority, and a status it
// cannot measure (UNKNOWN, or arc-stat failing) logs at error priority and fails the unit.
TEST(ArcHealth, ThePackUnitLogsCriticalAndFailsWhenItCannotMeasure)
{
	std::ifstream unit(src("packaging/arc-pack@.service"));
	std::string line, script;
	while (std::getline(unit, line))
		if (line.rfind("ExecStopPost=/bin/sh -c '", 0) == 0)
			script = line.substr(25, line.rfind("' health ${ROOT}") - 25);
	ASSERT_NE(script, "");
	for (size_t at; (at = script.find("$$")) != std::string::npos;)
		script.erase(at, 1);
	TempDir t;
	spit(t / "logger", "#!/bin/sh\n{ echo \"logger $*\"; cat; } >> '" + t / "log" + "'\n", 0755);
	if (std::vector<std::string> em = emulated({bin("arc-stat")}); em.size() > 1) {
		std::string line = "exec";  // a cross-built arc-stat, run by the shell through its emulator
		for (const std::string &w : em)
			line += " '" + w + "'";
		spit(t / "arc-stat", "#!/bin/sh\n" + line + " \"$@\"\n", 0755);
	}
	Tmpfs full("size=1m,nr_inodes=100");
	std::string full_root = full.dir + "/arc";
	if (full.ok) {
		mkdir(full_root.c_str(), 0755);
		spit(full.dir + "/filler", std::string(1 << 20, 'x'));  // as much as fits
	}
	ArcTree ok({"2026110100000000"});
	struct {
		const char *name;
		std::string root;
		int status;
		std::string log;  // its first line
	} cases[] = {
		{"OK", ok.root, 0, ""},
		{"CRITICAL", full_root, 0, "logger -p user.warning -t arc-stat"},
		{"UNKNOWN", t / "none", 1, "logger -p user.err -t arc-stat"},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.name);
		if (c.root == full_root && !full.ok)
			continue;  // no tmpfs here: the CRITICAL row is left out
		unlink((t / "log").c_str());
		Ran r = run({"/bin/sh", "-c", script, "health", c.root}, "", 20000,
			    {"PATH=" + t.path + ":" + BIN_DIR + ":/usr/bin:/bin"});
		EXPECT_EQ(exit_code(r.status), c.status) << r.err;
		std::string log = exists(t / "log") ? slurp(t / "log") : "";
		EXPECT_EQ(log.substr(0, log.find('\n')), c.log) << log;
	}
}

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

// The day of the host's clock is measured, not passed over as ahead of it: only a day that
// starts later than the clock plus its grace is. (Checked against the day's start, not its end,
// which lies ahead of the clock all day.)
TEST(ArcHealth, TodayIsMeasured)
{
	char today[16];
	time_t now = time(nullptr);
	strftime(today, sizeof today, "%Y%m%d", localtime(&now));
	ArcTree a({std::string(today) + "00000000", std::string(today) + "00000050"});
	Ran r = run({bin("arc-stat"), "--health", "--json", a.root});
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_EQ(r.err, "");
	auto j = nlohmann::json::parse(r.out);
	EXPECT_EQ(j["days_measured"], 1) << r.out;
	EXPECT_EQ(j["last_day"], today) << r.out;
	EXPECT_EQ(j["frames"], 2) << r.out;
	EXPECT_EQ(j["days_ahead"], 0) << r.out;
}

// Free and total bytes and inodes, each under its own name, as the file system has them (a
// tmpfs nothing else writes on), in the JSON and the text alike.
TEST(ArcHealth, FreeAndTotalAsTheFileSystemHasThem)
{
	Tmpfs fs("size=8m,nr_inodes=1000");
	if (!fs.ok)
		GTEST_SKIP() << "cannot mount a tmpfs here (not permitted)";
	std::string root = fs.dir + "/arc";
	ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
	int stored = 0;
	ASSERT_TRUE(write_period(root, "20261101100", 10, &stored));
	struct statvfs v;
	ASSERT_EQ(statvfs(root.c_str(), &v), 0);
	unsigned long long free_bytes = (unsigned long long)v.f_bavail * v.f_frsize,
			   total_bytes = (unsigned long long)v.f_blocks * v.f_frsize;
	ASSERT_NE(free_bytes, total_bytes);
	ASSERT_NE((unsigned long long)v.f_favail, (unsigned long long)v.f_files);
	std::string out;
	EXPECT_EQ(health(root, &out), 2) << out;  // a small disk: full within the day
	auto j = nlohmann::json::parse(out);
	EXPECT_EQ(j["free_bytes"], free_bytes) << out;
	EXPECT_EQ(j["total_bytes"], total_bytes) << out;
	EXPECT_EQ(j["free_inodes"], (unsigned long long)v.f_favail) << out;
	EXPECT_EQ(j["total_inodes"], (unsigned long long)v.f_files) << out;
	Ran r = run({bin("arc-stat"), "--health", root});
	EXPECT_NE(r.out.find("free bytes      " + std::to_string(free_bytes) + " of " + std::to_string(total_bytes) + "\n"),
		  std::string::npos) << r.out;
	EXPECT_NE(r.out.find("free inodes     " + std::to_string(v.f_favail) + " of " + std::to_string(v.f_files) + "\n"),
		  std::string::npos) << r.out;
}

}  // namespace
