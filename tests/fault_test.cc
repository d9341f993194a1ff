// Faults users meet over months, each stating what is lost and checking nothing else is: an
// archiver killed mid-store, its root removed or made read-only, gzip or date missing, the X
// server gone, a reader that stops reading.
#include <gtest/gtest.h>

#include <csignal>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "xkit.h"

namespace {

std::string stamp_of(int k)  // k half seconds after 21:16:00 (k = 480 is 21:20:00)
{
	char s[64];
	snprintf(s, sizeof s, "2026120721%02d%02d%s", 16 + k / 120, k / 2 % 60, k % 2 ? "50" : "00");
	return s;
}

std::string gz_path(const std::string &stamp)
{
	return "arc/" + stamp.substr(0, 8) + "/" + stamp.substr(0, 11) + "/" + stamp + ".gz";
}

bool gunzips_to(const std::string &path, const std::string &want)
{
	Ran r = run({"/bin/gzip", "-dc", path}, "", 5000);
	return exit_code(r.status) == 0 && r.out == want;
}

long cpu_ticks(pid_t pid)  // user and system time of a process
{
	std::string st = slurp("/proc/" + std::to_string(pid) + "/stat");
	long utime = 0, stime = 0;
	sscanf(st.c_str() + st.rfind(')') + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime, &stime);
	return utime + stime;
}

struct Archiver : ::testing::Test {
	TempDir t;
	int port = free_udp_port();
	Udp udp;
	Proc p;
	std::vector<std::string> env;
	std::vector<std::string> wrap;  // runs the archiver as another user, where needed
	void launch() { p = start_net_arc(t.path, port, env, wrap); }
	void send(int k)
	{
		udp.send(port, stamp_of(k));
		udp.send(port, payload(k));
	}
	bool stored(int k, int ms = 10000)
	{
		return wait_until([&] { return gunzips_to(t / gz_path(stamp_of(k)), payload(k)); }, ms, 10);
	}
	// What the archiver's shell has said, once it has said what (or ms have passed).
	std::string err_until(const std::string &what, int ms = 10000)
	{
		std::string e;
		wait_until([&] { return (e += drain(p.err)).find(what) != std::string::npos; }, ms, 10);
		return e;
	}
};

TEST_F(Archiver, KilledWhileStoringLosesAtMostTheFrameInFlight)
{
	launch();
	for (int k = 0; k < 20; k++) {
		send(k);
		ASSERT_TRUE(stored(k)) << k;
	}
	send(20);
	wait_until([&] { return exists(t / gz_path(stamp_of(20))); }, 5000, 0);
	kill(p.pid, SIGKILL);
	stop(p);
	// The frame in flight is missing, cut, or whole; nothing before it is touched.
	for (int k = 0; k < 20; k++)
		EXPECT_TRUE(gunzips_to(t / gz_path(stamp_of(k)), payload(k))) << k;
	Ran r = run({"/bin/gzip", "-dc", t / gz_path(stamp_of(20))});
	EXPECT_EQ(r.out, payload(20).substr(0, r.out.size()));
	// A restarted archiver goes on storing into the same tree (no child kept the port).
	launch();
	for (int k = 21; k < 30; k++) {
		send(k);
		EXPECT_TRUE(stored(k)) << k;
	}
	Ran ls = run({"/usr/bin/find", t / "arc", "-type", "d"});
	EXPECT_EQ(std::count(ls.out.begin(), ls.out.end(), '\n'), 3) << ls.out;
}

TEST_F(Archiver, RootRemovedAndMadeAgain)
{
	launch();
	send(0);
	ASSERT_TRUE(stored(0));
	ASSERT_EQ(system(("rm -rf '" + (t / "arc") + "'").c_str()), 0);
	send(1);  // lost: the shell cannot make its directories or its file
	std::string e = err_until(gz_path(stamp_of(1)));
	EXPECT_NE(e.find(gz_path(stamp_of(1))), std::string::npos) << e;
	EXPECT_TRUE(still_running(p));
	ASSERT_EQ(mkdir((t / "arc").c_str(), 0755), 0);
	send(2);
	EXPECT_TRUE(stored(2));
	EXPECT_FALSE(exists(t / gz_path(stamp_of(1))));
	EXPECT_FALSE(exists(t / gz_path(stamp_of(0))));  // went with the old root
}

TEST_F(Archiver, ReadOnlyPeriodLosesItsFramesOnly)
{
	if (geteuid() == 0) {  // root writes anywhere: archive as nobody, as a careful site would
		wrap = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
		ASSERT_EQ(chmod(t.path.c_str(), 0755), 0);
		ASSERT_EQ(mkdir((t / "arc").c_str(), 0755), 0);
		ASSERT_EQ(chown((t / "arc").c_str(), 65534, 65534), 0);
	}
	launch();
	send(0);
	ASSERT_TRUE(stored(0));
	std::string period = t / ("arc/" + stamp_of(0).substr(0, 8) + "/" + stamp_of(0).substr(0, 11));
	ASSERT_EQ(chmod(period.c_str(), 0555), 0);
	send(1);
	std::string e = err_until("Permission denied");
	EXPECT_NE(e.find("Permission denied"), std::string::npos) << e;
	EXPECT_FALSE(exists(t / gz_path(stamp_of(1))));
	send(480);  // the next ten minutes
	EXPECT_TRUE(stored(480));
	EXPECT_TRUE(still_running(p));
	chmod(period.c_str(), 0755);
}

TEST_F(Archiver, MissingGzipIsSaidAndNothingSpins)
{
	mkdir((t / "bin").c_str(), 0755);
	ASSERT_EQ(symlink("/bin/mkdir", (t / "bin/mkdir").c_str()), 0);
	env = {"PATH=" + (t / "bin")};
	launch();
	send(0);
	std::string e = err_until("gzip");
	EXPECT_NE(e.find("gzip: not found"), std::string::npos) << e;
	// The frame is lost (the shell made the file, empty, before finding no gzip).
	Ran r = run({"/usr/bin/stat", "-c", "%s", t / gz_path(stamp_of(0))});
	EXPECT_EQ(r.out, "0\n");
	long before = cpu_ticks(p.pid);
	usleep(1000000);
	EXPECT_LE(cpu_ticks(p.pid) - before, 2);  // waiting for the next datagram, not spinning
	EXPECT_TRUE(still_running(p));
}

// arc-pipe in dir with a PATH of one program only.
Proc relay_with_only(const TempDir &t, const std::string &program)
{
	mkdir((t / "bin").c_str(), 0755);
	mkdir((t / "arc").c_str(), 0755);
	if (symlink(("/bin/" + program).c_str(), (t / ("bin/" + program)).c_str()) != 0)
		throw std::runtime_error("symlink");
	Spawn s;
	s.argv = {bin("arc-pipe"), "arc"};
	s.cwd = t.path;
	s.env = {"PATH=" + (t / "bin")};
	s.pipe_out = true;
	return start(s);
}

TEST(RelayFaults, MissingDateIsSaidAtTheNormalPace)
{
	TempDir t;
	Proc p = relay_with_only(t, "gunzip");
	std::string e = read_to_end(p.err, 1000);
	EXPECT_FALSE(readable(p.out, 0));  // no reading, no record
	size_t lines = (size_t)std::count(e.begin(), e.end(), '\n');
	EXPECT_GT(lines, 0u);
	EXPECT_LE(lines, 1000u);  // one clock command a pass, a pass at most every millisecond
	EXPECT_NE(e.find("date: not found"), std::string::npos) << e.substr(0, 200);
	EXPECT_TRUE(still_running(p));
}

TEST(RelayFaults, MissingGunzipStillGivesARecordEachHalfSecond)
{
	TempDir t;
	mkdir((t / "arc").c_str(), 0755);
	// Files for the coming seconds, so that only the missing decompressor stands in the way.
	std::string gz = run({"/bin/gzip", "-c"}, payload(1)).out;
	time_t now = time(nullptr);
	for (time_t at = now - 2; at < now + 8; at++)
		for (const char *cc : {"00", "50"}) {
			struct tm tm;
			localtime_r(&at, &tm);
			char st[32];
			strftime(st, sizeof st, "%Y%m%d%H%M%S", &tm);
			std::string stamp = std::string(st) + cc;
			mkdir((t / ("arc/" + stamp.substr(0, 8))).c_str(), 0755);
			mkdir((t / ("arc/" + stamp.substr(0, 8) + "/" + stamp.substr(0, 11))).c_str(), 0755);
			spit(t / gz_path(stamp), gz);
		}
	Proc p = relay_with_only(t, "date");
	std::string r(3617 * 3, '\0');
	ASSERT_TRUE(read_exact(p.out, r.data(), r.size(), 5000));
	for (int k = 0; k < 3; k++)
		EXPECT_EQ(r.substr(k * 3617 + 16, 3601), std::string(3601, '\0'));  // NUL, then zeros
	EXPECT_NE(read_to_end(p.err, 300).find("gunzip: not found"), std::string::npos);
}

TEST(ViewerFaults, XServerKilledEndsTheViewer)
{
	Xvfb x;
	Spawn s;
	s.argv = {bin("pipe-view")};
	s.env = x.env();
	s.pipe_in = true;
	Proc p = start(s);
	ASSERT_NE(find_window(x.dpy, "Spectrogram", 10000), 0u);
	XCloseDisplay(x.dpy);
	x.dpy = nullptr;
	stop(x.proc);
	std::string rec = record("2026120721163450", payload(1));
	int st = -1;
	for (int k = 0; k < 50 && still_running(p); k++) {
		if (write(p.in, rec.data(), rec.size()) < 0)
			break;
		wait_exit(p, 200, &st);
	}
	if (p.pid > 0) {
		ASSERT_TRUE(wait_exit(p, 5000, &st));
	}
	EXPECT_NE(exit_code(st), 0);
	EXPECT_NE(st, -1);
}

TEST(ReceiverFaults, StalledReaderLosesOnlyInTheKernelAndRecovers)
{
	int port = free_udp_port();
	Proc p = start_net_pipe(port);
	Udp u;
	// Nobody reads: net-pipe blocks on the full pipe, and the socket queue overflows.
	for (int k = 0; k < 300; k++) {
		u.send(port, stamp_of(k));
		u.send(port, payload(k));
		usleep(1000);
	}
	EXPECT_TRUE(still_running(p));
	std::string out = read_records(p.out, 500);  // reading resumes, whole records
	for (int k = 300; k < 310; k++) {
		u.send(port, stamp_of(k));
		u.send(port, payload(k));
		usleep(20000);
	}
	out += read_records(p.out, 2000);
	ASSERT_EQ(out.size() % 3617, 0u);
	size_t n = out.size() / 3617;
	EXPECT_LT(n, 310u);  // the kernel dropped what did not fit
	std::string prev;
	for (size_t k = 0; k < n; k++) {
		std::string rec = out.substr(k * 3617, 3617);
		EXPECT_EQ(rec[16], '\0');
		EXPECT_GT(rec.substr(0, 16), prev) << k;  // in order
		prev = rec.substr(0, 16);
	}
	// Back in step: after at most one mixed record, each new pair gives its own record.
	ASSERT_GE(n, 8u);
	for (int k = 302; k < 310; k++)
		EXPECT_EQ(out.substr((n - (size_t)(310 - k)) * 3617, 3617), record(stamp_of(k), payload(k))) << k;
}

}  // namespace
