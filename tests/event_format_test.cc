// An event's outside forms, exactly: the burst-list line, the JSON object (pipe-events' and
// pipe-web's, one key order) and the hook's environment, each from one event.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "event_format.h"
#include "frame.h"

namespace {

long long at(const char *stamp)
{
	long long t = -1;
	fr_stamp_time(stamp, &t);
	return t;
}

struct FormatCase {
	const char *name;
	EvEvent ev;
	std::string line, json;
	std::vector<std::string> env;
};
void PrintTo(const FormatCase &c, std::ostream *os) { *os << c.name; }
class Format : public ::testing::TestWithParam<FormatCase> {};

TEST_P(Format, LineJsonAndEnvironment)
{
	const FormatCase &c = GetParam();
	EXPECT_EQ(ev_line(c.ev), c.line);
	EXPECT_EQ(ev_json(c.ev, false), c.json);
	std::string state = c.ev.state == EV_STARTED ? "start" : "end";
	EXPECT_EQ(ev_json(c.ev, true), c.json.substr(0, c.json.size() - 1) + ",\"state\":\"" + state + "\"}");
	char vars[EV_NVARS][64];
	ev_env(c.ev, vars);
	ASSERT_EQ(c.env.size(), (size_t)EV_NVARS);
	for (int i = 0; i < EV_NVARS; i++)
		EXPECT_EQ(vars[i], c.env[i]);
}

INSTANTIATE_TEST_SUITE_P(
	Table, Format,
	::testing::Values(
		FormatCase{"EndedFastDrift",
			   {EV_ENDED, EV_III, 7, at("2026120800274000"), at("2026120800274300"), at("2026120800274150"),
			    19.775390625, 32.196044921875, 9.94, -7.7345},
			   "2026-12-08 00:27:40-00:27:43 III    19.78- 32.20 MHz  peak 00:27:41   9.9 dB  drift   -7.73 MHz/s",
			   R"({"kind":"III","start":"2026120800274000","end":"2026120800274300","peak":"2026120800274150",)"
			   R"("f_lo":19.775,"f_hi":32.196,"peak_db":9.9,"drift":-7.734,"id":7})",
			   {"EVENT_ID=7", "EVENT_KIND=III", "EVENT_START=2026120800274000", "EVENT_END=2026120800274300",
			    "EVENT_PEAK=2026120800274150", "EVENT_F_LO=19.775", "EVENT_F_HI=32.196", "EVENT_PEAK_DB=9.9",
			    "EVENT_DRIFT=-7.734"}},
		FormatCase{"StartedContinuumOverMidnight",
			   {EV_STARTED, EV_CONT, 12, at("2026123123595950"), at("2027010100000450"), at("2027010100000000"),
			    13.79, 41.2, 20.05, 0},
			   "2026-12-31 23:59:59-...      CONT  start  13.79- 41.20 MHz  peak 00:00:00  20.1 dB  drift    0.00 MHz/s",
			   R"({"kind":"CONT","start":"2026123123595950","end":"2027010100000450","peak":"2027010100000000",)"
			   R"("f_lo":13.79,"f_hi":41.2,"peak_db":20.1,"drift":0.0,"id":12})",
			   {"EVENT_ID=12", "EVENT_KIND=CONT", "EVENT_START=2026123123595950", "EVENT_END=2027010100000450",
			    "EVENT_PEAK=2027010100000000", "EVENT_F_LO=13.790", "EVENT_F_HI=41.200", "EVENT_PEAK_DB=20.1",
			    "EVENT_DRIFT=0.000"}},
		FormatCase{"Spike",
			   {EV_ENDED, EV_SPIKE, 3, at("2026120810000000"), at("2026120810000050"), at("2026120810000050"),
			    fr_freq(0), fr_freq(FR_POINTS - 1), 31.25, 0},
			   "2026-12-08 10:00:00-10:00:00 SPIKE  13.79- 41.23 MHz  peak 10:00:00  31.2 dB  drift    0.00 MHz/s",
			   R"({"kind":"SPIKE","start":"2026120810000000","end":"2026120810000050","peak":"2026120810000050",)"
			   R"("f_lo":13.794,"f_hi":41.229,"peak_db":31.2,"drift":0.0,"id":3})",
			   {"EVENT_ID=3", "EVENT_KIND=SPIKE", "EVENT_START=2026120810000000", "EVENT_END=2026120810000050",
			    "EVENT_PEAK=2026120810000050", "EVENT_F_LO=13.794", "EVENT_F_HI=41.229", "EVENT_PEAK_DB=31.2",
			    "EVENT_DRIFT=0.000"}}),
	[](const ::testing::TestParamInfo<FormatCase> &i) { return std::string(i.param.name); });

}  // namespace
