// pipe-web under viewers, with WebSocket clients of our own on loopback:
//   latency   from a record written to standard input to its arrival at each client, median
//             and 99th percentile, with 1 and with 100 clients at 2 frames/s
//   input     records/s pipe-web takes from standard input with 10 clients reading
//   stalled   RSS over time while one client never reads and frames pour in
//   many      RSS while 500 clients from 32 addresses never read and frames pour in
//   emfile    CPU pipe-web uses while accept fails for want of descriptors
//   page      in headless chromium, the page's time for a new frame (one row drawn, the ring
//             copied out) against all 800 rows drawn again (new levels), and the old way, all
//             rows drawn for every frame
// usage: web_bench [--quick]
#include <utility>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "kit.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

static double now()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (double)t.tv_sec + t.tv_nsec / 1e9;
}

static long rss_kib(pid_t pid)
{
	std::string s = slurp("/proc/" + std::to_string(pid) + "/status");
	size_t at = s.find("VmRSS:");
	return at == std::string::npos ? -1 : std::stol(s.substr(at + 6));
}

// A record whose payload starts with the time it was written.
static std::string timed_record(int k)
{
	char s[32];
	snprintf(s, sizeof s, "20261207%06d%s", 120000 + k / 2 % 100000, k % 2 ? "50" : "00");
	std::string r = record(s, std::string(3600, '\0'));
	double t = now();
	memcpy(&r[17], &t, sizeof t);
	return r;
}

struct Server {
	int port = free_tcp_port();
	Proc p;
	explicit Server(int files = 0, int rows = 1)
	{
		Spawn s;
		s.argv = {bin("pipe-web"), "-n", std::to_string(rows), "-l", "127.0.0.1:" + std::to_string(port)};
		if (files)
			s.argv.insert(s.argv.begin(), {"/bin/sh", "-c", "ulimit -n " + std::to_string(files) + " && exec \"$0\" \"$@\""});
		s.pipe_in = true;
		s.pipe_err = false;
		p = start(s);
		usleep(300000);
	}
};

static std::vector<std::vector<double>> delays;  // each client's, in ms

// n clients, each on its own thread, noting each record's delay until stop.
static void clients(int port, int n, std::atomic<bool> &stop, std::vector<std::thread> &threads)
{
	delays.assign((size_t)n, {});
	for (int i = 0; i < n; i++)
		threads.emplace_back([port, i, &stop] {
			asio::io_context ioc;
			websocket::stream<tcp::socket> ws(ioc);
			ws.next_layer().open(tcp::v4());
			// from 127.0.1.1 on, 16 to an address: its share of the server's slots
			ws.next_layer().bind(tcp::endpoint(asio::ip::make_address("127.0.1." + std::to_string(1 + i / 16)), 0));
			ws.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), (unsigned short)port));
			ws.handshake("127.0.0.1", "/ws");
			beast::flat_buffer b;
			while (!stop) {
				beast::error_code ec;
				ws.read(b, ec);
				if (ec)
					break;
				double t;
				memcpy(&t, (const char *)b.data().data() + 17, sizeof t);
				if (!stop)
					delays[(size_t)i].push_back((now() - t) * 1000);
				b.consume(b.size());
			}
		});
	usleep(500000);
}

static void finish(Server &s, std::atomic<bool> &stop, std::vector<std::thread> &th)
{
	stop = true;
	std::string r = timed_record(0);  // wakes the readers
	(void)!write(s.p.in, r.data(), r.size());
	for (auto &t : th)
		t.join();
}

static void latency(int n, int secs)
{
	Server s;
	std::atomic<bool> stop{false};
	std::vector<std::thread> th;
	clients(s.port, n, stop, th);
	for (int k = 0; k < 2 * secs; k++) {
		std::string r = timed_record(k);
		(void)!write(s.p.in, r.data(), r.size());
		usleep(500000);
	}
	finish(s, stop, th);
	std::vector<double> all;
	for (auto &d : delays)
		all.insert(all.end(), d.begin(), d.end());
	std::sort(all.begin(), all.end());
	if (all.empty())
		return;
	printf("latency  %3d clients at 2 frames/s: %zu arrivals, median %.2f ms, p99 %.2f ms\n", n, all.size(),
	       all[all.size() / 2], all[std::min(all.size() - 1, (size_t)(0.99 * (double)all.size()))]);
}

// As fast as standard input takes them, with ten clients reading.
static void input_rate(int secs)
{
	Server s;
	std::atomic<bool> stop{false};
	std::vector<std::thread> th;
	clients(s.port, 10, stop, th);
	std::string batch;
	for (int k = 0; k < 100; k++)
		batch += timed_record(k);
	long n = 0;
	double t0 = now();
	while (now() - t0 < secs) {
		if (write(s.p.in, batch.data(), batch.size()) != (ssize_t)batch.size())
			break;
		n += 100;
	}
	double rate = n / (now() - t0);
	finish(s, stop, th);
	size_t got = 0;
	for (auto &d : delays)
		got += d.size();
	printf("input    10 clients: standard input taken at %.0f records/s (%.1f MB/s); clients got %.0f%% of them\n",
	       rate, rate * 3617 / 1e6, 100.0 * (double)got / (10.0 * (double)n));
}

// One client that never reads while records pour in: RSS stays flat.
static void stalled(int secs)
{
	Server s;
	asio::io_context ioc;
	websocket::stream<tcp::socket> ws(ioc);
	ws.next_layer().open(tcp::v4());
	ws.next_layer().set_option(asio::socket_base::receive_buffer_size(4096));
	ws.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), (unsigned short)s.port));
	ws.handshake("127.0.0.1", "/ws");
	std::string batch;
	for (int k = 0; k < 100; k++)
		batch += timed_record(k);
	double t0 = now(), next = 0;
	long n = 0;
	printf("stalled  one client never reading, records at full speed:");
	while (now() - t0 < secs) {
		(void)!write(s.p.in, batch.data(), batch.size());
		n += 100;
		if (now() - t0 >= next) {
			printf(" %.0fs %ld KiB;", now() - t0, rss_kib(s.p.pid));
			fflush(stdout);
			next += secs / 6.0;
		}
	}
	printf(" %ld records\n", n);
}

// 500 clients that never read, 16 from each of 32 loopback addresses (an address's share),
// while records pour in: the resident size stays flat.
static void many_stalled(int secs)
{
	Server s;
	asio::io_context ioc;  // before the streams, which go first
	std::vector<std::unique_ptr<websocket::stream<tcp::socket>>> mute;
	for (int i = 0; i < 500; i++) {
		auto ws = std::make_unique<websocket::stream<tcp::socket>>(ioc);
		beast::error_code ec;
		ws->next_layer().open(tcp::v4());
		ws->next_layer().set_option(asio::socket_base::receive_buffer_size(4096));
		ws->next_layer().bind(tcp::endpoint(asio::ip::make_address("127.0.1." + std::to_string(1 + i / 16)), 0));
		ws->next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), (unsigned short)s.port), ec);
		if (!ec)
			ws->handshake("127.0.0.1", "/ws", ec);
		if (!ec)
			mute.push_back(std::move(ws));
	}
	std::string batch;
	for (int k = 0; k < 100; k++)
		batch += timed_record(k);
	double t0 = now(), next = 0;
	long n = 0, top = 0;
	printf("many     %zu clients never reading, records at full speed:", mute.size());
	while (now() - t0 < secs) {
		(void)!write(s.p.in, batch.data(), batch.size());
		n += 100;
		top = std::max(top, rss_kib(s.p.pid));
		if (now() - t0 >= next) {
			printf(" %.0fs %ld KiB;", now() - t0, rss_kib(s.p.pid));
			fflush(stdout);
			next += secs / 6.0;
		}
	}
	printf(" %ld records, at most %ld KiB\n", n, top);
}

static double cpu_seconds(pid_t pid)
{
	std::string st = slurp("/proc/" + std::to_string(pid) + "/stat");
	size_t at = st.rfind(')');
	if (at == std::string::npos)
		return -1;
	unsigned long ut = 0, stime = 0;
	// after ")": state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
	sscanf(st.c_str() + at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &stime);
	return (double)(ut + stime) / (double)sysconf(_SC_CLK_TCK);
}

// With 32 descriptors, idle connections from many addresses take more slots than there are
// descriptors, so accept fails with EMFILE until their 2 s run out: the CPU it costs meanwhile.
static void emfile(int secs)
{
	Server s(32);
	std::vector<int> fds;
	for (int i = 0; i < 120; i++) {
		int fd = socket(AF_INET, SOCK_STREAM, 0);
		struct sockaddr_in a = {};
		a.sin_family = AF_INET;
		a.sin_addr.s_addr = htonl(0x7f000200u + 1 + (unsigned)i / 3);
		bind(fd, (struct sockaddr *)&a, sizeof a);
		a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		a.sin_port = htons((unsigned short)s.port);
		if (connect(fd, (struct sockaddr *)&a, sizeof a) == 0)
			fds.push_back(fd);
		else
			close(fd);
	}
	double c0 = cpu_seconds(s.p.pid), t0 = now();
	usleep((useconds_t)secs * 1000000);
	printf("emfile   %zu idle connections, 32 descriptors: pipe-web used %.0f%% of a core for %d s\n", fds.size(),
	       100 * (cpu_seconds(s.p.pid) - c0) / (now() - t0), secs);
	for (int fd : fds)
		close(fd);
}

// One request to a server on loopback, its body ("" if none came).
static std::string http_get(int port, const std::string &target)
{
	try {
		asio::io_context ioc;
		beast::tcp_stream st(ioc);
		st.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), (unsigned short)port));
		beast::http::request<beast::http::empty_body> req{beast::http::verb::get, target, 11};
		req.set(beast::http::field::host, "127.0.0.1");
		beast::http::write(st, req);
		beast::flat_buffer b;
		beast::http::response<beast::http::string_body> res;
		beast::http::read(st, b, res);
		return res.body();
	} catch (const std::exception &) {
		return "";
	}
}

// The measurement, run inside the page: its own functions on a frame of its own making.
static const char PAINT_JS[] =
	"(() => { const b = new ArrayBuffer(3617), u = new Uint8Array(b); u.fill(50, 0, 16);"
	"  for (let i = 17; i < 3617; i++) u[i] = (i * 7) & 255;"
	"  let t = performance.now(); for (let i = 0; i < 200; i++) { frame(b); paint(); } const one = (performance.now() - t) / 200;"
	"  t = performance.now(); for (let i = 0; i < 20; i++) { whole = true; paint(); } const all = (performance.now() - t) / 20;"
	"  const img = ctx.createImageData(WIDTH, ROWS);"
	"  t = performance.now(); for (let i = 0; i < 50; i++) { frame(b); const d = img.data; d.fill(255);"
	"    for (let y = 0; y < rows.length; y++) for (let ch = 0; ch < 2; ch++) { let o = (y * WIDTH + ch * (COLS + GAP)) * 4;"
	"      for (let c = 0; c < COLS; c++, o += 4) { const v = rows[y].v, a = v[ch * 900 + 2 * c], e = v[ch * 900 + 2 * c + 1];"
	"        let k = Math.floor(((Math.max(a, e) / 100 - lo) / (hi - lo)) * 128); k = k < 0 ? 0 : k > 127 ? 127 : k;"
	"        d[o] = pal[3 * k]; d[o + 1] = pal[3 * k + 1]; d[o + 2] = pal[3 * k + 2]; } }"
	"    ctx.putImageData(img, LEFT, TOP); marks(); } const old = (performance.now() - t) / 50;"
	"  return one.toFixed(2) + ' ' + all.toFixed(2) + ' ' + old.toFixed(2); })()";

static void page()
{
	if (!have_reader("/usr/bin/chromium")) {
		printf("page     skipped: /usr/bin/chromium is not installed\n");
		return;
	}
	Server s(0, 800);
	for (int k = 0; k < 800; k++) {
		std::string r = record("20261207" + std::to_string(120000 + k / 2) + (k % 2 ? "50" : "00"), payload(k));
		(void)!write(s.p.in, r.data(), r.size());
	}
	TempDir t;
	Spawn c;
	c.argv = {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-sync",
		  "--disable-background-networking", "--user-data-dir=" + t / "profile", "--window-size=1400,900",
		  "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0",
		  "http://127.0.0.1:" + std::to_string(s.port) + "/"};
	c.group = true;  // its renderers end with it
	Proc b = start(c);
	std::string active = t / "profile/DevToolsActivePort", path;
	int dport = 0;
	if (wait_until([&] { return slurp(active).find('\n') != std::string::npos; }, 30000, 20))
		dport = atoi(slurp(active).c_str());
	wait_until(
		[&] {
			nlohmann::json list = nlohmann::json::parse(http_get(dport, "/json/list"), nullptr, false);
			if (list.is_array())
				for (auto &p : list)
					if (p.value("type", "") == "page" && p.value("url", "").find(std::to_string(s.port)) != std::string::npos)
						path = p.value("webSocketDebuggerUrl", "");
			return !path.empty();
		},
		30000, 50);
	if (path.empty()) {
		printf("page     skipped: chromium lists no page\n");
		stop(b);
		return;
	}
	asio::io_context ioc;
	websocket::stream<tcp::socket> ws(ioc);
	ws.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), (unsigned short)dport));
	ws.handshake("127.0.0.1:" + std::to_string(dport), path.substr(path.find('/', strlen("ws://"))));
	int id = 0;
	auto eval = [&](const std::string &expr) {
		ws.write(asio::buffer(nlohmann::json{{"id", ++id}, {"method", "Runtime.evaluate"},
						     {"params", {{"expression", "String(" + expr + ")"}, {"returnByValue", true}}}}
					      .dump()));
		for (;;) {
			beast::flat_buffer m;
			ws.read(m);
			nlohmann::json j = nlohmann::json::parse(beast::buffers_to_string(m.data()), nullptr, false);
			if (j.is_object() && j.value("id", 0) == id)
				return j["result"]["result"].value("value", std::string());
		}
	};
	if (wait_until([&] { return eval("document.getElementById('c').dataset.rows") == "800"; }, 30000, 50)) {
		double one = 0, all = 0, old = 0;
		sscanf(eval(PAINT_JS).c_str(), "%lf %lf %lf", &one, &all, &old);
		printf("page     800 rows, headless chromium: a new frame %.2f ms, all rows again %.2f ms (all rows a frame, "
		       "as before: %.2f ms)\n",
		       one, all, old);
	} else
		printf("page     skipped: the page drew no 800 rows\n");
	stop(b);
}

int main(int argc, char **argv)
{
	bool quick = argc > 1 && std::string(argv[1]) == "--quick";
	int secs = quick ? 5 : 30;
	latency(1, secs);
	latency(100, secs);
	input_rate(quick ? 3 : 10);
	stalled(quick ? 6 : 60);
	many_stalled(quick ? 6 : 30);
	emfile(quick ? 1 : 2);
	page();
}
