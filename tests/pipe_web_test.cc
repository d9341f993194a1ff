// pipe-web: the fan-out on its own; a real WebSocket client getting exactly the records of
// standard input; a stalled viewer holding back nothing; thousands of hostile requests; and a
// real browser (headless Chromium) drawing the waterfall.
#include <gtest/gtest.h>

#include <utility>

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <cairo.h>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

#include "fanout.h"
#include "kit.h"
#include "palette.h"

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

// Sends bytes on a new connection, ends its side, and reads until it closes (or ms pass).
std::string talk(int port, const std::string &bytes, int ms = 3000)
{
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	struct sockaddr_in a = {};
	a.sin_family = AF_INET;
	a.sin_port = htons((unsigned short)port);
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
		close(fd);
		return "(no connection)";
	}
	(void)!send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
	shutdown(fd, SHUT_WR);  // all said: the server sees the end at once
	std::string out = read_to_end(fd, ms);
	close(fd);
	return out;
}

std::string get(int port, const std::string &path)
{
	return talk(port, "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
}

struct Web {
	int port = free_tcp_port();
	Proc p;
	explicit Web(std::vector<std::string> opts = {})
	{
		Spawn s;
		s.argv = {bin("pipe-web"), "-l", "127.0.0.1:" + std::to_string(port)};
		s.argv.insert(s.argv.end(), opts.begin(), opts.end());
		s.pipe_in = true;
		p = start(s);
		if (!wait_until([&] { return get(port, "/healthz").find("200 OK") != std::string::npos; }, 10000, 20))
			throw std::runtime_error("pipe-web did not answer");
	}
	void feed(const std::string &bytes) { ASSERT_EQ(write(p.in, bytes.data(), bytes.size()), (ssize_t)bytes.size()); }
	bool frames(long long n)
	{
		std::string want = "\"frames\":" + std::to_string(n) + ",";
		return wait_until([&] { return get(port, "/healthz").find(want) != std::string::npos; }, 10000, 10);
	}
};

struct Viewer {
	asio::io_context ioc;
	websocket::stream<tcp::socket> ws{ioc};
	explicit Viewer(int port, int rcvbuf = 0)
	{
		if (rcvbuf) {
			ws.next_layer().open(tcp::v4());
			ws.next_layer().set_option(asio::socket_base::receive_buffer_size(rcvbuf));
		}
		ws.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), (unsigned short)port));
		ws.handshake("127.0.0.1", "/ws");
	}
	std::string next()
	{
		beast::flat_buffer b;
		ws.read(b);
		return beast::buffers_to_string(b.data());
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
	EXPECT_NE(get(w.port, "/healthz").find("{\"frames\":11,\"clients\":1,\"latest\":\"" + rec(10)->substr(0, 16) + "\"}\n"),
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
	EXPECT_NE(get(w.port, "/nothing").find("404 Not Found"), std::string::npos);
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

TEST(PipeWeb, ABrowserDrawsTheWaterfall)
{
	// Forty frames of a sky at 50 (channel A) and 100 (B), then twenty of 120 and 60: a
	// browser shows twenty rows of the new colours on top, the older below.
	Web w;
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
	Ran r = run({"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
		     "--disable-background-networking", "--disable-component-update", "--disable-sync",
		     "--user-data-dir=" + t / "profile", "--window-size=1000,720", "--virtual-time-budget=3000",
		     "--screenshot=" + t / "shot.png", "http://127.0.0.1:" + std::to_string(w.port) + "/"},
		    "", 60000);
	ASSERT_TRUE(exists(t / "shot.png")) << r.err;
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
	busy.p.close_in();
	usleep(200000);
	EXPECT_NE(get(busy.port, "/healthz").find("200 OK"), std::string::npos);
}

}  // namespace
