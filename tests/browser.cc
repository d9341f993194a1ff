#include "browser.h"

#include <boost/beast/core/detail/base64.hpp>
#include <cstring>
#include <stdexcept>

#include "webkit.h"

namespace asio = boost::asio;
namespace beast = boost::beast;

Browser::Browser(const TempDir &t, const std::string &url, const std::string &window)
{
	Spawn s;
	s.argv = {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
		  "--no-first-run", "--disable-background-networking", "--disable-component-update",
		  "--disable-sync", "--user-data-dir=" + t / "profile", "--window-size=" + window,
		  "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0", "about:blank"};
	p = start(s);
	// Chromium writes its port when it listens, then lists the page's debugging address.
	std::string port_file = t / "profile/DevToolsActivePort", ws_url;
	if (!wait_until([&] { return slurp(port_file).find('\n') != std::string::npos; }, 30000, 20))
		throw std::runtime_error("no debugging port from chromium: " + drain(p.err));
	int port = atoi(slurp(port_file).c_str());
	// Its first page, or, should none be listed soon (a busy machine, a page that crashed while
	// loading), a new blank one asked for.
	int asks = 0;
	bool found = wait_until(
		[&] {
			std::string req = "GET /json/list HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
			if (++asks % 100 == 0)
				req = "PUT /json/new?about:blank HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
			nlohmann::json list = nlohmann::json::parse(parse(talk(port, req)).body, nullptr, false);
			if (list.is_object())
				list = nlohmann::json::array({list});
			if (list.is_array())
				for (auto &target : list)
					if (target.value("type", "") == "page")
						ws_url = target.value("webSocketDebuggerUrl", "");
			return !ws_url.empty();
		},
		60000, 50);
	if (!found)
		throw std::runtime_error("chromium lists no page: " + drain(p.err));
	std::string path = ws_url.substr(ws_url.find('/', strlen("ws://")));
	ws.next_layer().connect({asio::ip::make_address("127.0.0.1"), (unsigned short)port});
	ws.handshake("127.0.0.1:" + std::to_string(port), path);
	go(url);
}

Browser::~Browser() { stop(p); }

void Browser::go(const std::string &url)
{
	call("Page.bringToFront", nlohmann::json::object());
	call("Page.navigate", {{"url", url}});
}

nlohmann::json Browser::call(const std::string &method, nlohmann::json params)
{
	int id = next_id++;
	ws.write(asio::buffer(nlohmann::json{{"id", id}, {"method", method}, {"params", params}}.dump()));
	for (int n = 0; n < 1000; n++) {  // events until the answer; none are asked for
		beast::flat_buffer b;
		ws.read(b);
		nlohmann::json m = nlohmann::json::parse(beast::buffers_to_string(b.data()));
		if (m.value("id", 0) == id)
			return m.value("result", nlohmann::json::object());
	}
	return {};
}

std::string Browser::eval(const std::string &expr)
{
	nlohmann::json r = call("Runtime.evaluate", {{"expression", "String(" + expr + ")"}, {"returnByValue", true}});
	return r.contains("result") ? r["result"].value("value", "") : "";
}

bool Browser::until(const std::string &expr, int ms, int reloads)
{
	for (int k = 0;; k++) {
		if (wait_until([&] { return eval(expr) == "true"; }, ms, 50))
			return true;
		if (k == reloads)
			return false;
		call("Page.reload", nlohmann::json::object());
	}
}

std::string Browser::screenshot()
{
	std::string b64 = call("Page.captureScreenshot", {{"format", "png"}}).value("data", "");
	std::string png(beast::detail::base64::decoded_size(b64.size()), '\0');
	png.resize(beast::detail::base64::decode(png.data(), b64.data(), b64.size()).first);
	return png;
}
