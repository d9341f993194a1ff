// arc-pack racing the writers of its periods: a loose file is packed only when it is a whole
// frame file left alone a while, anything else stays loose (named once it is old), a file
// written again after it was packed stays, and late frames sent to net-arc while arc-pack runs
// again and again are never lost.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "kit.h"
#include "pack_race.h"

namespace fs = std::filesystem;

namespace {

// Sets the last write of path seconds back from now.
void age(const std::string &path, int seconds)
{
	struct timespec t[2];
	clock_gettime(CLOCK_REALTIME, &t[0]);
	t[0].tv_sec -= seconds;
	t[1] = t[0];
	ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, 0), 0) << path;
}

Ran pack(const std::string &root)
{
	return run({bin("arc-pack"), "-a", "0m", root});
}

const char GOOD[] = "2026120710000000", OTHER[] = "2026120710000050";
const char PACK[] = "/20261207/20261207100.pack.tar.zst";

TEST(ArcPackRace, OnlyAWholeFrameFileLeftAloneIsPacked)
{
	std::string gz = gzip(payload(1));
	struct {
		const char *name;
		std::string bytes;
		int age;          // seconds since its last write
		std::string err;  // what arc-pack says of it ("" : nothing, and exit 0)
	} cases[] = {
		{"just made empty, as the shell makes it", "", 0, ""},
		{"whole but just written", gz, 1, ""},
		{"half written", gz.substr(0, gz.size() / 2), 10, ""},
		{"empty for a minute", "", 70, "empty"},
		{"cut before its trailer", gz.substr(0, gz.size() - 4), 70, "truncated"},
		{"not gzip at all", "this is not a frame\n", 70, "not gzip"},
		{"two streams", gz + gz, 70, "data after the gzip stream"},
		{"a short payload", gzip(payload(1).substr(0, 100)), 70, "inflates to 100 bytes, not 3600"},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.name);
		ArcTree a({GOOD});
		a.put(OTHER, c.bytes);
		age(a.root + "/" + frame_path(GOOD), 10);
		age(a.root + "/" + frame_path(OTHER), c.age);
		Ran r = pack(a.root);
		EXPECT_EQ(exit_code(r.status), c.err.empty() ? 0 : 1) << r.err;
		std::string named = "arc-pack: " + a.root + "/" + frame_path(OTHER) + ": " + c.err + "; left loose\n";
		EXPECT_EQ(r.err.find(named) != std::string::npos, !c.err.empty()) << r.err;
		EXPECT_TRUE(exists(a.root + PACK));
		EXPECT_FALSE(exists(a.root + "/" + frame_path(GOOD)));
		EXPECT_TRUE(slurp(a.root + "/" + frame_path(OTHER)) == c.bytes);
		// Written whole at last, it is packed by the next run.
		a.put(OTHER, gzip(payload(7)));
		age(a.root + "/" + frame_path(OTHER), 10);
		Ran again = pack(a.root);
		EXPECT_EQ(exit_code(again.status), 0) << again.err;
		EXPECT_FALSE(exists(a.root + "/" + frame_path(OTHER)));
		Ran cat = run({bin("arc-cat"), a.root});
		EXPECT_EQ(exit_code(cat.status), 0) << cat.err;
		EXPECT_TRUE(cat.out == record(GOOD, payload(0)) + record(OTHER, payload(7)));
	}
}

// Whether the process is stopped (state T in /proc/PID/stat).
bool stopped(pid_t pid)
{
	std::string st = slurp("/proc/" + std::to_string(pid) + "/stat");
	size_t paren = st.rfind(')');
	return paren != std::string::npos && paren + 2 < st.size() && st[paren + 2] == 'T';
}

TEST(ArcPackRace, AFileWrittenAgainAfterTheReadBackStays)
{
	// Rewritten in place, as the shell's "gzip > FILE" does, once the pack holds its old bytes:
	// the pack goes in place, but the file is no longer the one packed and is not removed.
	ArcTree a({GOOD, OTHER});
	age(a.root + "/" + frame_path(GOOD), 10);
	age(a.root + "/" + frame_path(OTHER), 10);
	Spawn s;
	s.argv = {bin("arc-pack"), "-a", "0m", a.root};
	s.env = {"ARC_PACK_STOP=verified:pause"};
	Proc p = start(s);
	ASSERT_TRUE(wait_until([&] { return stopped(p.pid); }, 20000));
	std::string fresh = gzip(payload(99));
	spit(a.root + "/" + frame_path(OTHER), fresh);
	kill(p.pid, SIGCONT);
	int status;
	ASSERT_TRUE(wait_exit(p, 20000, &status));
	EXPECT_EQ(exit_code(status), 0);
	EXPECT_TRUE(exists(a.root + PACK));
	EXPECT_FALSE(exists(a.root + "/" + frame_path(GOOD)));
	EXPECT_TRUE(slurp(a.root + "/" + frame_path(OTHER)) == fresh);
	Ran cat = run({bin("arc-cat"), a.root});
	EXPECT_TRUE(cat.out == record(GOOD, payload(0)) + record(OTHER, payload(99)));
}

TEST(ArcPackRace, LateFramesWhilePackingRunsAgainAndAgainLoseNone)
{
	// 300 frames in 60 sends of 5, over 6 closed periods in turn, with arc-pack packing all the
	// while; then once more.
	TempDir d;
	RaceFigures f = race(d.path, RaceRun{});
	EXPECT_TRUE(f.problems.empty()) << f.problems;
	EXPECT_EQ(f.sent, 300);
	EXPECT_GE(f.present + f.drops, f.sent);
	std::string lost;
	for (const std::string &s : f.lost)
		lost += s + " ";
	EXPECT_TRUE(f.lost.empty()) << f.lost.size() << " lost: " << lost << "\n" << f.pack_errors;
	EXPECT_GT(f.runs, 1);
	Ran last = run({bin("arc-pack"), "-a", "0m", d / "arc"}, "", 60000, {"ARC_PACK_SETTLE=0"});
	EXPECT_EQ(exit_code(last.status), 0) << last.err;
	size_t loose = 0, packs = 0;
	for (auto &e : fs::recursive_directory_iterator(d / "arc")) {
		loose += e.path().extension() == ".gz";
		packs += e.path().string().ends_with(".pack.tar.zst");
	}
	EXPECT_EQ(loose, 0u);
	EXPECT_EQ(packs, 6u);
	std::string err;
	EXPECT_EQ((long)race_present(d / "arc", &err).size(), f.present);
	EXPECT_EQ(err, "");
}

}  // namespace
