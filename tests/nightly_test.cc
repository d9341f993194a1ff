// spectrum-nightly, the real script over small archives with the built programs: every product
// it leaves (and nothing else: no temporary files), its messages and summary line, and its
// status, for a day with a gap and a broken file, a clean day, a step that fails while the
// others go on, and a station with the core programs alone.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "kit.h"
#if ZQ_PICTURES
#include <cairo.h>
#include <cmath>

#include "plot.h"
#endif

namespace {

const char DAY[] = "20261207";

// n stamps every half second from 12:00:00.00 on 2026-12-07, leaving out [gap_from, gap_to).
std::vector<std::string> stamps(int n, int gap_from = -1, int gap_to = -1)
{
	std::vector<std::string> v;
	for (int k = 0; k < n; k++) {
		if (k >= gap_from && k < gap_to)
			continue;
		char b[32];
		snprintf(b, sizeof b, "2026120712%02d%02d%s", k / 120, k / 2 % 60, k % 2 ? "50" : "00");
		v.push_back(b);
	}
	return v;
}

// The script run as the timer runs it, the programs found on path; TZ=UTC names the FITS files.
Ran nightly(const std::string &path, const std::string &root, const std::string &name)
{
	return run({src("packaging/spectrum-nightly"), root, name, DAY}, "", 120000,
		   {"PATH=" + path + ":/usr/bin:/bin", "TZ=UTC"});
}

// Everything under dir, one relative path a line, sorted (directories end in '/').
std::string tree(const std::string &dir)
{
	return run({"/bin/sh", "-c", "cd '" + dir + "' && find . -mindepth 1 \\( -type d -printf '%P/\\n' \\) -o -printf '%P\\n' | LC_ALL=C sort"}).out;
}

std::vector<std::string> fields(const std::string &line)
{
	std::vector<std::string> v;
	for (size_t at = line.find_first_not_of(' '); at != std::string::npos; at = line.find_first_not_of(' ', at)) {
		size_t end = line.find(' ', at);
		v.push_back(line.substr(at, end - at));
		at = end;
	}
	return v;
}

std::string last_line(const std::string &text)
{
	size_t end = text.size() - (!text.empty() && text.back() == '\n');
	size_t at = text.rfind('\n', end - 1);
	return text.substr(at == std::string::npos ? 0 : at + 1, end - (at == std::string::npos ? 0 : at + 1));
}

// The FITS header of a gzip file, as text.
std::string fits_header(const std::string &path)
{
	std::string h = run({"/bin/gzip", "-dc", path}).out;
	return h.substr(0, std::min<size_t>(h.size(), 2880));
}

TEST(Nightly, ADayWithAGapAndABrokenFileGivesEveryProductAndSaysWhatFailed)
{
	// 12:00:00.00 to 12:00:19.50 without 12:00:10.00-12:00:11.50; 12:00:15.00 is not gzip.
	ArcTree a(stamps(40, 20, 24));
	a.put("2026120712001500", "not gzip");
	Ran r = nightly(BIN_DIR, a.root, "ST");
	EXPECT_EQ(exit_code(r.status), 1);
	std::string out = a.root + ".products/" + DAY;
	// The frames are noise: the detector finds no burst in them, so there is no burst to draw.
	EXPECT_EQ(tree(out), "arc-stat.json\narc-stat.txt\nevents.json\nevents.txt\nevents/\n"
			     "fits/\nfits/ST_20261207_120000_01.fit.gz\nfits/ST_20261207_120000_02.fit.gz\nhealth.json\nhealth.txt\n"
			     "quicklook.png\n");
	// Each step's messages, named, then the steps that failed: all read the broken file.
	std::string broken = a.root + "/" + frame_path("2026120712001500") + ": not gzip\n";
	EXPECT_EQ(r.err, "report: arc-stat: " + broken + "spectrum-nightly: report failed (status 1)\n"
			 "json: arc-stat: " + broken + "spectrum-nightly: json failed (status 1)\n"
			 "quicklook: arc-cat: " + broken + "spectrum-nightly: quicklook failed (status 1)\n"
			 "fits: arc-cat: " + broken + "spectrum-nightly: fits failed (status 1)\n"
			 "events: arc-cat: " + broken + "spectrum-nightly: events failed (status 1)\n"
			 "events-json: arc-cat: " + broken + "spectrum-nightly: events-json failed (status 1)\n"
			 "spectrum-nightly: " + a.root + " " + DAY + ": done: event-looks health health-json; FAILED: report json quicklook fits events events-json\n");
	// The reports are arc-stat's over the day, and count the broken file and the gap.
	std::string txt = slurp(out + "/arc-stat.txt");
	EXPECT_EQ(txt, run({bin("arc-stat"), "-v", a.root, DAY}).out);
	std::vector<std::string> total = fields(last_line(txt));
	ASSERT_EQ(total.size(), 10u) << txt;
	EXPECT_EQ(total[0], "total");
	EXPECT_EQ(total[1], "172800");  // expected
	EXPECT_EQ(total[2], "36");      // present, the broken one among them
	EXPECT_EQ(total[8], "1");       // broken
	std::string json = slurp(out + "/arc-stat.json");
	EXPECT_NE(last_line(json).find("\"period\":\"total\",\"expected\":172800,\"present\":36,\"missing\":172764,"
				       "\"off_grid\":0,\"broken\":1,"),
		  std::string::npos) << json;
	// The quicklook: a PNG 1600 wide.
	std::string png = slurp(out + "/quicklook.png");
	ASSERT_GT(png.size(), 24u);
	EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
	EXPECT_EQ(png.substr(16, 4), std::string("\0\0\x06\x40", 4));
	// The FITS files: the period from 12:00:00, 40 columns up to the last frame.
	for (const char *ch : {"01", "02"}) {
		std::string h = fits_header(out + "/fits/ST_20261207_120000_" + ch + ".fit.gz");
		EXPECT_EQ(h.rfind("SIMPLE  =", 0), 0u) << ch;
		EXPECT_NE(h.find("NAXIS1  =                   40"), std::string::npos) << h;
		EXPECT_NE(h.find("INSTRUME= 'ST"), std::string::npos) << h;
	}
}

TEST(Nightly, ASoundDaySucceedsAndSaysSoInOneLine)
{
	ArcTree a(stamps(10));
	Ran r = nightly(BIN_DIR, a.root, "ST");
	EXPECT_EQ(exit_code(r.status), 0);
	EXPECT_EQ(r.err, "spectrum-nightly: " + a.root + " " + DAY + ": done: report json quicklook fits events events-json event-looks health health-json\n");
	EXPECT_EQ(tree(a.root + ".products/" + DAY), "arc-stat.json\narc-stat.txt\nevents.json\nevents.txt\nevents/\nfits/\n"
						     "fits/ST_20261207_120000_01.fit.gz\nfits/ST_20261207_120000_02.fit.gz\nhealth.json\nhealth.txt\nquicklook.png\n");
	// Run again: the products are replaced, nothing is left beside them.
	r = nightly(BIN_DIR, a.root, "ST");
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_EQ(tree(a.root + ".products/" + DAY), "arc-stat.json\narc-stat.txt\nevents.json\nevents.txt\nevents/\nfits/\n"
						     "fits/ST_20261207_120000_01.fit.gz\nfits/ST_20261207_120000_02.fit.gz\nhealth.json\nhealth.txt\nquicklook.png\n");
}

TEST(Nightly, AFailedStepIsNamedAndTheOthersAreStillMade)
{
	// A name the picture takes as its title but FITS file names cannot hold.
	ArcTree a(stamps(10));
	Ran r = nightly(BIN_DIR, a.root, "Station 1");
	EXPECT_EQ(exit_code(r.status), 1);
	std::string err = "\n" + r.err;
	EXPECT_NE(err.find("\nfits: usage: pipe-fits "), std::string::npos) << r.err;
	EXPECT_NE(err.find("\nspectrum-nightly: fits failed (status 2)\n"), std::string::npos) << r.err;
	EXPECT_EQ(last_line(r.err), "spectrum-nightly: " + a.root + " " + DAY + ": done: report json quicklook events events-json event-looks health health-json; FAILED: fits");
	EXPECT_EQ(tree(a.root + ".products/" + DAY), "arc-stat.json\narc-stat.txt\nevents.json\nevents.txt\nevents/\nfits/\nhealth.json\nhealth.txt\nquicklook.png\n");
	// The run's status, for pipe-web's /health: the steps by name, and nothing left beside it.
	std::string last = slurp(a.root + ".products/last-run.json");
	EXPECT_EQ(last.rfind("{\"day\":\"" + std::string(DAY) + "\",\"finished\":\"", 0), 0u) << last;
	EXPECT_NE(last.find("\"status\":\"failed\",\"done\":[\"report\",\"json\",\"quicklook\",\"events\",\"events-json\","
			    "\"event-looks\",\"health\",\"health-json\"],\"skipped\":[],\"failed\":[\"fits\"]}\n"),
		  std::string::npos) << last;
	EXPECT_EQ(run({"/bin/ls", "-A", a.root + ".products"}).out, std::string(DAY) + "\nlast-run.json\n");
}

TEST(Nightly, AStationWithTheCoreAloneSkipsTheProductsItCannotMake)
{
	ArcTree a(stamps(10));
	std::string core = a.t / "core";
	mkdir(core.c_str(), 0755);
	for (const char *p : {"arc-stat", "arc-cat"})
		ASSERT_EQ(symlink(bin(p).c_str(), (core + "/" + p).c_str()), 0);
	Ran r = nightly(core, a.root, "ST");
	EXPECT_EQ(exit_code(r.status), 0);
	EXPECT_EQ(r.err, "spectrum-nightly: quicklook skipped: pipe-png is not installed\n"
			 "spectrum-nightly: fits skipped: pipe-fits is not installed\n"
			 "spectrum-nightly: events skipped: pipe-events is not installed\n"
			 "spectrum-nightly: " + a.root + " " + DAY + ": done: report json health health-json; skipped: quicklook fits events\n");
	EXPECT_EQ(tree(a.root + ".products/" + DAY), "arc-stat.json\narc-stat.txt\nhealth.json\nhealth.txt\n");
	EXPECT_NE(slurp(a.root + ".products/last-run.json").find("\"status\":\"ok\",\"done\":[\"report\",\"json\",\"health\",\"health-json\"],"
								  "\"skipped\":[\"quicklook\",\"fits\",\"events\"],\"failed\":[]}"),
		  std::string::npos);
}

TEST(Nightly, KeepDaysPrunesOldDaysAndTheHealthReportIsWritten)
{
	ArcTree a(stamps(10));
	a.put("1990010100000000", gzip(payload(1)));
	Ran r = run({src("packaging/spectrum-nightly"), a.root, "ST", DAY}, "", 120000,
		    {"PATH=" BIN_DIR ":/usr/bin:/bin", "TZ=UTC", "KEEP_DAYS=5000"});
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_NE(r.err.find("prune-days: arc-prune: removed " + a.root + "/19900101 (1 frame, "), std::string::npos) << r.err;
	EXPECT_EQ(last_line(r.err), "spectrum-nightly: " + a.root + " " + DAY + ": done: report json quicklook fits events events-json event-looks prune-days health health-json");
	EXPECT_FALSE(exists(a.root + "/19900101"));
	EXPECT_TRUE(exists(a.root + "/" + frame_path(stamps(10)[0])));
	std::string h = slurp(a.root + ".products/" + DAY + "/health.json");
	EXPECT_NE(h.find("\"days_measured\":1,"), std::string::npos) << h;
	EXPECT_NE(h.find("\"frames\":10,"), std::string::npos) << h;
}

// A day with one fast-drift burst from frame-send's sky: the event lists are pipe-events' own
// over the day, and the burst has its quicklook, 1600 wide.
TEST(Nightly, TheDaysEventsAndAQuicklookOfEach)
{
	Ran sky = run({bin("frame-send"), "-o", "-T", "2026120712000000", "-c", "200", "-k", "III@30"});
	ASSERT_EQ(exit_code(sky.status), 0);
	ArcTree a({});
	for (size_t at = 0; at + 3617 <= sky.out.size(); at += 3617)
		a.put(sky.out.substr(at, 16), gzip(sky.out.substr(at + 17, 3600)));
	Ran r = nightly(BIN_DIR, a.root, "ST");
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	std::string out = a.root + ".products/" + DAY;
	std::string txt = run({bin("pipe-events")}, sky.out).out, json = run({bin("pipe-events"), "--json"}, sky.out).out;
	EXPECT_EQ(txt.substr(0, 32), "2026-12-07 12:00:30-12:00:32 III") << txt;
	EXPECT_EQ(slurp(out + "/events.txt"), txt);
	EXPECT_EQ(slurp(out + "/events.json"), json);
	std::string png = slurp(out + "/events/1-III.png");
	ASSERT_GT(png.size(), 24u);
	EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
	EXPECT_EQ(png.substr(16, 4), std::string("\0\0\x06\x40", 4));
	EXPECT_EQ(run({"/bin/sh", "-c", "ls '" + out + "/events'"}).out, "1-III.png\n");
}

#if ZQ_PICTURES
// A burst in the middle of 13 minutes: its picture is the ten minutes around its middle, with
// the burst's span and band marked on both channels (white sides, black either side of them).
TEST(Nightly, EachBurstsPictureIsTheTenMinutesAroundItWithItMarked)
{
	Ran sky = run({bin("frame-send"), "-o", "-T", "2026120712000000", "-c", "1600", "-k", "III@400"});
	ASSERT_EQ(exit_code(sky.status), 0);
	ArcTree a({});
	for (size_t at = 0; at + 3617 <= sky.out.size(); at += 3617)
		a.put(sky.out.substr(at, 16), gzip(sky.out.substr(at + 17, 3600)));
	Ran r = nightly(BIN_DIR, a.root, "ST");
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	std::string out = a.root + ".products/" + DAY;
	std::string line = slurp(out + "/events.json");
	line = line.substr(0, line.find('\n'));
	auto field = [&](const std::string &name) {
		size_t at = line.find("\"" + name + "\":");
		EXPECT_NE(at, std::string::npos) << name << " in " << line;
		at += name.size() + 3;
		at += line[at] == '"';
		return line.substr(at, line.find_first_of(",\"}", at) - at);
	};
	ASSERT_EQ(field("kind"), "III") << line;
	long long start = 0, end = 0;
	ASSERT_TRUE(fr_stamp_time(field("start").c_str(), &start));
	ASSERT_TRUE(fr_stamp_time(field("end").c_str(), &end));
	double f_lo = std::stod(field("f_lo")), f_hi = std::stod(field("f_hi"));
	long long mid = (start / 100 + end / 100) / 2 * 100, t0 = mid - 30000, span = 60000;

	cairo_surface_t *s = cairo_image_surface_create_from_png((out + "/events/" + field("id") + "-III.png").c_str());
	ASSERT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS);
	auto px = [&](int x, int y) {
		const unsigned char *d = cairo_image_surface_get_data(s);
		return *(const uint32_t *)(d + (size_t)y * (size_t)cairo_image_surface_get_stride(s) + 4 * (size_t)x) & 0xffffff;
	};
	QlGeom g{1600};
	long long w = g.plot_w();
	int x0 = g.left + (int)((start - t0) * w / span), x1 = g.left + (int)(((end + 50 - t0) * w + span - 1) / span - 1);
	int p0 = (int)std::lround(f_lo / FR_FREQ_STEP) - FR_FREQ_OFFSET, p1 = (int)std::lround(f_hi / FR_FREQ_STEP) - FR_FREQ_OFFSET;
	ASSERT_GE(p0, 0);
	ASSERT_LE(p1, FR_POINTS - 1);
	EXPECT_NEAR(x0 - g.left, w / 2, 30);  // the burst is in the middle of the picture
	for (int ch = 0; ch < FR_CHANNELS; ch++) {
		int y0 = g.row(ch, p1), y1 = g.row(ch, p0), ym = (y0 + y1) / 2, xm = (x0 + x1) / 2;
		EXPECT_EQ(px(x0, ym), 0xffffffu) << ch;
		EXPECT_EQ(px(x0 - 1, ym), 0u) << ch;
		EXPECT_EQ(px(x0 + 1, ym), 0u) << ch;
		EXPECT_EQ(px(x1, ym), 0xffffffu) << ch;
		EXPECT_EQ(px(xm, y0), 0xffffffu) << ch;
		EXPECT_EQ(px(xm, y1), 0xffffffu) << ch;
		EXPECT_EQ(px(xm, y1 + 1), 0u) << ch;
	}
	cairo_surface_destroy(s);
}

// A continuum of more than eight minutes (12:05:01 to 12:14:21): its picture is the burst and a
// minute either side, 12:04:01 to 12:15:21, and the mark starts a minute into it.
TEST(Nightly, ALongBurstsPictureIsItAndAMinuteEitherSide)
{
	Ran sky = run({bin("frame-send"), "-o", "-T", "2026120712000000", "-c", "3600", "-s", "4", "-k", "CONT@300"});
	ASSERT_EQ(exit_code(sky.status), 0);
	ArcTree a({});
	for (size_t at = 0; at + 3617 <= sky.out.size(); at += 3617)
		a.put(sky.out.substr(at, 16), gzip(sky.out.substr(at + 17, 3600)));
	Ran r = nightly(BIN_DIR, a.root, "ST");
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	std::string out = a.root + ".products/" + DAY, line = slurp(out + "/events.json");
	ASSERT_EQ(line.rfind(R"({"kind":"CONT","start":"2026120712050100","end":"2026120712142100",)", 0), 0u) << line;
	ASSERT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
	size_t lo = line.find("\"f_lo\":") + 7, hi = line.find("\"f_hi\":") + 7, id = line.find("\"id\":") + 5;
	double f_lo = std::stod(line.substr(lo)), f_hi = std::stod(line.substr(hi));
	long long start = 0, end = 0, t0 = 0;
	ASSERT_TRUE(fr_stamp_time("2026120712050100", &start));
	ASSERT_TRUE(fr_stamp_time("2026120712142100", &end));
	ASSERT_TRUE(fr_stamp_time("2026120712040100", &t0));
	const long long span = 68000;  // 12:04:01 to 12:15:21

	cairo_surface_t *s = cairo_image_surface_create_from_png((out + "/events/" + line.substr(id, line.find_first_of(",}", id) - id) + "-CONT.png").c_str());
	ASSERT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS);
	auto px = [&](int x, int y) {
		const unsigned char *d = cairo_image_surface_get_data(s);
		return *(const uint32_t *)(d + (size_t)y * (size_t)cairo_image_surface_get_stride(s) + 4 * (size_t)x) & 0xffffff;
	};
	QlGeom g{1600};
	long long w = g.plot_w();
	int x0 = g.left + (int)((start - t0) * w / span), x1 = g.left + (int)(((end + 50 - t0) * w + span - 1) / span - 1);
	EXPECT_EQ(x0 - g.left, 122);  // a minute of 680 s, of 1390 columns
	int p0 = (int)std::lround(f_lo / FR_FREQ_STEP) - FR_FREQ_OFFSET, p1 = (int)std::lround(f_hi / FR_FREQ_STEP) - FR_FREQ_OFFSET;
	for (int ch = 0; ch < FR_CHANNELS; ch++) {
		int y0 = g.row(ch, p1), y1 = g.row(ch, p0), ym = (y0 + y1) / 2;
		EXPECT_EQ(px(x0, ym), 0xffffffu) << ch;
		EXPECT_EQ(px(x0 - 1, ym), 0u) << ch;
		EXPECT_EQ(px(x0 + 1, ym), 0u) << ch;
		EXPECT_EQ(px(x1, ym), 0xffffffu) << ch;
		EXPECT_EQ(px(x1 + 1, ym), 0u) << ch;
	}
	cairo_surface_destroy(s);
}
#endif

TEST(Nightly, AHealthReportThatCannotBeMadeOrSaysUnknownIsAFailedStep)
{
	// arc-stat --health's status: 1 and 2 are what the report says (the step is done), 3
	// (UNKNOWN: the disk could not be measured) fails the step, its report kept as it says
	// why; a report with nothing in it fails it too.
	struct {
		const char *name;
		std::string out;
		int status;
		bool failed;
	} cases[] = {
		{"WARNING", "status          1 WARNING\n", 1, false},
		{"CRITICAL", "status          2 CRITICAL\n", 2, false},
		{"UNKNOWN", "status          3 UNKNOWN\nerror           no disk\n", 3, true},
		{"no report", "", 1, true},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.name);
		ArcTree a(stamps(10));
		std::string core = a.t / "core";
		mkdir(core.c_str(), 0755);
		ASSERT_EQ(symlink(bin("arc-cat").c_str(), (core + "/arc-cat").c_str()), 0);
		spit(core + "/arc-stat",
		     "#!/bin/sh\n[ \"$1\" = --health ] && { printf '" + c.out + "'; echo 'arc-stat: why' >&2; exit " +
			     std::to_string(c.status) + "; }\nexec '" + bin("arc-stat") + "' \"$@\"\n",
		     0755);
		Ran r = nightly(core, a.root, "ST");
		EXPECT_EQ(exit_code(r.status), c.failed ? 1 : 0);
		EXPECT_EQ(last_line(r.err), "spectrum-nightly: " + a.root + " " + DAY + ": done: report json" +
						 (c.failed ? "; skipped: quicklook fits events; FAILED: health health-json"
							   : " health health-json; skipped: quicklook fits events"));
		EXPECT_EQ(tree(a.root + ".products/" + DAY),
			  std::string("arc-stat.json\narc-stat.txt\n") + (c.out.empty() ? "" : "health.json\nhealth.txt\n"));
		if (!c.out.empty()) {
			EXPECT_EQ(slurp(a.root + ".products/" + DAY + "/health.txt"), c.out);
		}
	}
}

TEST(Nightly, BadArgumentsAndAMissingArchiveStopAtOnce)
{
	TempDir t;
	struct Case {
		std::vector<std::string> args;
		int status;
		std::string err;
	} cases[] = {
		{{"arc"}, 2, "usage: spectrum-nightly ROOT NAME [DAY]\n"},
		{{"arc", "ST", "2026120"}, 2, "usage: spectrum-nightly ROOT NAME [DAY]\n"},
		{{"arc", "ST", "20261207", "x"}, 2, "usage: spectrum-nightly ROOT NAME [DAY]\n"},
		{{t / "none", "ST", "20261207"}, 1, "spectrum-nightly: " + t / "none" + ": no such archive\n"},
	};
	for (const Case &c : cases) {
		std::vector<std::string> argv{src("packaging/spectrum-nightly")};
		argv.insert(argv.end(), c.args.begin(), c.args.end());
		Ran r = run(argv, "", 20000, {std::string("PATH=") + BIN_DIR + ":/usr/bin:/bin"});
		EXPECT_EQ(exit_code(r.status), c.status) << c.args[0];
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, c.err);
	}
	EXPECT_FALSE(exists(t / "none.products"));
}

}  // namespace
