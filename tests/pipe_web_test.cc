// pipe-web: the fan-out, the hand-over and the slot books on their own; a real WebSocket client
// getting exactly the records of standard input; a stalled viewer holding back nothing and
// dropped when it does not read; thousands of hostile requests; a thousand idle connections
// from one address locking no one else out; a full server answering 503 and /healthz; an
// orderly end with viewers connected; and a real browser (headless Chromium, driven over its
// debugging WebSocket) drawing the waterfall.
#include <gtest/gtest.h>

#include <utility>

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <arpa/inet.h>
#include <array>
#include <cairo.h>
#include <cmath>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "browser.h"
#include "fanout.h"
#include "frame.h"
#include "kit.h"
#include "marks.h"
#include "palette.h"
#include "slots.h"
#include "webkit.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

Record rec(int k)
{
	char s[32];
	snprintf(s, sizeof s, "20261207%06d%s", 120000 + k / 2, k % 2 ? "50" : "00");
	return std::make_shared<const std::string>(record(s, payload(k)));
}

TEST(Fanout, HistoryThenNewRecordsAndSkippingAhead)
{
	Fanout f(3, 6);
	for (int k = 0; k < 5; k++)
		f.push(rec(k));
	int a = f.join();
	EXPECT_EQ(f.queued(a), 3u);  // the ring: records 2, 3, 4
	for (int k = 2; k < 5; k++)
		EXPECT_EQ(*f.take(a), *rec(k));
	EXPECT_EQ(f.take(a), nullptr);
	int b = f.join();
	// b never reads: past six it skips ahead to the newest three; a keeps up.
	for (int k = 5; k < 12; k++) {
		f.push(rec(k));
		EXPECT_EQ(*f.take(a), *rec(k));
	}
	EXPECT_LE(f.queued(b), 6u);
	Record last;
	while (Record r = f.take(b))
		last = r;
	EXPECT_EQ(*last, *rec(11));
	EXPECT_EQ(f.skipped(), 1);
	EXPECT_EQ(f.frames(), 12);
	EXPECT_EQ(f.latest(), rec(11)->substr(0, 16));
	f.leave(a);
	EXPECT_EQ(f.viewers(), 1u);
}

TEST(Handover, TheNewestRecordsWinAndOneWakeUpIsEnough)
{
	Handover h(4);
	EXPECT_TRUE(h.put(rec(0)));  // was empty: wake the server
	for (int k = 1; k < 7; k++)
		EXPECT_FALSE(h.put(rec(k)));  // already woken
	EXPECT_EQ(h.dropped(), 3);
	std::deque<Record> got = h.take();
	ASSERT_EQ(got.size(), 4u);
	for (int k = 3; k < 7; k++)
		EXPECT_EQ(*got[(size_t)k - 3], *rec(k));
	EXPECT_TRUE(h.take().empty());
	EXPECT_TRUE(h.put(rec(7)));  // empty again: wake it again
}

TEST(Limits, EachAddressGetsItsShareOfEachPoolInTurn)
{
	// Two ordinary slots in all and two per address; two /healthz slots, one per address; two
	// 503 slots, one per address.
	Limits l({{2, 2}, {2, 1}, {2, 1}});
	struct {
		const char *addr;
		Pool want;
	} steps[] = {
		{"a", SERVE}, {"a", SERVE}, {"a", HEALTH}, {"a", REFUSE}, {"a", NO_POOL},  // a over its share
		{"b", HEALTH}, {"b", REFUSE}, {"b", NO_POOL},                          // all ordinary slots taken
		{"c", NO_POOL},                                                           // and every other
	};
	for (auto &st : steps)
		EXPECT_EQ(l.admit(st.addr), st.want) << st.addr;
	EXPECT_EQ(l.used(SERVE), 2u);
	EXPECT_EQ(l.used("a", SERVE), 2u);
	EXPECT_EQ(l.addresses(), 2u);  // c holds nothing and is not kept
	l.release("a", SERVE);
	EXPECT_EQ(l.admit("c"), SERVE);  // a slot given back is anyone's
	{
		Slot s(&l, "d", l.admit("d"));
		EXPECT_EQ(s.pool(), NO_POOL);  // every pool full
	}
	l.release("a", SERVE);
	{
		Slot s(&l, "b", l.admit("b"));
		EXPECT_EQ(s.pool(), SERVE);
		Slot moved = std::move(s);
		EXPECT_EQ(l.used("b", SERVE), 1u);
	}
	EXPECT_EQ(l.used("b", SERVE), 0u);  // given back when the slot went
	for (const char *a : {"a", "b", "c"})
		for (Pool p : {SERVE, HEALTH, REFUSE})
			while (l.used(a, p))
				l.release(a, p);
	EXPECT_EQ(l.addresses(), 0u);
	EXPECT_EQ(l.used(HEALTH) + l.used(REFUSE) + l.used(SERVE), 0u);
}

TEST(Limits, GivingBackWhatWasNotHeldChangesNothing)
{
	// An address holding a SERVE slot gives back a HEALTH slot it never had, and one of an
	// address never seen: nothing moves, and its share is what it was.
	Limits l({{2, 1}, {2, 1}, {2, 1}});
	EXPECT_EQ(l.admit("a"), SERVE);
	l.release("a", HEALTH);
	l.release("z", SERVE);
	EXPECT_EQ(l.used("a", HEALTH), 0u);
	EXPECT_EQ(l.used(HEALTH), 0u);
	EXPECT_EQ(l.used(SERVE), 1u);
	EXPECT_EQ(l.admit("a"), HEALTH);
	EXPECT_EQ(l.admit("b"), SERVE);
	EXPECT_EQ(l.addresses(), 2u);
}

TEST(Limits, AddressKeys)
{
	struct {
		const char *addr, *key;
	} cases[] = {
		{"127.0.0.1", "127.0.0.1"},
		{"::ffff:10.1.2.3", "10.1.2.3"},
		{"2001:db8:1:2::1", "2001:0db8:0001:0002::/64"},
		{"2001:db8:1:2:ffff:ffff:ffff:ffff", "2001:0db8:0001:0002::/64"},
		{"2001:db8:1:3::1", "2001:0db8:0001:0003::/64"},
		{"::1", "0000:0000:0000:0000::/64"},
	};
	for (auto &c : cases) {
		unsigned char b[16];
		size_t n = strchr(c.addr, ':') ? 16 : 4;
		ASSERT_EQ(inet_pton(n == 16 ? AF_INET6 : AF_INET, c.addr, b), 1) << c.addr;
		EXPECT_EQ(address_key(b, n), c.key) << c.addr;
	}
}

// Threads of a process, from /proc.
int threads(pid_t pid)
{
	std::string s = slurp("/proc/" + std::to_string(pid) + "/status");
	size_t at = s.find("Threads:");
	return at == std::string::npos ? -1 : atoi(s.c_str() + at + 8);
}

// pipe-web on a port of the system's choosing, as it says: no port picked here can be taken
// by another before it binds.
struct Web {
	int port = 0;
	Proc p;
	// files: the descriptors it may have (ulimit -n), 0 for as many as it likes.
	explicit Web(std::vector<std::string> opts = {}, int files = 0, std::vector<std::string> env = {})
		: p(start_pipe_web(opts, port, env, files))
	{
	}
	// Once a viewer has joined (its handshake answered is not enough: the server counts it
	// after), what is fed reaches it as it comes, events too.
	bool viewers(int n)
	{
		std::string want = "\"clients\":" + std::to_string(n) + ",";
		return wait_until([&] { return get(port, "/healthz").body.find(want) != std::string::npos; }, 10000, 10);
	}
	void feed(const std::string &bytes) { ASSERT_EQ(write(p.in, bytes.data(), bytes.size()), (ssize_t)bytes.size()); }
	bool frames(long long n)
	{
		std::string want = "\"frames\":" + std::to_string(n) + ",";
		return wait_until([&] { return get(port, "/healthz").body.find(want) != std::string::npos; }, 10000, 10);
	}
};

struct Viewer {
	asio::io_context ioc;
	websocket::stream<tcp::socket> ws{ioc};
	explicit Viewer(int port, int rcvbuf = 0, const char *from = "127.0.0.1")
	{
		ws.next_layer().open(tcp::v4());
		if (rcvbuf)
			ws.next_layer().set_option(asio::socket_base::receive_buffer_size(rcvbuf));
		ws.next_layer().bind(tcp::endpoint(asio::ip::make_address(from), 0));
		ws.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), (unsigned short)port));
		ws.handshake("127.0.0.1", "/ws");
	}
	std::vector<std::string> notes;  // the text messages (events) met on the way
	// The next binary message (a record).
	std::string next()
	{
		for (;;) {
			beast::flat_buffer b;
			ws.read(b);
			if (ws.got_binary())
				return beast::buffers_to_string(b.data());
			notes.push_back(beast::buffers_to_string(b.data()));
		}
	}
};

TEST(PipeWeb, AViewerGetsTheHistoryThenEachRecordExactly)
{
	Web w({"-n", "5"});
	for (int k = 0; k < 8; k++)
		w.feed(*rec(k));
	ASSERT_TRUE(w.frames(8));
	Viewer v(w.port);
	for (int k = 3; k < 8; k++)
		ASSERT_EQ(v.next(), *rec(k)) << k;
	for (int k = 8; k < 11; k++)
		w.feed(*rec(k));
	for (int k = 8; k < 11; k++)
		ASSERT_EQ(v.next(), *rec(k)) << k;
	EXPECT_NE(get(w.port, "/healthz").body.find("{\"frames\":11,\"clients\":1,\"latest\":\"" + rec(10)->substr(0, 16) + "\"}\n"),
		  std::string::npos);
}

TEST(PipeWeb, AStalledViewerHoldsBackNeitherInputNorOthers)
{
	Web w({"-n", "10"});
	Viewer stalled(w.port, 4096), brisk(w.port);
	// 3000 records, about 11 MB, far more than the stalled viewer's socket holds.
	std::string all;
	for (int k = 0; k < 3000; k++)
		all += *rec(k);
	std::thread feeder([&] { w.feed(all); });
	std::string last;
	for (int n = 0; n < 3000 && last != *rec(2999); n++)
		last = brisk.next();
	feeder.join();
	EXPECT_EQ(last, *rec(2999));
	EXPECT_TRUE(w.frames(3000));
	EXPECT_TRUE(still_running(w.p));
	// The stalled one, reading at last, catches up with the present rather than the past.
	std::string got;
	for (int n = 0; n < 3000 && got != *rec(2999); n++)
		got = stalled.next();
	EXPECT_EQ(got, *rec(2999));
}

TEST(PipeWeb, HostileRequestsCloseOnlyTheirOwnConnection)
{
	Web w;
	w.feed(*rec(0));
	Viewer v(w.port);
	ASSERT_EQ(v.next(), *rec(0));
	std::mt19937 rng(5);
	std::vector<std::string> hostile = {
		"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc",
		"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(20000, 'a') + "\r\n\r\n",
		"GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\n0123456789",
		"GARBAGE\r\n\r\n", "GET /../../etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n", "\r\n\r\n\r\n",
		"GET /ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n",
	};
	for (int i = 0; i < 3000; i++) {
		std::string s;
		if (i < (int)hostile.size() * 100)
			s = hostile[(size_t)i % hostile.size()];
		else
			for (int n = 1 + (int)(rng() % 300); n > 0; n--)
				s += (char)(rng() & 0xff);
		std::string out = talk(w.port, s, 2000);
		ASSERT_EQ(out.find("200 OK"), std::string::npos) << i;  // nothing hostile is served
	}
	EXPECT_NE(talk(w.port, "POST / HTTP/1.1\r\nHost: x\r\n\r\n").find("405 Method Not Allowed"), std::string::npos);
	EXPECT_NE(get(w.port, "/nothing").head.find("404 Not Found"), std::string::npos);
	// A viewer that sends garbage after upgrading is dropped; the other goes on.
	{
		Viewer rude(w.port);
		rude.next();
		beast::error_code ec;
		asio::write(rude.ws.next_layer(), asio::buffer(std::string(64, '\xff')), ec);
		beast::flat_buffer b;
		rude.ws.read(b, ec);
		EXPECT_TRUE(ec);
	}
	w.feed(*rec(1));
	EXPECT_EQ(v.next(), *rec(1));
	EXPECT_TRUE(still_running(w.p));
}

// The live page wants a window wide enough for both panels and the list beside them.
const char WINDOW[] = "1400,900";

// Waits (bounded) for the page to say it has drawn that many rows; a page that has not after
// 20 s (its first connection lost on a busy machine) is loaded again, twice at most.
bool rows_drawn(Browser &br, const std::string &n)
{
	return br.until("document.getElementById('c').dataset.rows == '" + n + "'", 20000, 2);
}

TEST(PipeWeb, ABrowserDrawsTheWaterfall)
{
	NEED_READER("/usr/bin/chromium");
	// Forty frames of a sky at 50 (channel A) and 100 (B), then twenty of 120 and 60: a
	// browser shows twenty rows of the new colours on top, the older below.
	Web w({"-n", "200"});
	auto levels = [](unsigned a, unsigned b, int k) {
		char s[32];
		snprintf(s, sizeof s, "20261207%06d%s", 120000 + k / 2, k % 2 ? "50" : "00");
		return record(s, payload_levels(a, b));
	};
	for (int k = 0; k < 40; k++)
		w.feed(levels(5000, 10000, k));
	for (int k = 40; k < 60; k++)
		w.feed(levels(12000, 6000, k));
	ASSERT_TRUE(w.frames(60));
	TempDir t;
	Browser br(t, "http://127.0.0.1:" + std::to_string(w.port) + "/", WINDOW);
	// The page says how many rows it has drawn; the picture is taken once it says sixty.
	ASSERT_TRUE(rows_drawn(br, "60")) << "the page drew " << br.eval("document.getElementById('c').dataset.rows") << " rows";
	EXPECT_EQ(br.eval("document.title"), "Spectrogram");
	spit(t / "shot.png", br.screenshot());
	cairo_surface_t *s = cairo_image_surface_create_from_png((t / "shot.png").c_str());
	ASSERT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS);
	auto px = [&](int x, int y) {
		const unsigned char *d = cairo_image_surface_get_data(s);
		return *(const uint32_t *)(d + (size_t)y * (size_t)cairo_image_surface_get_stride(s) + 4 * (size_t)x) & 0xffffff;
	};
	auto colour = [](double level) {
		const unsigned char *e = zq_extcol + 3 * vw_index((unsigned)(level * 100));
		return (unsigned)e[0] << 16 | (unsigned)e[1] << 8 | e[2];
	};
	// The page: margin 10, panel A from x = 20, B from x = 490, each 450 wide.
	int h = cairo_image_surface_get_height(s), top = -1;
	for (int y = 0; y < h && top < 0; y++)
		if (px(245, y) == colour(120))
			top = y;
	ASSERT_GE(top, 0) << "no row of channel A's new colour";
	for (int y = top; y < top + 20; y++) {
		EXPECT_EQ(px(21, y), colour(120)) << y;
		EXPECT_EQ(px(469, y), colour(120)) << y;
		EXPECT_EQ(px(491, y), colour(60)) << y;
		EXPECT_EQ(px(939, y), colour(60)) << y;
	}
	for (int y = top + 20; y < top + 60; y++) {
		EXPECT_EQ(px(245, y), colour(50)) << y;
		EXPECT_EQ(px(715, y), colour(100)) << y;
	}
	EXPECT_NE(px(245, top + 60), colour(50));  // nothing older
	cairo_surface_destroy(s);
}

TEST(PipeWeb, ABrowserMarksAndListsABurst)
{
	NEED_READER("/usr/bin/chromium");
	// The burst's sky: the page lists the burst and draws its box, black edged in white, from
	// its lowest frequency on both panels, over the rows of its frames.
	Ran sky = run({bin("frame-send"), "-o", "-T", "2026120810000000", "-c", "200", "-s", "1", "-k", "III@30"}, "", 60000);
	ASSERT_EQ(exit_code(sky.status), 0) << sky.err;
	Web w({"-n", "200", "-t", "Station"});
	w.feed(sky.out);
	ASSERT_TRUE(w.frames(200));
	TempDir t;
	Browser br(t, "http://127.0.0.1:" + std::to_string(w.port) + "/", WINDOW);
	ASSERT_TRUE(rows_drawn(br, "200"));
	ASSERT_TRUE(wait_until([&] { return br.eval("document.getElementById('events').dataset.count") == "1"; }, 10000, 50));
	EXPECT_EQ(br.eval("document.title"), "Station");
	std::string item = br.eval("document.querySelector('#events li').textContent");
	EXPECT_EQ(item.substr(0, 37), "III   2026-12-08 10:00:30 to 10:00:32") << item;
	int left = atoi(br.eval("Math.round(document.getElementById('c').getBoundingClientRect().left)").c_str());
	int top = atoi(br.eval("Math.round(document.getElementById('c').getBoundingClientRect().top)").c_str());
	spit(t / "shot.png", br.screenshot());
	cairo_surface_t *s = cairo_image_surface_create_from_png((t / "shot.png").c_str());
	ASSERT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS);
	auto px = [&](int x, int y) {
		const unsigned char *d = cairo_image_surface_get_data(s);
		return *(const uint32_t *)(d + (size_t)y * (size_t)cairo_image_surface_get_stride(s) + 4 * (size_t)x) & 0xffffff;
	};
	// Frames every half second from 10:00:00, the newest (199) on row 0: the burst's frames
	// 61 (10:00:30.50) to 65 (10:00:32.50) are rows 138 to 134. f_lo 31.494 MHz is column
	// (31.494 / step - 452) / 2 = 290 of each panel; panels start 10 and 480 into the canvas.
	for (int panel : {10, 480})
		for (int row = 135; row <= 137; row++) {
			int x = left + panel + 290;
			EXPECT_EQ(px(x - 1, top + row), 0x000000u) << panel << " " << row;
			EXPECT_EQ(px(x - 2, top + row), 0xffffffu) << panel << " " << row;
		}
	cairo_surface_destroy(s);
}

// Where the page shows things, in page pixels: each visible element of a selector with its
// text and the centre of its box, as the page lays it out.
struct Shown {
	std::string text;
	double x, y;
};
std::vector<Shown> shown(Browser &br, const std::string &selector)
{
	nlohmann::json j = nlohmann::json::parse(
		br.eval("JSON.stringify([...document.querySelectorAll('" + selector + "')].filter(e => !e.hidden)"
			".map(e => { const r = e.getBoundingClientRect(); return [e.textContent, r.left + r.width / 2, r.top + r.height / 2]; }))"),
		nullptr, false);
	std::vector<Shown> out;
	if (j.is_array())
		for (auto &e : j)
			out.push_back({e[0].get<std::string>(), e[1].get<double>(), e[2].get<double>()});
	return out;
}

// An element's box: left, top, right, bottom, in page pixels.
std::array<double, 4> box(Browser &br, const std::string &element)
{
	nlohmann::json j = nlohmann::json::parse(br.eval("JSON.stringify(" + element + ".getBoundingClientRect())"), nullptr, false);
	if (!j.is_object())
		return {0, 0, 0, 0};
	return {j.value("left", 0.0), j.value("top", 0.0), j.value("right", 0.0), j.value("bottom", 0.0)};
}

// The point of a channel nearest a frequency, as pipe-png labels it: (p + 452) x step MHz.
int point_of(int mhz) { return (int)std::lround(mhz / FR_FREQ_STEP) - FR_FREQ_OFFSET; }

// A sky at level 50 with the given points of both channels at 140.
std::string hot_points(const std::vector<int> &points)
{
	std::string p = payload_levels(5000, 5000);
	for (int q : points)
		for (int ch = 0; ch < 2; ch++) {
			p[(size_t)(4 * q + 2 * ch)] = (char)(14000 & 0xff);
			p[(size_t)(4 * q + 2 * ch + 1)] = (char)(14000 >> 8);
		}
	return p;
}

unsigned pixel(cairo_surface_t *s, int x, int y)
{
	const unsigned char *d = cairo_image_surface_get_data(s);
	return *(const uint32_t *)(d + (size_t)y * (size_t)cairo_image_surface_get_stride(s) + 4 * (size_t)x) & 0xffffff;
}

unsigned viewer_colour(double level)
{
	const unsigned char *e = zq_extcol + 3 * vw_index((unsigned)(level * 100));
	return (unsigned)e[0] << 16 | (unsigned)e[1] << 8 | e[2];
}

TEST(PipeWeb, ABrowserLabelsEachFrequencyAtItsPointAsPipePngDoes)
{
	NEED_READER("/usr/bin/chromium");
	// Frames whose points nearest 15, 20, ... 40 MHz stand out: on the page, each label of the
	// frequency axis is centred on the column where its point is drawn, on both panels; in
	// pipe-png's picture of the same frames, each tick of the axis is on the row of its point.
	std::vector<int> mhz = {15, 20, 25, 30, 35, 40}, points;
	for (int f : mhz) {
		points.push_back(point_of(f));
		ASSERT_LE(std::fabs((point_of(f) + FR_FREQ_OFFSET) * FR_FREQ_STEP - f), FR_FREQ_STEP / 2) << f;
	}
	std::string frames;
	for (int k = 0; k < 10; k++)
		frames += record("202612081200" + std::to_string(10 + k) + "00", hot_points(points));
	Web w({"-n", "10"});
	w.feed(frames);
	ASSERT_TRUE(w.frames(10));
	TempDir t;
	Browser br(t, "http://127.0.0.1:" + std::to_string(w.port) + "/", WINDOW);
	ASSERT_TRUE(rows_drawn(br, "10"));
	auto c = box(br, "document.getElementById('c')");
	spit(t / "shot.png", br.screenshot());
	cairo_surface_t *s = cairo_image_surface_create_from_png((t / "shot.png").c_str());
	ASSERT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS);
	int row = (int)std::lround(c[1]) + 5;  // the sixth frame's row
	std::vector<int> hot;
	for (int x = (int)std::lround(c[0]); x < (int)std::lround(c[2]); x++)
		if (pixel(s, x, row) == viewer_colour(140))
			hot.push_back(x);
	cairo_surface_destroy(s);
	ASSERT_EQ(hot.size(), 12u);  // 6 a panel, each a column
	std::vector<Shown> labels = shown(br, "#freqs span.f");
	ASSERT_EQ(labels.size(), 12u);
	for (size_t i = 0; i < 12; i++) {
		// Left to right: panel A's 15 to 40, then B's; each centred on its point's column.
		EXPECT_EQ(labels[i].text, std::to_string(mhz[i % 6])) << i;
		EXPECT_NEAR(labels[i].x, hot[i] + 0.5, 0.5) << labels[i].text << " at " << labels[i].x << ", its point at " << hot[i];
		EXPECT_GT(labels[i].y, c[3]) << "below the panels";
	}
	EXPECT_EQ(hot[6] - hot[0], 470);  // panel B 470 pixels to the right of A

	Ran png = run({bin("pipe-png"), "-w", "400", t / "ql.png"}, frames);
	ASSERT_EQ(exit_code(png.status), 0) << png.err;
	cairo_surface_t *q = cairo_image_surface_create_from_png((t / "ql.png").c_str());
	ASSERT_EQ(cairo_surface_status(q), CAIRO_STATUS_SUCCESS);
	// pipe-png: the plot from x = 80, ticks of the frequency axis from x = 74 to 79.
	std::vector<int> ticks, hot_rows;
	for (int y = 0; y < cairo_image_surface_get_height(q); y++) {
		if (pixel(q, 76, y) == 0)
			ticks.push_back(y);
		if (pixel(q, 200, y) == viewer_colour(140))
			hot_rows.push_back(y);
	}
	cairo_surface_destroy(q);
	EXPECT_EQ(ticks.size(), 12u);
	EXPECT_EQ(ticks, hot_rows);
}

TEST(PipeWeb, ABrowserLabelsTheRowsWithTheirStamps)
{
	NEED_READER("/usr/bin/chromium");
	// 100 frames every half second from 12:00:00: with 200 rows a label every 15 s, each at
	// the first row at or after its time and saying that row's stamp; the newest on top. One
	// frame more moves every label down a row and draws one row, not the waterfall again; a
	// frame after a gap is labelled with its own stamp, and no two labels are closer than 16
	// pixels.
	auto stamp = [](int k) {
		char s[32];
		snprintf(s, sizeof s, "20261208%02d%02d%02d%s", 12, k / 120, k / 2 % 60, k % 2 ? "50" : "00");
		return std::string(s);
	};
	Web w({"-n", "200"});
	for (int k = 0; k < 100; k++)
		w.feed(record(stamp(k), payload(k)));
	ASSERT_TRUE(w.frames(100));
	TempDir t;
	Browser br(t, "http://127.0.0.1:" + std::to_string(w.port) + "/", WINDOW);
	ASSERT_TRUE(rows_drawn(br, "100"));
	// Each label as "TEXT@ROW", the row its middle lies on.
	auto labels = [&] {
		auto c = box(br, "document.getElementById('c')");
		double per_row = (c[3] - c[1]) / 201;  // 200 rows and the panels' lower edge
		std::vector<std::string> out;
		for (const Shown &l : shown(br, "#times span")) {
			out.push_back(l.text + "@" + std::to_string((int)std::floor((l.y - c[1]) / per_row)));
			EXPECT_GT(l.x, c[2]) << "right of the panels";
		}
		return out;
	};
	using V = std::vector<std::string>;
	EXPECT_EQ(labels(), (V{"12:00:45@9", "12:00:30@39", "12:00:15@69", "12:00:00@99"}));
	w.feed(record(stamp(100), payload(100)));
	ASSERT_TRUE(wait_until([&] { return br.eval("document.getElementById('c').dataset.rows") == "101"; }, 10000, 20));
	EXPECT_EQ(br.eval("document.getElementById('c').dataset.drawn"), "1");
	EXPECT_EQ(labels(), (V{"12:00:45@10", "12:00:30@40", "12:00:15@70", "12:00:00@100"}));
	w.feed(record("2026120812012000", payload(101)));
	ASSERT_TRUE(wait_until([&] { return br.eval("document.getElementById('c').dataset.latest") == "2026120812012000"; }, 10000, 20));
	// 12:00:45, 11 rows below it, would crowd it: left out.
	EXPECT_EQ(labels(), (V{"12:01:20@0", "12:00:30@41", "12:00:15@71", "12:00:00@101"}));
	EXPECT_EQ(br.eval("document.querySelector('#times span').title"), "2026-12-08 12:01:20.00");
}

TEST(PipeWeb, ABrowserScaleBarFollowsTheLevelsAndTheScale)
{
	NEED_READER("/usr/bin/chromium");
	// The colour bar's labels are the levels chosen, its ends at the bar's ends, its colours the
	// scale chosen; the waterfall follows. Levels that are not a range are marked and change
	// nothing. No archive is served here: no link to one.
	Web w({"-n", "4"});
	for (int k = 0; k < 4; k++)
		w.feed(record("202612081200" + std::to_string(10 + k) + "00", payload_levels(7000, 7000)));
	ASSERT_TRUE(w.frames(4));
	EXPECT_NE(get(w.port, "/").body.find("const ARCHIVE = /*ARCHIVE*/false;"), std::string::npos);
	TempDir t;
	Browser br(t, "http://127.0.0.1:" + std::to_string(w.port) + "/", WINDOW);
	ASSERT_TRUE(rows_drawn(br, "4"));
	EXPECT_EQ(br.eval("document.getElementById('archive').hidden"), "true");
	auto texts = [&] {
		std::string all;
		for (const Shown &l : shown(br, "#bar > span"))
			all += (all.empty() ? "" : " ") + l.text;
		return all;
	};
	auto ends_at_bar_ends = [&] {
		auto bar = box(br, "document.getElementById('scale')");
		std::vector<Shown> l = shown(br, "#bar > span");
		ASSERT_EQ(l.size(), 5u);
		EXPECT_NEAR(l[0].x, bar[0], 0.5);
		EXPECT_NEAR(l[4].x, bar[2], 0.5);
		EXPECT_GT(l[0].y, bar[3]);
	};
	auto set = [&](const std::string &id, const std::string &value) {
		br.eval("(e => { e.value = '" + value + "'; e.dispatchEvent(new Event('change')); })(document.getElementById('" + id + "'))");
	};
	// The bar's 128 colours and the waterfall's colour at channel A's first column, newest row.
	auto bar_colours = [&] { return br.eval("Array.from(document.getElementById('scale').getContext('2d').getImageData(0, 0, 128, 1).data).join()"); };
	auto plot_colour = [&] { return br.eval("Array.from(document.getElementById('c').getContext('2d').getImageData(10, 0, 1, 1).data).join()"); };
	auto expect = [](const unsigned char *pal, int from, int n) {
		std::string s;
		for (int k = from; k < from + n; k++)
			s += (s.empty() ? "" : ",") + std::to_string(pal[3 * k]) + "," + std::to_string(pal[3 * k + 1]) + "," +
			     std::to_string(pal[3 * k + 2]) + ",255";
		return s;
	};
	EXPECT_EQ(texts(), "40 65 90 115 140");
	ends_at_bar_ends();
	EXPECT_EQ(bar_colours(), expect(vw_palette("viewer"), 0, 128));
	EXPECT_EQ(plot_colour(), expect(vw_palette("viewer"), vw_index(7000), 1));
	set("lo", "50");
	set("hi", "90");
	set("pal", "viridis");
	EXPECT_EQ(texts(), "50 60 70 80 90");
	ends_at_bar_ends();
	EXPECT_EQ(bar_colours(), expect(vw_palette("viridis"), 0, 128));
	ASSERT_TRUE(wait_until([&] { return plot_colour() == expect(vw_palette("viridis"), vw_scale(70, 50, 90), 1); }, 5000, 20))
		<< plot_colour();
	EXPECT_EQ(br.eval("document.getElementById('c').dataset.drawn"), "4");  // all again, in the new colours
	set("hi", "45.5");
	EXPECT_EQ(br.eval("document.getElementById('hi').className"), "bad");
	EXPECT_EQ(texts(), "50 60 70 80 90");
	set("hi", "90.125");
	EXPECT_EQ(br.eval("document.getElementById('hi').className"), "");
	EXPECT_EQ(texts(), "50 60.03 70.06 80.09 90.125");
}

TEST(PipeWeb, ABrowserListsBurstsBesideTheWaterfallAndBelowOnAPhone)
{
	NEED_READER("/usr/bin/chromium");
	// The burst's sky, frame by frame: while the burst goes on, the page lists it as open and its
	// box runs to the top row; once it ends, with its end; its figures are those of the messages
	// sent. The list stands beside the waterfall, and below it on a phone, where nothing is
	// wider than the screen and the axis still labels the right columns.
	Ran sky = run({bin("frame-send"), "-o", "-T", "2026120810000000", "-c", "200", "-s", "1", "-k", "III@30"}, "", 60000);
	ASSERT_EQ(exit_code(sky.status), 0) << sky.err;
	Web w({"-n", "200"});
	TempDir t;
	Browser br(t, "http://127.0.0.1:" + std::to_string(w.port) + "/", WINDOW);
	ASSERT_TRUE(w.viewers(1));
	Viewer v(w.port);
	ASSERT_TRUE(w.viewers(2));
	auto frame = [&](size_t k) { return sky.out.substr(k * FR_RECORD, FR_RECORD); };
	auto item = [](const nlohmann::json &e) {
		auto stamp = [](const std::string &s) {
			return s.substr(0, 4) + "-" + s.substr(4, 2) + "-" + s.substr(6, 2) + " " + s.substr(8, 2) + ":" + s.substr(10, 2) +
			       ":" + s.substr(12, 2);
		};
		char figures[128];
		snprintf(figures, sizeof figures, "\n  %.1f-%.1f MHz  peak %.1f dB  drift %.2f MHz/s", e["f_lo"].get<double>(),
			 e["f_hi"].get<double>(), e["peak_db"].get<double>(), e["drift"].get<double>());
		std::string kind = e["kind"];
		kind.resize(5, ' ');
		return kind + " " + stamp(e["start"]) + " to " + (e["state"] == "end" ? stamp(e["end"]).substr(11) : "now     ") + figures;
	};
	size_t k = 0;
	for (; k < 200 && v.notes.empty(); k++) {
		w.feed(frame(k));
		ASSERT_EQ(v.next(), frame(k));
	}
	ASSERT_EQ(v.notes.size(), 1u);
	nlohmann::json start = nlohmann::json::parse(v.notes[0]);
	ASSERT_EQ(start["state"], "start");
	ASSERT_TRUE(wait_until([&] { return br.eval("document.getElementById('c').dataset.rows") == std::to_string(k); }, 20000, 20));
	ASSERT_TRUE(wait_until([&] { return br.eval("document.getElementById('events').dataset.count") == "1"; }, 10000, 20));
	EXPECT_EQ(br.eval("document.querySelector('#events li').className"), "open");
	EXPECT_EQ(br.eval("document.querySelector('#events li').textContent"), item(start));
	// The open box's black edge, left of its lowest frequency, from the top row down.
	int x = 10 + (int)std::lround((start["f_lo"].get<double>() / FR_FREQ_STEP - (double)FR_FREQ_OFFSET) / 2) - 1;
	for (int row : {0, 1})
		EXPECT_EQ(br.eval("Array.from(document.getElementById('c').getContext('2d').getImageData(" + std::to_string(x) + ", " +
				  std::to_string(row) + ", 1, 1).data).join()"),
			  "0,0,0,255")
			<< row;
	for (; k < 200; k++)
		w.feed(frame(k));
	ASSERT_TRUE(w.frames(200));
	ASSERT_TRUE(wait_until([&] { return br.eval("document.querySelector('#events li').className") == ""; }, 10000, 20));
	while (v.notes.size() < 2)
		v.next();
	nlohmann::json end = nlohmann::json::parse(v.notes[1]);
	ASSERT_EQ(end["state"], "end");
	EXPECT_EQ(br.eval("document.querySelector('#events li').textContent"), item(end));
	EXPECT_EQ(br.eval("document.getElementById('events').dataset.count"), "1");

	// Beside: the list right of the time axis, level with the waterfall.
	auto fall = box(br, "document.getElementById('fall')"), side = box(br, "document.getElementById('side')");
	auto c = box(br, "document.getElementById('c')");
	for (const Shown &l : shown(br, "#times span"))
		EXPECT_LT(l.x, side[0]) << l.text;
	EXPECT_NEAR(side[1], fall[1], 1);
	EXPECT_EQ(c[2] - c[0], 940);

	// A phone: 400 pixels wide.
	br.call("Emulation.setDeviceMetricsOverride", {{"width", 400}, {"height", 800}, {"deviceScaleFactor", 1}, {"mobile", true}});
	ASSERT_TRUE(wait_until([&] { return box(br, "document.getElementById('c')")[2] < 400; }, 10000, 20));
	c = box(br, "document.getElementById('c')");
	fall = box(br, "document.getElementById('fall')");
	side = box(br, "document.getElementById('side')");
	EXPECT_EQ(br.eval("document.documentElement.scrollWidth"), "400");
	EXPECT_GE(side[1], fall[3]);
	double scale = (c[2] - c[0]) / 940;
	EXPECT_GT(scale, 0.3);
	std::vector<Shown> f = shown(br, "#freqs span.f");
	ASSERT_EQ(f.size(), 12u);
	EXPECT_EQ(f[1].text, "20");
	EXPECT_NEAR((f[1].x - c[0]) / scale, 10 + point_of(20) / 2 + 0.5, 1.0);
	EXPECT_NEAR((f[7].x - c[0]) / scale, 480 + point_of(20) / 2 + 0.5, 1.0);
	for (const Shown &l : shown(br, "#times span"))
		EXPECT_GT(l.x, c[2]) << l.text;
	EXPECT_LE(box(br, "document.getElementById('bar')")[2], 400);
	EXPECT_EQ(br.eval("document.querySelector('#events li').textContent"), item(end));
}

TEST(PipeWeb, RefusalsAndTheEndOfInput)
{
	for (std::vector<std::string> args : std::vector<std::vector<std::string>>{{"-n", "x"}, {"-n", "-1"}, {"-q"}, {"extra"}}) {
		args.insert(args.begin(), bin("pipe-web"));
		Ran r = run(args);
		EXPECT_EQ(exit_code(r.status), 2);
		EXPECT_EQ(r.err.rfind("usage: pipe-web", 0), 0u) << r.err;
	}
	Ran r = run({bin("pipe-web"), "-l", "localhost"});
	EXPECT_EQ(exit_code(r.status), 1);
	EXPECT_EQ(r.err, "pipe-web: localhost: not an address and port (ADDR:PORT, [ADDR]:PORT for IPv6)\n");
	Web busy;
	r = run({bin("pipe-web"), "-l", "127.0.0.1:" + std::to_string(busy.port)});
	EXPECT_EQ(exit_code(r.status), 1);
	EXPECT_EQ(r.err.rfind("pipe-web: cannot listen on 127.0.0.1:", 0), 0u) << r.err;
	// -x: ends with its input; without it, it serves on.
	Web ends({"-x"});
	ends.feed(*rec(0));
	ends.p.close_in();
	int st;
	ASSERT_TRUE(wait_exit(ends.p, 5000, &st));
	EXPECT_EQ(exit_code(st), 0);
	// Without it, it serves on: once the input thread has seen the end, the server still answers.
	ASSERT_EQ(threads(busy.p.pid), 2);
	busy.p.close_in();
	ASSERT_TRUE(wait_until([&] { return threads(busy.p.pid) == 1; }, 5000));
	EXPECT_NE(get(busy.port, "/healthz").head.find("200 OK"), std::string::npos);
	EXPECT_TRUE(still_running(busy.p));
}

TEST(PipeWeb, AReadErrorOnStandardInputEndsWithStatusOne)
{
	TempDir t;  // a directory as standard input: every read fails
	for (std::vector<std::string> opts : std::vector<std::vector<std::string>>{{}, {"-x"}}) {
		std::vector<std::string> argv = {bin("pipe-web"), "-l", "127.0.0.1:0"};
		argv.insert(argv.end(), opts.begin(), opts.end());
		Ran r = run_files(argv, t.path, "/dev/null");
		EXPECT_EQ(exit_code(r.status), 1) << opts.size();
		size_t line = r.err.find('\n') + 1;
		EXPECT_EQ(r.err.substr(0, strlen("pipe-web: listening on 127.0.0.1:")), "pipe-web: listening on 127.0.0.1:");
		EXPECT_EQ(r.err.substr(line), "pipe-web: read error on standard input: Is a directory\n");
	}
}

TEST(PipeWeb, HealthBeforeInputAndStampsThatAreNotDigits)
{
	Web w({"-n", "3"});
	EXPECT_EQ(get(w.port, "/healthz").body, "{\"frames\":0,\"clients\":0,\"latest\":null}\n");
	// A stamp holding a quote, a backslash, a control character and a byte that is not UTF-8:
	// still one line of valid JSON, the stamp in it as far as JSON can say it.
	std::string odd = std::string("12\"4\\6\x01") + "\xff" + "90123456";
	w.feed(record(odd, payload(1)));
	ASSERT_TRUE(w.frames(1));
	std::string b = get(w.port, "/healthz").body;
	ASSERT_EQ(std::count(b.begin(), b.end(), '\n'), 1);
	nlohmann::json j = nlohmann::json::parse(b);  // throws, failing the test, if not JSON
	EXPECT_EQ(j["latest"], std::string("12\"4\\6\x01") + "\xef\xbf\xbd" + "90123456");
	EXPECT_EQ(j["frames"], 1);
}

TEST(PipeWeb, AFarFutureStampIsServedLikeAnyOther)
{
	// Only the order of arrival counts: a stamp in 2099 between two of today's is passed on
	// exactly, and the latest stamp is the last to arrive, not the greatest.
	Web w({"-n", "3"});
	Viewer v(w.port);
	std::string future = record("2099123123595950", payload(7));
	w.feed(*rec(0));
	w.feed(future);
	w.feed(*rec(1));
	EXPECT_EQ(v.next(), *rec(0));
	EXPECT_EQ(v.next(), future);
	EXPECT_EQ(v.next(), *rec(1));
	ASSERT_TRUE(w.frames(3));
	EXPECT_EQ(get(w.port, "/healthz").body,
		  "{\"frames\":3,\"clients\":1,\"latest\":\"" + rec(1)->substr(0, 16) + "\"}\n");
	Viewer late(w.port);  // a new viewer gets the three as they came
	EXPECT_EQ(late.next(), *rec(0));
	EXPECT_EQ(late.next(), future);
	EXPECT_EQ(late.next(), *rec(1));
}

TEST(PipeWeb, ThePageDrawsRowsAsSentAndCarriesTheStationsName)
{
	struct {
		std::vector<std::string> opts, env;
		std::string rows, title;
	} cases[] = {
		{{}, {}, "800", "Spectrogram"},
		{{"-n", "123"}, {"STATION_NAME=Bern & <Zimmerwald>"}, "123", "Bern &amp; &lt;Zimmerwald&gt;"},
		{{"-t", "Alpha", "-n", "1"}, {"STATION_NAME=Bern"}, "1", "Alpha"},
		{{}, {"STATION_NAME="}, "800", "Spectrogram"},
	};
	for (auto &c : cases) {
		Web w(c.opts, 0, c.env);
		std::string page = get(w.port, "/").body;
		EXPECT_NE(page.find("ROWS = " + c.rows + ","), std::string::npos) << c.rows;
		EXPECT_NE(page.find("<title>" + c.title + "</title>"), std::string::npos) << c.title;
		EXPECT_NE(page.find("<strong id=\"title\">" + c.title + "</strong>"), std::string::npos) << c.title;
	}
	for (const char *n : {"0", "10001"}) {
		Ran r = run({bin("pipe-web"), "-n", n});
		EXPECT_EQ(exit_code(r.status), 2) << n;
	}
}

// The test itself needs a descriptor for every connection it holds.
bool enough_files(rlim_t n)
{
	struct rlimit r;
	getrlimit(RLIMIT_NOFILE, &r);
	if (r.rlim_cur >= n)
		return true;
	if (r.rlim_max != RLIM_INFINITY && r.rlim_max < n)
		return false;
	r.rlim_cur = n;
	return setrlimit(RLIMIT_NOFILE, &r) == 0;
}

TEST(PipeWeb, AThousandIdleConnectionsFromOneAddressLockNoOneElseOut)
{
	if (!enough_files(1200))
		GTEST_SKIP() << "cannot have 1200 descriptors (ulimit -n)";
	Web w({"-n", "2"});
	w.feed(*rec(0));
	ASSERT_TRUE(w.frames(1));
	std::vector<int> idle;
	for (int i = 0; i < 1000; i++) {
		int fd = dial(w.port, "127.0.0.1");
		ASSERT_GE(fd, 0) << i;
		idle.push_back(fd);
	}
	// Another address gets the page, /healthz and a viewer, while all of those are held.
	Got page = get(w.port, "/", "127.0.0.2");
	EXPECT_EQ(page.head.rfind("HTTP/1.1 200 OK", 0), 0u) << page.head;
	EXPECT_NE(page.body.find("</html>"), std::string::npos);
	EXPECT_EQ(get(w.port, "/healthz", "127.0.0.3").body,
		  "{\"frames\":1,\"clients\":0,\"latest\":\"" + rec(0)->substr(0, 16) + "\"}\n");
	Viewer v(w.port, 0, "127.0.0.2");
	EXPECT_EQ(v.next(), *rec(0));
	w.feed(*rec(1));
	EXPECT_EQ(v.next(), *rec(1));
	// The same holds for a thousand WebSocket upgrades from one address that never read.
	std::vector<std::unique_ptr<Viewer>> mute;
	for (int i = 0; i < 1000; i++) {
		try {
			mute.push_back(std::make_unique<Viewer>(w.port, 4096, "127.0.0.4"));
		} catch (const std::exception &) {
			// refused: the address has had its share
		}
	}
	EXPECT_LE(mute.size(), 16u);
	EXPECT_NE(get(w.port, "/", "127.0.0.5").head.find("200 OK"), std::string::npos);
	Viewer v2(w.port, 0, "127.0.0.5");
	EXPECT_EQ(v2.next(), *rec(0));
	for (int fd : idle)
		close(fd);
	EXPECT_TRUE(still_running(w.p));
}

TEST(PipeWeb, AFullServerAnswers503AndStillAnswersHealthz)
{
	// With 128 descriptors it has 64 ordinary slots: viewers from four addresses, sixteen
	// each, take them all.
	Web w({}, 128);
	std::vector<std::unique_ptr<Viewer>> held;
	for (int a = 1; a <= 4; a++)
		for (int i = 0; i < 16; i++)
			held.push_back(std::make_unique<Viewer>(w.port, 0, ("127.0.0." + std::to_string(a)).c_str()));
	Got full = get(w.port, "/", "127.0.0.9");
	EXPECT_EQ(full.head.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << full.head << full.body;
	EXPECT_NE(full.head.find("Retry-After: 5\r\n"), std::string::npos);
	EXPECT_EQ(get(w.port, "/healthz", "127.0.0.9").body, "{\"frames\":0,\"clients\":64,\"latest\":null}\n");
	EXPECT_NE(get(w.port, "/healthz", "127.0.0.1").head.find("200 OK"), std::string::npos);  // over its share
	EXPECT_THROW(Viewer(w.port, 0, "127.0.0.9"), std::exception);                      // 503 too
	// A slot given back is the next client's.
	held.pop_back();
	EXPECT_TRUE(wait_until([&] { return get(w.port, "/", "127.0.0.9").head.find("200 OK") != std::string::npos; }, 5000, 20));
}

// The most memory a process has held, in KiB.
long peak_kib(pid_t pid)
{
	std::string s = slurp("/proc/" + std::to_string(pid) + "/status");
	size_t at = s.find("VmHWM:");
	return at == std::string::npos ? -1 : atol(s.c_str() + at + 6);
}

TEST(PipeWeb, MemoryStaysFlatUnderStalledViewersAndInputAtFullSpeed)
{
	// 496 viewers that never read (16 from each of 31 addresses) and 180 MB of records
	// poured in as fast as the pipe takes them: what waits between the threads, in the ring
	// and in the viewers' queues is bounded, so the server never holds more than 64 MB.
	if (ZQ_SANITIZED)
		GTEST_SKIP() << "the sanitizers' own memory would be measured";
	if (!enough_files(1200))
		GTEST_SKIP() << "cannot have 1200 descriptors (ulimit -n)";
	Web w({"-n", "800"});
	std::vector<std::unique_ptr<Viewer>> mute;
	for (int i = 0; i < 496; i++)
		mute.push_back(std::make_unique<Viewer>(w.port, 4096, ("127.0.0." + std::to_string(1 + i / 16)).c_str()));
	std::string batch;
	for (int k = 0; k < 500; k++)
		batch += *rec(k);
	for (int n = 0; n < 100; n++)
		w.feed(batch);
	ASSERT_TRUE(wait_until([&] { return w.frames(50000); }, 60000, 100));
	EXPECT_LT(peak_kib(w.p.pid), 64 * 1024);
	EXPECT_TRUE(still_running(w.p));
}

TEST(PipeWeb, AViewerThatDoesNotReadIsDropped)
{
	Web w({"-n", "10"});
	Viewer mute(w.port, 4096);
	Viewer brisk(w.port);
	ASSERT_TRUE(wait_until([&] { return get(w.port, "/healthz").body.find("\"clients\":2") != std::string::npos; }, 5000, 10));
	// Batches of records until the mute one's socket is full and its one pending message is
	// not written in time: it goes, while the brisk one, caught up after every batch, stays.
	bool dropped = false;
	int k = 0;
	for (int round = 0; round < 300 && !dropped; round++) {
		std::string batch;
		for (int i = 0; i < 100; i++)
			batch += *rec(k++);
		w.feed(batch);
		std::string last;
		for (int n = 0; n < 100 && last != *rec(k - 1); n++)
			last = brisk.next();
		ASSERT_EQ(last, *rec(k - 1));
		dropped = wait_until([&] { return get(w.port, "/healthz").body.find("\"clients\":1,") != std::string::npos; }, 200, 50);
	}
	EXPECT_TRUE(dropped);
	w.feed(*rec(k));
	EXPECT_EQ(brisk.next(), *rec(k));
}

TEST(PipeWeb, BurstsComeAsTextBesideTheFramesUnchanged)
{
	// frame-send's sky with one fast-drift burst: a viewer gets every frame exactly, and as
	// text the burst's start and end with the figures pipe-events gives for the same frames.
	Ran sky = run({bin("frame-send"), "-o", "-T", "2026120810000000", "-c", "200", "-s", "1", "-k", "III@30"}, "", 60000);
	ASSERT_EQ(exit_code(sky.status), 0) << sky.err;
	Ran ev = run({bin("pipe-events"), "-l", "1.5", "--json"}, sky.out);
	ASSERT_EQ(exit_code(ev.status), 0) << ev.err;
	std::vector<nlohmann::json> want;
	std::vector<std::string> texts;  // and as text: the same bytes, one key order
	std::istringstream lines(ev.out);
	for (std::string l; std::getline(lines, l);)
		want.push_back(nlohmann::json::parse(l)), texts.push_back(l);
	ASSERT_EQ(want.size(), 2u) << ev.out;
	Web w({"-n", "200"});
	Viewer v(w.port);
	ASSERT_TRUE(w.viewers(1));  // else the burst may pass before it joins, and only its end come
	w.feed(sky.out);
	for (size_t k = 0; k < 200; k++)
		ASSERT_EQ(v.next(), sky.out.substr(k * FR_RECORD, FR_RECORD)) << k;
	ASSERT_EQ(v.notes.size(), 2u);
	for (size_t i = 0; i < 2; i++) {
		nlohmann::json got = nlohmann::json::parse(v.notes[i]);
		EXPECT_EQ(got.size(), want[i].size()) << v.notes[i];
		for (auto &[key, value] : want[i].items())
			EXPECT_EQ(got[key], value) << key << " in " << v.notes[i];
		EXPECT_EQ(v.notes[i], texts[i]);
	}
	// A viewer that comes later gets the latest events first: this one, ended.
	Viewer late(w.port);
	EXPECT_EQ(late.next(), sky.out.substr(0, FR_RECORD));
	ASSERT_EQ(late.notes.size(), 1u);
	EXPECT_EQ(late.notes[0], v.notes[1]);
}

TEST(Marks, OneBadStampCostsOneFrame)
{
	// The burst's sky with a stamp in 2099, one that is not a time and one repeated put in
	// before the burst: the burst is found as in the clean sky, at the same times.
	Ran sky = run({bin("frame-send"), "-o", "-T", "2026120810000000", "-c", "200", "-s", "1", "-k", "III@30"}, "", 60000);
	ASSERT_EQ(exit_code(sky.status), 0) << sky.err;
	auto frame = [&](size_t k) { return sky.out.substr(k * FR_RECORD, FR_RECORD); };
	auto marks = [&](const std::vector<std::string> &records) {
		Marks m;
		std::vector<std::string> out;
		for (const std::string &r : records)
			for (std::string &msg : m.feed(r))
				out.push_back(msg);
		return std::make_pair(out, m.skipped());
	};
	std::vector<std::string> clean, dirty;
	for (size_t k = 0; k < 200; k++) {
		clean.push_back(frame(k));
		dirty.push_back(frame(k));
		if (k == 20) {
			std::string far = frame(k), odd = frame(k);
			memcpy(far.data(), "2099010100000000", 16);
			memcpy(odd.data(), "2026120810006100", 16);  // second 61
			dirty.insert(dirty.end(), {far, odd, frame(k)});
		}
	}
	auto [want, none] = marks(clean);
	auto [got, skipped] = marks(dirty);
	ASSERT_EQ(want.size(), 2u);
	EXPECT_EQ(got, want);
	EXPECT_EQ(none, 0);
	EXPECT_EQ(skipped, 3);
	EXPECT_EQ(nlohmann::json::parse(want[1])["kind"], "III");
}

TEST(Marks, SpikesAreNotMarkedAndTheLatestFewAreKept)
{
	// Three bursts among spikes, two kept: a start and an end message for each burst, none for
	// a spike, and the last two bursts' end messages kept, oldest first.
	Ran sky = run({bin("frame-send"), "-o", "-T", "2026120810000000", "-c", "400", "-s", "1", "-k",
		       "SPIKE@10,III@30,SPIKE@70,III@100,SPIKE@140,III@160"},
		      "", 60000);
	ASSERT_EQ(exit_code(sky.status), 0) << sky.err;
	Marks m(2);
	std::vector<nlohmann::json> out;
	for (size_t k = 0; k < 400; k++)
		for (const std::string &msg : m.feed(sky.out.substr(k * FR_RECORD, FR_RECORD)))
			out.push_back(nlohmann::json::parse(msg));
	ASSERT_EQ(out.size(), 6u);
	for (size_t i = 0; i < out.size(); i++) {
		EXPECT_EQ(out[i]["kind"], "III") << out[i];
		EXPECT_EQ(out[i]["state"], i % 2 ? "end" : "start") << out[i];
	}
	auto kept = m.recent();
	ASSERT_EQ(kept.size(), 2u);
	EXPECT_EQ(nlohmann::json::parse(kept[0]), out[3]);
	EXPECT_EQ(nlohmann::json::parse(kept[1]), out[5]);
}

// Frames of a receiver fault (0 or 65535 across the band) are a FAULT line for pipe-events, but
// no burst to mark: the marks are those of the bursts alone.
TEST(Marks, AReceiverFaultIsNotMarked)
{
	Ran sky = run({bin("frame-send"), "-o", "-T", "2026120810000000", "-c", "400", "-s", "1", "-k", "III@30,III@120"},
		      "", 60000);
	ASSERT_EQ(exit_code(sky.status), 0) << sky.err;
	Marks m;
	std::vector<std::string> kinds;
	for (size_t k = 0; k < 400; k++) {
		std::string r = sky.out.substr(k * FR_RECORD, FR_RECORD);
		if (k >= 150 && k < 156)  // between the bursts
			r = r.substr(0, FR_HEADER) + payload_levels(65535, 65535);
		for (const std::string &msg : m.feed(r))
			kinds.push_back(std::string(nlohmann::json::parse(msg)["kind"]) + " " +
					std::string(nlohmann::json::parse(msg)["state"]));
	}
	EXPECT_EQ(kinds, (std::vector<std::string>{"III start", "III end", "III start", "III end"}));
	for (const std::string &msg : m.recent())
		EXPECT_EQ(nlohmann::json::parse(msg)["kind"], "III") << msg;
}

TEST(PipeWeb, EndsInOrderWithViewersConnected)
{
	// -x with viewers connected, one of them stalled mid-write: all sessions close before the
	// books they keep go, and the end is status 0, not an abort.
	Web w({"-x", "-n", "50"});
	Viewer a(w.port), b(w.port), stalled(w.port, 4096);
	for (int k = 0; k < 400; k++)
		w.feed(*rec(k));
	ASSERT_TRUE(w.frames(400));
	w.p.close_in();
	int st;
	ASSERT_TRUE(wait_exit(w.p, 10000, &st));
	EXPECT_EQ(term_signal(st), 0);
	EXPECT_EQ(exit_code(st), 0);
	EXPECT_EQ(drain(w.p.err), "");
}

}  // namespace
