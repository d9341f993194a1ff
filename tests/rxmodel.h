// The receive rules written out plainly, to check the real receivers against: every datagram
// lands in one 3600-byte buffer that is never cleared; a datagram of exactly 16 bytes (with
// digits set, 16 digits) awaited as a stamp starts a frame, and the next datagram, whatever
// its length, completes it.
#pragma once

#include <cstring>
#include <string>
#include <vector>

struct RxFrame {
	std::string stamp, payload;
	size_t last;  // index of the datagram that completed it
};

inline bool rx_all_digits(const std::string &d)
{
	for (char c : d)
		if (c < '0' || c > '9')
			return false;
	return true;
}

inline std::vector<RxFrame> rx_model(const std::vector<std::string> &dgrams, bool digits)
{
	std::vector<RxFrame> out;
	std::string buf(3600, '\0'), stamp;
	bool awaiting_payload = false;
	for (size_t i = 0; i < dgrams.size(); i++) {
		const std::string &d = dgrams[i];
		memcpy(buf.data(), d.data(), d.size() < 3600 ? d.size() : 3600);
		if (awaiting_payload) {
			out.push_back({stamp, buf, i});
			awaiting_payload = false;
		} else if (d.size() == 16 && (!digits || rx_all_digits(d))) {
			stamp = d;
			awaiting_payload = true;
		}
	}
	return out;
}
