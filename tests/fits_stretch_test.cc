// A stretch as one FITS file (fitswrite.h): read back with CFITSIO equal to the frames given
// (both channels, blank where none came, the later of two for one column, a frame given after
// its block was written, a channel that needs 32 bits), checked by fitsverify; and its refusals.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <fitsio.h>
#include <map>
#include <vector>

#include "fitswrite.h"
#include "kit.h"

namespace {

// A payload whose values say where they came from, distinct for each frame.
std::string pay(int k)
{
	std::string p(FR_PAYLOAD, '\0');
	for (int i = 0; i < FR_POINTS * FR_CHANNELS; i++) {
		unsigned v = (unsigned)(k * 1000 + i) % 65534;
		p[(size_t)(2 * i)] = (char)(v & 0xff);
		p[(size_t)(2 * i + 1)] = (char)(v >> 8);
	}
	return p;
}

long long at(const char *stamp)
{
	long long t = 0;
	EXPECT_TRUE(fr_stamp_time(stamp, &t));
	return t;
}

std::string key(fitsfile *f, const char *name)
{
	char v[FLEN_VALUE] = "", c[FLEN_COMMENT];
	int st = 0;
	fits_read_keyword(f, name, v, c, &st);
	return st ? "(none)" : v;
}

TEST(FitsStretch, ReadBackEqualToTheFramesGiven)
{
	TempDir t;
	const long long from = at("2026120712000000");
	const long cols = 7000;  // four blocks of 2048 columns, the second without a frame
	// Given in this order: every column but 2000 to 4199 and 10; column 5000 again (kept); column
	// 10 once its block is written; frames outside the stretch.
	std::vector<std::pair<long long, std::string>> given;
	std::map<long, std::string> want;
	for (long k = 0; k < cols; k++)
		if ((k < 2000 || k >= 4200) && k != 10)
			given.push_back({from + 50 * k, pay((int)k)});
	std::string big = pay(6500);
	big[2 + 4 * 7] = (char)0xfe, big[3 + 4 * 7] = (char)0xff;  // channel B, point 7: 65534
	given.push_back({from + 50 * 6500, big});
	given.push_back({from + 50 * 5000 + 20, pay(99999)});  // 12:41:40.20: column 5000's half second
	given.push_back({from + 50 * 10, pay(10)});
	given.push_back({from - 50, pay(1)});
	given.push_back({from + 50 * cols, pay(2)});
	for (auto &g : given)
		if (g.first >= from && g.first < from + 50 * cols)
			want[(long)((g.first - from) / 50)] = g.second;
	int passes = 0;
	FwSource source = [&](const FwTake &take) {
		passes++;
		for (auto &g : given)
			take(g.first, (const unsigned char *)g.second.data());
		return std::string();
	};
	FwStation st;
	st.name = "ST";
	std::string path = t / "s.fits";
	ASSERT_EQ(fw_stretch(path, st, from, from + 50 * cols, source), "");
	EXPECT_EQ(passes, 2);

	fitsfile *f = nullptr;
	int status = 0;
	fits_open_diskfile(&f, path.c_str(), READONLY, &status);
	ASSERT_EQ(status, 0);
	int hdus = 0;
	fits_get_num_hdus(f, &hdus, &status);
	EXPECT_EQ(hdus, 3);
	for (int ch = 0; ch < FR_CHANNELS; ch++) {
		SCOPED_TRACE(ch);
		fits_movabs_hdu(f, ch + 1, nullptr, &status);
		bool wide = ch == 1;
		EXPECT_EQ(key(f, "BITPIX"), wide ? "32" : "16");
		EXPECT_EQ(key(f, "NAXIS1"), "7000");
		EXPECT_EQ(key(f, "NAXIS2"), "900");
		EXPECT_EQ(key(f, "CHANNEL"), ch ? "'B       '" : "'A       '");
		EXPECT_EQ(key(f, "DATE-OBS"), "'2026-12-07'");
		EXPECT_EQ(key(f, "TIME-OBS"), "'12:00:00.000'");
		EXPECT_EQ(key(f, "TIME-END"), "'12:58:19.500'");
		fits_set_bscale(f, 1.0, wide ? 0.0 : 32768.0, &status);
		std::vector<int32_t> img((size_t)cols * FR_POINTS);
		int any = 0;
		fits_read_img(f, TINT, 1, (LONGLONG)img.size(), nullptr, img.data(), &any, &status);
		ASSERT_EQ(status, 0);
		long bad = 0;
		int lo = INT_MAX, hi = -1;
		for (long k = 0; k < cols; k++) {
			auto w = want.find(k);
			for (int q = 0; q < FR_POINTS; q++) {
				int expect = w == want.end() ? (wide ? -1 : (int)FW_NONE) : (int)fr_le16((const unsigned char *)w->second.data() + 4 * q + 2 * ch);
				if (w != want.end())
					lo = std::min(lo, expect), hi = std::max(hi, expect);
				if (img[(size_t)q * (size_t)cols + (size_t)k] != expect && bad++ < 5)
					ADD_FAILURE() << "column " << k << " point " << q << ": " << img[(size_t)q * (size_t)cols + (size_t)k] << " not " << expect;
			}
		}
		EXPECT_EQ(bad, 0);
		double dmin = 0, dmax = 0;
		fits_read_key(f, TDOUBLE, "DATAMIN", &dmin, nullptr, &status);
		fits_read_key(f, TDOUBLE, "DATAMAX", &dmax, nullptr, &status);
		EXPECT_EQ(std::lround(dmin * 100), lo);
		EXPECT_EQ(std::lround(dmax * 100), hi);
	}
	fits_movabs_hdu(f, 3, nullptr, &status);
	std::vector<double> time((size_t)cols), freq(FR_POINTS);
	fits_read_col(f, TDOUBLE, 1, 1, 1, cols, nullptr, time.data(), nullptr, &status);
	fits_read_col(f, TDOUBLE, 2, 1, 1, FR_POINTS, nullptr, freq.data(), nullptr, &status);
	EXPECT_EQ(status, 0);
	EXPECT_EQ(time[6999], 3499.5);
	EXPECT_EQ(freq[0], fr_freq(0));
	EXPECT_EQ(freq[899], fr_freq(899));
	fits_close_file(f, &status);

	NEED_READER("/usr/bin/fitsverify");
	Ran v = run({"/usr/bin/fitsverify", path}, "", 30000);
	EXPECT_NE(v.out.find("Verification found 0 warning(s) and 0 error(s)."), std::string::npos) << v.out << v.err;
}

// astropy, as a user's script opens the download: both channels' levels where frames came, and
// nothing (NaN) where none did.
TEST(FitsStretch, AstropyReadsBothChannels)
{
	NEED_READER("astropy");
	TempDir t;
	const long long from = at("2026120712000000");
	FwSource source = [&](const FwTake &take) {
		for (int k = 0; k < 100; k++)
			if (k != 50)
				take(from + 50 * k, (const unsigned char *)pay(k).data());
		return std::string();
	};
	ASSERT_EQ(fw_stretch(t / "s.fits", FwStation(), from, from + 5000, source), "");
	const char *script =
		"import sys\n"
		"from astropy.io import fits\n"
		"h = fits.open(sys.argv[1])\n"
		"a, b = h[0].data, h[1].data\n"
		"print(len(h), a.shape, b.shape, h[1].header['CHANNEL'], h[2].columns.names)\n"
		"print('%.2f %.2f %s %s' % (a[7, 3], b[7, 3], a[7, 50], b[899, 50]))\n";
	Ran r = run({"/usr/bin/python3", "-c", script, t / "s.fits"}, "", 60000);
	ASSERT_EQ(exit_code(r.status), 0) << r.err;
	std::string p = pay(3);
	char want[160];
	snprintf(want, sizeof want, "3 (900, 100) (900, 100) B ['TIME', 'FREQUENCY']\n%.2f %.2f nan nan\n",
		 fr_le16((const unsigned char *)p.data() + 4 * 7) / 100.0, fr_le16((const unsigned char *)p.data() + 4 * 7 + 2) / 100.0);
	EXPECT_EQ(r.out, want);
}

TEST(FitsStretch, Refusals)
{
	TempDir t;
	const long long from = at("2026120712000000");
	std::string p = pay(1);
	FwSource one = [&](const FwTake &take) {
		take(from, (const unsigned char *)p.data());
		return std::string();
	};
	FwSource broken = [&](const FwTake &take) {
		take(from, (const unsigned char *)p.data());
		return std::string("a pack cannot be read");
	};
	FwStation st;
	struct {
		const char *name;
		long long from, to;
		FwSource *src;
		const char *why;
	} cases[] = {
		{"more than a day", from, from + 8640050, &one, "not a stretch of at most a day"},
		{"backwards", from, from, &one, "not a stretch of at most a day"},
		{"no frames in it", from + 100, from + 200, &one, "no frames in the stretch"},
		{"a source that fails", from, from + 100, &broken, "a pack cannot be read"},
	};
	for (auto &c : cases) {
		EXPECT_EQ(fw_stretch(t / "x.fits", st, c.from, c.to, *c.src), c.why) << c.name;
		EXPECT_FALSE(exists(t / "x.fits")) << c.name;
	}
	// A file there already is left as it was.
	spit(t / "y.fits", "keep");
	EXPECT_NE(fw_stretch(t / "y.fits", st, from, from + 100, one).find("cannot write " + t / "y.fits"), std::string::npos);
	EXPECT_EQ(slurp(t / "y.fits"), "keep");
}

}  // namespace
