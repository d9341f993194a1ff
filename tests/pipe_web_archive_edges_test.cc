// pipe-web's archive at its edges, mostly without sockets: an escape at an address's very end,
// a range of a day and of a day and a hundredth, the work queue's last slot, the picture cache
// filled exactly to its limit, a day's gap of exactly a minute, a frame added to a period
// already summarised, a day that is not over, a burst list that is a link, the burst's ten
// minutes, a stretch over midnight whose second day changes, the periods a stretch overlaps and
// those that only touch it, today's bursts in the next minute, the bounded note of pictures
// drawn this minute; and from the server, its answer to
// one download too many and what it holds for a FITS download that is not read.
#include <condition_variable>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

#include "daybook.h"
#include "frame.h"
#include "kit.h"
#include "route.h"
#include "site.h"
#include "webkit.h"
#include "works.h"

namespace fs = std::filesystem;

static long long when(const char *stamp16)
{
	long long t = 0;
	fr_stamp_time(stamp16, &t);
	return t;
}

static std::string stamp(long long t)
{
	char s[FR_HEADER];
	fr_time_stamp(t, s);
	return std::string(s, FR_STAMP);
}

// Frames every half second from the stamp on, count of them.
static std::vector<std::string> run_of(const char *from, int count)
{
	std::vector<std::string> out;
	for (int k = 0; k < count; k++)
		out.push_back(stamp(when(from) + 50LL * k));
	return out;
}

static std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b)
{
	a.insert(a.end(), b.begin(), b.end());
	return a;
}

TEST(RouteEdges, EscapesAtTheEndAndTheDaysLimit)
{
	struct Case {
		const char *target;
		int status;
	} cases[] = {
		{"/day/2026120%31", 200},                          // an escape that ends the address
		{"/day/2026120%3", 400},                           // one cut short
		{"/range/20261201/20261202", 200},                 // exactly a day
		{"/range/20261201/2026120200000001", 400},         // a day and a hundredth
		{"/range/2026120100000001/2026120200000001", 200},  // a day, not on the hour
		{"/range/20261201/2026120200000099", 400},         // a day and 99 hundredths
	};
	for (const Case &c : cases) {
		Route r = route_parse(c.target);
		EXPECT_EQ(r.status, c.status) << c.target << ": " << r.why;
	}
	EXPECT_EQ(route_parse("/day/2026120%31").day, "20261201");
}

TEST(WorksEdges, TheQueuesLastSlotIsTakenAndNoMore)
{
	Works w(1, 2);
	std::mutex m;
	std::condition_variable cv;
	bool started = false, release = false;
	ASSERT_TRUE(w.submit([&] {
		std::unique_lock<std::mutex> l(m);
		started = true;
		cv.notify_all();
		cv.wait(l, [&] { return release; });
	}));
	{
		std::unique_lock<std::mutex> l(m);
		ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(10), [&] { return started; }));
	}
	EXPECT_TRUE(w.submit([] {}));   // the queue's first slot
	EXPECT_TRUE(w.submit([] {}));   // and its last
	EXPECT_FALSE(w.submit([] {}));  // full
	EXPECT_EQ(w.waiting(), 2u);
	{
		std::lock_guard<std::mutex> l(m);
		release = true;
	}
	cv.notify_all();
	w.stop();
}

TEST(ShelfEdges, FilledExactlyToItsLimitItKeepsEverything)
{
	Shelf s(100);
	s.put("a", std::make_shared<const std::string>(49, 'a'));  // 50 bytes with its key
	s.put("b", std::make_shared<const std::string>(49, 'b'));
	EXPECT_EQ(s.bytes(), 100u);
	EXPECT_EQ(s.dropped(), 0);
	EXPECT_TRUE(s.get("a") && s.get("b"));
	s.put("c", std::make_shared<const std::string>(99, 'c'));  // the limit alone: the others go
	EXPECT_TRUE(s.get("c"));
	EXPECT_EQ(s.items(), 1u);
	EXPECT_EQ(s.dropped(), 2);
}

TEST(DaybookEdges, AGapOfExactlyAMinuteIsListedAndOneHalfSecondShorterIsNot)
{
	// 10:00:00 for a minute, a gap of 120 half seconds, a minute of frames, a gap of 119.
	ArcTree a(run_of("2026120110000000", 120) + run_of("2026120110020000", 120) + run_of("2026120110035950", 120));
	TempDir c;
	Daybook book(a.root, c / "cache");
	DaySummary s;
	ASSERT_EQ(book.summary("20261201", when("2026120800000000"), s), "");
	std::vector<std::pair<long long, long long>> want = {
		{when("2026120100000000"), 72000},  // the night before
		{when("2026120110010000"), 120},    // exactly a minute
		{when("2026120110045950"), 172800 - 72000 - 120 - 360 - 119},  // the rest of the day
	};
	EXPECT_EQ(s.gaps, want);
	EXPECT_EQ(s.expected, 172800);
	EXPECT_EQ(s.present, 360);
	EXPECT_EQ(s.missing, 172800 - 360);
}

TEST(DaybookEdges, AFrameAddedToAPeriodAlreadySummarisedChangesTheSummary)
{
	ArcTree a(run_of("2026120110000000", 20));
	TempDir c;
	Daybook book(a.root, c / "cache");
	long long now = when("2026120800000000");
	DaySummary s;
	ASSERT_EQ(book.summary("20261201", now, s), "");
	ASSERT_EQ(s.present, 20);
	ASSERT_TRUE(exists(c / "cache/20261201.json"));
	a.put("2026120110050000", gzip(payload(7)));  // the same period, ten minutes' directory
	DaySummary t;
	ASSERT_EQ(book.summary("20261201", now, t), "");
	EXPECT_EQ(t.present, 21);
	EXPECT_NE(t.sig, s.sig);
}

TEST(DaybookEdges, ADayNotOverIsCountedUpToNowAndNeverKept)
{
	ArcTree a(run_of("2026120110000000", 20));
	TempDir c;
	Daybook book(a.root, c / "cache");
	for (const char *now : {"2026120112000000", "2026120112000000", "2026120118000000"}) {
		DaySummary s;
		ASSERT_EQ(book.summary("20261201", when(now), s), "");
		long long so_far = (when(now) - when("2026120100000000")) / 50;
		EXPECT_FALSE(s.final) << now;
		EXPECT_EQ(s.expected, so_far) << now;
		EXPECT_EQ(s.present + s.missing, so_far) << now;
		EXPECT_FALSE(exists(c / "cache/20261201.json")) << now;
	}
	// A day not begun yet (stamps ahead of the clock): the whole day, as arc-stat counts it.
	DaySummary s;
	ASSERT_EQ(book.summary("20261201", when("2026113012000000"), s), "");
	EXPECT_FALSE(s.final);
	EXPECT_EQ(s.expected, 172800);
	EXPECT_EQ(s.present, 20);
	EXPECT_EQ(s.missing, 172800 - 20);
}

// The nightly job lists a day's bursts after the day was summarised: its summary learns the
// count once the list is read.
TEST(DaybookEdges, ANightlyListWrittenAfterTheSummaryGivesItsCount)
{
	ArcTree a(run_of("2026120110000000", 20));
	TempDir c;
	Daybook book(a.root, c / "cache");
	long long now = when("2026120800000000");
	DaySummary s;
	ASSERT_EQ(book.summary("20261201", now, s), "");
	EXPECT_EQ(s.bursts, -1);
	fs::create_directories(a.root + ".products/20261201");
	std::string burst = "{\"id\":1,\"kind\":\"III\",\"start\":\"2026120110000100\",\"end\":\"2026120110000500\",\"peak\":"
			    "\"2026120110000200\",\"f_lo\":20,\"f_hi\":30,\"peak_db\":10,\"drift\":-1}\n";
	spit(a.root + ".products/20261201/events.json", burst + burst);
	std::vector<DayBurst> b;
	book.bursts("20261201", now, b);
	EXPECT_EQ(b.size(), 2u);
	ASSERT_EQ(book.summary("20261201", now, s), "");
	EXPECT_EQ(s.bursts, 2);
}

TEST(DaybookEdges, ABurstListThatIsALinkIsNotRead)
{
	ArcTree a(run_of("2026120110000000", 20));
	TempDir c;
	fs::create_directories(a.root + ".products/20261201");
	spit(c / "elsewhere.json",
	     "{\"id\":99,\"kind\":\"III\",\"start\":\"2026120110000100\",\"end\":\"2026120110000500\",\"peak\":"
	     "\"2026120110000200\",\"f_lo\":20,\"f_hi\":30,\"peak_db\":10,\"drift\":-1}\n");
	ASSERT_EQ(symlink((c / "elsewhere.json").c_str(), (a.root + ".products/20261201/events.json").c_str()), 0);
	Daybook book(a.root, c / "cache");
	std::vector<DayBurst> b;
	book.bursts("20261201", when("2026120800000000"), b);
	for (const DayBurst &x : b)
		EXPECT_NE(x.id, 99) << "the list's link was followed";
}

// A site over a small archive, answered without sockets.
struct Local {
	TempDir c;
	ArcTree a;
	Site site;
	explicit Local(const std::vector<std::string> &stamps) : a(stamps), site(a.root, c / "cache", 1 << 24, "Test") {}
	SiteReply at(const std::string &path, const char *now = "2026120800000000")
	{
		Route r = route_parse(path);
		EXPECT_EQ(r.status, 200) << path << ": " << r.why;
		return site_answer(site, r, when(now));
	}
};

// net-arc writes into a day not over every half second: its figures and its picture are made
// at most once a minute, and an hour already past stays drawn while the next fills.
TEST(SiteEdges, ADayNotOverIsMadeOnceAMinuteAndItsPastHoursStayDrawn)
{
	Local l(run_of("2026120110000000", 20) + run_of("2026120111000000", 20));
	const char *now = "2026120111300000", *same_minute = "2026120111305950", *next_minute = "2026120111310000";
	const char *hour = "/range/2026120110/2026120111.png";
	ASSERT_FALSE(l.at(hour, now).cached);
	SiteReply day = l.at("/day/20261201.png", now);
	ASSERT_EQ(day.status, 200);
	EXPECT_NE(l.at("/day/20261201", now).body->find("<td id=present>40</td>"), std::string::npos);
	l.a.put("2026120111100000", gzip(payload_levels(200, 200)));  // a later period of the day
	EXPECT_TRUE(l.at(hour, next_minute).cached);  // its periods unchanged
	EXPECT_TRUE(l.at("/day/20261201.png", same_minute).cached);
	EXPECT_NE(l.at("/day/20261201", same_minute).body->find("<td id=present>40</td>"), std::string::npos);
	SiteReply later = l.at("/day/20261201.png", next_minute);
	EXPECT_FALSE(later.cached);
	EXPECT_FALSE(*later.body == *day.body);
	EXPECT_NE(l.at("/day/20261201", next_minute).body->find("<td id=present>41</td>"), std::string::npos);
	// A frame in the hour itself: drawn again.
	l.a.put("2026120110300000", gzip(payload_levels(200, 200)));
	EXPECT_FALSE(l.at(hour, next_minute).cached);
}

TEST(SiteEdges, ABurstLinksToTheTenMinutesAroundIt)
{
	Local l(run_of("2026120110000000", 20));
	fs::create_directories(l.a.root + ".products/20261201");
	spit(l.a.root + ".products/20261201/events.json",
	     "{\"id\":4,\"kind\":\"III\",\"start\":\"2026120110300000\",\"end\":\"2026120110300400\",\"peak\":"
	     "\"2026120110300200\",\"f_lo\":20,\"f_hi\":30,\"peak_db\":10,\"drift\":-1}\n");
	SiteReply p = l.at("/day/20261201");
	ASSERT_EQ(p.status, 200);
	// Its middle 10:30:02, five minutes either side, to whole seconds.
	EXPECT_NE(p.body->find("<a href=\"/range/20261201102502/20261201103502\"><img class=burst"), std::string::npos) << *p.body;
}

TEST(SiteEdges, AStretchOverMidnightIsDrawnAgainWhenItsSecondDayChanges)
{
	Local l(run_of("2026120123300000", 20) + run_of("2026120200100000", 20));
	const char *path = "/range/202612012330/202612020030.png";
	SiteReply first = l.at(path);
	ASSERT_EQ(first.status, 200) << *first.body;
	ASSERT_TRUE(l.at(path).cached);
	l.a.put("2026120200200000", gzip(payload_levels(200, 200)));  // the second day only
	SiteReply again = l.at(path);
	EXPECT_FALSE(again.cached);
	EXPECT_FALSE(*again.body == *first.body);
}

// A stretch's picture is drawn again when a period it overlaps changes, even one it covers in
// part, and kept when a period that only touches it does.
TEST(SiteEdges, AStretchIsDrawnAgainWhenAPeriodItOverlapsChanges)
{
	struct Case {
		const char *path, *put;
		bool again;
	} cases[] = {
		{"/range/202612011025/202612011040.png", "2026120110230000", true},   // its first period, in part
		{"/range/202612011025/202612011040.png", "2026120110350000", true},   // its last, whole
		{"/range/202612011025/202612011040.png", "2026120110400000", false},  // the period starting at its end
		{"/range/202612011030/202612011040.png", "2026120110250000", false},  // the period ending at its start
	};
	for (const Case &c : cases) {
		Local l(run_of("2026120110200000", 20) + run_of("2026120110300000", 20));
		ASSERT_EQ(l.at(c.path).status, 200) << c.path;
		ASSERT_TRUE(l.at(c.path).cached) << c.path;
		l.a.put(c.put, gzip(payload_levels(200, 200)));
		EXPECT_EQ(!l.at(c.path).cached, c.again) << c.path << " " << c.put;
	}
}

// Today's bursts, listed afresh in the next minute even when its summary is asked for first.
TEST(SiteEdges, ADayNotOversBurstsAreListedAfreshTheNextMinute)
{
	Local l(run_of("2026120110000000", 20));
	const char *now = "2026120111300000", *next_minute = "2026120111310000";
	const std::string row = "<tr id=\"burst-4\">";
	SiteReply before = l.at("/day/20261201", now);
	ASSERT_EQ(before.status, 200);
	EXPECT_EQ(before.body->find(row), std::string::npos);
	fs::create_directories(l.a.root + ".products/20261201");
	spit(l.a.root + ".products/20261201/events.json",
	     "{\"id\":4,\"kind\":\"III\",\"start\":\"2026120111000100\",\"end\":\"2026120111000500\",\"peak\":"
	     "\"2026120111000200\",\"f_lo\":20,\"f_hi\":30,\"peak_db\":10,\"drift\":-1}\n");
	EXPECT_NE(l.at("/day/20261201", next_minute).body->find(row), std::string::npos);
}

// The note of which pictures of stretches not over were drawn in which minute is bounded: once
// full, an older minute's go.
TEST(SiteEdges, TheNoteOfPicturesDrawnThisMinuteIsBounded)
{
	Local l(run_of("2026120110000000", 20));
	const char *now = "2026120111300000";
	long long minute = when(now) / SITE_LIVE;
	for (int k = 0; k < 1024; k++)
		l.site.live.drawn["old/" + std::to_string(k)] = minute - 1;
	ASSERT_EQ(l.at("/day/20261201/strip.png", now).status, 200);
	EXPECT_EQ(l.site.live.drawn.size(), 1u);
	EXPECT_EQ(l.site.live.drawn.count("strip/20261201|so far"), 1u);
}

// pipe-web -a ROOT with no live input, on a port of its choosing.
struct Served {
	ArcTree a;
	int port = 0;
	Proc p;
	explicit Served(const std::vector<std::string> &stamps) : a(stamps), p(start_pipe_web({"-a", a.root}, port))
	{
		p.close_in();
	}
	// A request sent on a connection with a small receiving window, the connection returned.
	int ask(const std::string &path) const
	{
		int fd = dial(port, "127.0.0.1", 4096);
		if (fd < 0)
			return -1;
		std::string q = request(path);
		(void)!send(fd, q.data(), q.size(), MSG_NOSIGNAL);
		return fd;
	}
};

TEST(PipeWebArchiveEdges, OneDownloadTooManyIsToldWhenToComeBack)
{
	Served s(run_of("2026120110000000", 7200));  // an hour: 26 MB of records
	std::vector<int> held;
	for (int k = 0; k < 8; k++) {  // eight downloads under way, none read
		int fd = s.ask("/range/2026120110/2026120111.rec");
		ASSERT_GE(fd, 0);
		held.push_back(fd);
		ASSERT_TRUE(readable(fd, 20000)) << k;
	}
	int fd = s.ask("/range/2026120110/202612011001.rec");
	ASSERT_GE(fd, 0);
	std::string got = read_to_end(fd, 20000);
	close(fd);
	EXPECT_EQ(got.rfind("HTTP/1.1 503", 0), 0u) << got.substr(0, 200);
	EXPECT_NE(got.find("Retry-After: 30\r\n"), std::string::npos) << got.substr(0, 200);
	for (int h : held)
		close(h);
}

TEST(PipeWebArchiveEdges, AFitsDownloadThatIsNotReadHoldsAPieceNotTheFile)
{
	Served s(run_of("2026120110000000", 7200));
	auto rss = [&] {
		std::string st = slurp("/proc/" + std::to_string(s.p.pid) + "/status");
		return atol(st.c_str() + st.find("VmRSS:") + 6);
	};
	int first = s.ask("/range/2026120110/202612011010.fits");  // the threads and buffers made
	std::string small = read_to_end(first, 60000);
	close(first);
	ASSERT_EQ(small.rfind("HTTP/1.1 200", 0), 0u) << small.substr(0, 200);
	long before = rss();
	int fd = s.ask("/range/2026120110/2026120111.fits");  // tens of megabytes, never read
	ASSERT_GE(fd, 0);
	ASSERT_TRUE(readable(fd, 60000));
	char peek[4096];  // the header and the start of the first piece
	ASSERT_TRUE(wait_until([&] { return recv(fd, peek, sizeof peek, MSG_PEEK | MSG_DONTWAIT) > 2048; }, 60000));
	long grown = rss() - before;
	if (!ZQ_SANITIZED) {  // else the sanitizers' own memory would be measured
		EXPECT_LT(grown, 16 * 1024) << "KiB more";
	}
	close(fd);
}
