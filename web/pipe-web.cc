// pipe-web [-l ADDR:PORT] [-n ROWS] [-t TITLE] [-x] [-a ROOT [-C CACHE]]: the live spectrogram in
// any browser, and with -a the archive too. Reads stream records on standard input and serves,
// on ADDR:PORT (default 127.0.0.1:8080):
//   /         one page, built in, drawing both channels as waterfalls of ROWS rows
//   /ws       a WebSocket sending each record as one binary message, the last ROWS first, and
//             each burst as it starts and ends as one JSON text message, the latest few first
//   /healthz  one line of JSON: frames received, viewers, latest stamp
//   /days, /day/DAY, /range/FROM/TO (.png, .rec, .fits), /health: the archive ROOT (route.h), its pages
//             and pictures made on two worker threads from a queue of eight (then 503), the
//             records and FITS files streamed a piece at a time as the client takes them (site.h)
// Built on Boost.Beast and Asio, in their own shape: a listener, an HTTP session per
// connection, a WebSocket session per viewer, all on one thread. A second thread reads standard
// input and hands records over through a bounded Handover where the newest win; the Fanout keeps
// the recent records and each viewer's bounded queue, so a slow viewer skips ahead and nothing
// waits for a browser; Marks runs the burst detector on the records the server takes. Limits
// shares the connection slots out by address; every connection has a deadline (a request
// within 10 s, a message to a viewer written within 10 s), so no client can hold a slot for
// nothing or lock others out. Whatever reads the archive runs on the workers and hands its
// answer back to the server's thread, which alone touches the sessions. All state lives in one Server, passed down, whose
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
#include <filesystem>
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
#include "route.h"
#include "site.h"
#include "slots.h"
#include "palette.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

static const char USAGE[] = "usage: pipe-web [-l ADDR:PORT] [-n ROWS] [-t TITLE] [-x] [-a ROOT [-C CACHE]]";
static const char HELP[] =
	"Serves the records of standard input to web browsers: the page at /, the frames and the\n"
	"bursts found in them at /ws, one line of JSON at /healthz.\n"
	"  -l ADDR:PORT  where to listen (default 127.0.0.1:8080; [::1]:8080 for IPv6); with PORT 0\n"
	"                a free port, said on standard error as \"pipe-web: listening on ADDR:PORT\"\n"
	"  -n ROWS       rows of the waterfall, the frames a new viewer gets first (1 to 10000, default 800)\n"
	"  -t TITLE      the page's title (default $STATION_NAME, else \"Spectrogram\")\n"
	"  -x            end with the input (otherwise it serves the last frames until killed)\n"
	"  -a ROOT       serve the archive ROOT too (read only): /days, /day/YYYYMMDD, /range/FROM/TO\n"
	"                (.png, .rec, .fits), /health\n"
	"  -C CACHE      where day summaries and burst lists are kept (default ROOT.web, beside ROOT;\n"
	"                never inside it)\n";

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
	WORKERS = 2,         // threads drawing pictures and making the archive's pages
	WORK_QUEUE = 8,      // jobs waiting for them; beyond, 503
	DOWNLOADS = 8,       // records and FITS files streamed at once; beyond, 503
	FITS_DOWNLOADS = 1,  // of those, FITS files (each written whole to the cache first)
	SHELF_BYTES = 64 << 20,  // pictures and pages kept, in memory
};
static constexpr auto REQUEST_TIME = 10s;  // for a whole request, and between kept-alive ones
static constexpr auto BRIEF_TIME = 2s;     // the same on a /healthz or 503 slot
static constexpr auto WRITE_TIME = 10s;    // for one message to a viewer
static constexpr auto IDLE_TIME = 60s;     // a viewer that answers no ping in this is gone
static constexpr auto BACKOFF = 100ms;     // before accepting again when accept fails
static constexpr auto REPLY_TIME = 30s;    // for an answer, or one piece of a download, to be written

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
	std::string root, cache;     // -a, -C
	std::unique_ptr<Site> site;  // with -a
	int downloads = 0, fits_downloads = 0;  // being streamed
	// Last, so first to go: destroying it destroys the handlers, and so the sessions they hold,
	// while the fan-out and the limits those sessions leave are still there.
	asio::io_context ioc;
	tcp::acceptor acc{ioc};
	asio::steady_timer backoff{ioc};
	// With -a; stopped before the io_context goes, so no job posts to it after: renders, and
	// downloads.
	std::unique_ptr<Works> renders, loads;
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
	std::unique_ptr<Pieces> rec;  // a download under way
	bool fits = false;            // and it is a FITS file
	std::string piece;               // its piece being written
	bool plain = false;              // sent as it is, for HTTP/1.0: no chunks, the end closes
	HttpSession(Server &s, tcp::socket &&sock, Slot &&sl) : srv(s), stream(std::move(sock)), slot(std::move(sl)) {}
	~HttpSession() { done_download(); }
	void done_download()
	{
		if (rec) {
			rec.reset();
			srv.downloads--;
			srv.fits_downloads -= fits;
		}
	}
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
	// A made answer, written within REPLY_TIME, then the next request.
	void send(unsigned version, bool keep, int status, const std::string &type, std::string body,
		  const char *retry = nullptr)
	{
		auto res = std::make_shared<http::response<http::string_body>>();
		res->version(version);
		res->keep_alive(keep);
		res->result((unsigned)status);
		res->set(http::field::server, "pipe-web");
		res->set(http::field::cache_control, "no-cache");
		res->set("X-Content-Type-Options", "nosniff");
		res->set("Content-Security-Policy", "default-src 'none'; img-src 'self'; style-src 'unsafe-inline'");
		res->set(http::field::content_type, type);
		if (retry)
			res->set(http::field::retry_after, retry);
		res->body() = std::move(body);
		res->prepare_payload();
		stream.expires_after(REPLY_TIME);
		http::async_write(stream, *res, [self = shared_from_this(), res](beast::error_code ec, size_t) {
			if (ec || !res->keep_alive())
				return self->close();
			self->read();
		});
	}
	// An archive address: refused here, streamed, or made by a worker and sent when done.
	void archive(const http::request<http::empty_body> &req, const Route &rt)
	{
		unsigned v = req.version();
		bool keep = req.keep_alive();
		if (rt.status != 200)
			return send(v, keep, rt.status, "text/plain; charset=utf-8", rt.why + "\n");
		if (rt.format == RF_REC || rt.format == RF_FITS)
			return download(v, keep, rt);
		auto job = [self = shared_from_this(), rt, v, keep]() mutable {
			SiteReply rep = site_answer(*self->srv.site, rt, arc_clock_us() / 10000);
			Server &srv = self->srv;
			asio::post(srv.ioc, [self = std::move(self), rep = std::move(rep), v, keep] {
				self->send(v, keep, rep.status, rep.type, *rep.body);
			});
		};
		if (!srv.renders->submit(std::move(job)))
			send(v, false, 503, "text/plain; charset=utf-8", "busy: too many pictures being drawn, try again shortly\n", "5");
	}
	// The records of a stretch (arc-cat's bytes) or its FITS file, chunked: made ready on the
	// download thread, then a piece is read there only once the last one is written, so a slow
	// client holds one piece and no more.
	void download(unsigned v, bool keep, const Route &rt)
	{
		fits = rt.format == RF_FITS;
		if (srv.downloads >= DOWNLOADS || (fits && srv.fits_downloads >= FITS_DOWNLOADS))
			return send(v, false, 503, "text/plain; charset=utf-8", "busy: too many downloads, try again shortly\n", "30");
		srv.downloads++;
		srv.fits_downloads += fits;
		if (fits)
			rec = std::make_unique<FitsStream>(*srv.site, rt.range);
		else
			rec = std::make_unique<RecStream>(srv.root, rt.range);
		std::string name = rt.from + "-" + rt.to + (fits ? ".fits" : ".rec");
		auto job = [self = shared_from_this(), v, keep, name]() mutable {
			std::string why = self->rec->start();
			int status = self->rec->fail_status;
			Server &srv = self->srv;
			asio::post(srv.ioc, [self = std::move(self), why, status, v, keep, name] {
				if (why.empty())
					return self->header(v, keep, name);
				self->done_download();
				self->send(v, keep, status, "text/plain; charset=utf-8", "cannot make " + name + ": " + why + "\n");
			});
		};
		if (!srv.loads->submit(std::move(job)))
			close();  // stopping
	}
	void header(unsigned v, bool keep, const std::string &name)
	{
		auto res = std::make_shared<http::response<http::empty_body>>(http::status::ok, v);
		res->keep_alive(keep);
		res->set(http::field::server, "pipe-web");
		res->set(http::field::content_type, fits ? "application/fits" : "application/octet-stream");
		res->set(http::field::content_disposition, "attachment; filename=\"" + name + "\"");
		res->set("X-Content-Type-Options", "nosniff");
		plain = v < 11;  // HTTP/1.0 knows no chunks: the body as it is, its end the connection's
		if (plain)
			res->keep_alive(false);
		else
			res->chunked(true);
		auto sr = std::make_shared<http::response_serializer<http::empty_body>>(*res);
		stream.expires_after(REPLY_TIME);
		http::async_write_header(stream, *sr, [self = shared_from_this(), res, sr](beast::error_code ec, size_t) {
			if (ec)
				return self->close();
			self->produce(res->keep_alive());
		});
	}
	void produce(bool keep)
	{
		auto job = [self = shared_from_this(), keep]() mutable {
			bool more = self->rec->next(self->piece);
			Server &srv = self->srv;
			asio::post(srv.ioc, [self = std::move(self), more, keep] { self->write_piece(more, keep); });
		};
		if (!srv.loads->submit(std::move(job)))
			close();  // stopping
	}
	void write_piece(bool more, bool keep)
	{
		stream.expires_after(REPLY_TIME);
		if (!more && plain) {
			done_download();
			beast::error_code ec;
			stream.socket().shutdown(tcp::socket::shutdown_send, ec);
			return close();
		}
		if (!more) {
			done_download();
			auto last = std::make_shared<http::chunk_last<>>();
			return asio::async_write(stream, *last, [self = shared_from_this(), keep, last](beast::error_code ec, size_t) {
				if (ec || !keep)
					return self->close();
				self->read();
			});
		}
		if (piece.empty())
			return produce(keep);
		if (plain)
			return asio::async_write(stream, asio::const_buffer(piece.data(), piece.size()),
						 [self = shared_from_this(), keep](beast::error_code ec, size_t) {
							 if (ec)
								 return self->close();
							 self->piece.clear();
							 self->produce(keep);
						 });
		auto ch = std::make_shared<http::chunk_body<asio::const_buffer>>(asio::const_buffer(piece.data(), piece.size()));
		asio::async_write(stream, *ch, [self = shared_from_this(), keep, ch](beast::error_code ec, size_t) {
			if (ec)
				return self->close();  // gone or too slow: this download only
			self->piece.clear();
			self->produce(keep);
		});
	}
	void answer(http::request<http::empty_body> req)
	{
		Pool pool = slot.pool();
		bool get = req.method() == http::verb::get;
		if (srv.site && pool == SERVE && get) {
			Route rt = route_parse(std::string_view(req.target().data(), req.target().size()));
			if (rt.kind != RT_OTHER || rt.status != 200)
				return archive(req, rt);
		}
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
				  {"%TITLE%", site_html(srv.title)}})
		for (size_t at; (at = p.find(mark)) != std::string::npos;)
			p.replace(at, mark.size(), with);
	const std::string archive = "/*ARCHIVE*/false";  // the link to the archive's pages, shown
	if (size_t at = p.find(archive); !srv.root.empty() && at != std::string::npos)
		p.replace(at, archive.size(), "true");
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
	for (int c; (c = getopt(argc, argv, "l:n:t:xa:C:")) != -1;) {
		if ((c == 'a' || c == 'C') && *optarg)
			(c == 'a' ? srv.root : srv.cache) = optarg;
		else if (c == 'l')
			srv.listen = optarg;
		else if (c == 't')
			srv.title = optarg;
		else if (c == 'x')
			srv.exit_at_end = true;
		else if (!(c == 'n' && arg_int(optarg, &srv.rows) && srv.rows >= 1 && srv.rows <= MAX_ROWS))
			usage(USAGE);
	}
	if (optind != argc || (!srv.cache.empty() && srv.root.empty()))
		usage(USAGE);
}

// The archive: ROOT a directory, the cache beside it and never inside it (ROOT stays read-only).
static void open_archive(Server &srv)
{
	while (srv.root.size() > 1 && srv.root.back() == '/')
		srv.root.pop_back();
	need_dir(srv.root.c_str());
	if (srv.cache.empty())
		srv.cache = srv.root + ".web";
	// Both as the file system resolves them, however spelt (a trailing slash, "..", links, a
	// part not made yet).
	std::error_code e1, e2;
	std::string real = std::filesystem::weakly_canonical(srv.root, e1).string();
	std::string full = std::filesystem::weakly_canonical(srv.cache, e2).string();
	while (full.size() > 1 && full.back() == '/')
		full.pop_back();
	if (e1 || e2)
		die("%s: cannot resolve the cache's place: %s", srv.cache.c_str(), (e1 ? e1 : e2).message().c_str());
	if (full == real || full.rfind(real == "/" ? real : real + "/", 0) == 0)
		die("%s: the cache must not be inside the archive %s", srv.cache.c_str(), srv.root.c_str());
	srv.site = std::make_unique<Site>(srv.root, srv.cache, SHELF_BYTES, srv.title);
	srv.renders = std::make_unique<Works>(WORKERS, WORK_QUEUE);
	srv.loads = std::make_unique<Works>(2, DOWNLOADS);  // one writing a FITS file leaves one for the rest
	if (!srv.site->book.cache_error().empty())
		warn("%s: day summaries are not kept", srv.site->book.cache_error().c_str());
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
	if (!srv.root.empty())
		open_archive(srv);
	listen(srv);
	signal(SIGPIPE, SIG_IGN);  // a viewer gone mid-write is an error on its socket, nothing more
	accept(srv);
	std::thread input(read_input, std::ref(srv));
	srv.ioc.run();  // until the input thread, ending, calls finish
	if (srv.site) {
		srv.renders->stop();
		srv.loads->stop();
	}
	input.join();
	return srv.status;  // srv goes: first the io_context with the sessions, then the books
}
