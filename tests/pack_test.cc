// arc-pack and the readers over packs: exact bytes before and after packing, the standard tar
// restoring the files, kills at every step, late frames, broken packs, the lock, and full and
// inode-starved file systems (real tmpfs mounts).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fcntl.h>
#include <map>
#include <nlohmann/json.hpp>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "arckit.h"

namespace fs = std::filesystem;

namespace {

// Four closed periods over a day's end: frames on the grid, one off it, one at a period's
// last half second, and a broken (empty) file.
const std::vector<std::string> STAMPS = {
	"2026113023400000", "2026113023400050", "2026113023400123", "2026113023495950",
	"2026113023500000", "2026113023595950", "2026120100000000", "2026120100000050",
	"2026120100095950", "2026120100100000", "2026120100100050", "2026120100105000",
};
const char EMPTY[] = "2026120100000100";

// Every regular file under root but the lock: relative path and bytes.
std::map<std::string, std::string> tree(const std::string &root)
{
	std::map<std::string, std::string> m;
	for (auto &e : fs::recursive_directory_iterator(root))
		if (e.is_regular_file() && e.path().filename() != ".arc-pack.lock")
			m[fs::relative(e.path(), root).string()] = slurp(e.path().string());
	return m;
}

// Sets every frame file under root as last written ten seconds ago: arc-pack leaves alone a
// file written just now, which may still be being written.
void aged(const std::string &root)
{
	struct timespec t[2];
	clock_gettime(CLOCK_REALTIME, &t[0]);
	t[0].tv_sec -= 10;
	t[1] = t[0];
	for (auto &e : fs::recursive_directory_iterator(root))
		if (e.is_regular_file() && e.path().extension() == ".gz")
			utimensat(AT_FDCWD, e.path().c_str(), t, AT_SYMLINK_NOFOLLOW);
}

struct Archive {
	ArcTree a{STAMPS};
	Archive()
	{
		a.put(EMPTY, "");
		aged(a.root);
	}
	std::string root() const { return a.root; }
};

Ran pack(const std::string &root, const std::vector<std::string> &more = {}, const std::vector<std::string> &env = {})
{
	std::vector<std::string> argv = {bin("arc-pack"), "-a", "0m"};
	argv.insert(argv.end(), more.begin(), more.end());
	argv.insert(argv.end(), root);
	aged(root);
	return run(argv, "", 20000, env);
}

// What the readers say of an archive: arc-cat over several ranges, arc-stat with and without
// -v, statuses and messages with the file names cut off (they name the pack or the file).
std::string readings(const std::string &root)
{
	std::string s;
	const std::vector<std::vector<std::string>> args = {
		{}, {"20261130"}, {"2026113023", "2026120100"}, {"202611302355", "202612010005"}, {"20261201000"},
		{"-s", "1000", "2026113023595950", "2026120100000100"},
	};
	for (auto &a : args) {
		std::vector<std::string> argv = {bin("arc-cat")};
		bool paced = a.size() > 1 && a[0] == "-s";
		argv.insert(argv.end(), a.begin(), a.begin() + (paced ? 2 : 0));
		argv.push_back(root);
		argv.insert(argv.end(), a.begin() + (paced ? 2 : 0), a.end());
		Ran r = run(argv);
		s += std::to_string(exit_code(r.status)) + " " + std::to_string(r.out.size()) + "\n" + r.out;
	}
	for (const char *v : {"-p10m", "-v"}) {
		Ran r = run({bin("arc-stat"), v, root});
		s += std::to_string(exit_code(r.status)) + "\n" + r.out;
	}
	return s;
}

size_t count_suffix(const std::map<std::string, std::string> &t, const std::string &suffix)
{
	return (size_t)std::count_if(t.begin(), t.end(), [&](auto &kv) {
		return kv.first.size() >= suffix.size() && kv.first.compare(kv.first.size() - suffix.size(), suffix.size(), suffix) == 0;
	});
}

TEST(ArcPack, ReadersGiveTheSameBytesLoosePackedAndMixed)
{
	NEED_READER("/usr/bin/tar");
	NEED_READER("/usr/bin/zstd");  // tar unpacks .zst through it
	struct {
		const char *name;
		std::vector<std::string> range;  // the periods arc-pack is given
		size_t packs;
	} cases[] = {
		{"all", {}, 4},
		{"the first day only", {"20261130"}, 2},
		{"one period", {"202612010000"}, 1},
		{"none (a range without frames)", {"202612010020"}, 0},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.name);
		Archive a;
		spit(a.root() + "/20261130/notes.txt", "kept");
		spit(a.root() + "/20261130/20261130234/notes.txt", "kept too");
		auto loose = tree(a.root());
		std::string before = readings(a.root());
		std::vector<std::string> args = {bin("arc-pack"), "-a", "0m", a.root()};
		args.insert(args.end(), c.range.begin(), c.range.end());
		Ran p = run(args);
		ASSERT_EQ(exit_code(p.status), 0) << p.err;
		auto packed = tree(a.root());
		EXPECT_EQ(count_suffix(packed, ".pack.tar.zst"), c.packs);
		EXPECT_EQ(packed["20261130/notes.txt"], "kept");
		EXPECT_EQ(packed["20261130/20261130234/notes.txt"], "kept too");
		EXPECT_TRUE(readings(a.root()) == before);
		// Packing again changes nothing.
		ASSERT_EQ(exit_code(run(args).status), 0);
		EXPECT_TRUE(tree(a.root()) == packed);
		// The standard tool puts every frame file back exactly.
		TempDir out;
		for (auto &kv : packed)
			if (kv.first.ends_with(".pack.tar.zst")) {
				std::string day = kv.first.substr(0, 8);
				fs::create_directories(out / day);
				Ran t = run({"/usr/bin/tar", "-xf", a.root() + "/" + kv.first, "-C", out / day});
				ASSERT_EQ(exit_code(t.status), 0) << t.err;
			}
		for (auto &kv : tree(out.path)) {
			if (kv.first.ends_with(".index"))
				continue;
			EXPECT_TRUE(kv.second == loose[kv.first]) << kv.first;
			EXPECT_FALSE(packed.count(kv.first)) << kv.first << " is loose as well";
		}
		for (auto &kv : loose)
			if (kv.first.ends_with(".gz") && !packed.count(kv.first)) {
				EXPECT_TRUE(exists(out / kv.first)) << kv.first << " lost";
			}
	}
}

TEST(ArcPack, KilledAtEveryStepThenRunAgainLosesAndDoublesNothing)
{
	for (const char *step : {"listed", "writing", "written", "verified", "renamed", "unlinking"}) {
		SCOPED_TRACE(step);
		Archive a;
		std::string before = readings(a.root());
		auto loose = tree(a.root());
		Ran k = pack(a.root(), {}, {std::string("ARC_PACK_STOP=") + step});
		EXPECT_EQ(term_signal(k.status), SIGKILL);
		EXPECT_TRUE(readings(a.root()) == before);
		Ran r = pack(a.root());
		ASSERT_EQ(exit_code(r.status), 0) << r.err;
		EXPECT_TRUE(readings(a.root()) == before);
		auto t = tree(a.root());
		EXPECT_EQ(count_suffix(t, ".gz"), 1u);  // the empty file, never a frame, stays loose
		EXPECT_EQ(count_suffix(t, ".part"), 0u);
		EXPECT_EQ(count_suffix(t, ".pack.tar.zst"), 4u);
		EXPECT_FALSE(exists(a.root() + "/20261130/20261130234")) << "an emptied period directory stays";
	}
}

TEST(ArcPack, ALooseFileRewrittenBeforeTheReadBackKeepsItsNewBytes)
{
	// A frame rewritten (a new file renamed over it) after its pack is written and before it
	// is read back: the read-back sees it, the pack is abandoned and the new bytes stay loose.
	Archive a;
	std::string frame = a.root() + "/" + frame_path("2026113023400050");
	Spawn s;
	s.argv = {bin("arc-pack"), "-a", "0m", a.root()};
	s.env = {"ARC_PACK_STOP=written:pause"};
	Proc p = start(s);
	ASSERT_TRUE(wait_until([&] { return stopped(p.pid); }, 20000));
	std::string fresh = gzip(payload(99));
	spit(frame + ".new", fresh);
	ASSERT_EQ(rename((frame + ".new").c_str(), frame.c_str()), 0);
	kill(p.pid, SIGCONT);
	int status;
	ASSERT_TRUE(wait_exit(p, 20000, &status));
	EXPECT_EQ(exit_code(status), 1);
	std::string err = read_to_end(p.err, 5000);
	EXPECT_NE(err.find("20261130/20261130234.pack.tar.zst: a loose file changed while packing; pack abandoned, the "
			   "loose files stay\n"),
		  std::string::npos)
		<< err;
	EXPECT_EQ(slurp(frame), fresh);
	EXPECT_FALSE(exists(a.root() + "/20261130/20261130234.pack.tar.zst"));
	EXPECT_TRUE(exists(a.root() + "/20261201/20261201001.pack.tar.zst"));
}

TEST(ArcPack, APackThatCannotBePutInPlaceLeavesEveryLooseFile)
{
	// Something in the pack's place after the read-back (a directory): the rename fails, and
	// not one loose file of the period has gone.
	Archive a;
	auto before = tree(a.root());
	std::string pack = a.root() + "/20261130/20261130234.pack.tar.zst";
	Spawn s;
	s.argv = {bin("arc-pack"), "-a", "0m", a.root()};
	s.env = {"ARC_PACK_STOP=verified:pause"};
	Proc p = start(s);
	ASSERT_TRUE(wait_until([&] { return stopped(p.pid); }, 20000));
	ASSERT_EQ(mkdir(pack.c_str(), 0755), 0);
	spit(pack + "/x", "x");
	kill(p.pid, SIGCONT);
	int status;
	ASSERT_TRUE(wait_exit(p, 20000, &status));
	EXPECT_EQ(exit_code(status), 1);
	std::string err = read_to_end(p.err, 5000);
	EXPECT_NE(err.find(pack + ": cannot put the pack in place: "), std::string::npos) << err;
	auto after = tree(a.root());
	for (auto &[path, bytes] : before)
		if (path.compare(0, 21, "20261130/20261130234/") == 0) {
			EXPECT_EQ(after.count(path), 1u) << path;
			EXPECT_TRUE(after[path] == bytes) << path;
		}
	EXPECT_EQ(count_suffix(after, ".part"), 0u);
}

TEST(ArcPack, LateFramesIntoAPackedPeriodAreReadThenMerged)
{
	Archive a;
	ASSERT_EQ(exit_code(pack(a.root()).status), 0);
	std::string p = "2026113023400050";  // replaced by a late write
	a.a.put(p, gzip(payload(500)));
	a.a.put("2026113023450000", gzip(payload(501)));  // a new one, mid-period
	Ran cat = run({bin("arc-cat"), a.root(), "202611302340", "202611302350"});
	EXPECT_EQ(exit_code(cat.status), 0) << cat.err;
	std::string want = record("2026113023400000", payload(0)) + record(p, payload(500)) +
			   record("2026113023400123", payload(2)) + record("2026113023450000", payload(501)) +
			   record("2026113023495950", payload(3));
	EXPECT_TRUE(cat.out == want);
	std::string before = readings(a.root());
	Ran n = pack(a.root(), {"-n"});
	EXPECT_EQ(n.out, "would pack " + a.root() + "/20261130/20261130234: 2 loose frames into its pack of 3 more\n");
	EXPECT_TRUE(exists(a.root() + "/" + frame_path(p)));
	ASSERT_EQ(exit_code(pack(a.root()).status), 0);
	EXPECT_FALSE(exists(a.root() + "/20261130/20261130234"));
	EXPECT_TRUE(run({bin("arc-cat"), a.root(), "202611302340", "202611302350"}).out == want);
	EXPECT_TRUE(readings(a.root()) == before);
}

TEST(ArcPack, ABrokenPackIsNamedAndItsLooseFramesStillRead)
{
	std::string pk = "20261130/20261130235.pack.tar.zst";
	struct {
		const char *name;
		std::function<std::string(const std::string &)> spoil;
	} cases[] = {
		{"truncated", [](const std::string &s) { return s.substr(0, s.size() / 2); }},
		{"cut at the end", [](const std::string &s) { return s.substr(0, s.size() - 7); }},
		{"a byte changed", [](const std::string &s) { std::string t = s; t[t.size() * 2 / 3] ^= 0x55; return t; }},
		{"empty", [](const std::string &) { return std::string(); }},
		{"text", [](const std::string &) { return std::string("not a pack at all\n"); }},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.name);
		Archive a;
		ASSERT_EQ(exit_code(pack(a.root()).status), 0);
		spit(a.root() + "/" + pk, c.spoil(slurp(a.root() + "/" + pk)));
		a.a.put("2026113023550000", gzip(payload(77)));  // a loose frame of the period
		Ran r = run({bin("arc-cat"), a.root(), "2026113023", "2026120101"});
		EXPECT_EQ(exit_code(r.status), 1);
		EXPECT_NE(r.err.find(a.root() + "/" + pk + ": "), std::string::npos) << r.err;
		EXPECT_NE(r.out.find(record("2026113023550000", payload(77))), std::string::npos);
		EXPECT_NE(r.out.find(record("2026113023400000", payload(0))), std::string::npos);
		EXPECT_NE(r.out.find(record("2026120100000000", payload(6))), std::string::npos);
		Ran s = run({bin("arc-stat"), "-v", a.root()});
		EXPECT_EQ(exit_code(s.status), 1);
		EXPECT_NE(s.err.find(pk), std::string::npos);
		// arc-pack leaves the period as it is and says why.
		std::string spoilt = slurp(a.root() + "/" + pk);
		Ran p = pack(a.root());
		EXPECT_EQ(exit_code(p.status), 1);
		EXPECT_NE(p.err.find(pk), std::string::npos) << p.err;
		EXPECT_EQ(slurp(a.root() + "/" + pk), spoilt);
		EXPECT_TRUE(exists(a.root() + "/" + frame_path("2026113023550000")));
	}
}

// A pack's name on something that is not a regular file: a pipe (opening it would wait for a
// writer for ever) or a link (to a good pack outside ROOT). Every program names it at once and
// reads nothing through it.
TEST(ArcPack, APackThatIsAPipeOrALinkIsNamedNotOpened)
{
	std::string pk = "20261130/20261130235.pack.tar.zst";
	for (bool pipe : {true, false}) {
		SCOPED_TRACE(pipe ? "a pipe" : "a link");
		Archive a;
		ASSERT_EQ(exit_code(pack(a.root()).status), 0);
		std::string outside = a.root() + ".outside.pack.tar.zst";
		fs::rename(a.root() + "/" + pk, outside);
		if (pipe)
			ASSERT_EQ(mkfifo((a.root() + "/" + pk).c_str(), 0644), 0);
		else
			fs::create_symlink(outside, a.root() + "/" + pk);
		for (std::vector<std::string> argv : {
			     std::vector<std::string>{bin("arc-cat"), a.root(), "20261130"},
			     {bin("arc-stat"), "-v", a.root(), "20261130"},
			     {bin("arc-pack"), "-a", "0m", a.root()},
		     }) {
			SCOPED_TRACE(argv[0]);
			Ran r = run(argv, "", 5000);
			EXPECT_EQ(exit_code(r.status), 1);
			EXPECT_NE(r.err.find(pk + ": not a regular file"), std::string::npos) << r.err;
			EXPECT_EQ(r.out.find(record("2026113023500000", payload(4))), std::string::npos);
		}
		fs::remove(outside);
	}
}

TEST(ArcPack, ASecondRunWaitsForTheLock)
{
	Archive a;
	int fd = open((a.root() + "/.arc-pack.lock").c_str(), O_RDWR | O_CREAT, 0644);
	ASSERT_EQ(flock(fd, LOCK_EX), 0);
	Spawn s;
	s.argv = {bin("arc-pack"), "-a", "0m", a.root()};
	Proc p = start(s);
	std::string wchan = "/proc/" + std::to_string(p.pid) + "/wchan";
	EXPECT_TRUE(wait_until([&] { return slurp(wchan).find("lock") != std::string::npos; }, 5000, 5)) << slurp(wchan);
	EXPECT_EQ(count_suffix(tree(a.root()), ".pack.tar.zst"), 0u);
	EXPECT_EQ(count_suffix(tree(a.root()), ".part"), 0u);
	flock(fd, LOCK_UN);
	close(fd);
	int st;
	ASSERT_TRUE(wait_exit(p, 20000, &st));
	EXPECT_EQ(exit_code(st), 0);
	EXPECT_EQ(count_suffix(tree(a.root()), ".pack.tar.zst"), 4u);
}

TEST(ArcPack, UsageAndAges)
{
	Archive a;
	for (auto args : std::vector<std::vector<std::string>>{
		     {}, {"-a", "1"}, {"-a", "1w"}, {"-a", "-1h"}, {"-a", "h"}, {"-x", a.root()}, {a.root(), "2026x"},
		     {a.root(), "20261201", "20261130"}}) {
		args.insert(args.begin(), bin("arc-pack"));
		Ran r = run(args);
		EXPECT_EQ(exit_code(r.status), 2) << args.back();
		EXPECT_EQ(r.err.rfind("usage: arc-pack", 0), 0u);
		EXPECT_EQ(r.out, "");
	}
	// -n changes nothing; a period that ended less than AGE ago waits.
	Ran n = run({bin("arc-pack"), "-n", "-a", "0m", a.root()});
	EXPECT_EQ(exit_code(n.status), 0);
	EXPECT_EQ(std::count(n.out.begin(), n.out.end(), '\n'), 4);
	EXPECT_EQ(count_suffix(tree(a.root()), ".gz"), STAMPS.size() + 1);
	EXPECT_FALSE(exists(a.root() + "/.arc-pack.lock"));
	Ran r = run({bin("arc-pack"), "-a", "100000d", a.root()});
	EXPECT_EQ(exit_code(r.status), 0);
	EXPECT_EQ(count_suffix(tree(a.root()), ".gz"), STAMPS.size() + 1);
	// The current and previous periods are never packed, whatever AGE.
	char now[32];
	time_t t = time(nullptr);
	strftime(now, sizeof now, "%Y%m%d%H%M%S00", localtime(&t));
	ArcTree b({now});
	EXPECT_EQ(exit_code(pack(b.root).status), 0);
	EXPECT_TRUE(exists(b.root + "/" + frame_path(now)));
	// A period or day that is a link leads outside ROOT: never followed.
	TempDir outside;
	ArcTree c({"2026110100000000"});
	std::string elsewhere = outside / "20261101000";
	ASSERT_EQ(rename((c.root + "/20261101/20261101000").c_str(), elsewhere.c_str()), 0);
	ASSERT_EQ(symlink(elsewhere.c_str(), (c.root + "/20261101/20261101000").c_str()), 0);
	ASSERT_EQ(symlink(outside.path.c_str(), (c.root + "/20261102").c_str()), 0);
	Ran l = pack(c.root);
	EXPECT_EQ(exit_code(l.status), 1);
	EXPECT_EQ(l.err, "arc-pack: " + c.root + "/20261101/20261101000: not a directory; left alone\n");
	EXPECT_TRUE(exists(elsewhere + "/2026110100000000.gz"));
	EXPECT_FALSE(exists(c.root + "/20261101/20261101000.pack.tar.zst"));
}

TEST(ArcPack, APeriodWaitsForItsAgeCountedFromItsEnd)
{
	// The period that ended 20 minutes before the current one began: packed once its end is
	// AGE old, not before (its start is 10 minutes older). A margin of a minute each way. The
	// period before the current one stays loose even at AGE 0 (late frames still come).
	time_t t = time(nullptr);
	struct tm tm;
	localtime_r(&t, &tm);
	int into = tm.tm_min % 10;  // whole minutes into the current period
	time_t start = t - into * 60 - tm.tm_sec - 1800;
	char p[16];
	strftime(p, sizeof p, "%Y%m%d%H%M", localtime(&start));
	std::string stamp = std::string(p, 11) + "00000";
	time_t previous = start + 1200;  // the period before the current one: never packed
	strftime(p, sizeof p, "%Y%m%d%H%M", localtime(&previous));
	std::string last = std::string(p, 11) + "00000";
	ArcTree a({stamp, last});
	aged(a.root);
	std::string packed = a.root + "/" + stamp.substr(0, 8) + "/" + stamp.substr(0, 11) + ".pack.tar.zst";
	Ran early = run({bin("arc-pack"), "-a", std::to_string(20 + into + 2) + "m", a.root});
	EXPECT_EQ(exit_code(early.status), 0) << early.err;
	EXPECT_TRUE(exists(a.root + "/" + frame_path(stamp)));
	EXPECT_FALSE(exists(packed));
	Ran due = run({bin("arc-pack"), "-a", std::to_string(20 + into - 1) + "m", a.root});
	EXPECT_EQ(exit_code(due.status), 0) << due.err;
	EXPECT_FALSE(exists(a.root + "/" + frame_path(stamp)));
	EXPECT_TRUE(exists(packed));
	Ran now = run({bin("arc-pack"), "-a", "0m", a.root});
	EXPECT_EQ(exit_code(now.status), 0) << now.err;
	EXPECT_TRUE(exists(a.root + "/" + frame_path(last)));
}

// A reader over periods arc-pack is packing meanwhile: a frame listed loose and gone by the time
// it is read (its period packed since) comes from the pack instead. Nothing is lost or named.
TEST(ArcPack, AReaderRacingAPackRunLosesNothing)
{
	TempDir d;
	std::string root = d / "arc";
	ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
	int stored = 0;
	for (const char *p : {"20261101100", "20261101101", "20261101102", "20261101103", "20261101104", "20261101105"})
		ASSERT_TRUE(write_period(root, p, 1200, &stored, true));
	Ran plain = run({bin("arc-cat"), root});
	ASSERT_EQ(plain.out.size(), (size_t)stored * 3617);
	aged(root);
	Spawn s;
	s.argv = {bin("arc-pack"), "-a", "0m", root};
	Proc packer = start(s);
	ASSERT_TRUE(wait_until([&] { return exists(root + "/20261101/20261101100.pack.tar.zst"); }, 20000));
	for (int round = 0; round < 3; round++) {
		Ran r = run({bin("arc-cat"), root});
		EXPECT_EQ(exit_code(r.status), 0) << r.err;
		EXPECT_EQ(r.err, "");
		EXPECT_TRUE(r.out == plain.out) << r.out.size() << " bytes";
	}
	int status;
	ASSERT_TRUE(wait_exit(packer, 60000, &status));
	EXPECT_EQ(exit_code(status), 0);
}

TEST(ArcPack, AnInodeStarvedDiskFillsLooseNotPackedAndHealthSaysSo)
{
	const std::vector<std::string> periods = {"20261101100", "20261101101", "20261101102", "20261101103",
						  "20261101104", "20261101105", "20261101110", "20261101111"};
	int stored = 0;
	{
		Tmpfs loose("size=16g,nr_inodes=8000");
		if (!loose.ok)
			GTEST_SKIP() << "cannot mount a tmpfs here (not permitted)";
		std::string root = loose.dir + "/arc";
		mkdir(root.c_str(), 0755);
		ASSERT_TRUE(write_period(root, periods[0], 1200, &stored));
		std::string j;
		EXPECT_EQ(health(root, &j), 2) << j;
		bool all = true;
		for (size_t i = 1; i < periods.size() && all; i++)
			all = write_period(root, periods[i], 1200, &stored);
		EXPECT_FALSE(all);
		EXPECT_LT(stored, 8000);
	}
	Tmpfs packed("size=16g,nr_inodes=8000");
	ASSERT_TRUE(packed.ok);
	std::string root = packed.dir + "/arc";
	mkdir(root.c_str(), 0755);
	stored = 0;
	for (const std::string &p : periods) {
		ASSERT_TRUE(write_period(root, p, 1200, &stored)) << p;
		Ran r = pack(root);
		ASSERT_EQ(exit_code(r.status), 0) << r.err;
	}
	EXPECT_EQ(stored, 9600);
	Ran s = run({bin("arc-stat"), "-p", "1d", root});
	EXPECT_NE(s.out.find("total            9600      9600"), std::string::npos) << s.out;
	std::string j;
	EXPECT_EQ(health(root, &j), 0) << j;
	EXPECT_NE(j.find("\"packed_periods\":8"), std::string::npos) << j;
}

TEST(ArcPack, AFullDiskAbandonsThePackAndKeepsTheLooseFiles)
{
	Tmpfs small("size=1m,nr_inodes=1000");
	if (!small.ok)
		GTEST_SKIP() << "cannot mount a tmpfs here (not permitted)";
	std::string root = small.dir + "/arc";
	mkdir(root.c_str(), 0755);
	int stored = 0;
	write_period(root, "20261101100", 1200, &stored, true);  // until the bytes run out
	ASSERT_GT(stored, 100);
	auto before = tree(root);
	Ran r = pack(root);
	EXPECT_EQ(exit_code(r.status), 1);
	EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
	EXPECT_NE(r.err.find("the loose files stay"), std::string::npos) << r.err;
	EXPECT_TRUE(tree(root) == before);
}

TEST(ArcPack, AnEmptyDirectoryOfAPackedPeriodGoesOnlyOnceAMinuteOld)
{
	// net-arc makes a packed period's directory again for a late frame it is about to write:
	// while that directory is fresh it stays, even empty; left empty a minute, it goes.
	ArcTree a({"2026113023400000"});
	std::string dir = a.root + "/20261130/20261130234";
	std::string packed = a.root + "/20261130/20261130234.pack.tar.zst";
	Ran first = pack(a.root);
	ASSERT_EQ(exit_code(first.status), 0) << first.err;
	ASSERT_TRUE(exists(packed));
	ASSERT_FALSE(exists(dir));
	ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
	Ran fresh = pack(a.root);
	EXPECT_EQ(exit_code(fresh.status), 0) << fresh.err;
	EXPECT_TRUE(exists(dir)) << "a directory just made again is removed";
	struct timespec t[2];
	clock_gettime(CLOCK_REALTIME, &t[0]);
	t[0].tv_sec -= 61 + 5;
	t[1] = t[0];
	ASSERT_EQ(utimensat(AT_FDCWD, dir.c_str(), t, 0), 0);
	Ran old = pack(a.root);
	EXPECT_EQ(exit_code(old.status), 0) << old.err;
	EXPECT_FALSE(exists(dir)) << "an empty directory a minute old stays";
	EXPECT_TRUE(exists(packed));
}

}  // namespace
