// The consumers' record reading: any byte stream gives the records the rule implies (whole
// 3617-byte steps; a cut payload keeps the previous tail; a cut header ends), and each one
// written again is exactly 3617 bytes.
#include <string>
#include <vector>

#include "frame.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	if (size == 0)
		return 0;
	FILE *in = fmemopen((void *)data, size, "r");
	CHECK(in);
	unsigned char hdr[FR_HEADER], pay[FR_PAYLOAD] = {0};
	std::string model(FR_PAYLOAD, '\0');
	size_t at = 0;
	for (;;) {
		int st = fr_read(in, hdr, pay);
		CHECK(st != FR_ERROR);
		if (at + FR_HEADER > size) {  // a cut header, or nothing: the end
			CHECK(st == FR_END);
			break;
		}
		CHECK(st == FR_READ);
		CHECK(memcmp(hdr, data + at, FR_HEADER) == 0);
		size_t got = size - (at + FR_HEADER) < (size_t)FR_PAYLOAD ? size - (at + FR_HEADER) : FR_PAYLOAD;
		model.replace(0, got, (const char *)data + at + FR_HEADER, got);
		CHECK(memcmp(pay, model.data(), FR_PAYLOAD) == 0);
		char *out = nullptr;
		size_t outn = 0;
		FILE *o = open_memstream(&out, &outn);
		CHECK(fr_write(o, hdr, pay) == 0);
		fclose(o);
		CHECK(outn == (size_t)FR_RECORD);
		free(out);
		at += FR_RECORD;
	}
	fclose(in);
	return 0;
}
