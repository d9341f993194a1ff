// pipe-events against frame-send's truth: a simulated day with a realistic mix (recall, kinds,
// drift, start and end), a day of nuisances only (false events), a live run at 2 frames/s
// (start-line latency, CPU) and the speed over a stored day and over the archive. Each figure
// is printed with the commands that give it. --quick: a quarter of a day and shorter live runs.
// -t DB: the threshold to try (several: -t 2,3,4 runs the day at each); -d: the day only;
// -v: each miss, wrong kind or span and false event.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>
#include <zlib.h>

#include "frame.h"
#include "kit.h"

static bool quick = false;

static double now()
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

static long long centis(const std::string &stamp)
{
	long long t = 0;
	fr_stamp_time(stamp.c_str(), &t);
	return t;
}

struct Truth { std::string kind; long long start, end; double f_lo, f_hi, peak, drift, width; };
struct Found { std::string kind; long long start, end; double f_lo, f_hi, peak, drift; };

static std::vector<Truth> read_truth(const std::string &path)
{
	std::vector<Truth> v;
	std::ifstream in(path);
	std::string kind, a, b;
	Truth t;
	while (in >> kind >> a >> b >> t.f_lo >> t.f_hi >> t.peak >> t.drift >> t.width) {
		t.kind = kind, t.start = centis(a), t.end = centis(b);
		v.push_back(t);
	}
	return v;
}

static std::vector<Found> read_found(const std::string &path)
{
	std::vector<Found> v;
	std::ifstream in(path);
	for (std::string line; std::getline(in, line);) {
		auto j = nlohmann::json::parse(line);
		if (j.contains("state") && j["state"] != "end")
			continue;
		v.push_back({j["kind"], centis(j["start"]), centis(j["end"]), j["f_lo"], j["f_hi"], j["peak_db"], j["drift"]});
	}
	return v;
}

static bool is_event(const std::string &k) { return k == "III" || k == "II" || k == "CONT" || k == "OTHER"; }
static bool is_burst(const std::string &k) { return k == "III" || k == "II" || k == "CONT" || k == "NARROW"; }

// How alike a detection is to a burst put in: -1 if they do not overlap in time (with two
// seconds' slack) and frequency, else their common time over their joint time, so that of a
// short burst inside a long one, each is matched with its own detection when it has one.
static double overlap(const Truth &t, const Found &f)
{
	long long a = std::max(t.start - 200, f.start), b = std::min(t.end + 200, f.end);
	if (b < a || f.f_hi < t.f_lo - 0.5 || f.f_lo > t.f_hi + 0.5)
		return -1;
	return (double)(b - a + 1) / (double)(std::max(t.end, f.end) - std::min(t.start, f.start) + 1);
}

struct Score { int eligible = 0, found = 0, kind_ok = 0, drift_n = 0, drift_ok = 0, span_ok = 0, false_ev = 0, spikes = 0, spikes_true = 0; };

static Score score(const std::vector<Truth> &truth, const std::vector<Found> &found, bool verbose)
{
	Score s;
	std::vector<bool> used(found.size());
	for (const Truth &t : truth) {
		if (t.kind == "SPIKE")
			s.spikes_true++;
		if (!is_burst(t.kind))
			continue;
		int best = -1;
		double bo = -1;
		for (size_t i = 0; i < found.size(); i++) {
			double o = is_event(found[i].kind) ? overlap(t, found[i]) : -1;
			if (o >= 0)
				used[i] = true;
			if (o > bo)
				bo = o, best = (int)i;
		}
		if (t.kind == "NARROW" || t.peak < 6 || t.width < 2)
			continue;
		s.eligible++;
		if (best < 0) {
			if (verbose)
				printf("  missed %s %lld..%lld %.1f-%.1f MHz %.1f dB drift %.2f\n", t.kind.c_str(), t.start % 8640000 / 100,
				       t.end % 8640000 / 100, t.f_lo, t.f_hi, t.peak, t.drift);
			continue;
		}
		const Found &f = found[(size_t)best];
		s.found++;
		s.kind_ok += f.kind == t.kind;
		if (t.kind == "III" || t.kind == "II") {
			s.drift_n++;
			s.drift_ok += std::fabs(f.drift - t.drift) <= 0.25 * std::fabs(t.drift);
		}
		bool span = std::llabs(f.start - t.start) <= 200 && std::llabs(f.end - t.end) <= 200;
		s.span_ok += span;
		if (verbose && (f.kind != t.kind || !span || ((t.kind == "III" || t.kind == "II") && std::fabs(f.drift - t.drift) > 0.25 * std::fabs(t.drift))))
			printf("  %s %lld..%lld %.1f-%.1f %.1f dB drift %.2f  found %s %lld..%lld %.1f-%.1f %.1f dB drift %.2f\n",
			       t.kind.c_str(), t.start % 8640000 / 100, t.end % 8640000 / 100, t.f_lo, t.f_hi, t.peak, t.drift,
			       f.kind.c_str(), f.start % 8640000 / 100, f.end % 8640000 / 100, f.f_lo, f.f_hi, f.peak, f.drift);
	}
	for (size_t i = 0; i < found.size(); i++) {
		if (found[i].kind == "SPIKE")
			s.spikes++;
		else if (is_event(found[i].kind) && !used[i]) {
			s.false_ev++;
			if (verbose)
				printf("  false %s %lld..%lld %.1f-%.1f %.1f dB drift %.2f\n", found[i].kind.c_str(), found[i].start % 8640000 / 100,
				       found[i].end % 8640000 / 100, found[i].f_lo, found[i].f_hi, found[i].peak, found[i].drift);
		}
	}
	return s;
}

static double pct(int a, int b) { return b ? 100.0 * a / b : 100.0; }

static int sh(const std::string &cmd)
{
	int r = system(cmd.c_str());
	if (r != 0)
		fprintf(stderr, "failed (%d): %s\n", r, cmd.c_str());
	return r;
}

static double cpu_of(const struct rusage &ru)
{
	return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
}

// Seconds a shell command takes; the CPU seconds its processes used (on a shared machine the
// truer measure of its speed); the largest peak memory (KiB) of any child so far.
static double timed(const std::string &cmd, long *rss = nullptr, double *cpu = nullptr)
{
	struct rusage a, b;
	getrusage(RUSAGE_CHILDREN, &a);
	double t = now();
	sh(cmd);
	getrusage(RUSAGE_CHILDREN, &b);
	if (rss)
		*rss = b.ru_maxrss;
	if (cpu)
		*cpu = cpu_of(b) - cpu_of(a);
	return now() - t;
}

static void day(const TempDir &d, const std::vector<std::string> &thresholds, long frames, bool verbose)
{
	std::string fs = bin("frame-send"), pe = bin("pipe-events"), n = std::to_string(frames);
	std::string mix = fs + " -o -T 2026120800000000 -c " + n + " -s 5 -k III,II,CONT,NARROW,SWITCH,SPIKE,GAIN -E 6 -e " + d / "truth";
	std::string quiet = fs + " -o -T 2026120800000000 -c " + n + " -s 6 -k SWITCH,SPIKE,GAIN,CHIRP,FADE -e " + d / "truth0";
	sh(mix + " > " + d / "day.rec");
	sh(quiet + " > " + d / "quiet.rec");
	auto truth = read_truth(d / "truth"), truth0 = read_truth(d / "truth0");
	for (const std::string &t : thresholds) {
		std::string opt = t.empty() ? "" : " -t " + t;
		sh(pe + opt + " --json < " + d / "day.rec" + " > " + d / "day.json");
		sh(pe + opt + " --json < " + d / "quiet.rec" + " > " + d / "quiet.json");
		Score s = score(truth, read_found(d / "day.json"), verbose);
		Score q = score(truth0, read_found(d / "quiet.json"), verbose);
		printf("threshold %s: %s | pipe-events%s --json\n", t.empty() ? "(default)" : t.c_str(), mix.c_str(), opt.c_str());
		printf("  recall %d/%d = %.1f %% (goal 95)   kind right %.1f %% (goal 90)   drift within 25 %% %d/%d = %.1f %%   "
		       "start and end within 2 s %.1f %%   unmatched events %d\n",
		       s.found, s.eligible, pct(s.found, s.eligible), pct(s.kind_ok, s.found), s.drift_ok, s.drift_n,
		       pct(s.drift_ok, s.drift_n), pct(s.span_ok, s.found), s.false_ev);
		printf("  nuisances only: %s | pipe-events%s --json\n", quiet.c_str(), opt.c_str());
		printf("  false events %d in %.2f days (goal at most 1 a day)   spikes reported %d of %d put in\n", q.false_ev,
		       frames / 172800.0, q.spikes, q.spikes_true);
	}
}

// Stored day: pipe-events alone from a file, and arc-cat over an archive of real frames.
static void speed(const TempDir &d, long frames)
{
	std::string pe = bin("pipe-events");
	sh("head -c " + std::to_string(3617L * 7200) + " " + d / "day.rec" + " > " + d / "hour.rec");
	// Peak memory of pipe-events alone, over an hour and over the day.
	sh("/usr/bin/time -f %M -o " + d / "rss.hour" + " " + pe + " < " + d / "hour.rec" + " > /dev/null");
	sh("/usr/bin/time -f %M -o " + d / "rss.day" + " " + pe + " < " + d / "day.rec" + " > /dev/null");
	long rss_small = atol(slurp(d / "rss.hour").c_str()), rss = atol(slurp(d / "rss.day").c_str());
	double best = 1e9, cpu = 1e9, c;
	for (int i = 0; i < 3; i++) {
		best = std::min(best, timed(pe + " < " + d / "day.rec" + " > /dev/null", nullptr, &c));
		cpu = std::min(cpu, c);
	}
	printf("speed: pipe-events < day.rec (%ld frames): %.2f s, %.0f frames/s (goal 200000); CPU %.2f s, %.0f frames "
	       "per CPU second; peak memory %ld KiB (an hour: %ld KiB)\n", frames, best, frames / best, cpu, frames / cpu,
	       rss, rss_small);
	// An archive of the first hours of the day as net-arc leaves it, then arc-cat | pipe-events.
	long n = quick ? 7200 : 28800;
	std::string root = d / "arc";
	mkdir(root.c_str(), 0755);
	FILE *in = fopen((d / "day.rec").c_str(), "rb");
	unsigned char hdr[FR_HEADER], pay[FR_PAYLOAD];
	std::string last;
	for (long k = 0; k < n && fr_read(in, hdr, pay) == FR_READ; k++) {
		std::string st((char *)hdr, 16), dir = root + "/" + st.substr(0, 8) + "/" + st.substr(0, 11);
		if (dir != last) {
			mkdir((root + "/" + st.substr(0, 8)).c_str(), 0755);
			mkdir(dir.c_str(), 0755);
			last = dir;
		}
		gzFile g = gzopen((dir + "/" + st + ".gz").c_str(), "wb1");
		gzwrite(g, pay, FR_PAYLOAD);
		gzclose(g);
	}
	fclose(in);
	std::string cat = bin("arc-cat") + " " + root + " 20261208";
	timed(cat + " > /dev/null");
	double ca, cb;
	double a = timed(cat + " > /dev/null", nullptr, &ca), b = timed(cat + " | " + pe + " > /dev/null", nullptr, &cb);
	printf("speed: %s | pipe-events (%ld frames): %.2f s, %.0f frames/s (CPU of both %.2f s); arc-cat alone %.2f s, "
	       "%.0f frames/s (CPU %.2f s)\n", cat.c_str(), n, b, n / b, cb, a, n / a, ca);
}

static long ticks(pid_t pid)
{
	std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
	std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
	size_t p = s.rfind(')');
	std::istringstream in(s.substr(p + 2));
	std::string x;
	long ut = 0, st = 0;
	for (int i = 3; i <= 15 && in >> x; i++)
		if (i == 14)
			ut = std::stol(x);
		else if (i == 15)
			st = std::stol(x);
	return ut + st;
}

// frame-send -o at 2 frames/s with stamps of the clock: each start line's delay after the
// stamp of the event's start, and pipe-events' CPU.
static void live(const TempDir &d)
{
	int secs = quick ? 60 : 150;
	Spawn a, b;
	a.argv = {bin("frame-send"), "-o", "-i", "500", "-c", std::to_string(2 * secs), "-k",
		  "III@15,III@40,III@65,III@90,II@110,CONT@135", "-e", d / "live.truth"};
	a.pipe_out = true;
	b.argv = {bin("pipe-events"), "-l", "1.5", "--json"};
	b.pipe_out = true;
	Pipeline p(a, b);
	std::vector<std::pair<std::string, double>> starts;  // stamp, wall time seen
	std::string acc;
	double until = now() + secs + 30;
	while (now() < until) {
		if (!readable(p.b.out, 500)) {
			if (!still_running(p.b))
				break;
			continue;
		}
		std::string got = drain(p.b.out);
		if (got.empty())
			break;
		acc += got;
		struct timespec ts;
		clock_gettime(CLOCK_REALTIME, &ts);
		double seen_unix = ts.tv_sec + ts.tv_nsec / 1e9;
		for (size_t nl; (nl = acc.find('\n')) != std::string::npos; acc.erase(0, nl + 1)) {
			auto j = nlohmann::json::parse(acc.substr(0, nl));
			if (j["state"] == "start")
				starts.push_back({j["start"], seen_unix});
		}
	}
	long cpu = ticks(p.b.pid);
	int status;
	wait_exit(p.b, 5000, &status);
	auto truth = read_truth(d / "live.truth");
	// Stamps are local time as fr_stamp_time reads them; so is the wall clock read the same way.
	time_t z = time(nullptr);
	struct tm tm;
	localtime_r(&z, &tm);
	double offset = (double)tm.tm_gmtoff, now_unix = (double)z;
	double worst = 0;
	int matched = 0, want = 0;
	for (const Truth &t : truth) {
		if (!is_burst(t.kind) || t.kind == "NARROW" || t.peak < 6 || t.width < 2 || t.start / 100.0 > now_unix + offset - 5)
			continue;  // as for recall: at least 6 dB over at least 2 MHz, and begun in time
		want++;
		for (auto &s : starts) {
			long long st = centis(s.first);
			if (st >= t.start - 200 && st <= t.end) {
				double delay = s.second + offset - t.start / 100.0;
				worst = std::max(worst, delay);
				matched++;
				break;
			}
		}
	}
	printf("live: frame-send -o -i 500 -k III@15,III@40,III@65,III@90,II@110,CONT@135 | pipe-events -l 1.5 --json: "
	       "%d of %d start lines (events of at least 6 dB over 2 MHz), latest %.1f s after the event's start (goal 3)\n",
	       matched, want, worst);
	printf("live: CPU of pipe-events at 2 frames/s: %.3f %% of a core over %d s (goal under 1 %%)\n",
	       100.0 * cpu / sysconf(_SC_CLK_TCK) / secs, secs);
}

int main(int argc, char **argv)
{
	std::vector<std::string> thresholds = {""};
	bool verbose = false, day_only = false;
	for (int i = 1; i < argc; i++) {
		if (!strcmp(argv[i], "--quick"))
			quick = true;
		else if (!strcmp(argv[i], "-d"))
			day_only = true;
		else if (!strcmp(argv[i], "-v"))
			verbose = true;
		else if (!strcmp(argv[i], "-t") && i + 1 < argc) {
			thresholds.clear();
			std::stringstream ss(argv[++i]);
			for (std::string t; std::getline(ss, t, ',');)
				thresholds.push_back(t);
		}
	}
	TempDir d;
	long frames = quick ? 43200 : 172800;
	day(d, thresholds, frames, verbose);
	if (day_only)
		return 0;
	speed(d, frames);
	live(d);
	return 0;
}
