// pipe-web [-l ADDR:PORT] [-n ROWS] [-x]: the live spectrogram in any browser. Reads stream
// records on standard input and serves, on ADDR:PORT (default 127.0.0.1:8080):
//   /         one page, built in, drawing both channels as waterfalls
//   /ws       a WebSocket sending each record as one binary message, the last ROWS first
//   /healthz  one line of JSON: frames received, viewers, latest stamp
// Built on Boost.Beast and Asio, in their own shape: a listener, an HTTP session per
// connection, a WebSocket session per viewer, all on one thread. A second thread reads standard
// input and hands each record over; the Fanout (no network code) keeps the recent records and
// each viewer's bounded queue, so a slow viewer skips ahead and nothing waits for a browser.
// Nothing a client sends changes anything. At the end of input it goes on serving the last
// ROWS records until killed; -x ends it with the input.
#include <utility>  // before Asio, whose C++20 parts use std::exchange without it

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "cli.h"
#include "fanout.h"
#include "frame.h"
#include "palette.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

static const char USAGE[] = "usage: pipe-web [-l ADDR:PORT] [-n ROWS] [-x]";
static const char HELP[] =
	"Serves the records of standard input to web browsers: the page at /, the frames at /ws.\n"
	"  -l ADDR:PORT  where to listen (default 127.0.0.1:8080; [::1]:8080 for IPv6)\n"
	"  -n ROWS       recent frames a new viewer gets first (default 800)\n"
	"  -x            end with the input (otherwise it serves the last frames until killed)\n";

extern const char web_page[];  // page.html, built in

enum { MAX_CONNECTIONS = 1000, HEADER_LIMIT = 8192 };

static asio::io_context ioc;
static std::unique_ptr<Fanout> fan;
static std::string page;  // the page with the colour scales put in
static int connections;

struct WsSession;
static std::map<int, std::weak_ptr<WsSession>> viewers;

// One viewer: the recent records, then each new one; what it sends is read and dropped.
struct WsSession : std::enable_shared_from_this<WsSession> {
	websocket::stream<beast::tcp_stream> ws;
	beast::flat_buffer in;
	Record out;  // being written
	int id = 0;
	explicit WsSession(tcp::socket &&s) : ws(std::move(s)) { connections++; }
	~WsSession()
	{
		connections--;
		if (id) {
			fan->leave(id);
			viewers.erase(id);
		}
	}
	void start(http::request<http::empty_body> req)
	{
		ws.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
		ws.read_message_max(4096);
		ws.binary(true);
		ws.async_accept(req, [self = shared_from_this()](beast::error_code ec) {
			if (ec)
				return;
			self->id = fan->join();
			viewers[self->id] = self;
			self->read();
			self->pump();
		});
	}
	void read()
	{
		ws.async_read(in, [self = shared_from_this()](beast::error_code ec, size_t) {
			if (ec)
				return;  // closed, or garbage: this viewer goes, nothing else
			self->in.consume(self->in.size());
			self->read();
		});
	}
	void pump()
	{
		if (out || !(out = fan->take(id)))
			return;
		ws.async_write(asio::buffer(*out), [self = shared_from_this()](beast::error_code ec, size_t) {
			self->out.reset();
			if (!ec)
				self->pump();
		});
	}
};

// One connection until it upgrades: GET only, small requests, answered and kept alive.
struct HttpSession : std::enable_shared_from_this<HttpSession> {
	beast::tcp_stream stream;
	beast::flat_buffer buf{HEADER_LIMIT};
	std::unique_ptr<http::request_parser<http::empty_body>> parser;
	explicit HttpSession(tcp::socket &&s) : stream(std::move(s)) { connections++; }
	~HttpSession() { connections--; }
	void read()
	{
		parser = std::make_unique<http::request_parser<http::empty_body>>();
		parser->header_limit(HEADER_LIMIT);
		parser->body_limit(0);
		stream.expires_after(std::chrono::seconds(30));
		http::async_read(stream, buf, *parser, [self = shared_from_this()](beast::error_code ec, size_t) {
			if (ec)
				return self->close();  // malformed, too large, or gone: this connection only
			self->answer(self->parser->release());
		});
	}
	void close()
	{
		beast::error_code ec;
		stream.socket().shutdown(tcp::socket::shutdown_both, ec);
	}
	void answer(http::request<http::empty_body> req)
	{
		if (req.method() == http::verb::get && req.target() == "/ws" && websocket::is_upgrade(req)) {
			stream.expires_never();
			std::make_shared<WsSession>(stream.release_socket())->start(std::move(req));
			return;
		}
		auto res = std::make_shared<http::response<http::string_body>>();
		res->version(req.version());
		res->keep_alive(req.keep_alive());
		res->set(http::field::server, "pipe-web");
		res->set(http::field::cache_control, "no-store");
		res->set("X-Content-Type-Options", "nosniff");
		if (req.method() != http::verb::get) {
			res->result(http::status::method_not_allowed);
			res->set(http::field::allow, "GET");
			res->keep_alive(false);
		} else if (req.target() == "/") {
			res->set(http::field::content_type, "text/html; charset=utf-8");
			res->set("Content-Security-Policy",
				 "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'");
			res->body() = page;
		} else if (req.target() == "/healthz") {
			res->set(http::field::content_type, "application/json");
			char b[160];
			snprintf(b, sizeof b, "{\"frames\":%lld,\"clients\":%zu,\"latest\":%s}\n", fan->frames(), fan->viewers(),
				 fan->frames() ? ("\"" + fan->latest() + "\"").c_str() : "null");
			res->body() = b;
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

static void accept(tcp::acceptor &acc)
{
	acc.async_accept([&acc](beast::error_code ec, tcp::socket s) {
		if (!ec) {
			if (connections < MAX_CONNECTIONS)
				std::make_shared<HttpSession>(std::move(s))->read();
			// else: closed at once as s goes
		}
		accept(acc);
	});
}

// Hands a record to every viewer, on the server's thread.
static void deliver(Record r)
{
	fan->push(std::move(r));
	for (auto &[id, w] : viewers)
		if (auto s = w.lock())
			s->pump();
}

// Standard input, on its own thread: records go to the server's thread as they come.
static void read_input(bool exit_at_end)
{
	static unsigned char hdr[FR_HEADER], pay[FR_PAYLOAD];
	fr_input(stdin);
	for (int st; (st = fr_read(stdin, hdr, pay)) == FR_READ;) {
		auto r = std::make_shared<std::string>((const char *)hdr, FR_HEADER);
		r->append((const char *)pay, FR_PAYLOAD);
		asio::post(ioc, [r = Record(std::move(r))] { deliver(r); });
	}
	if (ferror(stdin))
		warn("read error on standard input:");
	if (exit_at_end)
		asio::post(ioc, [] { ioc.stop(); });
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

// The page, with the colour scales from the palette module put in where it asks for them.
static std::string build_page()
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
	size_t at = p.find("/*PALETTES*/");
	if (at != std::string::npos)
		p.replace(at, 12, js);
	return p;
}

int main(int argc, char **argv)
{
	help_or_version(argc, argv, USAGE, HELP);
	std::string listen = "127.0.0.1:8080";
	int rows = 800;
	bool exit_at_end = false;
	opterr = 0;
	for (int c; (c = getopt(argc, argv, "l:n:x")) != -1;) {
		if (c == 'l')
			listen = optarg;
		else if (c == 'x')
			exit_at_end = true;
		else if (!(c == 'n' && arg_int(optarg, &rows) && rows >= 0 && rows <= 100000))
			usage(USAGE);
	}
	if (optind != argc)
		usage(USAGE);
	tcp::endpoint ep;
	if (!endpoint(listen, ep))
		die("%s: not an address and port (ADDR:PORT, [ADDR]:PORT for IPv6)", listen.c_str());
	fan = std::make_unique<Fanout>((size_t)rows, (size_t)rows + 256);
	page = build_page();

	tcp::acceptor acc(ioc);
	beast::error_code ec;
	acc.open(ep.protocol(), ec);
	if (!ec)
		acc.set_option(asio::socket_base::reuse_address(true), ec);
	if (!ec)
		acc.bind(ep, ec);
	if (!ec)
		acc.listen(asio::socket_base::max_listen_connections, ec);
	if (ec)
		die("cannot listen on %s: %s", listen.c_str(), ec.message().c_str());
	signal(SIGPIPE, SIG_IGN);  // a viewer gone mid-write is an error on its socket, nothing more
	accept(acc);
	std::thread input(read_input, exit_at_end);
	input.detach();
	ioc.run();
	return 0;
}
