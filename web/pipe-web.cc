// pipe-web [-l ADDR:PORT] [-n ROWS] [-t TITLE] [-x]: the live spectrogram in any browser. Reads
// stream records on standard input and serves, on ADDR:PORT (default 127.0.0.1:8080):
//   /         one page, built in, drawing both channels as waterfalls of ROWS rows
//   /ws       a WebSocket sending each record as one binary message, the last ROWS first, and
//             each burst as it starts and ends as one JSON text message, the latest few first
//   /healthz  one line of JSON: frames received, viewers, latest stamp
// Built on Boost.Beast and Asio, in their own shape: a listener, an HTTP session per
// connection, a WebSocket session per viewer, all on one thread. A second thread reads standard
// input and hands records over through a bounded Handover where the newest win; the Fanout keeps
// the recent records and each viewer's bounded queue, so a slow viewer skips ahead and nothing
// waits for a browser; Marks runs the burst detector on the records the server takes. Limits
// shares the connection slots out by address; every connection has a deadline (a request
// within 10 s, a message to a viewer written within 10 s), so no client can hold a slot for
// nothing or lock others out. All state lives in one Server, passed down, whose
// io_context goes first at the end, taking the sessions with it, before the books they keep.
#include <utility>  // before Asio, whose C++20 parts use std::exchange without it

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <getopt.h>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/resource.h>
#include <thread>

#include "cli.h"
#include "fanout.h"
#include "frame.h"
#include "marks.h"
#include "slots.h"
#include "palette.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

static const char USAGE[] = "usage: pipe-web [-l ADDR:PORT] [-n ROWS] [-t TITLE] [-x]";
static const char HELP[] =
	"Serves the records of standard input to web browsers: the page at /, the frames and the\n"
	"bursts found in them at /ws, one line of JSON at /healthz.\n"
	"  -l ADDR:PORT  where to listen (default 127.0.0.1:8080; [::1]:8080 for IPv6); with PORT 0\n"
	"                a free port, said on standard error as \"pipe-web: listening on ADDR:PORT\"\n"
	"  -n ROWS       rows of the waterfall, the frames a new viewer gets first (1 to 10000, default 800)\n"
	"  -t TITLE      the page's title (default $STATION_NAME, else \"Spectrogram\")\n"
	"  -x            end with the input (otherwise it serves the last frames until killed)\n";

extern const char web_page[];  // page.html, built in

enum {
	HEADER_LIMIT = 8192,
	MAX_ROWS = 10000,
	HANDOVER = 256,      // records waiting between the threads: about 1 MB
	NOTES = 16,          // event messages waiting for one viewer; the oldest go first
	MAX_SERVE = 1000,    // pages and viewers, all addresses together
	PER_ADDRESS = 16,    // of those, for one IPv4 address or IPv6 /64
	HEALTH_SLOTS = 8,    // kept for /healthz when the others are full, one per address
	REFUSE_SLOTS = 32,   // in which a full server answers 503, two per address
	SPARE_FDS = 24,      // standard streams, the listener, Asio's own
};
static constexpr auto REQUEST_TIME = 10s;  // for a whole request, and between kept-alive ones
static constexpr auto BRIEF_TIME = 2s;     // the same on a /healthz or 503 slot
static constexpr auto WRITE_TIME = 10s;    // for one message to a viewer
static constexpr auto IDLE_TIME = 60s;     // a viewer that answers no ping in this is gone
static constexpr auto BACKOFF = 100ms;     // before accepting again when accept fails

struct WsSession;

struct Server {
	std::string listen = "127.0.0.1:8080", title = "Spectrogram";
	int rows = 800;
	bool exit_at_end = false;
	int status = 0;
	std::string page;  // with the colour scales, rows and title put in
	std::unique_ptr<Fanout> fan;
	std::unique_ptr<Limits> limits;
	Handover hand{HANDOVER};
	Marks marks;
	std::map<int, std::weak_ptr<WsSession>> viewers;
	time_t warned = 0;
	// Last, so first to go: destroying it destroys the handlers, and so the sessions they hold,
	// while the fan-out and the limits those sessions leave are still there.
	asio::io_context ioc;
	tcp::acceptor acc{ioc};
	asio::steady_timer backoff{ioc};
};

// The end, on the server's thread: the listener and timers go, then run() returns.
static void finish(Server &srv, int status)
{
	srv.status = status;
	srv.ioc.stop();
}

// One viewer: the recent records, then each new one; what it sends is read and dropped.
struct WsSession : std::enable_shared_from_this<WsSession> {
	Server &srv;
	websocket::stream<beast::tcp_stream> ws;
	Slot slot;
	beast::flat_buffer in;
	std::deque<Record> notes;  // event messages, sent before the next record
	Record out;                // being written
	asio::steady_timer stall;
	unsigned writes = 0;
	int id = 0;
	WsSession(Server &s, tcp::socket &&sock, Slot &&sl)
		: srv(s), ws(std::move(sock)), slot(std::move(sl)), stall(srv.ioc)
	{
	}
	~WsSession()
	{
		if (id) {
			srv.fan->leave(id);
			srv.viewers.erase(id);
		}
	}
	void start(http::request<http::empty_body> req)
	{
		websocket::stream_base::timeout t{};
		t.handshake_timeout = REQUEST_TIME;
		t.idle_timeout = IDLE_TIME;
		t.keep_alive_pings = true;
		ws.set_option(t);
		ws.read_message_max(4096);
		ws.binary(true);
		ws.async_accept(req, [self = shared_from_this()](beast::error_code ec) {
			if (ec)
				return;
			self->id = self->srv.fan->join();
			self->srv.viewers[self->id] = self;
			for (const std::string &m : self->srv.marks.recent())
				self->note(std::make_shared<const std::string>(m));
			self->read();
			self->pump();
		});
	}
	void read()
	{
		ws.async_read(in, [self = shared_from_this()](beast::error_code ec, size_t) {
			if (ec)
				return self->close();  // closed, garbage or silent: this viewer goes, nothing else
			self->in.consume(self->in.size());
			self->read();
		});
	}
	void close()
	{
		beast::error_code ec;
		beast::get_lowest_layer(ws).socket().close(ec);
		stall.cancel();
	}
	void note(Record m)
	{
		notes.push_back(std::move(m));
		if (notes.size() > NOTES)
			notes.pop_front();
	}
	// The next message, if none is being written: an event as text, else a record as binary.
	// A write not done in WRITE_TIME ends the viewer.
	void pump()
	{
		if (out)
			return;
		if (!notes.empty()) {
			out = std::move(notes.front());
			notes.pop_front();
			ws.text(true);
		} else if ((out = srv.fan->take(id)))
			ws.binary(true);
		else
			return;
		unsigned n = ++writes;
		stall.expires_after(WRITE_TIME);
		stall.async_wait([self = shared_from_this(), n](beast::error_code ec) {
			if (!ec && self->out && self->writes == n)
				self->close();
		});
		ws.async_write(asio::buffer(*out), [self = shared_from_this()](beast::error_code ec, size_t) {
			self->out.reset();
			self->stall.cancel();
			if (!ec)
				self->pump();
		});
	}
};

static std::string health(const Server &srv)
{
	nlohmann::ordered_json j;
	j["frames"] = srv.fan->frames() + srv.hand.dropped();
	j["clients"] = srv.fan->viewers();
	j["latest"] = srv.fan->frames() ? nlohmann::json(srv.fan->latest()) : nlohmann::json(nullptr);
	// A stamp is any bytes: what is not UTF-8 becomes U+FFFD rather than an exception.
	return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// One connection until it upgrades: GET only, small requests, answered and kept alive. On a
// /healthz slot only /healthz is answered, once; on a 503 slot only 503.
struct HttpSession : std::enable_shared_from_this<HttpSession> {
	Server &srv;
	beast::tcp_stream stream;
	Slot slot;
	beast::flat_buffer buf{HEADER_LIMIT};
	std::unique_ptr<http::request_parser<http::empty_body>> parser;
	HttpSession(Server &s, tcp::socket &&sock, Slot &&sl) : srv(s), stream(std::move(sock)), slot(std::move(sl)) {}
	void read()
	{
		parser = std::make_unique<http::request_parser<http::empty_body>>();
		parser->header_limit(HEADER_LIMIT);
		parser->body_limit(0);
		stream.expires_after(slot.pool() == SERVE ? REQUEST_TIME : BRIEF_TIME);
		http::async_read(stream, buf, *parser, [self = shared_from_this()](beast::error_code ec, size_t) {
			if (ec)
				return self->close();  // malformed, too large, slow or gone: this connection only
			self->answer(self->parser->release());
		});
	}
	void close()
	{
		beast::error_code ec;
		stream.socket().shutdown(tcp::socket::shutdown_both, ec);
		stream.socket().close(ec);
	}
	void answer(http::request<http::empty_body> req)
	{
		Pool pool = slot.pool();
		bool get = req.method() == http::verb::get;
		if (pool == SERVE && get && req.target() == "/ws" && websocket::is_upgrade(req)) {
			stream.expires_never();
			std::make_shared<WsSession>(srv, stream.release_socket(), std::move(slot))->start(std::move(req));
			return;
		}
		auto res = std::make_shared<http::response<http::string_body>>();
		res->version(req.version());
		res->keep_alive(pool == SERVE && req.keep_alive());
		res->set(http::field::server, "pipe-web");
		res->set(http::field::cache_control, "no-store");
		res->set("X-Content-Type-Options", "nosniff");
		if (!get) {
			res->result(http::status::method_not_allowed);
			res->set(http::field::allow, "GET");
			res->keep_alive(false);
		} else if (req.target() == "/healthz" && pool != REFUSE) {
			res->set(http::field::content_type, "application/json");
			res->body() = health(srv);
		} else if (pool != SERVE) {
			res->result(http::status::service_unavailable);
			res->set(http::field::retry_after, "5");
			res->set(http::field::content_type, "text/plain");
			res->body() = "busy: too many connections\n";
		} else if (req.target() == "/") {
			res->set(http::field::content_type, "text/html; charset=utf-8");
			res->set("Content-Security-Policy",
				 "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'");
			res->body() = srv.page;
		} else {
			res->result(http::status::not_found);
			res->set(http::field::content_type, "text/plain");
			res->body() = "not found\n";
		}
		res->prepare_payload();
		http::async_write(stream, *res, [self = shared_from_this(), res](beast::error_code ec, size_t) {
			if (ec || !res->keep_alive())
				return self->close();
			self->read();
		});
	}
};

// A new connection gets a slot by its address, or is closed at once when even the 503 slots
// of its address are taken.
static void welcome(Server &srv, tcp::socket s)
{
	beast::error_code ec;
	auto addr = s.remote_endpoint(ec).address();
	if (ec)
		return;
	std::string key;
	if (addr.is_v4()) {
		auto b = addr.to_v4().to_bytes();
		key = address_key(b.data(), b.size());
	} else {
		auto b = addr.to_v6().to_bytes();
		key = address_key(b.data(), b.size());
	}
	Pool p = srv.limits->admit(key);
	if (p == NO_POOL)
		return;
	s.set_option(tcp::no_delay(true), ec);
	std::make_shared<HttpSession>(srv, std::move(s), Slot(srv.limits.get(), key, p))->read();
}

static void accept(Server &srv)
{
	srv.acc.async_accept([&srv](beast::error_code ec, tcp::socket s) {
		if (ec == asio::error::operation_aborted)
			return;
		if (!ec || ec == asio::error::connection_aborted) {
			if (!ec)
				welcome(srv, std::move(s));
			return accept(srv);
		}
		// Out of descriptors or memory: the connection waits in the backlog while others end.
		if (time(nullptr) - srv.warned >= 60) {
			warn("cannot accept (%s): trying again every 100 ms", ec.message().c_str());
			srv.warned = time(nullptr);
		}
		srv.backoff.expires_after(BACKOFF);
		srv.backoff.async_wait([&srv](beast::error_code e) {
			if (!e)
				accept(srv);
		});
	});
}

// The records waiting in the hand-over, to every viewer, on the server's thread.
static void deliver(Server &srv)
{
	for (Record &r : srv.hand.take()) {
		for (const std::string &m : srv.marks.feed(*r)) {
			auto note = std::make_shared<const std::string>(m);
			for (auto &[id, w] : srv.viewers)
				if (auto s = w.lock())
					s->note(note);
		}
		srv.fan->push(std::move(r));
	}
	for (auto &[id, w] : srv.viewers)
		if (auto s = w.lock())
			s->pump();
}

// Standard input, on its own thread: records into the hand-over, the server woken when needed.
static void read_input(Server &srv)
{
	static unsigned char hdr[FR_HEADER], pay[FR_PAYLOAD];
	fr_input(stdin);
	for (int st; (st = fr_read(stdin, hdr, pay)) == FR_READ;) {
		auto r = std::make_shared<std::string>((const char *)hdr, FR_HEADER);
		r->append((const char *)pay, FR_PAYLOAD);
		if (srv.hand.put(std::move(r)))
			asio::post(srv.ioc, [&srv] { deliver(srv); });
	}
	if (ferror(stdin)) {
		warn("read error on standard input:");
		asio::post(srv.ioc, [&srv] { finish(srv, 1); });
	} else if (srv.exit_at_end)
		asio::post(srv.ioc, [&srv] { finish(srv, 0); });
}

// "ADDR:PORT" or "[ADDR]:PORT" into an endpoint; false if it is not one.
static bool endpoint(const std::string &s, tcp::endpoint &ep)
{
	size_t colon = s.rfind(':');
	if (colon == std::string::npos || colon == 0)
		return false;
	std::string host = s.substr(0, colon), port = s.substr(colon + 1);
	if (host.front() == '[' && host.back() == ']')
		host = host.substr(1, host.size() - 2);
	int p;
	beast::error_code ec;
	auto addr = asio::ip::make_address(host, ec);
	if (ec || !arg_int(port.c_str(), &p) || p < 0 || p > 65535)
		return false;
	ep = tcp::endpoint(addr, (unsigned short)p);
	return true;
}

static std::string html_text(const std::string &s)
{
	std::string o;
	for (char c : s)
		o += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '"' ? "&quot;" : std::string(1, c);
	return o;
}

// The page, with the colour scales from the palette module, the rows and the title put in.
static std::string build_page(const Server &srv)
{
	std::string js = "{";
	for (const char *name : {"viewer", "viridis"}) {
		const unsigned char *pal = vw_palette(name);
		js += std::string(js.size() > 1 ? "," : "") + name + ":[";
		for (int i = 0; i < 384; i++)
			js += std::to_string(pal[i]) + (i < 383 ? "," : "");
		js += "]";
	}
	js += "}";
	std::string p = web_page;
	for (auto [mark, with] : {std::pair<std::string, std::string>{"/*PALETTES*/", js},
				  {"/*ROWS*/", std::to_string(srv.rows)},
				  {"%TITLE%", html_text(srv.title)}})
		for (size_t at; (at = p.find(mark)) != std::string::npos;)
			p.replace(at, mark.size(), with);
	return p;
}

// Descriptors for every slot, raising the soft limit as far as allowed; the ordinary slots
// shrink to fit what is left.
static size_t serve_slots()
{
	struct rlimit r;
	rlim_t want = MAX_SERVE + HEALTH_SLOTS + REFUSE_SLOTS + SPARE_FDS;
	if (getrlimit(RLIMIT_NOFILE, &r) != 0)
		return MAX_SERVE;
	if (r.rlim_cur != RLIM_INFINITY && r.rlim_cur < want) {
		r.rlim_cur = r.rlim_max == RLIM_INFINITY ? want : std::min(want, r.rlim_max);
		setrlimit(RLIMIT_NOFILE, &r);
		getrlimit(RLIMIT_NOFILE, &r);
	}
	if (r.rlim_cur >= want)
		return MAX_SERVE;
	long left = (long)r.rlim_cur - (HEALTH_SLOTS + REFUSE_SLOTS + SPARE_FDS);
	return left < 1 ? 1 : (size_t)left;
}

static void options(Server &srv, int argc, char **argv)
{
	if (const char *name = getenv("STATION_NAME"); name && *name)
		srv.title = name;
	opterr = 0;
	for (int c; (c = getopt(argc, argv, "l:n:t:x")) != -1;) {
		if (c == 'l')
			srv.listen = optarg;
		else if (c == 't')
			srv.title = optarg;
		else if (c == 'x')
			srv.exit_at_end = true;
		else if (!(c == 'n' && arg_int(optarg, &srv.rows) && srv.rows >= 1 && srv.rows <= MAX_ROWS))
			usage(USAGE);
	}
	if (optind != argc)
		usage(USAGE);
}

static void listen(Server &srv)
{
	tcp::endpoint ep;
	if (!endpoint(srv.listen, ep))
		die("%s: not an address and port (ADDR:PORT, [ADDR]:PORT for IPv6)", srv.listen.c_str());
	beast::error_code ec;
	srv.acc.open(ep.protocol(), ec);
	if (!ec)
		srv.acc.set_option(asio::socket_base::reuse_address(true), ec);
	if (!ec)
		srv.acc.bind(ep, ec);
	if (!ec)
		srv.acc.listen(asio::socket_base::max_listen_connections, ec);
	if (ec)
		die("cannot listen on %s: %s", srv.listen.c_str(), ec.message().c_str());
	if (ep.port() == 0) {  // the system's choice, said so that whoever started us can connect
		ep = srv.acc.local_endpoint(ec);
		std::string a = ep.address().to_string();
		warn("listening on %s:%u", (ep.address().is_v6() ? "[" + a + "]" : a).c_str(), (unsigned)ep.port());
	}
}

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	Server srv;
	options(srv, argc, argv);
	srv.fan = std::make_unique<Fanout>((size_t)srv.rows, (size_t)srv.rows + 256);
	PoolSize pools[POOLS] = {{serve_slots(), PER_ADDRESS}, {HEALTH_SLOTS, 1}, {REFUSE_SLOTS, 2}};
	srv.limits = std::make_unique<Limits>(pools);
	srv.page = build_page(srv);
	listen(srv);
	signal(SIGPIPE, SIG_IGN);  // a viewer gone mid-write is an error on its socket, nothing more
	accept(srv);
	std::thread input(read_input, std::ref(srv));
	srv.ioc.run();  // until the input thread, ending, calls finish
	input.join();
	return srv.status;  // srv goes: first the io_context with the sessions, then the books
}
