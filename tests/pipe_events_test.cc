// pipe-events against frame-send's truth: a table of simulated skies (one burst of each kind,
// nuisances only, a gain step, bursts overlapping in time) through the real programs; the
// command run per event (its environment, one that fails, cannot start or hangs); stamps that
// are not a time, repeated, late or far ahead; receiver faults; usage errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sstream>

#include "frame.h"
#include "kit.h"

namespace {

struct Line { std::string kind, start, end; double f_lo, f_hi, peak_db, drift; };

long long centis(const std::string &stamp)
{
	long long t = -1;
	fr_stamp_time(stamp.c_str(), &t);
	return t;
}

std::vector<Line> parse_truth(const std::string &text, bool bursts_only)
{
	std::vector<Line> v;
	std::istringstream in(text);
	Line l;
	double width;
	while (in >> l.kind >> l.start >> l.end >> l.f_lo >> l.f_hi >> l.peak_db >> l.drift >> width)
		if (!bursts_only || l.kind == "III" || l.kind == "II" || l.kind == "CONT")
			v.push_back(l);
	return v;
}

std::vector<Line> parse_json(const std::string &text)
{
	std::vector<Line> v;
	std::istringstream in(text);
	for (std::string s; std::getline(in, s);) {
		auto j = nlohmann::json::parse(s);
		v.push_back({j["kind"], j["start"], j["end"], j["f_lo"], j["f_hi"], j["peak_db"], j["drift"]});
	}
	return v;
}

// A simulated sky: its records and its truth.
struct Sky {
	std::string records, truth;
};

Sky sky(const std::vector<std::string> &args, const std::string &first = "2026120810000000")
{
	TempDir d;
	std::vector<std::string> argv = {bin("frame-send"), "-o", "-T", first, "-e", d / "truth"};
	argv.insert(argv.end(), args.begin(), args.end());
	Ran r = run(argv, "", 60000);
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	return {r.out, slurp(d / "truth")};
}

struct SkyCase {
	const char *name;
	std::vector<std::string> args;  // frame-send's
	std::vector<std::string> kinds; // the events pipe-events must report, in the order they end
	int spikes;                     // and the SPIKE lines
	bool shared = false;            // bursts on top of each other: drift only its sign, ends within 3 s
};

void PrintTo(const SkyCase &c, std::ostream *os) { *os << c.name; }

class Skies : public ::testing::TestWithParam<SkyCase> {};

// Each event reported is one of the truth's bursts, of its kind, its start and end within 2 s
// and its drift within 25 %; nuisances give no events, spikes give SPIKE lines.
TEST_P(Skies, EventsAsTheTruthHasThem)
{
	const SkyCase &c = GetParam();
	Sky s = sky(c.args);
	Ran r = run({bin("pipe-events"), "--json"}, s.records, 60000);
	ASSERT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_EQ(r.err, "");
	std::vector<Line> found = parse_json(r.out), truth = parse_truth(s.truth, true), events;
	int spikes = 0;
	for (const Line &f : found)
		f.kind == "SPIKE" ? spikes++ : (events.push_back(f), 0);
	ASSERT_EQ(events.size(), c.kinds.size()) << r.out << s.truth;
	EXPECT_EQ(spikes, c.spikes) << r.out;
	for (size_t i = 0; i < events.size(); i++) {
		const Line &f = events[i];
		EXPECT_EQ(f.kind, c.kinds[i]) << r.out;
		const Line *t = nullptr;  // the truth's burst of its kind that started nearest
		for (const Line &x : truth)
			if (x.kind == f.kind && (!t || std::llabs(centis(x.start) - centis(f.start)) < std::llabs(centis(t->start) - centis(f.start))))
				t = &x;
		ASSERT_TRUE(t) << f.kind << " not in the truth:\n" << s.truth;
		EXPECT_LE(std::llabs(centis(f.start) - centis(t->start)), 200) << f.start << " " << t->start;
		EXPECT_LE(std::llabs(centis(f.end) - centis(t->end)), c.shared ? 300 : 200) << f.end << " " << t->end;
		if (c.shared)
			EXPECT_EQ(f.drift < 0, t->drift < 0) << f.kind;
		else
			EXPECT_NEAR(f.drift, t->drift, 0.25 * std::fabs(t->drift) + 1e-9) << f.kind;
		EXPECT_LT(f.f_lo, t->f_hi);
		EXPECT_GT(f.f_hi, t->f_lo);
		EXPECT_GE(f.peak_db, 6.0);
	}
}

INSTANTIATE_TEST_SUITE_P(
	Table, Skies,
	::testing::Values(
		SkyCase{"FastDrift", {"-c", "200", "-s", "1", "-k", "III@30"}, {"III"}, 0},
		SkyCase{"SlowDrift", {"-c", "1000", "-s", "2", "-k", "II@20"}, {"II"}, 0},
		SkyCase{"Continuum", {"-c", "1600", "-s", "1", "-k", "CONT@20"}, {"CONT"}, 0},
		SkyCase{"NuisancesOnly", {"-c", "2400", "-s", "3", "-k", "SWITCH,SPIKE@100,SPIKE@300,NARROW@200,GAIN@400,GAIN@700"}, {}, 2},
		SkyCase{"GainStepDuringBurst", {"-c", "1000", "-s", "2", "-k", "II@20,GAIN@60"}, {"II"}, 0},
		SkyCase{"FastDriftOverSlowDrift", {"-c", "1000", "-s", "2", "-k", "II@20,III@70"}, {"III", "II"}, 0},
		SkyCase{"SoundersAndBroadcasting", {"-c", "2400", "-s", "4", "-k", "FADE@5,CHIRP@60,CHIRP@400,FADE@30"}, {}, 0},
		SkyCase{"FastDriftsOnAWeakContinuum", {"-c", "2400", "-s", "31", "-k", "CONT@60,III@200,III@300"}, {"III", "III", "CONT"}, 0, true}),
	[](const ::testing::TestParamInfo<SkyCase> &i) { return std::string(i.param.name); });

// The same seed gives the same sky, frame for frame and line for line.
TEST(FrameSend, SameSeedSameSky)
{
	Sky a = sky({"-c", "300", "-s", "9", "-k", "III,II,CONT,SPIKE,SWITCH,GAIN", "-E", "60"});
	Sky b = sky({"-c", "300", "-s", "9", "-k", "III,II,CONT,SPIKE,SWITCH,GAIN", "-E", "60"});
	EXPECT_EQ(a.records.size(), 300u * FR_RECORD);
	EXPECT_TRUE(a.records == b.records);
	EXPECT_EQ(a.truth, b.truth);
	EXPECT_NE(a.truth, "");
}

// One fast-drift burst, then the text lines: date, span and kind first.
TEST(PipeEvents, TextLineAndStartLine)
{
	Sky s = sky({"-c", "200", "-s", "1", "-k", "III@30"});
	Ran r = run({bin("pipe-events")}, s.records);
	ASSERT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_EQ(r.out.substr(0, 32), "2026-12-08 10:00:30-10:00:32 III") << r.out;
	Ran l = run({bin("pipe-events"), "-l", "1.5"}, s.records);
	EXPECT_EQ(l.out.substr(0, 40), "2026-12-08 10:00:30-...      III   start") << l.out;
	EXPECT_EQ(l.out.substr(l.out.find('\n') + 1), r.out);
	Ran j = run({bin("pipe-events"), "-l", "1.5", "--json"}, s.records);
	std::istringstream in(j.out);
	std::string a, b;
	std::getline(in, a), std::getline(in, b);
	EXPECT_EQ(nlohmann::json::parse(a)["state"], "start");
	EXPECT_EQ(nlohmann::json::parse(b)["state"], "end");
	EXPECT_EQ(nlohmann::json::parse(a)["id"], nlohmann::json::parse(b)["id"]);
}

// The hook sees the event's fields in its environment (ours with any EVENT_ taken out); its
// output goes to standard error, never among the event lines.
TEST(PipeEvents, HookEnvironment)
{
	Sky s = sky({"-c", "200", "-s", "1", "-k", "III@30"});
	Ran plain = run({bin("pipe-events"), "--json"}, s.records);
	Ran r = run({bin("pipe-events"), "--json", "-x", "env"}, s.records, 20000, {"EVENT_KIND=forged", "KEEP=me"});
	ASSERT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_EQ(r.out, plain.out);
	auto j = nlohmann::json::parse(r.out);
	for (std::string want : std::vector<std::string>{
		     "EVENT_ID=1\n", "EVENT_KIND=III\n", "KEEP=me\n", "EVENT_START=" + std::string(j["start"]) + "\n",
		     "EVENT_END=" + std::string(j["end"]) + "\n", "EVENT_PEAK=" + std::string(j["peak"]) + "\n"})
		EXPECT_NE(r.err.find(want), std::string::npos) << want << r.err;
	EXPECT_EQ(r.err.find("forged"), std::string::npos) << r.err;
	// The figures as the line has them, each under its own name.
	auto fixed = [](double v, int n) {
		char s[64];
		snprintf(s, sizeof s, "%.*f", n, v);
		return std::string(s);
	};
	ASSERT_LT(double(j["f_lo"]), double(j["f_hi"]));
	for (std::string want : {"EVENT_F_LO=" + fixed(j["f_lo"], 3) + "\n", "EVENT_F_HI=" + fixed(j["f_hi"], 3) + "\n",
				 "EVENT_PEAK_DB=" + fixed(j["peak_db"], 1) + "\n", "EVENT_DRIFT=" + fixed(j["drift"], 3) + "\n"})
		EXPECT_NE(r.err.find(want), std::string::npos) << want << r.err;
}

struct HookCase { const char *name; std::vector<std::string> cmd; std::string said; };
void PrintTo(const HookCase &c, std::ostream *os) { *os << c.name; }
class Hook : public ::testing::TestWithParam<HookCase> {};

// A hook that fails, cannot start or hangs: logged, and every event still reported.
TEST_P(Hook, FailureLoggedStreamGoesOn)
{
	Sky s = sky({"-c", "400", "-s", "1", "-k", "III@30,III@120"});
	Ran plain = run({bin("pipe-events"), "--json"}, s.records);
	std::vector<std::string> argv = {bin("pipe-events"), "--json", "-x"};
	argv.insert(argv.end(), GetParam().cmd.begin(), GetParam().cmd.end());
	Ran r = run(argv, s.records, 30000);
	ASSERT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_EQ(r.out, plain.out);
	EXPECT_EQ(std::count(plain.out.begin(), plain.out.end(), '\n'), 2);
	// Under a user-mode emulator (the arm64 run) a command that cannot start is seen only as
	// its child's exit with 127.
	bool emulated = r.err.find("/nonexistent/notify for event 1 exited with 127\n") != std::string::npos &&
			std::string(ZQ_EMULATOR_NAME)[0] != '\0';
	EXPECT_TRUE(r.err.find(GetParam().said) != std::string::npos || emulated) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
	Table, Hook,
	::testing::Values(HookCase{"Fails", {"false"}, "pipe-events: false for event 2 exited with 1\n"},
			  HookCase{"CannotStart", {"/nonexistent/notify"}, "pipe-events: cannot run /nonexistent/notify for event 1: No such file or directory\n"},
			  HookCase{"Hangs", {"sleep 100"}, "pipe-events: sleep for event 1 ran over 10 s: killed\n"}),
	[](const ::testing::TestParamInfo<HookCase> &i) { return std::string(i.param.name); });

// A hook killed for running over its time takes what it started with it: a script whose child
// hangs leaves no process behind.
TEST(PipeEvents, KilledHookLeavesNoChildBehind)
{
	Sky s = sky({"-c", "200", "-s", "1", "-k", "III@30"});
	TempDir d;
	std::string script = d / "notify", pidfile = d / "pid";
	spit(script, "#!/bin/sh\nsleep 100 &\necho $! > " + pidfile + ".part\nmv " + pidfile + ".part " + pidfile + "\nwait\n", 0755);
	Ran r = run({bin("pipe-events"), "-x", script}, s.records, 30000);
	ASSERT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_NE(r.err.find("for event 1 ran over 10 s: killed"), std::string::npos) << r.err;
	pid_t child = (pid_t)atol(slurp(pidfile).c_str());
	ASSERT_GT(child, 1);
	bool gone = wait_until([&] { return kill(child, 0) != 0; }, 5000);
	if (!gone)
		kill(child, SIGKILL);
	EXPECT_TRUE(gone) << "the hook's child " << child << " still runs";
}

// Started with CHLD ignored (which would have the system collect the hooks unseen), pipe-events
// still sees how its hook ended.
TEST(PipeEvents, HookSeenWithChildSignalIgnored)
{
	Sky s = sky({"-c", "200", "-s", "1", "-k", "III@30"});
	TempDir d;
	std::string script = d / "hook";
	spit(script, "#!/bin/sh\nexit 3\n", 0755);
	Spawn p;
	p.argv = {bin("pipe-events"), "-x", script};
	p.pipe_in = p.pipe_out = true;
	signal(SIGCHLD, SIG_IGN);  // for this child only: it keeps it across exec
	Proc pe = start(p);
	signal(SIGCHLD, SIG_DFL);
	ASSERT_EQ(write(pe.in, s.records.data(), s.records.size()), (ssize_t)s.records.size());
	pe.close_in();
	int st;
	ASSERT_TRUE(wait_exit(pe, 15000, &st));
	EXPECT_EQ(exit_code(st), 0);
	EXPECT_EQ(drain(pe.err), "pipe-events: " + script + " for event 1 exited with 3\n");
}

// The hook runs once for each burst that ends, never for a spike or a fault line.
TEST(PipeEvents, HookRunsForBurstsOnly)
{
	Sky s = sky({"-c", "400", "-s", "1", "-k", "SPIKE@10,III@30,SPIKE@80,III@120"});
	// Six frames of a receiver fault at 50 s, between the bursts.
	std::string in = s.records.substr(0, 100 * FR_RECORD);
	for (int k = 100; k < 106; k++) {
		char st[17];
		fr_time_stamp(centis("2026120810000000") + 50 * k, st);
		in += record(st, payload_levels(65535, 65535));
	}
	in += s.records.substr(106 * FR_RECORD);
	Ran r = run({bin("pipe-events"), "--json", "-x", "env"}, in, 30000);
	ASSERT_EQ(exit_code(r.status), 0) << r.err;
	auto lines = parse_json(r.out);
	ASSERT_EQ(lines.size(), 5u) << r.out;
	EXPECT_EQ(lines[0].kind, "SPIKE");
	EXPECT_EQ(lines[2].kind, "FAULT");
	size_t kinds = 0;
	for (size_t at = 0; (at = r.err.find("EVENT_KIND=", at)) != std::string::npos; at++)
		kinds++;
	EXPECT_EQ(kinds, 2u) << r.err;
	EXPECT_EQ(r.err.find("EVENT_KIND=SPIKE"), std::string::npos) << r.err;
	EXPECT_EQ(r.err.find("EVENT_KIND=FAULT"), std::string::npos) << r.err;
}

// With -l an event has a line when it starts and one when it ends, but its hook runs once,
// when it has ended, with its real end.
TEST(PipeEvents, HookRunsOnceAnEventHasEnded)
{
	Sky s = sky({"-c", "200", "-s", "1", "-k", "III@30"});
	Ran r = run({bin("pipe-events"), "--json", "-l", "1.5", "-x", "env"}, s.records, 30000);
	ASSERT_EQ(exit_code(r.status), 0) << r.err;
	std::istringstream in(r.out);
	std::string a, b;
	std::getline(in, a), std::getline(in, b);
	ASSERT_NE(b, "") << r.out;
	auto end = nlohmann::json::parse(b);
	EXPECT_EQ(end["state"], "end");
	size_t kinds = 0;
	for (size_t at = 0; (at = r.err.find("EVENT_KIND=", at)) != std::string::npos; at++)
		kinds++;
	EXPECT_EQ(kinds, 1u) << r.err;
	EXPECT_NE(r.err.find("EVENT_END=" + std::string(end["end"]) + "\n"), std::string::npos) << r.err;
}

// A process that is there and not a zombie.
bool alive(pid_t pid)
{
	std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
	size_t at = stat.rfind(") ");
	return at != std::string::npos && stat[at + 2] != 'Z';
}

// The PIDs a test hook wrote to dir/pids.ID ("hook child"), once there; empty if none came in ms.
std::vector<pid_t> hook_pids(const TempDir &d, int id, int ms)
{
	std::string f = d / ("pids." + std::to_string(id));
	std::vector<pid_t> v;
	if (!wait_until([&] { return exists(f); }, ms, 10))
		return v;
	std::istringstream in(slurp(f));
	for (long pid; in >> pid;)
		v.push_back((pid_t)pid);
	return v;
}

// Whether every one of pids is gone within ms; those left are killed, so none outlives the test.
bool all_gone(const std::vector<pid_t> &pids, int ms)
{
	bool gone = wait_until([&] { return std::none_of(pids.begin(), pids.end(), alive); }, ms, 10);
	for (pid_t pid : pids)
		if (pid > 1 && alive(pid))
			kill(pid, SIGKILL);
	return gone;
}

// A hook deaf to TERM, INT and HUP starts a child deaf to them too, writes both PIDs to
// DIR/pids.EVENT_ID, then waits for the child (HOOK_WAITS=1) or exits at once, leaving it.
std::string deaf_hook(const TempDir &d)
{
	std::string script = d / "hook", out = d.path + "/pids.$EVENT_ID";
	spit(script,
	     "#!/bin/sh\ntrap '' TERM INT HUP\nsleep 60 &\necho $$ $! > " + out + ".part\nmv " + out + ".part " + out +
		     "\n[ \"$HOOK_WAITS\" = 1 ] && wait\nexit 0\n",
	     0755);
	return script;
}

// A hanging hook does not hold the stream back: the second event's line comes while the first
// event's hook still runs. Ended by TERM, pipe-events ends the hooks too.
TEST(PipeEvents, HangingHookDoesNotHoldBack)
{
	Sky s = sky({"-c", "400", "-s", "1", "-k", "III@30,III@120"});
	TempDir d;
	Spawn p;
	p.argv = {bin("pipe-events"), "-x", deaf_hook(d)};
	p.env = {"HOOK_WAITS=1"};
	p.pipe_in = p.pipe_out = true;
	Proc pe = start(p);
	ASSERT_EQ(write(pe.in, s.records.data(), s.records.size()), (ssize_t)s.records.size());
	std::string out;
	EXPECT_TRUE(wait_until([&] { return (out += drain(pe.out)), std::count(out.begin(), out.end(), '\n') == 2; }, 5000))
		<< out;
	EXPECT_TRUE(still_running(pe));
	std::vector<pid_t> pids = hook_pids(d, 1, 10000), second = hook_pids(d, 2, 10000);
	pids.insert(pids.end(), second.begin(), second.end());
	EXPECT_EQ(pids.size(), 4u);
	kill(pe.pid, SIGTERM);
	EXPECT_TRUE(wait_exit(pe, 10000, nullptr));
	stop(pe);
	EXPECT_TRUE(all_gone(pids, 5000)) << "hooks or their children outlived pipe-events";
}

struct EndCase {
	const char *name;
	int sig;           // sent to pipe-events; 0: its reader goes (SIGPIPE) unless eof
	bool eof;          // its input ends (first)
	bool hook_waits;   // the hook still runs when pipe-events ends; else it has exited, leaving its child
	int status_sig;    // the signal pipe-events ends by, 0 for exit 0
};
void PrintTo(const EndCase &c, std::ostream *os) { *os << c.name; }
class Ending : public ::testing::TestWithParam<EndCase> {};

// However pipe-events ends, no hook it started and no child of one is left: each hook's process
// group gets TERM, then KILL after a short grace (these ignore TERM); one that ended by itself
// has what it left behind ended with it.
TEST_P(Ending, NoHookOrChildLeft)
{
	const EndCase &c = GetParam();
	Sky s = sky({"-c", "400", "-s", "1", "-k", "III@30,III@120"});
	TempDir d;
	Spawn p;
	p.argv = {bin("pipe-events"), "-x", deaf_hook(d)};
	p.env = {c.hook_waits ? "HOOK_WAITS=1" : "HOOK_WAITS=0"};
	p.pipe_in = p.pipe_out = true;
	Proc pe = start(p);
	// The first burst, its line and its hook; pipe-events then waits on its input.
	size_t half = 200 * FR_RECORD;
	ASSERT_EQ(write(pe.in, s.records.data(), half), (ssize_t)half);
	std::vector<pid_t> pids = hook_pids(d, 1, 10000);
	ASSERT_EQ(pids.size(), 2u);
	if (c.hook_waits) {
		ASSERT_TRUE(alive(pids[0]));
	}
	if (c.eof)
		pe.close_in();
	if (c.sig)
		kill(pe.pid, c.sig);
	else if (!c.eof) {  // the reader goes; the second burst's line cannot be written
		pe.close_out();
		(void)!write(pe.in, s.records.data() + half, s.records.size() - half);
	}
	int st = -1;  // within its grace, not the hooks' limit of 10 s
	EXPECT_TRUE(wait_exit(pe, 8000, &st));
	EXPECT_EQ(term_signal(st), c.status_sig);
	EXPECT_EQ(exit_code(st), c.status_sig ? -1 : 0);
	stop(pe);
	EXPECT_TRUE(all_gone(pids, 5000)) << "hook " << pids[0] << " or its child " << pids[1] << " outlived pipe-events";
}

INSTANTIATE_TEST_SUITE_P(
	Table, Ending,
	::testing::Values(EndCase{"Term", SIGTERM, false, true, SIGTERM}, EndCase{"Interrupt", SIGINT, false, true, SIGINT},
			  EndCase{"Hangup", SIGHUP, false, true, SIGHUP}, EndCase{"ReaderGone", 0, false, true, SIGPIPE},
			  EndCase{"EndOfInput", 0, true, false, 0},
			  EndCase{"TermWhileWaitingAtTheEnd", SIGTERM, true, true, SIGTERM}),
	[](const ::testing::TestParamInfo<EndCase> &i) { return std::string(i.param.name); });

// Ended by TERM, pipe-events gives its hooks their grace: a hook that tidies up on TERM
// (here, by writing a file) does so before the KILL that would follow.
TEST(PipeEvents, AHookEndedByTermHasItsGraceToTidyUp)
{
	Sky s = sky({"-c", "200", "-s", "1", "-k", "III@30"});
	TempDir d;
	std::string script = d / "hook", pidfile = d / "pid", tidied = d / "tidied";
	spit(script,
	     "#!/bin/sh\ntrap 'echo tidied > " + tidied + "; exit 0' TERM\nsleep 60 &\necho $$ > " + pidfile +
		     ".part\nmv " + pidfile + ".part " + pidfile + "\nwait\n",
	     0755);
	Spawn p;
	p.argv = {bin("pipe-events"), "-x", script};
	p.pipe_in = p.pipe_out = true;
	Proc pe = start(p);
	ASSERT_EQ(write(pe.in, s.records.data(), s.records.size()), (ssize_t)s.records.size());
	ASSERT_TRUE(wait_until([&] { return exists(pidfile); }, 10000, 10));
	pid_t hook = (pid_t)atol(slurp(pidfile).c_str());
	ASSERT_GT(hook, 1);
	kill(pe.pid, SIGTERM);
	int st = -1;
	EXPECT_TRUE(wait_exit(pe, 8000, &st));
	EXPECT_EQ(term_signal(st), SIGTERM);
	stop(pe);
	EXPECT_TRUE(all_gone({hook}, 5000));
	EXPECT_EQ(exists(tidied) ? slurp(tidied) : "", "tidied\n") << "the hook was killed without its grace";
}

// Frames with a bad stamp cost only themselves: not a time, repeated, late, or far ahead; each
// holds a level that would be a spike if taken. Said on stderr.
TEST(PipeEvents, BadStampsSkippedAndCounted)
{
	Sky s = sky({"-c", "200", "-s", "1", "-k", "III@30"});
	Ran plain = run({bin("pipe-events"), "--json"}, s.records);
	// Put in before the burst: a stamp taken that should not be would hide it.
	std::string loud = payload_levels(9000, 9000), bad = s.records.substr(0, 20 * FR_RECORD);
	for (std::string st : {"2026123210000000", "2026120810000950", "2026120810000900", "2027120810000000",
			       "20261208100009xx"})
		bad += record(st, loud);
	bad += s.records.substr(20 * FR_RECORD);
	Ran r = run({bin("pipe-events"), "--json"}, bad);
	ASSERT_EQ(exit_code(r.status), 0);
	EXPECT_EQ(std::count(plain.out.begin(), plain.out.end(), '\n'), 1);
	EXPECT_EQ(r.out, plain.out);
	// Each kind said at once the first time, the counts not yet said at the end.
	EXPECT_EQ(r.err, "pipe-events: 1 records skipped: stamps not 16 digits of a real time\n"
			 "pipe-events: 1 records skipped: stamps repeated or out of order\n"
			 "pipe-events: 1 records skipped: stamps more than 75 minutes from the stream's time\n"
			 "pipe-events: 2 records skipped: stamps not 16 digits of a real time\n"
			 "pipe-events: 2 records skipped: stamps repeated or out of order\n");
}

// Frames of 0 or 65535 across the band are a FAULT line, and the burst after them is found.
TEST(PipeEvents, FaultLine)
{
	Sky s = sky({"-c", "200", "-s", "1", "-k", "III@30"});
	std::string in = s.records.substr(0, 40 * FR_RECORD);
	for (int k = 40; k < 46; k++) {
		char st[17];
		fr_time_stamp(centis("2026120810000000") + 50 * k, st);
		in += record(st, payload_levels(k < 43 ? 0 : 65535, k < 43 ? 0 : 65535));
	}
	in += s.records.substr(46 * FR_RECORD);
	Ran r = run({bin("pipe-events"), "--json"}, in);
	ASSERT_EQ(exit_code(r.status), 0);
	auto lines = parse_json(r.out);
	ASSERT_EQ(lines.size(), 2u) << r.out;
	EXPECT_EQ(lines[0].kind, "FAULT");
	EXPECT_EQ(lines[0].start, "2026120810002000");
	EXPECT_EQ(lines[0].end, "2026120810002250");
	EXPECT_EQ(lines[1].kind, "III");
	EXPECT_EQ(r.err, "pipe-events: 6 frames of a receiver fault (0 or 65535 across the band)\n");
}

// Interference is listed only with -a, by its kind, and never runs the hook; the list form
// leaves it out.
TEST(PipeEvents, InterferenceOnlyWhenAskedForAndNeverToTheHook)
{
	TempDir d;
	Sky s = sky({"-c", "2400", "-s", "4", "-k", "FADE@5,CHIRP@60,CHIRP@400,III@900"});
	std::string hook = d / "hook.sh";
	spit(hook, "#!/bin/sh\necho \"$EVENT_KIND\" >> " + (d / "ran") + "\n", 0755);
	Ran plain = run({bin("pipe-events")}, s.records, 60000);
	Ran all = run({bin("pipe-events"), "-a", "-x", hook}, s.records, 60000);
	ASSERT_EQ(exit_code(all.status), 0) << all.err;
	std::istringstream in(all.out);
	std::string kinds, plain_kinds;
	for (std::string date, span, kind, rest; in >> date >> span >> kind && std::getline(in, rest);)
		kinds += kind + " ";
	std::istringstream pin(plain.out);
	for (std::string date, span, kind, rest; pin >> date >> span >> kind && std::getline(pin, rest);)
		plain_kinds += kind + " ";
	EXPECT_EQ(plain_kinds, "III ");
	EXPECT_EQ(kinds, "SOUNDER SOUNDER III ") << all.out;
	EXPECT_EQ(slurp(d / "ran"), "III\n");  // hooks are waited for at the end of input
	// -l says when a burst starts, never when interference does, nor its end.
	Ran live = run({bin("pipe-events"), "-l", "1"}, s.records, 60000);
	std::istringstream lin(live.out);
	std::string live_kinds;
	for (std::string date, span, kind, rest; lin >> date >> span >> kind && std::getline(lin, rest);)
		live_kinds += kind + " ";
	EXPECT_EQ(live_kinds, "III III ") << live.out;
	Ran list = run({bin("pipe-events"), "--list", "-a", "-n", "X"}, s.records, 60000);
	EXPECT_EQ(list.out, "20261208\t10:15-10:15\tIII\tX\n");
}

// The network's list form: bursts of one kind less than a minute apart are one line, a
// continuum is CTM, the station is -n's or STATION_NAME's; interference is never listed; the
// lines still open when the input ends are written then.
TEST(PipeEvents, NetworkListForm)
{
	Sky s = sky({"-c", "2400", "-s", "31", "-k", "CONT@60,III@200,III@230"}, "2026123123560000");
	Ran r = run({bin("pipe-events"), "--list", "-n", "ST-1"}, s.records, 60000);
	ASSERT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_EQ(r.out, "20261231\t23:59-23:59\tIII\tST-1\n"  // 30 s apart: one line
			 "20261231\t23:57-00:04\tCTM\tST-1\n");
	Ran bad = run({bin("pipe-events"), "--list"}, s.records, 60000, {"STATION_NAME=a/b"});
	EXPECT_EQ(exit_code(bad.status), 2);  // never a list under another name
	EXPECT_EQ(bad.out, "");
	EXPECT_NE(bad.err.find("STATION_NAME: not a station's name"), std::string::npos) << bad.err;
	r = run({bin("pipe-events"), "--list", "-a"}, s.records, 60000, {"STATION_NAME=Bern"});
	EXPECT_EQ(r.out, "20261231\t23:59-23:59\tIII\tBern\n20261231\t23:57-00:04\tCTM\tBern\n");
	// Bursts 56 s apart, the second over more than a minute after the first ended: one line.
	Sky apart = sky({"-c", "400", "-s", "1", "-k", "III@30,III@88"});
	r = run({bin("pipe-events"), "--list", "-n", "X"}, apart.records, 60000);
	EXPECT_EQ(r.out, "20261208\t10:00-10:01\tIII\tX\n");
	// Two continua 32 s apart, the second lasting minutes: one line, written when it has ended.
	Sky long_apart = sky({"-c", "3000", "-s", "5", "-k", "CONT@30,CONT@286"});
	r = run({bin("pipe-events"), "--list", "-n", "X"}, long_apart.records, 60000);
	EXPECT_EQ(r.out, "20261208\t10:00-10:12\tCTM\tX\n");
	// A burst a minute before the input ends, when its line could still grow: listed at the end.
	Sky late = sky({"-c", "200", "-s", "1", "-k", "III@30"});
	r = run({bin("pipe-events"), "--list", "-n", "X"}, late.records, 60000);
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_EQ(r.out, "20261208\t10:00-10:00\tIII\tX\n");
}

// Bad options: one usage line, nothing on stdout, exit 2.
TEST(PipeEvents, UsageErrors)
{
	const std::vector<std::vector<std::string>> cases = {
		{"-t"}, {"-t", "0"}, {"-t", "x"}, {"-m", "0"}, {"-m", "31"}, {"-l", "0.1"}, {"-l", "-1"},
		{"extra"}, {"--jsonx"}, {"-x", ""}, {"-x", " \t "}, {"-x", std::string(5000, 'a')}, {"-q"},
		{"--list", "--json"}, {"--list", "-l", "2"}, {"-n", "ST"}, {"--list", "-n", "../x"}, {"--list", "-n", ""}};
	for (const auto &c : cases) {
		std::vector<std::string> argv = {bin("pipe-events")};
		argv.insert(argv.end(), c.begin(), c.end());
		Ran r = run(argv);
		EXPECT_EQ(exit_code(r.status), 2) << c[0];
		EXPECT_EQ(r.out, "");
		const std::string line = "usage: pipe-events [-t DB] [-m MHZ] [--json | --list [-n NAME]] [-a] [-x CMD] [-l SECONDS]";
		EXPECT_EQ(r.err.rfind(line, 0), 0u) << r.err;  // the usage line, perhaps with the reason after it
		EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
	}
	Ran f = run({bin("frame-send"), "-o", "-k", "III@x"});
	EXPECT_EQ(exit_code(f.status), 2);
	EXPECT_EQ(f.err.rfind("usage: frame-send", 0), 0u);
}

}  // namespace
