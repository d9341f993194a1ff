// The burst detector alone, with no input or output: frames made here, a level per point, fed
// to EvDetector at 2 a second, and what it says checked, as a table of skies. The background is
// flat (50 dB) and learnt in the first ten seconds; what is drawn over it is the excess in dB.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "detect.h"
#include "frame.h"

namespace {

constexpr long long T0 = 20577 * 8640000LL;  // 2026-05-04 00:00, in hundredths
constexpr int DT = 50;                       // hundredths between frames

// The excess over the background at frame k and point p, in dB; or NaN for a receiver fault.
using Draw = std::function<double(int k, int p)>;

std::vector<unsigned char> frame_of(const Draw &draw, int k)
{
	std::vector<unsigned char> pl(FR_PAYLOAD);
	for (int p = 0; p < FR_POINTS; p++) {
		double x = draw(k, p);
		unsigned v = std::isnan(x) ? 0 : (unsigned)std::lround(5000 + 100 * x);
		for (int c = 0; c < FR_CHANNELS; c++) {
			pl[4 * p + 2 * c] = v & 0xff;
			pl[4 * p + 2 * c + 1] = v >> 8;
		}
	}
	return pl;
}

// What the detector said, and at which frame (frames for the final finish()).
struct Said { int at; EvEvent ev; };

std::vector<Said> detect(const Draw &draw, int frames)
{
	EvDetector det;
	std::vector<Said> out;
	for (int k = 0; k < frames; k++) {
		std::vector<unsigned char> pl = frame_of(draw, k);
		for (const EvEvent &ev : det.feed(T0 + (long long)DT * k, pl.data()))
			out.push_back({k, ev});
	}
	for (const EvEvent &ev : det.finish())
		out.push_back({frames, ev});
	return out;
}

// Across the whole band for frames [from, to): a slope from 6 dB to 20 dB (not flat, so not a
// gain step).
Draw broadband(int from, int to)
{
	return [=](int k, int p) { return k >= from && k < to ? 6 + 14.0 * p / (double)FR_POINTS : 0; };
}

// A band `wide` MHz wide, db over, its top at 40 MHz at frame from, drifting by mhz_s.
Draw band(int from, int to, double mhz_s, double wide = 6, double db = 10)
{
	return [=](int k, int p) {
		double top = 40 + mhz_s * (k - from) * DT / 100.0, f = fr_freq(p);
		return k >= from && k < to && f <= top && f > top - wide ? db : 0.0;
	};
}

const double LO = fr_freq(0), HI = fr_freq(FR_POINTS - 1);  // the whole band

struct Want {
	const char *kind;
	int start, end;    // frames of its first and last stamps
	int at;            // the frame with which it is said, -1 for any
	double f_lo, f_hi; // MHz, within a bin
};

struct SkyCase {
	const char *name;
	Draw draw;
	int frames;
	std::vector<Want> ended;  // the EV_ENDED, in order
};
void PrintTo(const SkyCase &c, std::ostream *os) { *os << c.name; }
class Detect : public ::testing::TestWithParam<SkyCase> {};

TEST_P(Detect, EndedAsDrawn)
{
	const SkyCase &c = GetParam();
	std::vector<Said> said = detect(c.draw, c.frames), ended;
	for (const Said &s : said)
		if (s.ev.state == EV_ENDED)
			ended.push_back(s);
	ASSERT_EQ(ended.size(), c.ended.size());
	// An event is said once when it is sure, before its end and under its id; a spike or a
	// fault only when it is over.
	for (const Said &e : ended) {
		int starts = 0;
		for (const Said &s : said)
			starts += s.ev.state == EV_STARTED && s.ev.id == e.ev.id && s.at < e.at;
		bool event = ev_is_burst(e.ev.kind);
		EXPECT_EQ(starts, event ? 1 : 0) << ev_kind_name(e.ev.kind);
	}
	EXPECT_EQ(said.size(), ended.size() * 2 - std::count_if(ended.begin(), ended.end(), [](const Said &e) {
				       return !ev_is_burst(e.ev.kind);
			       }));
	for (size_t i = 0; i < ended.size(); i++) {
		const Want &w = c.ended[i];
		const EvEvent &ev = ended[i].ev;
		EXPECT_STREQ(ev_kind_name(ev.kind), w.kind) << i;
		EXPECT_EQ(ev.start, T0 + DT * w.start) << i;
		EXPECT_EQ(ev.end, T0 + DT * w.end) << i;
		if (w.at >= 0) {
			EXPECT_EQ(ended[i].at, w.at) << i;
		}
		EXPECT_NEAR(ev.f_lo, w.f_lo, 4 * FR_FREQ_STEP) << i;
		EXPECT_NEAR(ev.f_hi, w.f_hi, 4 * FR_FREQ_STEP) << i;
	}
}

INSTANTIATE_TEST_SUITE_P(
	Table, Detect,
	::testing::Values(
		SkyCase{"Quiet", [](int, int) { return 0.0; }, 100, {}},
		// A spike is said with the frame after it; from the third frame in a row it is a track,
		// said when that is over (three seconds unseen).
		SkyCase{"BroadbandOneFrame", broadband(40, 41), 100, {{"SPIKE", 40, 40, 41, LO, HI}}},
		SkyCase{"BroadbandTwoFrames", broadband(40, 42), 100, {{"SPIKE", 40, 41, 42, LO, HI}}},
		SkyCase{"BroadbandThreeFrames", broadband(40, 43), 100, {{"SPIKE", 40, 42, 49, LO, HI}}},
		SkyCase{"TwoSpikesAFrameApart",
			[](int k, int p) { return broadband(40, 41)(k, p) + broadband(42, 43)(k, p); }, 100,
			{{"SPIKE", 40, 40, 41, LO, HI}, {"SPIKE", 42, 42, 43, LO, HI}}},
		// Broadband lasting: an event once it has lasted three seconds.
		SkyCase{"BroadbandSixSeconds", broadband(40, 52), 100, {{"OTHER", 40, 51, -1, LO, HI}}},
		SkyCase{"BroadbandHalfAMinute", broadband(40, 100), 140, {{"CONT", 40, 99, -1, LO, HI}}},
		SkyCase{"FastDrift", band(40, 46, -6), 100, {{"III", 40, 45, -1, 19.0, 40.0}}},
		SkyCase{"SlowDrift", band(40, 100, -0.2), 140, {{"II", 40, 99, -1, 28.1, 40.0}}},
		SkyCase{"SteadyBandTenSeconds", band(40, 60, 0), 100, {{"OTHER", 40, 59, -1, 34.0, 40.0}}},
		// Too narrow, too faint or too short for an event.
		SkyCase{"NarrowerThanTwoMegahertz", band(40, 60, 0, 1.5), 100, {}},
		SkyCase{"UnderTheThreshold", band(40, 60, 0, 6, 2.5), 100, {}},
		SkyCase{"OneSecond", band(40, 42, 0), 100, {}},
		// Lit for a while but narrower than a burst over its life: interference, said only
		// when over, never as started.
		SkyCase{"SteadyBandThreeMegahertz", band(40, 60, 0, 3), 100, {{"CARRIER", 40, 59, -1, 37.0, 40.0}}},
		// Broadband, its top half lit a frame before the rest: no drift the frames can tell,
		// so not a type III.
		SkyCase{"BroadbandTopHalfAFrameEarly",
			[](int k, int p) { return k == 39 && p < FR_POINTS / 2 ? 0.0 : broadband(39, 52)(k, p); }, 100,
			{{"OTHER", 39, 51, -1, LO, HI}}},
		SkyCase{"Fault", [](int k, int) { return k >= 40 && k < 43 ? NAN : 0.0; }, 100, {{"FAULT", 40, 42, 43, LO, HI}}}),
	[](const ::testing::TestParamInfo<SkyCase> &i) { return std::string(i.param.name); });

// A frame whose time is not after the last one's is skipped and counted, and changes nothing:
// the spike between the same frames is said as without it.
TEST(Detect, FrameNotAfterTheLastSkipped)
{
	EvDetector det;
	Draw spike = broadband(40, 41);
	std::vector<int> said;
	for (int k = 0; k < 50; k++) {
		std::vector<unsigned char> pl = frame_of(spike, k), loud = frame_of(spike, 40);
		for (const EvEvent &ev : det.feed(T0 + (long long)DT * k, pl.data())) {
			said.push_back(k);
			EXPECT_EQ(ev.start, T0 + DT * 40);
			EXPECT_EQ(ev.end, T0 + DT * 40);
		}
		if (k != 20 && k != 39)
			continue;
		for (long long t : {T0 + (long long)DT * k, T0 + (long long)DT * (k - 1)})  // again, and earlier: loud
			EXPECT_TRUE(det.feed(t, loud.data()).empty());
	}
	EXPECT_EQ(said, std::vector<int>{41});
	EXPECT_EQ(det.counts().frames, 50);
	EXPECT_EQ(det.counts().skipped, 4);
}

}  // namespace
