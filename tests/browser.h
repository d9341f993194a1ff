// Headless Chromium showing one page, driven over its debugging WebSocket: it evaluates
// expressions in the page and takes pictures of it when asked, so a test waits for what the
// page says, not for time.
#pragma once

#include <utility>  // before Asio, whose C++20 parts use std::exchange without it

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <nlohmann/json.hpp>
#include <string>

#include "kit.h"

struct Browser {
	Proc p;
	boost::asio::io_context ioc;
	boost::beast::websocket::stream<boost::asio::ip::tcp::socket> ws{ioc};
	int next_id = 1;
	// Chromium with its profile in t, a window of the given size ("WIDTH,HEIGHT"), showing url;
	// throws when it gives no page to drive within bounds.
	Browser(const TempDir &t, const std::string &url, const std::string &window = "1000,720");
	~Browser();
	// Shows url, the tab in front (a tab behind another draws nothing).
	void go(const std::string &url);
	// A command of the debugging protocol: its result, once it comes.
	nlohmann::json call(const std::string &method, nlohmann::json params);
	// An expression's value in the page, as a string ("" if it has none).
	std::string eval(const std::string &expr);
	// Waits (bounded) until expr says "true"; should it not within ms, the page is loaded again,
	// at most reloads times, and waited for as long again.
	bool until(const std::string &expr, int ms = 30000, int reloads = 0);
	// A picture of the page as shown, a PNG file's bytes.
	std::string screenshot();
};
