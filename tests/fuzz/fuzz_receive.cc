// The receive steps of net-pipe (any 16 bytes a stamp) and net-arc (16 digits only): a sequence
// of datagrams in, frames out, exactly as the receive rules say; each frame written as a record
// is 3617 bytes with a NUL at byte 16.
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "../rxmodel.h"
#include "frame.h"
#include "fuzz.h"
#include "receive.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	if (size < 1)
		return 0;
	bool digits = data[0] & 1;
	// Datagrams: a two-byte length (up to 5000, beyond the buffer), then that many bytes.
	std::vector<std::string> dg;
	for (size_t at = 1; at + 2 <= size && dg.size() < 64;) {
		size_t n = ((size_t)data[at] << 8 | data[at + 1]) % 5001;
		at += 2;
		n = n < size - at ? n : size - at;
		dg.emplace_back((const char *)data + at, n);
		at += n;
	}
	std::vector<RxFrame> want = rx_model(dg, digits);
	if (want.empty())
		return 0;
	int sv[2];
	CHECK(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv) == 0);
	int big = 1 << 20;
	setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
	size_t last = want.back().last;
	std::thread sender([&] {
		for (size_t i = 0; i <= last; i++)
			CHECK(send(sv[0], dg[i].data(), dg[i].size(), 0) == (ssize_t)dg[i].size());
	});
	static unsigned char buf[FR_HEADER], buf2[FR_PAYLOAD];
	memset(buf2, 0, sizeof buf2);
	for (const RxFrame &f : want) {
		rx_frame(sv[1], buf, buf2, digits);
		CHECK(memcmp(buf, f.stamp.data(), 16) == 0 && buf[16] == '\0');
		CHECK(!digits || all_digits((const char *)buf, 16));
		CHECK(memcmp(buf2, f.payload.data(), FR_PAYLOAD) == 0);
		char *out = nullptr;
		size_t outn = 0;
		FILE *o = open_memstream(&out, &outn);
		CHECK(fr_write(o, buf, buf2) == 0);
		fclose(o);
		CHECK(outn == (size_t)FR_RECORD && out[16] == '\0');
		free(out);
	}
	sender.join();
	close(sv[0]);
	close(sv[1]);
	return 0;
}
