// What every program shares: --help and --version; FROM and TO refused with the reason on the
// one usage line; a line of progress on a terminal and silence elsewhere; and the output-file
// helper giving back its pending slots.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kit.h"
#include "outfile.h"

namespace {

// Every program built, by its name in bin/, but the five whose behaviour is kept exactly as
// first made (net-pipe, net-arc, arc-pipe, pipe-view, pipe-dump: an argument is theirs to read).
std::vector<std::string> programs()
{
	static const std::vector<std::string> kept = {"net-pipe", "net-arc", "arc-pipe", "pipe-view", "pipe-dump"};
	std::vector<std::string> out;
	DIR *d = opendir(BIN_DIR);
	if (!d)
		return out;
	while (struct dirent *e = readdir(d))
		if (e->d_name[0] != '.' && std::find(kept.begin(), kept.end(), e->d_name) == kept.end())
			out.push_back(e->d_name);
	closedir(d);
	std::sort(out.begin(), out.end());
	return out;
}

TEST(Programs, EveryOneAnswersHelpAndVersion)
{
	std::vector<std::string> all = programs();
	std::vector<std::string> musts = {"arc-cat", "arc-pack", "arc-prune", "arc-stat", "frame-send", "pipe-events"};
	if (exists(bin("pipe-view")))
		musts.push_back("zq-shot");  // a tool of the viewer's, built with it
	for (const std::string &must : musts)
		EXPECT_NE(std::find(all.begin(), all.end(), must), all.end()) << must << " not built";
	for (const std::string &name : all) {
		Ran h = run({bin(name), "--help"});
		EXPECT_EQ(exit_code(h.status), 0) << name << ": " << h.err;
		EXPECT_EQ(h.out.rfind("usage: " + name + " ", 0), 0u) << name << ": " << h.out;
		EXPECT_GE(std::count(h.out.begin(), h.out.end(), '\n'), 2) << name << ": " << h.out;
		EXPECT_EQ(h.err, "") << name;
		Ran v = run({bin(name), "--version"});
		EXPECT_EQ(exit_code(v.status), 0) << name << ": " << v.err;
		EXPECT_EQ(v.out.rfind(name + " ", 0), 0u) << name << ": " << v.out;
		EXPECT_EQ(std::count(v.out.begin(), v.out.end(), '\n'), 1) << name << ": " << v.out;
	}
}

// The readers of the archive over a range: a ten-minute period's own name is a range, and a
// range refused says why on its one usage line.
TEST(Programs, FromAndToTakeAPeriodsNameAndARefusalSaysWhy)
{
	ArcTree a({"2026120714000000", "2026120714095950", "2026120714100000"});
	struct {
		std::vector<std::string> args;
		int code;
		std::string why;  // after the usage line's synopsis and ": ", or the frames written
	} cases[] = {
		{{"20261207140"}, 0, "2"},
		{{"2026-12-07 14:1"}, 0, "1"},
		{{"20261207140", "20261207141"}, 0, "2"},
		{{"20261207146"}, 2, "FROM 20261207146: not a time"},
		{{"2026130"}, 2, "FROM 2026130: not a time"},
		{{"20261207", "2026120"}, 2, "TO 2026120: not a time"},
		{{"20261207141", "20261207140"}, 2, "TO 20261207140: not after FROM 20261207141"},
		{{"2026", "2027", "2028"}, 2, "2028: more than FROM and TO"},
	};
	for (const char *prog : {"arc-cat", "arc-stat", "arc-pack"})
		for (auto &c : cases) {
			std::vector<std::string> argv = {bin(prog)};
			if (std::string(prog) == "arc-pack")
				argv.push_back("-n");  // what it would pack, nothing done
			argv.push_back(a.root);
			argv.insert(argv.end(), c.args.begin(), c.args.end());
			Ran r = run(argv);
			std::string what = std::string(prog) + " " + c.args[0];
			ASSERT_EQ(exit_code(r.status), c.code) << what << ": " << r.err;
			if (c.code == 2) {
				EXPECT_EQ(r.err.rfind("usage: " + std::string(prog) + " ", 0), 0u) << what << ": " << r.err;
				EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << ": " << r.err;
				std::string end = ": " + c.why + "\n";
				EXPECT_EQ(r.err.size() > end.size() ? r.err.substr(r.err.size() - end.size()) : r.err, end) << what;
			} else if (std::string(prog) == "arc-cat") {
				EXPECT_EQ(std::to_string(r.out.size() / 3617), c.why) << what;
			}
		}
}

// Runs a program with standard error on a new terminal (standard output to /dev/null) and
// returns what the terminal showed, once the program has ended (within ms).
std::string on_terminal(const std::vector<std::string> &args, int ms = 20000)
{
	int master, slave;
	if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
		throw std::runtime_error("openpty");
	struct termios t;
	tcgetattr(slave, &t);
	t.c_oflag &= ~(tcflag_t)OPOST;  // the bytes as written, no '\n' made "\r\n"
	tcsetattr(slave, TCSANOW, &t);
	pid_t pid = fork();
	if (pid == 0) {
		int null = open("/dev/null", O_RDWR);
		dup2(null, 0);
		dup2(null, 1);
		dup2(slave, 2);
		close(master);
		std::vector<std::string> run_args = emulated(args);
		std::vector<char *> argv;
		for (const std::string &a : run_args)
			argv.push_back(const_cast<char *>(a.c_str()));
		argv.push_back(nullptr);
		execv(argv[0], argv.data());
		_exit(127);
	}
	close(slave);
	std::string got;
	char b[4096];
	// Until the terminal's last writer has gone (EIO) or time is up.
	for (long waited = 0; waited < ms;) {
		struct pollfd pf = {master, POLLIN, 0};
		if (poll(&pf, 1, 100) <= 0) {
			waited += 100;
			continue;
		}
		ssize_t n = read(master, b, sizeof b);
		if (n <= 0)
			break;
		got.append(b, (size_t)n);
	}
	close(master);
	kill(pid, SIGKILL);  // gone already, unless time ran out
	waitpid(pid, nullptr, 0);
	return got;
}

TEST(Progress, ALineRewrittenOnATerminalAndNothingElsewhere)
{
	ArcTree a({"2026120114000000", "2026120200000000", "2026120300000000", "2026120400000050"});
	struct {
		std::vector<std::string> args;
		std::string first, last;  // the first and the last line drawn
	} cases[] = {
		{{bin("arc-stat"), a.root}, "\rarc-stat: 20261201: 1 of 4 days\033[K", "\rarc-stat: 20261204: 4 of 4 days\033[K"},
		{{bin("arc-stat"), a.root, "20261202", "20261204"}, "\rarc-stat: 20261202: 1 of 2 days\033[K",
		 "\rarc-stat: 20261203: 2 of 2 days\033[K"},
		{{bin("arc-cat"), a.root}, "\rarc-cat: 20261201: 1 of 4 days\033[K", "\rarc-cat: 20261204: 4 of 4 days\033[K"},
		{{bin("arc-pack"), "-n", a.root}, "\rarc-pack: 20261201: 1 of 4 days\033[K",
		 "\rarc-pack: 20261204: 4 of 4 days\033[K"},
	};
	for (auto &c : cases) {
		std::string tty = on_terminal(c.args);
		EXPECT_EQ(tty.rfind(c.first, 0), 0u) << c.args[0] << ": " << tty;
		// The last line drawn, then cleared: the terminal is left as it was.
		EXPECT_EQ(tty.size() >= c.last.size() + 4 ? tty.substr(tty.size() - c.last.size() - 4) : tty,
			  c.last + "\r\033[K")
			<< c.args[0] << ": " << tty;
		Ran piped = run(c.args);
		EXPECT_EQ(exit_code(piped.status), 0) << piped.err;
		EXPECT_EQ(piped.err, "") << c.args[0];
	}
	// A warning on the way starts a line of its own.
	spit(a.root + "/20261202/20261202000/2026120200000000.gz", "not gzip");
	std::string tty = on_terminal({bin("arc-stat"), "-v", a.root});
	EXPECT_NE(tty.find("\r\033[Karc-stat: " + a.root + "/20261202/20261202000/2026120200000000.gz: not gzip\n"),
		  std::string::npos)
		<< tty;
}

TEST(OutFile, MoreFilesThanSlotsOneAfterAnother)
{
	// Eight may be pending at once; one after another there is no end to them, committed or
	// abandoned.
	TempDir t;
	for (int i = 0; i < 40; i++) {
		OutFile f;
		std::string path = t / ("f" + std::to_string(i));
		ASSERT_EQ(of_begin(&f, path), 0) << i << ": " << strerror(errno);
		spit(f.tmp, std::to_string(i));
		if (i % 2)
			of_abort(&f);
		else
			ASSERT_EQ(of_commit(&f), 0) << i;
		EXPECT_EQ(exists(path), i % 2 == 0) << i;
	}
	std::vector<OutFile> pending(8);
	for (OutFile &f : pending)
		ASSERT_EQ(of_begin(&f, t / "many"), 0);
	OutFile ninth;
	EXPECT_EQ(of_begin(&ninth, t / "many"), -1);
	EXPECT_EQ(errno, EMFILE);
	of_abort(&pending[3]);
	EXPECT_EQ(of_begin(&ninth, t / "many"), 0);  // the slot given back is taken again
	of_abort(&ninth);
	for (OutFile &f : pending)
		of_abort(&f);
}

}  // namespace
