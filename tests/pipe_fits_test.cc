// pipe-fits: period edges, a boundary inside a burst, an empty period, late and broken records;
// every file checked by readers no one here wrote: fitsverify, and astropy (tests/fits_check.py)
// against the stream the files were made from.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "kit.h"

namespace {

std::string stamp(const char *hhmmsscc) { return std::string("20261207") + hhmmsscc; }

// A payload whose values say where they came from, distinct for each frame.
std::string pay(int k)
{
	std::string p(3600, '\0');
	for (int i = 0; i < 1800; i++) {
		unsigned v = (unsigned)(k * 1000 + i) % 65535;
		p[(size_t)(2 * i)] = (char)(v & 0xff);
		p[(size_t)(2 * i + 1)] = (char)(v >> 8);
	}
	return p;
}

std::string ls(const std::string &dir) { return run({"/bin/ls", "-A", dir}).out; }

void verify_all(const std::string &dir)
{
	std::string names = ls(dir);
	for (size_t at = 0; at < names.size(); at = names.find('\n', at) + 1) {
		std::string f = dir + "/" + names.substr(at, names.find('\n', at) - at);
		if (f.size() > 3 && f.substr(f.size() - 3) == ".gz") {  // verified as the plain file it holds
			std::string plain = dir + "-" + f.substr(f.rfind('/') + 1) + ".plain";
			ASSERT_EQ(exit_code(run({"/bin/sh", "-c", "gzip -dc '" + f + "' > '" + plain + "'"}).status), 0);
			f = plain;
		}
		Ran v = run({"/usr/bin/fitsverify", f}, "", 30000);
		EXPECT_NE(v.out.find("Verification found 0 warning(s) and 0 error(s)."), std::string::npos) << f << "\n" << v.out << v.err;
	}
}

TEST(PipeFits, PeriodEdgesReadBackByOutsideReaders)
{
	NEED_READER("/usr/bin/fitsverify");
	NEED_READER("astropy");
	// One-minute periods; stamps local time at +01:30.
	const char *frames[] = {
		"12000000", "12005950",                          // the first and last half second of a period
		"12015900", "12015950", "12020000", "12020050",  // a boundary inside a burst
		"12015800",                                      // late for the period just written
		// 12:03 has no frames: no file for it
		"12041000", "12042000", "12041500",              // out of order within a period
		"12041200", "12041230",                          // one column twice: the later frame kept
		"12003000",                                      // late: its period is written
		"12046100",                                      // not a real time
	};
	std::string in;
	int k = 0;
	for (const char *f : frames)
		in += record(stamp(f), pay(k++));
	TempDir t;
	spit(t / "in.records", in);
	mkdir((t / "out").c_str(), 0755);
	Ran r = run({bin("pipe-fits"), "-p", "1", "-n", "TEST", "-z", "+0130", "-d", t / "out"}, in, 60000);
	EXPECT_EQ(exit_code(r.status), 0);
	EXPECT_EQ(r.err, "pipe-fits: 1 records skipped: late for a period already written\n"
			 "pipe-fits: 1 records skipped: stamps not 16 digits of a real time\n"
			 "pipe-fits: 2 records skipped: late for a period already written\n");
	EXPECT_EQ(ls(t / "out"), "TEST_20261207_103000_01.fit\nTEST_20261207_103000_02.fit\n"
				 "TEST_20261207_103100_01.fit\nTEST_20261207_103100_02.fit\n"
				 "TEST_20261207_103200_01.fit\nTEST_20261207_103200_02.fit\n"
				 "TEST_20261207_103400_01.fit\nTEST_20261207_103400_02.fit\n");
	verify_all(t / "out");
	Ran check = run({"/usr/bin/python3", src("tests/fits_check.py"), t / "in.records", t / "out", "TEST", "90", "1"}, "", 120000);
	EXPECT_EQ(check.out, "ok: 8 files\n") << check.err;
}

TEST(PipeFits, SixteenBitLevelsAtTheEdgesSeenByOutsideReaders)
{
	NEED_READER("/usr/bin/fitsverify");
	NEED_READER("astropy");
	// Levels 0, 1, 32767, 32768 and 65535 at every point, a half second missing: a 16-bit image
	// (stored = level - 32768, BLANK 32766). Channel B's frames hold 65534, the value a 16-bit
	// file keeps for "no frame", so its file is 32-bit. fits_check reads both against the stream;
	// here astropy's physical levels, one by one.
	const unsigned a[] = {0, 1, 32767, 32768, 65535}, b[] = {65534, 2, 3, 4, 5};
	std::string in;
	int k = 0;
	for (const char *s : {"12000000", "12000050", "12000150"}) {
		std::string p(3600, '\0');
		for (int q = 0; q < 900; q++) {
			unsigned va = a[(q + k) % 5], vb = b[(q + k) % 5];
			p[(size_t)(4 * q)] = (char)(va & 0xff), p[(size_t)(4 * q + 1)] = (char)(va >> 8);
			p[(size_t)(4 * q + 2)] = (char)(vb & 0xff), p[(size_t)(4 * q + 3)] = (char)(vb >> 8);
		}
		in += record(stamp(s), p);
		k++;
	}
	TempDir t;
	spit(t / "in.records", in);
	mkdir((t / "out").c_str(), 0755);
	Ran r = run({bin("pipe-fits"), "-p", "1", "-n", "EDGE", "-z", "+0000", "-d", t / "out"}, in, 60000);
	EXPECT_EQ(exit_code(r.status), 0);
	EXPECT_EQ(r.err, "");
	verify_all(t / "out");
	Ran check = run({"/usr/bin/python3", src("tests/fits_check.py"), t / "in.records", t / "out", "EDGE", "0", "1"}, "", 120000);
	EXPECT_EQ(check.out, "ok: 2 files\n") << check.err;
	const char *show = "import sys\n"
			   "from astropy.io import fits\n"
			   "for n in sys.argv[1:]:\n"
			   "    with fits.open(n) as f:\n"
			   "        bitpix = f[0].header['BITPIX']\n"
			   "        d = f[0].data\n"
			   "        print(bitpix, ' '.join('%.2f' % d[q, c] for c, q in ((0, 0), (0, 1), (0, 2), (0, 3), (0, 4), (2, 0), (3, 0))))\n";
	Ran seen = run({"/usr/bin/python3", "-c", show, t / "out/EDGE_20261207_120000_01.fit", t / "out/EDGE_20261207_120000_02.fit"}, "", 120000);
	EXPECT_EQ(seen.out, "16 0.00 0.01 327.67 327.68 655.35 nan 327.67\n"
			    "32 655.34 0.02 0.03 0.04 0.05 nan 0.03\n") << seen.err;
}

TEST(PipeFits, GzipFilesInTheHostsZone)
{
	NEED_READER("/usr/bin/fitsverify");
	NEED_READER("astropy");
	// Fifteen-minute periods through a pipe, across a boundary; the zone from TZ (one hour east).
	TempDir t;
	std::string in;
	for (int k = 0; k < 300; k++) {
		char s[32];
		snprintf(s, sizeof s, "20261207%02d%02d%02d%s", 13, 14 + k / 120, k / 2 % 60, k % 2 ? "50" : "00");
		in += record(s, payload(k));
	}
	spit(t / "in.records", in);
	mkdir((t / "out").c_str(), 0755);
	Ran r = run({bin("pipe-fits"), "-g", "-n", "LIVE", "-d", t / "out"}, in, 60000, {"TZ=XXX-1"});
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(ls(t / "out"), "LIVE_20261207_120000_01.fit.gz\nLIVE_20261207_120000_02.fit.gz\n"
				 "LIVE_20261207_121500_01.fit.gz\nLIVE_20261207_121500_02.fit.gz\n");
	verify_all(t / "out");
	Ran check = run({"/usr/bin/python3", src("tests/fits_check.py"), t / "in.records", t / "out", "LIVE", "60", "15"}, "", 120000);
	EXPECT_EQ(check.out, "ok: 4 files\n") << check.err;
}

TEST(PipeFits, AFarFutureStampCostsOnlyItself)
{
	NEED_READER("astropy");
	// A live logger, one-minute periods: 20 frames, one stamped 2099, then 40 more into the
	// next minute and one of the minute after, which writes the second minute while the input
	// is still open. The outlier is said when it happens, not at an end a logger never reaches.
	TempDir t;
	mkdir((t / "out").c_str(), 0755);
	std::string in;
	for (int k = 0; k < 61; k++) {
		if (k == 20)
			in += record("2099010100000000", payload(99));
		char s[32];
		int h = k < 60 ? 100 + k : 240;  // half seconds from 12:00
		snprintf(s, sizeof s, "2026120712%02d%02d%s", h / 120, h / 2 % 60, h % 2 ? "50" : "00");
		in += record(s, payload(k));
	}
	spit(t / "in.records", in);
	Spawn sp;
	sp.argv = {bin("pipe-fits"), "-p", "1", "-z", "+0000", "-n", "LOG", "-d", t / "out"};
	sp.pipe_in = true;
	Proc p = start(sp);
	ASSERT_EQ(write(p.in, in.data(), in.size()), (ssize_t)in.size());
	std::string err;
	EXPECT_TRUE(wait_until([&] {
		err += drain(p.err);
		return exists(t / "out/LOG_20261207_120100_02.fit") && err.find('\n') != std::string::npos;
	}, 20000));
	EXPECT_EQ(err, "pipe-fits: 1 records skipped: stamps more than 75 minutes from the stream's time\n");
	EXPECT_TRUE(still_running(p));
	p.close_in();
	int st;
	ASSERT_TRUE(wait_exit(p, 20000, &st));
	EXPECT_EQ(exit_code(st), 0);
	EXPECT_EQ(read_to_end(p.err, 1000), "");
	EXPECT_EQ(ls(t / "out"), "LOG_20261207_120000_01.fit\nLOG_20261207_120000_02.fit\n"
				 "LOG_20261207_120100_01.fit\nLOG_20261207_120100_02.fit\n"
				 "LOG_20261207_120200_01.fit\nLOG_20261207_120200_02.fit\n");
	// fits_check's model skips the outlier: all 40 frames of 12:01 are in their columns.
	Ran check = run({"/usr/bin/python3", src("tests/fits_check.py"), t / "in.records", t / "out", "LOG", "0", "1"}, "", 120000);
	EXPECT_EQ(check.out, "ok: 6 files\n") << check.err;
}

TEST(PipeFits, AClockThatJumpedIsFollowed)
{
	NEED_READER("/usr/bin/fitsverify");
	// The very first stamp is 2099's: the real ones after it are outliers until ten agree, then
	// the logger follows them (a clock set back or forward is the same case).
	TempDir t;
	std::string in = record("2099010100000000", payload(0));
	for (int k = 0; k < 20; k++) {
		char s[32];
		snprintf(s, sizeof s, "20261207120%03d%s", k / 2, k % 2 ? "50" : "00");
		in += record(s, payload(k + 1));
	}
	Ran r = run({bin("pipe-fits"), "-p", "1", "-z", "+0000", "-n", "J", "-d", t.path}, in, 60000);
	EXPECT_EQ(exit_code(r.status), 0);
	EXPECT_EQ(r.err, "pipe-fits: 1 records skipped: stamps more than 75 minutes from the stream's time\n"
			 "pipe-fits: the stream's time jumped to 2026120712000450 (10 stamps agreeing)\n"
			 "pipe-fits: 9 records skipped: stamps more than 75 minutes from the stream's time\n");
	EXPECT_EQ(ls(t.path), "J_20261207_120000_01.fit\nJ_20261207_120000_02.fit\n"
			      "J_20990101_000000_01.fit\nJ_20990101_000000_02.fit\n");
	verify_all(t.path);
}

TEST(PipeFits, SummerTimeChange)
{
	// Central Europe springs forward on 2026-03-29: 01:59 local is 00:59 UTC, 03:00 is 01:00.
	TempDir t;
	std::string in;
	int k = 0;
	for (const char *s : {"2026032901595800", "2026032901595950", "2026032903000000", "2026032903000050"})
		in += record(s, payload(k++));
	Ran r = run({bin("pipe-fits"), "-p", "1", "-n", "DST", "-d", t.path}, in, 60000, {"TZ=CET-1CEST,M3.5.0,M10.5.0/3"});
	EXPECT_EQ(exit_code(r.status), 0);
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(ls(t.path), "DST_20260329_005900_01.fit\nDST_20260329_005900_02.fit\n"
			      "DST_20260329_010000_01.fit\nDST_20260329_010000_02.fit\n");
}

TEST(PipeFits, LongPeriodsInBoundedMemory)
{
	NEED_READER("/usr/bin/fitsverify");
	NEED_READER("astropy");
	// An hour's period is four blocks of columns: frames in the first, second, last, then back
	// in the first (from the spool) and one column twice; all read back exactly. Then a day's
	// period with a few frames: memory is what has come, not what the period could hold.
	TempDir t;
	mkdir((t / "out").c_str(), 0755);
	std::string in;
	int k = 0;
	for (int col : {0, 1, 2047, 2048, 2100, 7199, 3, 2100, 5000}) {
		char s[32];
		snprintf(s, sizeof s, "2026120713%02d%02d%s", col / 120, col / 2 % 60, col % 2 ? "50" : "00");
		in += record(s, payload(k++));
	}
	spit(t / "in.records", in);
	Ran r = run({bin("pipe-fits"), "-p", "60", "-z", "+0000", "-n", "HOUR", "-d", t / "out"}, in, 60000);
	EXPECT_EQ(exit_code(r.status), 0);
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(ls(t / "out"), "HOUR_20261207_130000_01.fit\nHOUR_20261207_130000_02.fit\n");
	verify_all(t / "out");
	Ran check = run({"/usr/bin/python3", src("tests/fits_check.py"), t / "in.records", t / "out", "HOUR", "0", "60"}, "", 120000);
	EXPECT_EQ(check.out, "ok: 2 files\n") << check.err;
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's shadow memory needs far more address space
	// 20 frames in a day's period, under an address-space limit far below a day's frames.
	std::string twenty = in.substr(0, 3617 * 5);
	r = run({"/bin/sh", "-c", "ulimit -v 200000 && exec \"$0\" -p 1440 -z +0000 -d \"$1\"", bin("pipe-fits"), t / "out"}, twenty, 60000);
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_EQ(r.err, "");
	EXPECT_TRUE(exists(t / "out/SPECTRUM_20261207_000000_01.fit"));
#endif
}

TEST(PipeFits, FolderNamesAreNeverParsed)
{
	// Brackets and a leading '!' mean something to CFITSIO's file names; here they are names.
	TempDir t;
	for (const char *dir : {"fx[1]", "!bang", "fz.gz(x)"}) {
		mkdir((t / dir).c_str(), 0755);
		for (const char *gz : {"", "-g"}) {
			std::vector<std::string> argv = {bin("pipe-fits"), "-z", "+0000", "-n", "N", "-d", t / dir};
			if (*gz)
				argv.push_back(gz);
			Ran r = run(argv, record("2026120712000000", payload(1)), 60000);
			EXPECT_EQ(exit_code(r.status), 0) << dir << r.err;
			EXPECT_EQ(r.err, "");
		}
		EXPECT_EQ(ls(t / dir), "N_20261207_120000_01.fit\nN_20261207_120000_01.fit.gz\n"
				       "N_20261207_120000_02.fit\nN_20261207_120000_02.fit.gz\n") << dir;
	}
	EXPECT_EQ(ls(t.path), "!bang\nfx[1]\nfz.gz(x)\n");  // and nothing beside them
}

TEST(PipeFits, StationFromTheEnvironmentOptionsOverride)
{
	NEED_READER("/usr/bin/fitsverify");
	NEED_READER("astropy");
	TempDir t;
	std::string in = record("2026120712000000", payload(1)) + record("2026120712000050", payload(2));
	spit(t / "in.records", in);
	std::vector<std::string> env = {"STATION_NAME=ALPHA", "STATION_LAT=47.25", "STATION_LON=-8.5",
					"STATION_ALT=420", "STATION_OBJECT=Jupiter"};
	struct { std::vector<std::string> opts; std::vector<std::string> env; const char *name, *object, *lat, *lon, *alt; } cases[] = {
		{{}, env, "ALPHA", "Jupiter", "47.25", "-8.5", "420"},
		{{"-n", "BETA", "-L", "-33.5,151.25,12.5", "-o", "Sun"}, env, "BETA", "Sun", "-33.5", "151.25", "12.5"},
		{{"-L", "90,-180"}, {"STATION_LAT=abc"}, "SPECTRUM", "Sun", "90", "-180", "-"},  // the option wins
		{{}, {}, "SPECTRUM", "Sun", "-", "-", "-"},
	};
	for (auto &c : cases) {
		std::string out = t / c.name;
		run({"/bin/rm", "-rf", out});
		mkdir(out.c_str(), 0755);
		std::vector<std::string> argv = {bin("pipe-fits"), "-z", "+0000", "-d", out};
		argv.insert(argv.end(), c.opts.begin(), c.opts.end());
		Ran r = run(argv, in, 60000, c.env);
		EXPECT_EQ(exit_code(r.status), 0) << c.name << r.err;
		verify_all(out);
		Ran check = run({"/usr/bin/python3", src("tests/fits_check.py"), t / "in.records", out, c.name, "0", "15",
				 c.object, c.lat, c.lon, c.alt}, "", 120000);
		EXPECT_EQ(check.out, "ok: 2 files\n") << c.name << check.err;
	}
	// A place that is no place, from an option or the environment: said at start, status 2.
	struct { std::vector<std::string> opts; std::string env, err; } bad[] = {
		{{"-L", "91,0"}, "", "-L 91,0: not a latitude (degrees, -90 to 90, north positive)"},
		{{"-L", "0,-180.5"}, "", "-L 0,-180.5: not a longitude (degrees, -180 to 180, east positive)"},
		{{"-L", "1e1,2"}, "", "-L 1e1,2: not a latitude (degrees, -90 to 90, north positive)"},
		{{"-L", "1"}, "", "-L 1: not LAT,LON or LAT,LON,ALT"},
		{{"-L", "1,2,3,4"}, "", "-L 1,2,3,4: not LAT,LON or LAT,LON,ALT"},
		{{"-L", "1,2,high"}, "", "-L 1,2,high: not an altitude (metres, -1000 to 10000)"},
		{{"-o", "a\tb"}, "", "-o a\tb: not an object name (printable, at most 60 characters)"},
		{{}, "STATION_LAT=-90.01", "STATION_LAT=-90.01: not a latitude (degrees, -90 to 90, north positive)"},
		{{}, "STATION_LON=nan", "STATION_LON=nan: not a longitude (degrees, -180 to 180, east positive)"},
		{{}, "STATION_ALT= 5", "STATION_ALT= 5: not an altitude (metres, -1000 to 10000)"},
		{{}, "STATION_NAME=../up", "STATION_NAME=../up: not a name (letters, digits, . _ - +; at most 40)"},
	};
	for (auto &b : bad) {
		std::vector<std::string> argv = {bin("pipe-fits"), "-d", t.path};
		argv.insert(argv.end(), b.opts.begin(), b.opts.end());
		std::vector<std::string> e;
		if (!b.env.empty())
			e.push_back(b.env);
		Ran r = run(argv, in, 20000, e);
		EXPECT_EQ(exit_code(r.status), 2) << b.err;
		EXPECT_EQ(r.err, "pipe-fits: " + b.err + "\n");
		EXPECT_EQ(r.out, "");
	}
}

TEST(PipeFits, Refusals)
{
	TempDir t;
	for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
		     {"-p", "7"}, {"-p", "0"}, {"-p", "x"}, {"-n", "../up"}, {"-n", ".hidden"}, {"-n", ""},
		     {"-z", "0100"}, {"-z", "+1"}, {"-z", "+0160"}, {"-q"}, {"extra"}}) {
		args.insert(args.begin(), bin("pipe-fits"));
		Ran r = run(args, "");
		EXPECT_EQ(exit_code(r.status), 2) << args[1];
		EXPECT_EQ(r.err.rfind("usage: pipe-fits", 0), 0u) << r.err;
	}
	Ran r = run({bin("pipe-fits"), "-d", t / "none"}, "");
	EXPECT_EQ(exit_code(r.status), 1);
	EXPECT_EQ(r.err, "pipe-fits: cannot open " + t / "none" + ": No such file or directory\n");
	spit(t / "file", "");
	r = run({bin("pipe-fits"), "-d", t / "file"}, "");
	EXPECT_EQ(exit_code(r.status), 1);
	EXPECT_EQ(r.err, "pipe-fits: " + t / "file" + ": not a directory\n");
}

}  // namespace
