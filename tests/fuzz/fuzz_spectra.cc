// The FITS spectrum reader on any bytes (a memory file, so no name is parsed): it never reads
// outside its buffers or hangs; a file it accepts gives frames in strictly rising time, at most
// one per column or sample, and a file it refuses says why.
#include <fitsio.h>
#include <vector>

#include "frame.h"
#include "fuzz.h"
#include "spectra.h"

// CFITSIO allocates what a header claims (a table of 10^16 bytes, say) and reports a refused
// allocation as its own error: let the allocator refuse rather than abort.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	// CFITSIO's memory files are read a 2880-byte block at a time, past a shorter end: the
	// bytes are given zero-padded to whole blocks (a disk file's short end is its driver's).
	std::vector<unsigned char> buf(data, data + size);
	buf.resize((size + 2879) / 2880 * 2880);
	void *mem = buf.data();
	size_t len = buf.size();
	fitsfile *f = nullptr;
	int st = 0;
	if (fits_open_memfile(&f, "fuzz", READONLY, &mem, &len, 0, nullptr, &st) != 0)
		return 0;
	SpReader r;
	std::string why = sp_open(f, SpOpts{}, &r);
	if (!why.empty()) {
		CHECK(why.size() > 0);
	} else {
		long long t, last = -1;
		long n = 0;
		uint16_t v[FR_POINTS];
		int got;
		while ((got = sp_next(&r, &t, v, &why)) == 1) {
			CHECK(n == 0 || t > last);
			CHECK(t % 50 == 0);
			last = t;
			CHECK(++n <= r.cols);
		}
		CHECK(got == 0 || !why.empty());
	}
	st = 0;
	fits_close_file(f, &st);
	return 0;
}
