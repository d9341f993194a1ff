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
	// One-minute periods; stamps local time at +01:30.
	const char *frames[] = {
		"12000000", "12005950",                          // the first and last half second of a period
		"12015900", "12015950", "12020000", "12020050",  // a boundary inside a burst
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
			 "pipe-fits: 1 records skipped: stamps not 16 digits of a real time\n");
	EXPECT_EQ(ls(t / "out"), "TEST_20261207_103000_01.fit\nTEST_20261207_103000_02.fit\n"
				 "TEST_20261207_103100_01.fit\nTEST_20261207_103100_02.fit\n"
				 "TEST_20261207_103200_01.fit\nTEST_20261207_103200_02.fit\n"
				 "TEST_20261207_103400_01.fit\nTEST_20261207_103400_02.fit\n");
	verify_all(t / "out");
	Ran check = run({"/usr/bin/python3", src("tests/fits_check.py"), t / "in.records", t / "out", "TEST", "90", "1"}, "", 120000);
	EXPECT_EQ(check.out, "ok: 8 files\n") << check.err;
}

TEST(PipeFits, GzipFilesInTheHostsZoneFromALiveStream)
{
	// Fifteen-minute periods from frame-send's sky; the zone from TZ (one hour east).
	TempDir t;
	int port = free_udp_port();
	Proc np = start_net_pipe(port);
	Ran send = run({bin("frame-send"), "-c", "300", "-r", "500", "127.0.0.1", std::to_string(port)});
	ASSERT_EQ(exit_code(send.status), 0);
	std::string in = read_n(np.out, 300 * 3617, 10000);
	ASSERT_EQ(in.size() % 3617, 0u);
	spit(t / "in.records", in);
	mkdir((t / "out").c_str(), 0755);
	Ran r = run({bin("pipe-fits"), "-g", "-n", "LIVE", "-d", t / "out"}, in, 60000, {"TZ=XXX-1"});
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_EQ(r.err, "");
	verify_all(t / "out");
	Ran check = run({"/usr/bin/python3", src("tests/fits_check.py"), t / "in.records", t / "out", "LIVE", "60", "15"}, "", 120000);
	EXPECT_EQ(check.out.rfind("ok: ", 0), 0u) << check.out << check.err;
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
