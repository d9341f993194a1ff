// The frame-file reader on any bytes: it never reads or writes outside its buffers, and what it
// accepts is one gzip stream of exactly 3600 bytes, which compresses back to the same payload.
#include <zlib.h>

#include "fuzz.h"
#include "reader.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	unsigned char pay[FR_PAYLOAD];
	const char *why = arc_inflate(data, size, pay);
	if (why) {
		CHECK(*why);
		return 0;
	}
	CHECK(size >= 18 && data[0] == 0x1f && data[1] == 0x8b);
	// Compressed again, the same payload comes back.
	z_stream z{};
	CHECK(deflateInit2(&z, 1, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK);
	unsigned char gz[8192];
	z.next_in = pay;
	z.avail_in = FR_PAYLOAD;
	z.next_out = gz;
	z.avail_out = sizeof gz;
	CHECK(deflate(&z, Z_FINISH) == Z_STREAM_END);
	size_t n = z.total_out;
	deflateEnd(&z);
	unsigned char again[FR_PAYLOAD];
	CHECK(arc_inflate(gz, n, again) == nullptr && memcmp(pay, again, FR_PAYLOAD) == 0);
	return 0;
}
