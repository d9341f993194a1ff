// Headless Chromium showing one page, driven over its debugging WebSocket: it evaluates
// expressions in the page, so a test waits for what the page says, not for time. (The archive's
// pages need nothing more; pipe_web_test's own browser also takes pictures of the live page.)
#pragma once

#include <utility>  // before Asio, whose C++20 parts use std::exchange without it

#include <arpa/inet.h>
#include <boost/asio.hpp>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <boost/beast.hpp>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "kit.h"

struct Browser {
	Proc p;
	boost::asio::io_context ioc;
	boost::beast::websocket::stream<boost::asio::ip::tcp::socket> ws{ioc};
	int next_id = 1;
	// One HTTP exchange with Chromium's debugging port: the body of its answer (within 3 s).
	static std::string ask(int port, const std::string &req)
	{
		int fd = socket(AF_INET, SOCK_STREAM, 0);
		struct sockaddr_in a = {};
		a.sin_family = AF_INET;
		a.sin_port = htons((unsigned short)port);
		inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
		std::string out;
		if (connect(fd, (struct sockaddr *)&a, sizeof a) == 0 && send(fd, req.data(), req.size(), MSG_NOSIGNAL) == (ssize_t)req.size())
			out = read_to_end(fd, 3000);
		close(fd);
		size_t at = out.find("\r\n\r\n");
		return at == std::string::npos ? "" : out.substr(at + 4);
	}
	Browser(const TempDir &t, const std::string &url)
	{
		namespace asio = boost::asio;
		Spawn s;
		s.argv = {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
			  "--no-first-run", "--disable-background-networking", "--disable-component-update",
			  "--disable-sync", "--user-data-dir=" + t / "profile", "--window-size=1000,720",
			  "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0", "about:blank"};
		p = start(s);
		std::string port_file = t / "profile/DevToolsActivePort", ws_url;
		if (!wait_until([&] { return slurp(port_file).find('\n') != std::string::npos; }, 30000, 20))
			throw std::runtime_error("no debugging port from chromium: " + drain(p.err));
		int port = atoi(slurp(port_file).c_str());
		bool found = wait_until(
			[&] {
				nlohmann::json list = nlohmann::json::parse(
					ask(port, "GET /json/list HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"), nullptr, false);
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
	~Browser() { stop(p); }
	void go(const std::string &url)
	{
		call("Page.bringToFront", nlohmann::json::object());
		call("Page.navigate", {{"url", url}});
	}
	nlohmann::json call(const std::string &method, nlohmann::json params)
	{
		int id = next_id++;
		ws.write(boost::asio::buffer(nlohmann::json{{"id", id}, {"method", method}, {"params", params}}.dump()));
		for (int n = 0; n < 1000; n++) {  // events until the answer; none are asked for
			boost::beast::flat_buffer b;
			ws.read(b);
			nlohmann::json m = nlohmann::json::parse(boost::beast::buffers_to_string(b.data()));
			if (m.value("id", 0) == id)
				return m.value("result", nlohmann::json::object());
		}
		return {};
	}
	std::string eval(const std::string &expr)
	{
		nlohmann::json r = call("Runtime.evaluate", {{"expression", "String(" + expr + ")"}, {"returnByValue", true}});
		return r.contains("result") ? r["result"].value("value", "") : "";
	}
	// Waits (bounded) until expr says "true".
	bool until(const std::string &expr, int ms = 30000)
	{
		return wait_until([&] { return eval(expr) == "true"; }, ms, 50);
	}
};
