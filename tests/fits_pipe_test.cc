// fits-pipe: pipe-fits's files back into the very records it was given; real station files
// (tests/data/realsky) to exact frame counts, stamps and values worked out by hand from their
// digits, with astropy as an outside check of every value; station files made here with
// CFITSIO in each image type; bad files named and skipped with nothing of them written; A and B
// from two files.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <fitsio.h>
#include <functional>
#include <sys/stat.h>

#include "kit.h"

namespace {

const std::string REAL = src("tests/data/realsky/");

std::string ls(const std::string &dir) { return run({"/bin/ls", "-A", dir}).out; }

struct Rec {
	std::string stamp;
	const unsigned char *p;
	unsigned a(int q) const { return p[4 * q] | p[4 * q + 1] << 8; }
	unsigned b(int q) const { return p[4 * q + 2] | p[4 * q + 3] << 8; }
};

std::vector<Rec> records(const std::string &s)
{
	std::vector<Rec> v;
	for (size_t at = 0; at + 3617 <= s.size(); at += 3617)
		v.push_back({s.substr(at, 16), (const unsigned char *)s.data() + at + 17});
	EXPECT_EQ(s.size() % 3617, 0u);
	return v;
}

// A station's file made with CFITSIO: channels x samples, TIME and FREQUENCY in extension 1.
struct Station {
	int bitpix = BYTE_IMG;
	std::vector<double> freq = {45, 30, 20, 10};  // high to low, as stations write them
	long samples = 8;
	std::vector<double> time;  // default: 0.25 s apart
	const char *date = "2015/11/04", *tobs = "12:00:00.250";
	bool ext = true;
	long time_len = -1, freq_len = -1;  // array lengths, when not the image's
	std::function<double(long ch, long s)> value = [](long ch, long s) { return 100.0 + 20.0 * (double)(3 - ch) + (double)s; };
	std::vector<std::pair<const char *, const char *>> keys;  // more header keywords
	int pads = 0;  // more keywords in the extension's header (PAD00 = 'pad', ...)
};

void make(const std::string &path, const Station &s)
{
	fitsfile *f;
	int st = 0;
	long n[2] = {s.samples, (long)s.freq.size()};
	unlink(path.c_str());
	fits_create_diskfile(&f, path.c_str(), &st);
	fits_create_img(f, s.bitpix, 2, n, &st);
	if (s.date)
		fits_write_key(f, TSTRING, "DATE-OBS", (void *)s.date, nullptr, &st);
	fits_write_key(f, TSTRING, "TIME-OBS", (void *)s.tobs, nullptr, &st);
	for (auto &k : s.keys)
		fits_write_key(f, TSTRING, k.first, (void *)k.second, nullptr, &st);
	std::vector<double> img;
	for (long ch = 0; ch < n[1]; ch++)
		for (long i = 0; i < n[0]; i++)
			img.push_back(s.value(ch, i));
	fits_write_img(f, TDOUBLE, 1, (LONGLONG)img.size(), img.data(), &st);
	if (s.ext) {
		std::vector<double> t = s.time, fr = s.freq;
		if (t.empty())
			for (long i = 0; i < s.samples; i++)
				t.push_back(0.25 * (double)i);
		t.resize((size_t)(s.time_len >= 0 ? s.time_len : (long)t.size()));
		fr.resize((size_t)(s.freq_len >= 0 ? s.freq_len : (long)fr.size()));
		std::string tf = std::to_string(t.size()) + "D", ff = std::to_string(fr.size()) + "D";
		char *ttype[] = {(char *)"TIME", (char *)"FREQUENCY"}, *tform[] = {tf.data(), ff.data()};
		fits_create_tbl(f, BINARY_TBL, 1, 2, ttype, tform, nullptr, nullptr, &st);
		fits_write_col(f, TDOUBLE, 1, 1, 1, (LONGLONG)t.size(), t.data(), &st);
		fits_write_col(f, TDOUBLE, 2, 1, 1, (LONGLONG)fr.size(), fr.data(), &st);
		for (int k = 0; k < s.pads; k++) {
			char name[16];
			snprintf(name, sizeof name, "PAD%02d", k);
			fits_write_key(f, TSTRING, name, (void *)"pad", nullptr, &st);
		}
	}
	fits_close_file(f, &st);
	ASSERT_EQ(st, 0) << path;
}

// A payload whose values say where they came from: frame k, point, channel; 0 and 65535 too.
std::string pay(int k)
{
	std::string p(3600, '\0');
	for (int i = 0; i < 1800; i++) {
		unsigned v = i == 0 ? 0 : i == 1 ? 65535 : (unsigned)(k * 7919 + i * 31) % 65536;
		p[(size_t)(2 * i)] = (char)(v & 0xff);
		p[(size_t)(2 * i + 1)] = (char)(v >> 8);
	}
	return p;
}

// Frame k of the edge cases: at point q, channel A the level a[(q + k) % n] and B b[(q + k) % n].
std::string edges(int k, const std::vector<unsigned> &a, const std::vector<unsigned> &b)
{
	std::string p(3600, '\0');
	for (size_t q = 0; q < 900; q++) {
		unsigned va = a[(q + (size_t)k) % a.size()], vb = b[(q + (size_t)k) % b.size()];
		p[4 * q] = (char)(va & 0xff), p[4 * q + 1] = (char)(va >> 8);
		p[4 * q + 2] = (char)(vb & 0xff), p[4 * q + 3] = (char)(vb >> 8);
	}
	return p;
}

int bitpix(const std::string &path)
{
	fitsfile *f;
	int st = 0, bp = 0;
	fits_open_diskfile(&f, path.c_str(), READONLY, &st);
	fits_get_img_type(f, &bp, &st);
	fits_close_file(f, &st);
	EXPECT_EQ(st, 0) << path;
	return bp;
}

TEST(FitsPipe, LevelsAtTheEdgesComeBackFromEitherForm)
{
	// The levels at the edges of 16 bits, with half seconds missing, through pipe-fits and back
	// byte for byte. 65534 stands for "no frame" in a 16-bit file: a channel whose frames hold
	// it is written 32-bit, the other channel of the same period staying 16-bit.
	const std::vector<unsigned> top = {0, 1, 32767, 32768, 65535}, all = {0, 1, 32767, 32768, 65534, 65535};
	struct {
		const char *name;
		std::vector<unsigned> b;
		int bitpix_b;
	} cases[] = {{"both 16-bit", {65535, 32768, 32767, 1, 0}, SHORT_IMG}, {"B holds 65534", all, LONG_IMG}};
	for (auto &c : cases) {
		TempDir t;
		std::string in;
		int k = 0;
		for (const char *s : {"2026120712000000", "2026120712000050", "2026120712000150", "2026120712005950",
				      "2026120712010100", "2026120712010200"})  // 12:00:01, 12:01:00 and 12:01:01.5 missing
			in += record(s, edges(k++, top, c.b));
		Ran w = run({bin("pipe-fits"), "-p", "1", "-z", "+0000", "-n", "E", "-d", t.path}, in);
		ASSERT_EQ(exit_code(w.status), 0) << w.err;
		std::vector<std::string> argv = {bin("fits-pipe"), "-2", "-z", "+0000"};
		for (const char *f : {"E_20261207_120000_01.fit", "E_20261207_120000_02.fit", "E_20261207_120100_01.fit",
				      "E_20261207_120100_02.fit"}) {
			argv.push_back(t / f);
			EXPECT_EQ(bitpix(t / f), f[19] == '1' ? SHORT_IMG : c.bitpix_b) << c.name << " " << f;
		}
		Ran r = run(argv);
		EXPECT_EQ(exit_code(r.status), 0) << c.name << r.err;
		EXPECT_EQ(r.err, "") << c.name;
		EXPECT_TRUE(r.out == in) << c.name << ": " << r.out.size() / 3617 << " records, 6 given";
	}
}

TEST(FitsPipe, OldThirtyTwoBitFilesComeBackExactly)
{
	// Files pipe-fits wrote before its images were 16-bit (tests/data/pipe-fits-32bit/ORIGIN.md):
	// the very records they were made from, all the edge levels, a half second missing.
	const std::vector<unsigned> all = {0, 1, 32767, 32768, 65534, 65535};
	std::vector<unsigned> rev;
	for (unsigned v : all)
		rev.push_back(65535 - v);
	std::string in;
	int k = 0;
	for (const char *s : {"2026120712000000", "2026120712000050", "2026120712000150"})
		in += record(s, edges(k++, all, rev));
	std::string dir = src("tests/data/pipe-fits-32bit/");
	EXPECT_EQ(bitpix(dir + "OLD_20261207_120000_01.fit"), LONG_IMG);
	Ran r = run({bin("fits-pipe"), "-2", "-z", "+0000", dir + "OLD_20261207_120000_01.fit", dir + "OLD_20261207_120000_02.fit"});
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_EQ(r.err, "");
	EXPECT_TRUE(r.out == in) << r.out.size() / 3617 << " records, 3 given";
}

TEST(FitsPipe, PipeFitsFilesComeBackAsTheRecordsItWasGiven)
{
	// Half-second stamps in order with gaps, through pipe-fits and back: the same bytes. Hour
	// periods read in blocks of columns (2048 a block), gzip, a fixed zone and the host's.
	struct {
		const char *name, *period;
		std::vector<int> cols;  // half seconds from 12:00 local
		std::vector<std::string> zone, env;
		bool gz;
	} cases[] = {
		{"minutes", "1", {0, 1, 2, 119, 120, 121, 300, 301}, {"-z", "+0130"}, {}, false},
		{"blocks", "60", {0, 1, 2047, 2048, 2049, 4100, 7199, 7200}, {"-z", "-0500"}, {}, true},
		{"host zone", "15", {0, 3, 1799, 1800, 1805}, {}, {"TZ=CET-1CEST,M3.5.0,M10.5.0/3"}, false},
	};
	for (auto &c : cases) {
		TempDir t;
		std::string in;
		for (size_t k = 0; k < c.cols.size(); k++) {
			int h = c.cols[k];
			char s[32];
			snprintf(s, sizeof s, "20261207%02d%02d%02d%s", 12 + h / 7200, h / 120 % 60, h / 2 % 60, h % 2 ? "50" : "00");
			in += record(s, pay((int)k));
		}
		std::vector<std::string> pf = {bin("pipe-fits"), "-p", c.period, "-d", t.path};
		pf.insert(pf.end(), c.zone.begin(), c.zone.end());
		if (c.gz)
			pf.push_back("-g");
		Ran w = run(pf, in, 60000, c.env);
		ASSERT_EQ(exit_code(w.status), 0) << c.name << w.err;
		std::vector<std::string> argv = {bin("fits-pipe"), "-2"};
		argv.insert(argv.end(), c.zone.begin(), c.zone.end());
		std::string names = ls(t.path);
		for (size_t at = 0; at < names.size(); at = names.find('\n', at) + 1)
			argv.push_back(t / names.substr(at, names.find('\n', at) - at));
		Ran r = run(argv, "", 60000, c.env);
		EXPECT_EQ(exit_code(r.status), 0) << c.name;
		EXPECT_EQ(r.err, "") << c.name;
		EXPECT_TRUE(r.out == in) << c.name << ": " << r.out.size() / 3617 << " records, " << c.cols.size() << " given";
	}
	// One channel's file alone: B repeats A.
	TempDir t;
	std::string in = record("2026120712000000", pay(1)) + record("2026120712000050", pay(2));
	ASSERT_EQ(exit_code(run({bin("pipe-fits"), "-z", "+0000", "-n", "ONE", "-d", t.path}, in).status), 0);
	Ran r = run({bin("fits-pipe"), "-z", "+0000", t / "ONE_20261207_120000_02.fit"});
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	auto v = records(r.out);
	ASSERT_EQ(v.size(), 2u);
	auto w = records(in);
	for (size_t k = 0; k < 2; k++)
		for (int q = 0; q < 900; q++)
			ASSERT_TRUE(v[k].a(q) == w[k].b(q) && v[k].b(q) == w[k].b(q)) << k << " " << q;
}

TEST(FitsPipe, RealStationFilesToExactFrames)
{
	// Given out of order: written in time order. Stamps in UTC (TZ=UTC).
	Ran r = run({bin("fits-pipe"), REAL + "ROSWELL-NM_20200308_203000_xx.fit.gz", REAL + "BIR_20110922_050000_01.fit.gz",
		     REAL + "DARO-HF_20151104_120001_58.fit.gz"}, "", 60000, {"TZ=UTC"});
	EXPECT_EQ(exit_code(r.status), 0);
	EXPECT_EQ(r.err, "");
	auto v = records(r.out);
	// BIR starts 05:00:00.454: 3600 samples up to 05:15:00.204, in 1801 half seconds (the
	// first and last hold one sample). DARO-HF starts 12:00:01.068, its last sample at
	// 12:15:00.818: 1800. ROSWELL-NM starts 20:30:00.575, its last at 20:45:00.325: 1800.
	ASSERT_EQ(v.size(), 1801u + 1800 + 1800);
	EXPECT_EQ(v[0].stamp, "2011092205000000");
	EXPECT_EQ(v[1800].stamp, "2011092205150000");
	EXPECT_EQ(v[1801].stamp, "2015110412000100");
	EXPECT_EQ(v[3600].stamp, "2015110412150050");
	EXPECT_EQ(v[3601].stamp, "2020030820300050");
	EXPECT_EQ(v[5400].stamp, "2020030820450000");
	for (size_t k = 1; k < v.size(); k++)
		ASSERT_LT(v[k - 1].stamp, v[k].stamp);
	// By hand, value = round(digits x 2500 / 255 / 25.4 x 100), digits interpolated between
	// the channels around the point (frequencies as the file stores them, float32):
	// BIR, point 0 (13.7939453125 MHz) between 13.5 MHz (row 184) and 14.437999725 (row 183),
	// weight 0.29394531250 / 0.937999725 = 0.3133746; frame 0 holds sample 0: 175 and 173,
	// 175 - 2 x 0.3133746 = 174.37325 digits = 6730.48; frame 1 samples 1 and 2: 173.5 and 171,
	// 172.71656 digits = 6666.53. Point 450 (27.52685546875 MHz) between 27.0 (row 157) and
	// 27.875 (row 156), weight 0.6021205: frame 0, 168 and 173: 171.01060 = 6600.69.
	// Point 899 (41.229248046875) between 41.0 and 41.5, weight 0.4584961: last frame 159 and
	// 158: 158.54150 = 6119.40.
	struct { size_t frame; int point; unsigned value; } hand[] = {
		{0, 0, 6730}, {1, 0, 6667}, {0, 450, 6601}, {1800, 899, 6119},
		// ROSWELL-NM's band starts at 20 MHz: point 0 is the steady 40.00. Point 450 between
		// 27.187000275 (row 169) and 27.625 (row 168), weight 0.7759256; its first frame,
		// samples 0 and 1: 210.5 and 210: 210.11204 digits = 8109.93. Point 899, the last
		// frame (samples 3598, 3599): 205.5 and 203.5: 204.58301 = 7896.52.
		{3601, 0, 4000}, {3601, 450, 8110}, {5400, 899, 7897},
	};
	for (auto &h : hand) {
		EXPECT_EQ(v[h.frame].a(h.point), h.value) << h.frame << " " << h.point;
		EXPECT_EQ(v[h.frame].b(h.point), h.value) << h.frame << " " << h.point;
	}
	// Another factor and fill: -d 1 gives digits in hundredths; -f 0 a fill of 0.
	r = run({bin("fits-pipe"), "-d", "1", "-f", "0", REAL + "ROSWELL-NM_20200308_203000_xx.fit.gz"}, "", 60000, {"TZ=UTC"});
	v = records(r.out);
	ASSERT_EQ(v.size(), 1800u);
	EXPECT_EQ(v[0].a(0), 0u);
	EXPECT_EQ(v[0].a(450), 21011u);  // 210.11204 digits
}

TEST(FitsPipe, RealStationFilesAgreeWithAstropy)
{
	if (!exists("/usr/bin/python3") || exit_code(run({"/usr/bin/python3", "-c", "import astropy, numpy"}).status) != 0)
		GTEST_SKIP() << "astropy (python3-astropy) is missing: the outside check is skipped";
	TempDir t;
	for (const char *f : {"BIR_20110922_050000_01.fit.gz", "DARO-HF_20151104_120001_58.fit.gz", "ROSWELL-NM_20200308_203000_xx.fit.gz"}) {
		spit(t / "out.records", "");
		Ran r = run_files({bin("fits-pipe"), "-d", "0.5", "-f", "12.34", REAL + f}, "/dev/null", t / "out.records", {"TZ=UTC"}, 60000);
		EXPECT_EQ(exit_code(r.status), 0) << f << r.err;
		Ran check = run({"/usr/bin/python3", src("tests/fits_pipe_check.py"), REAL + f, t / "out.records", "0.5", "12.34"}, "", 120000);
		EXPECT_EQ(check.out.substr(0, 4), "ok: ") << f << check.out << check.err;
	}
}

TEST(FitsPipe, EveryImageTypeAndTheBandsEdges)
{
	// Four channels at 45, 30, 20, 10 MHz (high to low), digits 160, 140, 120, 100 plus the
	// sample's index; samples from 12:00:00.250, 0.25 s apart: half seconds {0}, {1,2}, {3,4},
	// {5,6}, {7}. With -d 1 a value is the digits in hundredths. Point 0 (13.7939453125 MHz):
	// 100 + 20 x 0.37939453125 = 107.587890625, plus the mean index. Point 899 (41.229248046875):
	// 140 + 20 x 11.229248046875 / 15 = 154.97233072917. A channel repeated: its rows averaged.
	TempDir t;
	struct { const char *name; int bitpix; std::vector<double> freq; unsigned p0[5], p899[5]; } cases[] = {
		{"8-bit", BYTE_IMG, {45, 30, 20, 10}, {10759, 10909, 11109, 11309, 11459}, {15497, 15647, 15847, 16047, 16197}},
		{"16-bit", SHORT_IMG, {45, 30, 20, 10}, {10759, 10909, 11109, 11309, 11459}, {15497, 15647, 15847, 16047, 16197}},
		{"float", FLOAT_IMG, {45, 30, 20, 10}, {10759, 10909, 11109, 11309, 11459}, {15497, 15647, 15847, 16047, 16197}},
		// 30 MHz twice (rows 1 and 2: 140 and 120, mean 130), no 20: point 0 is outside the
		// band (10 is gone too: 45, 30, 30, 25), the fill; point 899: 130 + 30 x 11.229248/15.
		{"repeated", BYTE_IMG, {45, 30, 30, 25}, {4000, 4000, 4000, 4000, 4000}, {15246, 15396, 15596, 15796, 15946}},
	};
	for (auto &c : cases) {
		Station s;
		s.bitpix = c.bitpix;
		s.freq = c.freq;
		make(t / "s.fit", s);
		Ran r = run({bin("fits-pipe"), "-d", "1", "-z", "+0000", t / "s.fit"});
		EXPECT_EQ(exit_code(r.status), 0) << c.name << r.err;
		auto v = records(r.out);
		ASSERT_EQ(v.size(), 5u) << c.name;
		const char *stamps[] = {"2015110412000000", "2015110412000050", "2015110412000100", "2015110412000150", "2015110412000200"};
		for (int k = 0; k < 5; k++) {
			EXPECT_EQ(v[(size_t)k].stamp, stamps[k]);
			EXPECT_EQ(v[(size_t)k].a(0), c.p0[k]) << c.name << " frame " << k;
			EXPECT_EQ(v[(size_t)k].a(899), c.p899[k]) << c.name << " frame " << k;
			EXPECT_EQ(v[(size_t)k].b(899), c.p899[k]) << c.name << " frame " << k;
		}
	}
}

TEST(FitsPipe, BadFilesAreNamedAndSkipped)
{
	// Each bad file between two good ones: the output is the good ones' alone, the bad one named.
	TempDir t;
	Station early, late;
	late.date = "2015/11/05";
	make(t / "early.fit", early);
	make(t / "late.fit", late);
	Ran good = run({bin("fits-pipe"), "-z", "+0000", t / "early.fit", t / "late.fit"});
	ASSERT_EQ(exit_code(good.status), 0);
	ASSERT_EQ(good.out.size(), 10u * 3617);
	auto with = [](std::function<void(Station &)> f) { Station s; f(s); return s; };
	struct { const char *name; std::string why; Station s; const char *text; } cases[] = {
		{"text.fit", "not a FITS file", {}, "SIMPLE? no\n"},
		{"empty.fit", "not a FITS file", {}, ""},
		{"noext.fit", "no extension", with([](Station &s) { s.ext = false; }), nullptr},
		{"time.fit", "TIME has 7 values for 8 samples", with([](Station &s) { s.time_len = 7; }), nullptr},
		{"freq.fit", "FREQUENCY has 5 values for 4 channels", with([](Station &s) { s.freq_len = 5; }), nullptr},
		{"band.fit", "band 45.000-100.000 MHz does not reach 13.79-41.23 MHz",
		 with([](Station &s) { s.freq = {100, 80, 60, 45}; }), nullptr},
		{"order.fit", "times out of order", with([](Station &s) { s.time = {0, 0.25, 0.5, 0.75, 0.75, 1, 1.25, 1.5}; }), nullptr},
		{"nan.fit", "the image holds values that are not numbers",
		 with([](Station &s) { s.bitpix = FLOAT_IMG; s.value = [](long ch, long i) { return ch == 2 && i == 5 ? NAN : 1.0; }; }), nullptr},
		{"nodate.fit", "no start time (DATE-OBS)", with([](Station &s) { s.date = nullptr; }), nullptr},
		{"baddate.fit", "start time not a real time (DATE-OBS '2015/02/29', TIME-OBS '12:00:00.250')",
		 with([](Station &s) { s.date = "2015/02/29"; }), nullptr},
		{"y1970.fit", "start time outside the years 1971 to 9998 (DATE-OBS '1970/06/01', TIME-OBS '12:00:00.250')",
		 with([](Station &s) { s.date = "1970/06/01"; }), nullptr},
		{"one.fit", "one frequency only (30.000 MHz): not a band", with([](Station &s) { s.freq = {30, 30, 30, 30}; }), nullptr},
		{"bscale.fit", "BSCALE 0.000000 is not a scale (it must be above 0)",
		 with([](Station &s) { s.keys = {{"BSCALE", "0"}}; }), nullptr},
		{"ours.fit", "not as pipe-fits writes it: not 900 rows of 16- or 32-bit levels in hundredths, half a second a column",
		 with([](Station &s) { s.keys = {{"BUNIT", "level"}, {"CHANNEL", "A"}}; }), nullptr},
	};
	for (auto &c : cases) {
		std::string bad = t / c.name;
		if (c.text)
			spit(bad, c.text);
		else
			make(bad, c.s);
		Ran r = run({bin("fits-pipe"), "-z", "+0000", t / "late.fit", bad, t / "early.fit"});
		EXPECT_EQ(exit_code(r.status), 1) << c.name;
		EXPECT_EQ(r.err, "fits-pipe: " + bad + ": " + c.why + "; skipped\n") << c.name;
		EXPECT_TRUE(r.out == good.out) << c.name;
	}
	// Header cards CFITSIO cannot be trusted to parse (a column name that fills its card
	// unquoted overflows its field), read raw and refused before it parses them.
	struct { const char *name, *find, *card, *why; int pads; } raw[] = {
		{"ttype.fit", "TTYPE2  = ", "TTYPE2  = \x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05"
		 "\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05"
		 "\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05\x05",
		 "a header card's value (TTYPE2) is too long to be a number", 0},
		{"zimage.fit", "TFORM2  = ", "ZIMAGE  =                    T", "a tile-compressed image, which is not a station's file", 0},
		{"zimage2.fit", "PAD39   = ", "ZIMAGE  =                    T", "a tile-compressed image, which is not a station's file",
		 40},  // in the header's second block
	};
	for (auto &c : raw) {
		std::string bad = t / c.name, card = std::string(c.card) + std::string(80 - strlen(c.card), ' ');
		make(bad, with([&](Station &s) { s.pads = c.pads; }));
		std::string bytes = slurp(bad);
		size_t at = bytes.find(c.find);
		ASSERT_NE(at, std::string::npos) << c.name;
		bytes.replace(at, 80, card);
		spit(bad, bytes);
		Ran r = run({bin("fits-pipe"), "-z", "+0000", t / "late.fit", bad, t / "early.fit"});
		EXPECT_EQ(exit_code(r.status), 1) << c.name;
		EXPECT_EQ(r.err, "fits-pipe: " + bad + ": " + c.why + "; skipped\n") << c.name;
		EXPECT_TRUE(r.out == good.out) << c.name;
	}
	// A short value written free-format (left-justified, no comment) is read as it always was.
	std::string free_form = t / "free.fit";
	make(free_form, with([](Station &s) { s.pads = 1; }));
	std::string bytes = slurp(free_form);
	bytes.replace(bytes.find("PAD00   = "), 80, "PAD00   = 5" + std::string(69, ' '));
	spit(free_form, bytes);
	Ran free_r = run({bin("fits-pipe"), "-z", "+0000", free_form});
	EXPECT_EQ(exit_code(free_r.status), 0) << free_r.err;
	EXPECT_EQ(free_r.out.size(), 5u * 3617);
	// A small gzip file that would inflate to more than any station's file, refused before it
	// is opened whole in memory.
	std::string bomb = t / "bomb.fit.gz";
	gzFile g = gzopen(bomb.c_str(), "wb9");
	std::string zeros(1 << 20, '\0');
	for (int i = 0; i < 65; i++)
		gzwrite(g, zeros.data(), (unsigned)zeros.size());
	gzclose(g);
	Ran big = run({bin("fits-pipe"), "-z", "+0000", t / "late.fit", bomb, t / "early.fit"});
	EXPECT_EQ(exit_code(big.status), 1);
	EXPECT_EQ(big.err, "fits-pipe: " + bomb + ": inflates to more than 64 MiB; skipped\n");
	EXPECT_TRUE(big.out == good.out);
	// A file that is not there, a name CFITSIO would read as an instruction (just a name), a
	// folder and a pipe with no writer (never waited on).
	mkfifo((t / "fifo").c_str(), 0644);
	Ran r = run({bin("fits-pipe"), t / "none.fit", "early.fit[1]", t.path, t / "fifo"}, "", 20000);
	EXPECT_EQ(exit_code(r.status), 1);
	EXPECT_EQ(r.err, "fits-pipe: " + t / "none.fit" + ": cannot open: No such file or directory; skipped\n"
			 "fits-pipe: early.fit[1]: cannot open: No such file or directory; skipped\n"
			 "fits-pipe: " + t.path + ": not a regular file; skipped\n"
			 "fits-pipe: " + t / "fifo" + ": not a regular file; skipped\n");
	EXPECT_EQ(r.out, "");
}

// A gzipped station's file whose writer left its last block short (the table's padding cut
// off) is read as the whole file is.
TEST(FitsPipe, AGzipFileEndingShortOfItsLastBlockIsReadWhole)
{
	TempDir t;
	make(t / "whole.fit", Station{});
	std::string bytes = slurp(t / "whole.fit");
	ASSERT_EQ(bytes.size(), 4u * 2880);
	Ran whole = run({bin("fits-pipe"), "-z", "+0000", t / "whole.fit"});
	ASSERT_EQ(exit_code(whole.status), 0) << whole.err;
	ASSERT_EQ(whole.out.size(), 5u * 3617);
	std::string cut = bytes.substr(0, 3 * 2880 + 96);  // the table's one row of 96 bytes, unpadded
	gzFile g = gzopen((t / "short.fit.gz").c_str(), "wb9");
	ASSERT_EQ(gzwrite(g, cut.data(), (unsigned)cut.size()), (int)cut.size());
	gzclose(g);
	Ran r = run({bin("fits-pipe"), "-z", "+0000", t / "short.fit.gz"});
	EXPECT_EQ(exit_code(r.status), 0);
	EXPECT_EQ(r.err, "");
	EXPECT_TRUE(r.out == whole.out);
}

TEST(FitsPipe, OverlappingFilesNeverGoBack)
{
	// The second file starts inside the first: its frames up to the first's last are skipped.
	TempDir t;
	Station a, b;
	b.tobs = "12:00:01.250";  // half seconds 01.00 to 03.00; a has 00.00 to 02.00
	make(t / "a.fit", a);
	make(t / "b.fit", b);
	Ran r = run({bin("fits-pipe"), "-d", "1", "-z", "+0000", t / "b.fit", t / "a.fit"});
	EXPECT_EQ(exit_code(r.status), 0);
	EXPECT_EQ(r.err, "fits-pipe: 3 records skipped: not after the last frame written\n");
	auto v = records(r.out);
	ASSERT_EQ(v.size(), 7u);
	EXPECT_EQ(v[4].stamp, "2015110412000200");
	EXPECT_EQ(v[5].stamp, "2015110412000250");
	EXPECT_EQ(v[5].a(899), 16047u);  // b's samples 5 and 6: 154.97233 + 5.5 digits
}

TEST(FitsPipe, ChannelsAAndBFromTwoFiles)
{
	// A pair: A from the first, B from the second, over the half seconds both have. B starts
	// half a second later and has digits 50 lower; pairs given out of order come in order.
	TempDir t;
	Station a, b, a2, b2;
	b.tobs = "12:00:00.750";
	b.value = [](long ch, long i) { return 50.0 + 20.0 * (double)(3 - ch) + (double)i; };
	a2.date = b2.date = "2015/11/05";
	make(t / "a.fit", a);
	make(t / "b.fit", b);
	make(t / "a2.fit", a2);
	make(t / "b2.fit", b2);
	Ran r = run({bin("fits-pipe"), "-2", "-d", "1", "-z", "+0000", t / "a2.fit", t / "b2.fit", t / "a.fit", t / "b.fit"});
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_EQ(r.err, "");
	auto v = records(r.out);
	ASSERT_EQ(v.size(), 4u + 5);
	// a's half seconds 0-4, b's 1-5 ({.75}, {1, 1.25}, ...): 1 to 4 together.
	EXPECT_EQ(v[0].stamp, "2015110412000050");
	EXPECT_EQ(v[3].stamp, "2015110412000200");
	EXPECT_EQ(v[4].stamp, "2015110512000000");
	EXPECT_EQ(v[0].a(899), 15647u);  // a's samples 1, 2
	EXPECT_EQ(v[0].b(899), 10497u);  // b's sample 0: 90 + 20 x 11.229248 / 15 = 104.97233
	EXPECT_EQ(v[3].a(899), 16197u);  // a's sample 7
	EXPECT_EQ(v[3].b(899), 11047u);  // b's samples 5, 6
	EXPECT_EQ(v[4].b(899), v[4].a(899));
	// A bad half of a pair: both skipped, both named.
	spit(t / "bad.fit", "not fits");
	r = run({bin("fits-pipe"), "-2", "-z", "+0000", t / "a.fit", t / "bad.fit", t / "a2.fit", t / "b2.fit"});
	EXPECT_EQ(exit_code(r.status), 1);
	EXPECT_EQ(r.err, "fits-pipe: " + t / "bad.fit" + ": not a FITS file; skipped\n"
			 "fits-pipe: " + t / "a.fit" + ": skipped with its pair " + t / "bad.fit" + "\n");
	EXPECT_EQ(records(r.out).size(), 5u);
	// Two station files with no half second in common: named, nothing written.
	r = run({bin("fits-pipe"), "-2", "-z", "+0000", t / "a.fit", t / "b2.fit"});
	EXPECT_EQ(exit_code(r.status), 1);
	EXPECT_EQ(r.err, "fits-pipe: " + t / "a.fit" + " and " + t / "b2.fit" + ": no half second in common; skipped\n");
	EXPECT_EQ(r.out, "");
}

// pipe-fits' own files pair only as A then B of one period: a file missing from a list of
// pairs, or the two swapped, is named with its pair, never a silent shift or swap; gzip files
// are read by their names alone, brackets and all.
TEST(FitsPipe, PipeFitsPairsAreAThenBOfOnePeriod)
{
	TempDir t;
	Ran sky = run({bin("frame-send"), "-o", "-c", "1200", "-T", "2026120800000000"});
	ASSERT_EQ(exit_code(run({bin("pipe-fits"), "-z", "+0000", "-p", "5", "-d", t.path}, sky.out).status), 0);
	std::string a0 = t / "SPECTRUM_20261208_000000_01.fit", b0 = t / "SPECTRUM_20261208_000000_02.fit";
	std::string a5 = t / "SPECTRUM_20261208_000500_01.fit", b5 = t / "SPECTRUM_20261208_000500_02.fit";
	Ran whole = run({bin("fits-pipe"), "-2", "-z", "+0000", a0, b0, a5, b5});
	EXPECT_EQ(exit_code(whole.status), 0) << whole.err;
	EXPECT_TRUE(whole.out == sky.out.substr(0, whole.out.size()) && whole.out.size() == 1200u * 3617);
	const std::string why = " (pipe-fits' files pair A and B of one start); skipped\n";
	struct { std::vector<std::string> files; std::string err; size_t frames; } cases[] = {
		{{b0, a0}, "fits-pipe: " + a0 + ": not channel B of the period of " + b0 + why +
				   "fits-pipe: " + b0 + ": skipped with its pair " + a0 + "\n", 0},
		{{a0, b5, a5, b0}, "fits-pipe: " + b5 + ": not channel B of the period of " + a0 + why +
					   "fits-pipe: " + a0 + ": skipped with its pair " + b5 + "\n" +
					   "fits-pipe: " + b0 + ": not channel B of the period of " + a5 + why +
					   "fits-pipe: " + a5 + ": skipped with its pair " + b0 + "\n", 0},
	};
	for (auto &c : cases) {
		std::vector<std::string> argv = {bin("fits-pipe"), "-2", "-z", "+0000"};
		argv.insert(argv.end(), c.files.begin(), c.files.end());
		Ran r = run(argv);
		EXPECT_EQ(exit_code(r.status), 1);
		EXPECT_EQ(r.err, c.err);
		EXPECT_EQ(r.out.size(), c.frames * 3617);
	}
	std::string odd = t / "odd[1].fit.gz";
	ASSERT_EQ(run({"/bin/sh", "-c", "gzip -c '" + a0 + "' > '" + odd + "'"}).status, 0);
	Ran r = run({bin("fits-pipe"), "-z", "+0000", odd});
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	EXPECT_EQ(r.out.size(), 600u * 3617);
}

TEST(FitsPipe, Refusals)
{
	for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
		     {}, {"-2", "one.fit"}, {"-d", "0", "x"}, {"-d", "x", "x"}, {"-d", "101", "x"}, {"-f", "655.36", "x"},
		     {"-f", "-1", "x"}, {"-z", "0100", "x"}, {"-z", "+1500", "x"}, {"-q", "x"}}) {
		args.insert(args.begin(), bin("fits-pipe"));
		Ran r = run(args, "");
		EXPECT_EQ(exit_code(r.status), 2) << args.size();
		EXPECT_EQ(r.err.rfind("usage: fits-pipe", 0), 0u) << r.err;
		EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
		if (args.size() == 3 && args[1] == "-2") {
			EXPECT_NE(r.err.find(": -2 takes files in pairs, and 1 were given\n"), std::string::npos) << r.err;
		}
	}
	Ran r = run({bin("fits-pipe"), "--version"});
	EXPECT_EQ(exit_code(r.status), 0);
	EXPECT_EQ(r.out.rfind("fits-pipe ", 0), 0u);
	r = run({bin("fits-pipe"), "--help"});
	EXPECT_EQ(exit_code(r.status), 0);
	EXPECT_EQ(r.out.rfind("usage: fits-pipe", 0), 0u);
}

TEST(FitsPipe, AValueOutOfRangeAnywhereInPipeFitsFileSkipsItWhole)
{
	// A file laid out as pipe-fits writes it, one stored value then changed to what no level
	// is, or a column blank in part: named and skipped with none of its frames written,
	// wherever the value lies (the first block of columns or a later one). A frame holding
	// 65534 makes the file 32-bit, where any integer can be stored; a 16-bit file can hold no
	// value out of range, only BLANK (32766) where it does not belong.
	const char *range = " is not a level in hundredths (0 to 65535, or -1 for none)";
	struct {
		long col;  // the column (half second) changed: frames in 0, 3000 and 3599
		int value;
		bool wide;
		std::string why;
	} cases[] = {
		{0, -2, true, "value -2" + std::string(range)},
		{0, 65536, true, "value 65536" + std::string(range)},
		{3000, 70000, true, "value 70000" + std::string(range)},
		{3000, -2, true, "value -2" + std::string(range)},
		{3599, 65536, true, "value 65536" + std::string(range)},
		{3599, -1, true, "column 3599 is blank in part"},
		{1, 5, true, "column 1 is blank in part"},
		{0, 32766, false, "column 0 is blank in part"},
		{3000, 32766, false, "column 3000 is blank in part"},
		{2999, 0, false, "column 2999 is blank in part"},
	};
	for (auto &c : cases) {
		SCOPED_TRACE("column " + std::to_string(c.col) + ", value " + std::to_string(c.value));
		TempDir t;
		std::string p1 = pay(1);
		if (c.wide)
			p1[8] = (char)0xfe, p1[9] = (char)0xff;  // level 65534 at point 2 of channel A
		std::string in = record("2026120712000000", p1) + record("2026120712250000", pay(2)) +
				 record("2026120712295950", pay(3));
		Ran w = run({bin("pipe-fits"), "-p", "60", "-z", "+0000", "-n", "ONE", "-d", t.path}, in);
		ASSERT_EQ(exit_code(w.status), 0) << w.err;
		std::string file = t / "ONE_20261207_120000_01.fit";
		ASSERT_EQ(bitpix(file), c.wide ? LONG_IMG : SHORT_IMG);
		Ran good = run({bin("fits-pipe"), "-z", "+0000", file});
		ASSERT_EQ(exit_code(good.status), 0) << good.err;
		ASSERT_EQ(good.out.size(), 3u * 3617);
		fitsfile *f;
		int st = 0;
		fits_open_diskfile(&f, file.c_str(), READWRITE, &st);
		fits_set_bscale(f, 1.0, 0.0, &st);  // the stored integer itself
		long at[2] = {c.col + 1, 6};
		int v = c.value;
		fits_write_pix(f, TINT, at, 1, &v, &st);
		fits_close_file(f, &st);
		ASSERT_EQ(st, 0);
		Ran r = run({bin("fits-pipe"), "-z", "+0000", file});
		EXPECT_EQ(exit_code(r.status), 1);
		EXPECT_EQ(r.err, "fits-pipe: " + file + ": " + c.why + "; skipped\n");
		EXPECT_EQ(r.out.size(), 0u) << r.out.size() / 3617 << " records of a bad file written";
	}
}

}  // namespace
