// pipe-web -a: the archive's addresses parsed (a table, no sockets), the cache's bound, and the
// real server over a small real archive (frames of frame-send's sky stored as net-arc stores
// them, some periods packed by arc-pack): the days page's figures are arc-stat's, a day's bursts
// are pipe-events', the records of a stretch are arc-cat's bytes whether its periods are loose or
// packed, attacks on the path read nothing outside ROOT, a full queue answers 503, and a new
// frame changes the day's summary.
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

#include "browser.h"
#include "frame.h"
#include "arckit.h"
#include "kit.h"
#include "route.h"
#include "webkit.h"
#include "works.h"

namespace fs = std::filesystem;

TEST(Route, AddressesAndRefusals)
{
	struct Case {
		const char *target;
		int status;
		RouteKind kind;
		RouteFormat format;
	} cases[] = {
		{"/days", 200, RT_DAYS, RF_PAGE},
		{"/health", 200, RT_HEALTH, RF_PAGE},
		{"/day/20261201", 200, RT_DAY, RF_PAGE},
		{"/day/20261201.png", 200, RT_DAY, RF_PNG},
		{"/day/20261201/strip.png", 200, RT_STRIP, RF_PNG},
		{"/day/20261201/burst/3.png", 200, RT_BURST, RF_PNG},
		{"/day/20261201/burst/03.png", 404, RT_OTHER, RF_PAGE},  // one address for a burst
		{"/range/2026120110/2026120111", 200, RT_RANGE, RF_PAGE},
		{"/range/2026-12-01T10:00/2026-12-01T10:10.rec", 200, RT_RANGE, RF_REC},
		{"/range/20261201/20261202.fits", 200, RT_RANGE, RF_FITS},
		{"/range/20261201/20261202/curve/20-30.png", 200, RT_CURVE, RF_PNG},
		{"/range/20261201/20261202.png?x=1", 200, RT_RANGE, RF_PNG},
		{"/", 200, RT_OTHER, RF_PAGE},
		{"/ws", 200, RT_OTHER, RF_PAGE},
		{"/day/20261340", 404, RT_OTHER, RF_PAGE},          // not a real day
		{"/day/10040523", 404, RT_OTHER, RF_PAGE},          // before any stamp's time
		{"/range/19691231/19700101", 400, RT_OTHER, RF_PAGE},
		{"/day/20260229", 404, RT_OTHER, RF_PAGE},          // not a leap year
		{"/day/notaday", 404, RT_OTHER, RF_PAGE},
		{"/day/20261201.rec", 404, RT_OTHER, RF_PAGE},
		{"/day/20261201/../../etc", 400, RT_OTHER, RF_PAGE},
		{"/day/%2e%2e/%2e%2e/etc/passwd", 400, RT_OTHER, RF_PAGE},
		{"/day/20261201%2f..", 400, RT_OTHER, RF_PAGE},
		{"/day/20261201%2F", 400, RT_OTHER, RF_PAGE},
		{"/day/2026120%", 400, RT_OTHER, RF_PAGE},
		{"/day/20261201%00", 400, RT_OTHER, RF_PAGE},
		{"/day/2026%31201", 200, RT_DAY, RF_PAGE},         // decoded once: 20261201
		{"/day/2026%2531201", 400, RT_OTHER, RF_PAGE},     // once only: "2026%31201"
		{"/range/20261201/20261203", 400, RT_OTHER, RF_PAGE},  // more than a day
		{"/range/20261202/20261201", 400, RT_OTHER, RF_PAGE},  // TO not after FROM
		{"/range/20261201/now", 400, RT_OTHER, RF_PAGE},
		{"/range/2026120125/2026120126", 400, RT_OTHER, RF_PAGE},
		{"/range/20261201/20261202/curve/30-20.png", 404, RT_OTHER, RF_PAGE},
		{"/range/20261201/20261202/curve/-1-20.png", 404, RT_OTHER, RF_PAGE},
	};
	for (const Case &c : cases) {
		Route r = route_parse(c.target);
		EXPECT_EQ(r.status, c.status) << c.target << ": " << r.why;
		if (r.status == 200) {
			EXPECT_EQ(r.kind, c.kind) << c.target;
			EXPECT_EQ(r.format, c.format) << c.target;
		}
	}
	Route day = route_parse("/day/20261231");
	EXPECT_EQ(route_day(day.range.end), "20270101");
	EXPECT_EQ(route_range_path(day.range.start, day.range.start + 60000), "/range/202612310000/202612310010");
}

TEST(Shelf, TheLeastRecentlyUsedGoFirstAndTheLimitHolds)
{
	Shelf s(100);
	auto item = [](char c) { return std::make_shared<const std::string>(40, c); };
	s.put("a", item('a'));  // 41 bytes with its key
	s.put("b", item('b'));
	EXPECT_TRUE(s.get("a"));  // a used: b is now the oldest
	s.put("c", item('c'));
	EXPECT_FALSE(s.get("b"));
	EXPECT_TRUE(s.get("a") && s.get("c"));
	EXPECT_LE(s.bytes(), 100u);
	EXPECT_EQ(s.dropped(), 1);
	s.put("big", std::make_shared<const std::string>(200, 'x'));  // larger than all: not kept
	EXPECT_FALSE(s.get("big"));
	EXPECT_EQ(s.items(), 2u);
}

// Stores records as net-arc does: ROOT/DAY/PERIOD/STAMP.gz, the payload gzipped.
static void store(const std::string &root, const std::string &records)
{
	for (size_t at = 0; at + FR_RECORD <= records.size(); at += FR_RECORD) {
		std::string stamp = records.substr(at, FR_STAMP);
		std::string path = root + "/" + frame_path(stamp);
		fs::create_directories(fs::path(path).parent_path());
		spit(path, gzip(records.substr(at + FR_HEADER, FR_PAYLOAD)));
	}
}

static std::string sky(const char *from, int count, const char *kinds = nullptr)
{
	std::vector<std::string> argv = {bin("frame-send"), "-o", "-T", from, "-c", std::to_string(count), "-s", "1"};
	if (kinds)
		argv.insert(argv.end(), {"-k", kinds});
	Ran r = run(argv, "", 60000);
	if (exit_code(r.status) != 0)
		throw std::runtime_error("frame-send: " + r.err);
	return r.out;
}

// pipe-web -a ROOT with no live input, on a port of its choosing.
struct Served {
	TempDir t;
	std::string root = t / "arc";
	int port = 0;
	Proc p;
	void start(std::vector<std::string> more = {})
	{
		more.insert(more.begin(), {"-a", root});
		p = start_pipe_web(more, port, {"STATION_NAME=Test"});
		p.close_in();  // no live input: the archive is served all the same
	}
};

// The figures arc-stat gives a day: its total's JSON.
static nlohmann::json arc_stat_day(const std::string &root, const std::string &day)
{
	Ran r = run({bin("arc-stat"), "--json", "-p", "1d", root, day});
	std::istringstream in(r.out);
	nlohmann::json last;
	for (std::string l; std::getline(in, l);)
		last = nlohmann::json::parse(l);
	return last;
}

// The days page once every day is counted (counted behind it: it never waits for a count).
static Got counted_days(int port)
{
	Got d;
	wait_until([&] {
		d = get(port, "/days");
		return d.status == 200 && d.body.find("not counted yet") == std::string::npos;
	}, 30000, 20);
	return d;
}

TEST(PipeWebArchive, TheDaysPageHasArcStatsFiguresAndANewFrameChangesThem)
{
	Served s;
	store(s.root, sky("2026120110000000", 240));
	store(s.root, sky("2026120208000000", 100));
	s.start();
	Got first = get(s.port, "/days");  // past days not counted yet: the page does not wait for them
	ASSERT_EQ(first.status, 200) << first.body;
	EXPECT_NE(first.body.find("2 days not counted yet"), std::string::npos) << first.body;
	Got d = counted_days(s.port);
	ASSERT_EQ(d.status, 200) << d.body;
	EXPECT_NE(d.body.find("name=\"viewport\""), std::string::npos);
	for (const char *day : {"20261201", "20261202"}) {
		nlohmann::json j = arc_stat_day(s.root, day);
		std::string row = "<td>" + std::to_string(j["present"].get<long>()) + "</td><td>" +
				  std::to_string(j["missing"].get<long>()) + "</td>";
		EXPECT_NE(d.body.find("<tr id=\"d" + std::string(day) + "\">"), std::string::npos) << day;
		EXPECT_NE(d.body.find(row), std::string::npos) << day << " " << row;
	}
	// Days newest first.
	EXPECT_LT(d.body.find("d20261202"), d.body.find("d20261201"));
	// A frame arrives late in a day already summarised and drawn: the summary and the picture
	// follow.
	Got png = get(s.port, "/day/20261201.png");
	ASSERT_EQ(png.status, 200);
	EXPECT_TRUE(get(s.port, "/day/20261201.png").body == png.body);
	store(s.root, sky("2026120112000000", 1));
	EXPECT_FALSE(get(s.port, "/day/20261201.png").body == png.body);
	Got again = counted_days(s.port);  // counted again: the day's files changed
	nlohmann::json j = arc_stat_day(s.root, "20261201");
	EXPECT_EQ(j["present"].get<long>(), 241);
	EXPECT_NE(again.body.find("<td>241</td><td>" + std::to_string(j["missing"].get<long>()) + "</td>"), std::string::npos);
}

TEST(PipeWebArchive, ADaysBurstsArePipeEventsAndTheirPicturesLoad)
{
	Served s;
	std::string frames = sky("2026120110000000", 200, "III@30");
	store(s.root, frames);
	s.start();
	Ran ev = run({bin("pipe-events"), "--json"}, frames);
	ASSERT_EQ(exit_code(ev.status), 0) << ev.err;
	nlohmann::json want = nlohmann::json::parse(ev.out.substr(0, ev.out.find('\n')));
	Got d = get(s.port, "/day/20261201");
	ASSERT_EQ(d.status, 200) << d.body;
	std::string id = std::to_string(want["id"].get<long>());
	EXPECT_NE(d.body.find("<tr id=\"burst-" + id + "\">"), std::string::npos) << d.body;
	EXPECT_NE(d.body.find("<td id=bursts>1</td>"), std::string::npos);
	// Its gaps: the night before the frames, and the rest of the day after them.
	EXPECT_NE(d.body.find("<tr><td class=l>00:00:00</td><td class=l>10:00:00</td><td>36000.0 s</td></tr>"), std::string::npos) << d.body;
	EXPECT_NE(d.body.find("<tr><td class=l>10:01:40</td><td class=l>the day's end</td><td>50300.0 s</td></tr>"), std::string::npos);
	EXPECT_NE(d.body.find("<td class=l>III</td>"), std::string::npos);
	for (std::string img : {"/day/20261201/burst/" + id + ".png", std::string("/day/20261201.png"),
				std::string("/range/202612011000/202612011100.png")}) {  // its burst, the day, an hour
		EXPECT_NE(d.body.find(img), std::string::npos) << img;
		Got g = get(s.port, img);
		EXPECT_EQ(g.status, 200) << img << g.body;
		EXPECT_EQ(g.body.substr(0, 8), "\x89PNG\r\n\x1a\n") << img;
	}
	// The list is kept in the cache beside ROOT, never inside it.
	EXPECT_TRUE(exists(s.root + ".web/20261201.bursts"));
	EXPECT_FALSE(exists(s.root + "/20261201.bursts"));
}

TEST(PipeWebArchive, TheRecordsAreArcCatsBytesLooseOrPacked)
{
	Served s;
	store(s.root, sky("2026120110000000", 2400));  // 10:00 to 10:20: two periods
	s.start();
	const char *from = "2026120110", *to = "2026-12-01T10:15";
	Ran cat = run({bin("arc-cat"), s.root, from, to});
	ASSERT_EQ(exit_code(cat.status), 0) << cat.err;
	ASSERT_EQ(cat.out.size(), 1800u * FR_RECORD);
	Got loose = get(s.port, std::string("/range/") + from + "/" + to + ".rec");
	ASSERT_EQ(loose.status, 200);
	EXPECT_TRUE(loose.body == cat.out);
	Got png = get(s.port, std::string("/range/") + from + "/" + to + ".png");
	ASSERT_EQ(png.status, 200);
	// arc-pack leaves files written in the last few seconds alone: these were written long ago.
	struct timespec old[2];
	clock_gettime(CLOCK_REALTIME, &old[0]);
	old[0].tv_sec -= 60;
	old[1] = old[0];
	for (auto &e : fs::recursive_directory_iterator(s.root))
		if (e.is_regular_file())
			utimensat(AT_FDCWD, e.path().c_str(), old, AT_SYMLINK_NOFOLLOW);
	Ran pack = run({bin("arc-pack"), "-a", "30m", s.root});
	ASSERT_EQ(exit_code(pack.status), 0) << pack.err;
	ASSERT_TRUE(exists(s.root + "/20261201/20261201100.pack.tar.zst"));
	Got packed = get(s.port, std::string("/range/") + from + "/" + to + ".rec");
	EXPECT_TRUE(packed.body == cat.out);
	// The picture is drawn again from the packs (the day's signature changed), the same.
	Got png2 = get(s.port, std::string("/range/") + from + "/" + to + ".png");
	EXPECT_TRUE(png2.body == png.body);
}

TEST(PipeWebArchive, AttacksOnThePathReadNothingOutsideTheArchive)
{
	Served s;
	store(s.root, sky("2026120110000000", 20));
	TempDir outside;
	std::string secret = sky("2026120310000000", 20);
	store(outside.path, secret);  // a real-looking day, outside ROOT
	ASSERT_EQ(symlink((outside / "20261203").c_str(), (s.root + "/20261203").c_str()), 0);
	// A period of a real day that is a link out, too.
	fs::create_directories(s.root + "/20261204");
	ASSERT_EQ(symlink((outside / "20261203/20261203100").c_str(), (s.root + "/20261204/20261204100").c_str()), 0);
	spit(outside / "passwd", "secret\n");
	s.start();
	struct Case {
		const char *path;
		int status;
	} cases[] = {
		{"/day/../../passwd", 400}, {"/day/%2e%2e/%2e%2e/passwd", 400}, {"/day/..%2f..%2fpasswd", 400},
		{"/range/20261201/..%2F20261202.rec", 400}, {"/day/20261340", 404}, {"/day/notaday", 404},
		{"/day/20261203", 404}, {"/day/20261203.png", 404}, {"/range/20261201/20261203.rec", 400},
	};
	for (const Case &c : cases) {
		Got g = get(s.port, c.path);
		EXPECT_EQ(g.status, c.status) << c.path << ": " << g.body;
		EXPECT_LT(g.body.size(), 200u) << c.path;
	}
	// The linked day and period give no records.
	for (const char *r : {"/range/20261203/20261204.rec", "/range/20261204/20261205.rec"}) {
		Got g = get(s.port, r);
		EXPECT_EQ(g.status, 200) << r;
		EXPECT_EQ(g.body.size(), 0u) << r;
	}
	Got days = get(s.port, "/days");
	EXPECT_EQ(days.body.find("secret"), std::string::npos);
}

TEST(PipeWebArchive, AFullQueueAnswers503WithRetryAfter)
{
	Served s;
	store(s.root, sky("2026120110000000", 1200));
	s.start();
	// Thirty pictures at once, none drawn before, from three addresses (each has its share of
	// connections): two are drawn, eight wait, the rest are told to come back.
	std::vector<int> fds;
	for (int k = 0; k < 30; k++) {
		char from[32];
		snprintf(from, sizeof from, "127.0.0.%d", 1 + k / 10);
		int fd = dial(s.port, from);
		ASSERT_GE(fd, 0);
		char path[96];
		snprintf(path, sizeof path, "/range/2026120110%02d/2026120111.png", k % 10);
		std::string q = request(path + std::string(k >= 10 ? "?" + std::to_string(k) : ""));
		ASSERT_EQ(send(fd, q.data(), q.size(), MSG_NOSIGNAL), (ssize_t)q.size());
		fds.push_back(fd);
	}
	int ok = 0, busy = 0;
	for (int fd : fds) {
		Got g = parse(read_to_end(fd, 60000));
		close(fd);
		ok += g.status == 200;
		if (g.status == 503) {
			busy++;
			EXPECT_NE(g.head.find("Retry-After: 5"), std::string::npos) << g.head;
		}
	}
	EXPECT_EQ(ok + busy, 30);
	EXPECT_GE(busy, 1);
	EXPECT_GE(ok, 2);
	EXPECT_EQ(get(s.port, "/range/2026120110/2026120111.png").status, 200);  // and then it answers
}

TEST(PipeWebArchive, TheCacheMustNotBeInsideTheArchive)
{
	TempDir t;
	fs::create_directories(t / "arc");
	Ran r = run({bin("pipe-web"), "-l", "127.0.0.1:0", "-a", t / "arc", "-C", t / "arc/cache"}, "", 10000);
	EXPECT_EQ(exit_code(r.status), 1);
	EXPECT_NE(r.err.find("must not be inside the archive"), std::string::npos) << r.err;
	Ran u = run({bin("pipe-web"), "-C", t / "cache"}, "", 10000);
	EXPECT_EQ(exit_code(u.status), 2);
	Ran e = run({bin("pipe-web"), "-a", ""}, "", 10000);  // an unset variable in a unit file
	EXPECT_EQ(exit_code(e.status), 2);
	EXPECT_EQ(e.err.rfind("usage:", 0), 0u) << e.err;
}

TEST(PipeWebArchive, TheHealthPageSaysWhatArcStatSays)
{
	Served s;
	store(s.root, sky("2026120110000000", 20));
	fs::create_directories(s.root + ".products");
	spit(s.root + ".products/last-run.json", "{\"day\":\"20261201\",\"status\":\"ok\"}\n");
	s.start();
	std::string out = run({bin("arc-stat"), "--health", "--json", s.root}).out;
	Got h = get(s.port, "/health");
	ASSERT_EQ(h.status, 200);
	EXPECT_NE(get(s.port, "/").body.find("const ARCHIVE = true;"), std::string::npos);  // the live page links here
	nlohmann::ordered_json j = nlohmann::ordered_json::parse(out);
	for (auto &[k, v] : j.items()) {
		if (k == "free_bytes" || k == "free_inodes" || k == "days_left")
			continue;  // the disk moves under both
		std::string want = "<td class=l>" + k + "</td><td>" + (v.is_string() ? v.get<std::string>() : v.dump()) + "</td>";
		EXPECT_NE(h.body.find(want), std::string::npos) << want;
	}
	EXPECT_NE(h.body.find("<td class=l>status</td><td class=l>ok</td>"), std::string::npos);
}

TEST(PipeWebArchive, AStretchAsFitsPassesFitsverify)
{
	NEED_READER("/usr/bin/fitsverify");
	Served s;
	store(s.root, sky("2026120110000000", 1200));
	s.start();
	Got f = get(s.port, "/range/2026120110/2026120111.fits");
	ASSERT_EQ(f.status, 200) << f.body.substr(0, 200);
	EXPECT_NE(f.head.find("application/fits"), std::string::npos);
	EXPECT_EQ(f.body.substr(0, 30), "SIMPLE  =                    T");
	spit(s.t / "s.fits", f.body);
	Ran v = run({"/usr/bin/fitsverify", "-q", s.t / "s.fits"});
	EXPECT_EQ(exit_code(v.status), 0) << v.out;
	// An hour is 7200 columns, one a half second, blank where no frame came.
	EXPECT_NE(f.body.find("NAXIS1  =                 7200"), std::string::npos);
	// And nothing is left in the cache.
	for (auto &e : fs::directory_iterator(s.root + ".web"))
		EXPECT_EQ(e.path().filename().string().find(".fits"), std::string::npos) << e.path();
	// A stretch without frames is not there, as its picture is not.
	for (const char *none : {"/range/2026120112/2026120113.fits", "/range/2026120112/2026120113.png"})
		EXPECT_EQ(get(s.port, none).status, 404) << none;
}

// A FITS file is written whole before it is sent: on a disk that would keep less than a tenth
// (at least a gigabyte) free after it, it is refused with 507, naming no path of the server's.
TEST(PipeWebArchive, AFitsFileThatWouldFillTheDiskIsRefused)
{
	Tmpfs small("size=64m");  // first made, last gone: after the server
	if (!small.ok)
		GTEST_SKIP() << "cannot mount a tmpfs here (not permitted)";
	Served s;
	store(s.root, sky("2026120110000000", 120));
	s.start({"-C", small.dir + "/cache"});
	Got f = get(s.port, "/range/2026120110/2026120111.fits");
	EXPECT_EQ(f.status, 507) << f.body;
	EXPECT_NE(f.body.find("not enough free space"), std::string::npos) << f.body;
	EXPECT_EQ(f.body.find(small.dir), std::string::npos) << f.body;
	EXPECT_EQ(get(s.port, "/range/2026120110/2026120111.rec").status, 200);  // records need no room
}

// An HTTP/1.0 client knows no chunks: the records as they are, their end the connection's.
TEST(PipeWebArchive, AnHttp10ClientGetsTheRecordsWithoutChunks)
{
	Served s;
	store(s.root, sky("2026120110000000", 600));
	s.start();
	int fd = dial(s.port);
	ASSERT_GE(fd, 0);
	std::string q = "GET /range/2026120110/202612011002.rec HTTP/1.0\r\n\r\n";
	ASSERT_EQ(send(fd, q.data(), q.size(), MSG_NOSIGNAL), (ssize_t)q.size());
	std::string out = read_to_end(fd, 30000);
	close(fd);
	size_t body = out.find("\r\n\r\n");
	ASSERT_NE(body, std::string::npos) << out.substr(0, 200);
	std::string head = out.substr(0, body);
	EXPECT_EQ(head.rfind("HTTP/1.0 200", 0), 0u) << head;
	EXPECT_EQ(head.find("chunked"), std::string::npos) << head;
	std::string want = run({bin("arc-cat"), s.root, "2026120110", "202612011002"}).out;
	EXPECT_EQ(want.size(), 240u * FR_RECORD);
	EXPECT_TRUE(out.substr(body + 4) == want);
}

// The browser's view: what it shows, read from the page (rows, labels, pictures loaded).
struct Shown : Served {
	std::string frames = sky("2026120110000000", 200, "III@30");
	Shown()
	{
		store(root, frames);
		store(root, sky("2026120208000000", 100));
		start();
	}
	std::string url(const std::string &path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }
};

static const char LOADED[] = "[...document.images].every(i => i.complete && i.naturalWidth > 0)";

TEST(PipeWebArchive, ABrowserShowsTheDaysTheirFiguresAndStrips)
{
	NEED_READER("/usr/bin/chromium");
	Shown s;
	TempDir t;
	counted_days(s.port);
	Browser b(t, s.url("/days"));
	ASSERT_TRUE(b.until("document.querySelectorAll('tr[id^=d]').length == 2"));
	for (const char *day : {"20261201", "20261202"}) {
		nlohmann::json j = arc_stat_day(s.root, day);
		std::string cells = "[...document.getElementById('d" + std::string(day) + "').cells].map(c => c.textContent)";
		EXPECT_EQ(b.eval(cells + "[1]"), std::to_string(j["present"].get<long>())) << day;
		EXPECT_EQ(b.eval(cells + "[2]"), std::to_string(j["missing"].get<long>())) << day;
	}
	EXPECT_TRUE(b.until(LOADED)) << "strips not loaded";
	EXPECT_EQ(b.eval("document.querySelector('meta[name=viewport]') != null"), "true");
}

TEST(PipeWebArchive, ABrowserShowsADaysBurstsWithPicturesThatLoad)
{
	NEED_READER("/usr/bin/chromium");
	Shown s;
	TempDir t;
	Browser b(t, s.url("/day/20261201"));
	ASSERT_TRUE(b.until("document.querySelectorAll('tr[id^=burst-]').length == 1"));
	EXPECT_EQ(b.eval("document.querySelector('tr[id^=burst-]').cells[1].textContent"), "III");
	b.eval("document.querySelectorAll('img').forEach(i => i.scrollIntoView())");  // the lazy ones too
	EXPECT_TRUE(b.until(LOADED)) << "pictures not loaded";
	EXPECT_EQ(b.eval("document.querySelectorAll('img.burst').length"), "1");
	// The burst's own address leads to the stretch around it, which draws with its light curve.
	std::string href = b.eval("document.querySelector('img.burst').parentNode.getAttribute('href')");
	ASSERT_EQ(href.rfind("/range/", 0), 0u) << href;
	b.go(s.url(href));
	ASSERT_TRUE(b.until("document.querySelector('img.curve') != null"));
	EXPECT_TRUE(b.until(LOADED)) << "range or curve not drawn";
}

TEST(PipeWebArchive, ABrowserShowsTheHealthArcStatGives)
{
	NEED_READER("/usr/bin/chromium");
	Shown s;
	nlohmann::ordered_json j = nlohmann::ordered_json::parse(run({bin("arc-stat"), "--health", "--json", s.root}).out);
	TempDir t;
	Browser b(t, s.url("/health"));
	ASSERT_TRUE(b.until("document.getElementById('disk') != null"));
	for (auto &[k, v] : j.items()) {
		if (k == "free_bytes" || k == "free_inodes" || k == "days_left")
			continue;  // the disk moves under both
		std::string cell = "[...document.querySelectorAll('#disk tr')].find(r => r.cells[0].textContent == '" + k +
				   "').cells[1].textContent";
		EXPECT_EQ(b.eval(cell), v.is_string() ? v.get<std::string>() : v.dump()) << k;
	}
}

TEST(PipeWebArchive, ADownloadThatIsNotReadHoldsBackNoOneElse)
{
	Served s;
	store(s.root, sky("2026120110000000", 7200));  // an hour: 26 MB of records
	s.start();
	auto rss = [&] {
		std::string st = slurp("/proc/" + std::to_string(s.p.pid) + "/status");
		return atol(st.c_str() + st.find("VmRSS:") + 6);
	};
	EXPECT_EQ(get(s.port, "/range/2026120110/202612011001.rec").status, 200);  // the threads and buffers made
	long before = rss();
	// A client asks for the hour's records with a small window and reads nothing.
	int fd = dial(s.port, "127.0.0.1", 4096);
	ASSERT_GE(fd, 0);
	std::string q = request("/range/2026120110/2026120111.rec");
	ASSERT_EQ(send(fd, q.data(), q.size(), MSG_NOSIGNAL), (ssize_t)q.size());
	ASSERT_TRUE(readable(fd, 20000));  // its first piece is on the way
	// Others are answered meanwhile, records too, and the server holds a piece, not the hour.
	EXPECT_EQ(get(s.port, "/days").status, 200);
	Got other = get(s.port, "/range/2026120110/202612011001.rec");
	EXPECT_EQ(other.status, 200);
	EXPECT_EQ(other.body.size(), 120u * FR_RECORD);
	if (!ZQ_SANITIZED) {  // else the sanitizers' own memory would be measured
		EXPECT_LT(rss() - before, 16 * 1024) << "KiB more";
	}
	close(fd);
}

// A cache named with a trailing slash is still inside the archive: refused, and nothing made in ROOT.
TEST(PipeWebArchive, TheCacheMustNotBeInsideTheArchiveHoweverItIsSpelt)
{
	TempDir t;
	fs::create_directories(t / "arc");
	Ran r = run({bin("pipe-web"), "-l", "127.0.0.1:0", "-a", t / "arc", "-C", t / "arc/cache/"}, "", 3000);
	EXPECT_EQ(exit_code(r.status), 1) << r.err;
	EXPECT_FALSE(fs::exists(t / "arc/cache"));
}

// The nightly status file that is not a regular file (a FIFO nobody writes) holds no worker: the
// health page answers, and so do the others.
TEST(PipeWebArchive, ANightlyStatusThatIsAFifoHoldsNoWorker)
{
	Served s;
	store(s.root, sky("2026120110000000", 20));
	fs::create_directories(s.root + ".products");
	ASSERT_EQ(mkfifo((s.root + ".products/last-run.json").c_str(), 0644), 0);
	s.start();
	for (int i = 0; i < 3; i++) {
		int fd = dial(s.port);
		ASSERT_GE(fd, 0);
		std::string q = request("/health");
		(void)!send(fd, q.data(), q.size(), MSG_NOSIGNAL);
		Got g = parse(read_to_end(fd, 5000));
		close(fd);
		EXPECT_EQ(g.status, 200) << "the health page, try " << i;
	}
	int fd = dial(s.port);
	ASSERT_GE(fd, 0);
	std::string q = request("/days");
	(void)!send(fd, q.data(), q.size(), MSG_NOSIGNAL);
	EXPECT_EQ(parse(read_to_end(fd, 5000)).status, 200);
	close(fd);
}
