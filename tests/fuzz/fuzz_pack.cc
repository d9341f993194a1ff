// The pack reader on any bytes: a pack that is not one, truncated, corrupt or lying in its
// index is refused with a message, never a crash; whatever it gives is what the index says
// (names in order, sizes and checksums matching), within the bounds of a frame file.
#include "fuzz.h"
#include "pack.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	PackReader r;
	if (const char *why = r.open_memory(data, size, "20261207120")) {
		CHECK(why[0] != '\0');
		return 0;
	}
	const std::vector<PackEntry> &ix = r.index();
	for (size_t i = 0; i < ix.size(); i++) {
		CHECK(ix[i].stamp.size() == 16 && ix[i].stamp.compare(0, 11, "20261207120") == 0);
		CHECK(all_digits(ix[i].stamp.data(), 16));
		CHECK(ix[i].size < PACK_MEMBER_MAX);
		CHECK(i == 0 || ix[i - 1].stamp < ix[i].stamp);
	}
	std::string b;
	size_t k, want = 0;
	int got;
	while ((got = r.next(k, &b, want % 3 == 2)) == 1) {
		CHECK(k == want++);
		if (want % 3 != 0)
			CHECK(b.size() == ix[k].size && pack_checksum(b) == ix[k].sum);
	}
	CHECK(got == 0 ? want == ix.size() : r.why()[0] != '\0');
	return 0;
}
