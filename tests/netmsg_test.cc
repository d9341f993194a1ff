// What arrives from the broker, checked: burst, status and frame messages, good and hostile; and
// the matching of bursts across stations into the network's bursts, with its list line and JSON.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame.h"
#include "netmsg.h"

namespace {

const std::string GOOD = R"({"kind":"III","start":"2026120800274000","end":"2026120800274300",)"
			 R"("peak":"2026120800274150","f_lo":19.775,"f_hi":32.196,"peak_db":9.9,"drift":-7.734,"id":7,"station":"A"})";

std::string with(const std::string &from, const std::string &to)
{
	std::string s = GOOD;
	s.replace(s.find(from), from.size(), to);
	return s;
}

struct BurstCase {
	const char *name;
	std::string msg, station, why;
};
void PrintTo(const BurstCase &c, std::ostream *os) { *os << c.name; }
class BurstMsg : public ::testing::TestWithParam<BurstCase> {};

TEST_P(BurstMsg, AcceptedOrRefusedWithItsReason)
{
	const BurstCase &c = GetParam();
	NetBurst b;
	EXPECT_EQ(net_burst_parse(c.msg.data(), c.msg.size(), c.station, b), c.why);
}

INSTANTIATE_TEST_SUITE_P(
	Table, BurstMsg,
	::testing::Values(
		BurstCase{"Good", GOOD, "A", ""},
		BurstCase{"Interference", with("\"III\"", "\"CARRIER\""), "A", ""},
		BurstCase{"Garbage", "\x01\xff{{", "A", "not a JSON object"},
		BurstCase{"AList", "[1,2]", "A", "not a JSON object"},
		BurstCase{"Empty", "", "A", "not a JSON object"},
		BurstCase{"Oversized", GOOD.substr(0, GOOD.size() - 1) + ",\"x\":\"" + std::string(5000, 'x') + "\"}", "A", "too large"},
		BurstCase{"AnotherStationsName", GOOD, "B", "not from its subject's station"},
		BurstCase{"NoStation", with(",\"station\":\"A\"", ""), "A", "not from its subject's station"},
		BurstCase{"UnknownKind", with("\"III\"", "\"IV\""), "A", "no known kind"},
		BurstCase{"StampNotATime", with("2026120800274000", "2026130800274000"), "A", "a stamp that is not a time"},
		BurstCase{"StampShort", with("2026120800274000", "202612080027400"), "A", "a stamp that is not a time"},
		BurstCase{"StampANumber", with("\"2026120800274000\"", "2026120800274000"), "A", "a stamp that is not a time"},
		BurstCase{"EndBeforeStart", with("2026120800274300", "2026120800273900"), "A", "an end before its start, or more than four hours after it"},
		BurstCase{"LongerThanTheDetectorsEvents", with("2026120800274300", "2026120804274050"), "A", "an end before its start, or more than four hours after it"},
		BurstCase{"BandUpsideDown", with("19.775", "40.5"), "A", "no band"},
		BurstCase{"BandNotANumber", with("19.775", "\"low\""), "A", "no band"},
		BurstCase{"NoId", with("\"id\":7", "\"id\":7.5"), "A", "no id"}));

TEST(StatusMsg, FromItsStationOnly)
{
	std::string ok = R"({"station":"A","frames":3})";
	EXPECT_EQ(net_status_check(ok.data(), ok.size(), "A"), "");
	EXPECT_EQ(net_status_check(ok.data(), ok.size(), "B"), "not from its subject's station");
	EXPECT_EQ(net_status_check("nope", 4, "A"), "not a JSON object");
}

TEST(FrameMsg, ExactlyOneRecordOfARealTime)
{
	std::string rec = std::string("2026120800274000") + '\0' + std::string(FR_PAYLOAD, 'x');
	EXPECT_TRUE(net_record_ok(rec.data(), rec.size()));
	EXPECT_FALSE(net_record_ok(rec.data(), rec.size() - 1));
	EXPECT_FALSE(net_record_ok((rec + rec).data(), 2 * rec.size()));
	std::string bad = rec;
	bad[5] = '3';  // month 13
	EXPECT_FALSE(net_record_ok(bad.data(), bad.size()));
	bad = rec;
	bad[16] = ' ';
	EXPECT_FALSE(net_record_ok(bad.data(), bad.size()));
}

TEST(Subject, NamesItsStationOrNothing)
{
	EXPECT_EQ(net_subject_station("spectrum.bursts.A-1", NET_BURSTS), "A-1");
	EXPECT_EQ(net_subject_station("spectrum.bursts.", NET_BURSTS), "");
	EXPECT_EQ(net_subject_station("spectrum.bursts.-x", NET_BURSTS), "");
	EXPECT_EQ(net_subject_station("spectrum.status.A", NET_BURSTS), "");
}

NetBurst burst(const std::string &station, const char *start, const char *end, double lo, double hi, long id = 1,
	       const char *kind = "III")
{
	std::string m = R"({"kind":")" + std::string(kind) + R"(","start":")" + start + R"(","end":")" + end +
			R"(","f_lo":)" + std::to_string(lo) + R"(,"f_hi":)" + std::to_string(hi) + R"(,"id":)" +
			std::to_string(id) + R"(,"station":")" + station + "\"}";
	NetBurst b;
	EXPECT_EQ(net_burst_parse(m.data(), m.size(), station, b), "") << m;
	return b;
}

struct MatchCase {
	const char *name;
	std::vector<NetBurst> bursts;
	std::vector<std::string> lines;
};
void PrintTo(const MatchCase &c, std::ostream *os) { *os << c.name; }
class Match : public ::testing::TestWithParam<MatchCase> {};

TEST_P(Match, ListsWhatEnoughStationsSaw)
{
	const MatchCase &c = GetParam();
	NetMatch m(2, 6000, 1000);
	long token = 0;
	for (const NetBurst &b : c.bursts)
		m.add(b, token++, 0);
	std::vector<NetGroup> out;
	std::vector<long> done;
	m.settle(999, out, done);
	EXPECT_TRUE(out.empty() && done.empty());  // not settled before the hold
	m.settle(1000, out, done);
	std::vector<std::string> lines;
	for (const NetGroup &g : out)
		lines.push_back(net_group_line(g));
	EXPECT_EQ(lines, c.lines);
	EXPECT_EQ(done.size(), c.bursts.size());  // every burst settled, listed or not
	EXPECT_EQ(m.held(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
	Table, Match,
	::testing::Values(
		MatchCase{"TwoStationsOneBurst",
			  {burst("B", "2026120800274000", "2026120800274300", 20, 30),
			   burst("A", "2026120800274100", "2026120800274400", 25, 35)},
			  {"20261208\t00:27-00:27\tIII\tA,B"}},
		MatchCase{"OneStationAlone", {burst("A", "2026120800274000", "2026120800274300", 20, 30)}, {}},
		MatchCase{"OneStationTwice",
			  {burst("A", "2026120800274000", "2026120800274300", 20, 30, 1),
			   burst("A", "2026120800275000", "2026120800275300", 20, 30, 2)},
			  {}},
		MatchCase{"WithinTheWindow",
			  {burst("A", "2026120800274000", "2026120800274300", 20, 30),
			   burst("B", "2026120800284200", "2026120800285000", 20, 30, 1, "CONT")},
			  {"20261208\t00:27-00:28\tIII\tA,B"}},
		MatchCase{"BeyondTheWindow",
			  {burst("A", "2026120800274000", "2026120800274300", 20, 30),
			   burst("B", "2026120800284400", "2026120800285000", 20, 30)},
			  {}},
		MatchCase{"BandsApart",
			  {burst("A", "2026120800274000", "2026120800274300", 14, 20),
			   burst("B", "2026120800274000", "2026120800274300", 25, 40)},
			  {}},
		MatchCase{"ExactlyTheWindowApart",
			  {burst("A", "2026120800274000", "2026120800274300", 20, 30),
			   burst("B", "2026120800284300", "2026120800285000", 20, 30)},
			  {"20261208\t00:27-00:28\tIII\tA,B"}},
		MatchCase{"BandsApartTheHigherFirst",
			  {burst("A", "2026120800274000", "2026120800274300", 25, 40),
			   burst("B", "2026120800274000", "2026120800274300", 14, 20)},
			  {}},
		MatchCase{"ABridgeJoinsTwoSets",
			  {burst("A", "2026120800270000", "2026120800271000", 20, 30),
			   burst("B", "2026120800290000", "2026120800291000", 20, 30),
			   burst("C", "2026120800280000", "2026120800281000", 20, 30)},
			  {"20261208\t00:27-00:29\tIII\tA,B,C"}},
		MatchCase{"ContinuumIsCTM",
			  {burst("A", "2026123123590000", "2027010100010000", 14, 40, 1, "CONT"),
			   burst("B", "2026123123590500", "2027010100010000", 14, 40, 1, "CONT")},
			  {"20261231\t23:59-00:01\tCTM\tA,B"}}));

TEST(Match, ARepeatIsHeldOnceAndTheJsonNamesEveryStation)
{
	NetMatch m(2, 6000, 0);
	NetBurst a = burst("A", "2026120800274000", "2026120800274300", 20, 30);
	EXPECT_TRUE(m.add(a, 1, 0));
	EXPECT_FALSE(m.add(a, 2, 0));
	EXPECT_TRUE(m.add(burst("B", "2026120800274100", "2026120800274400", 25, 35), 3, 0));
	std::vector<NetGroup> out;
	std::vector<long> done;
	m.settle(0, out, done);
	ASSERT_EQ(out.size(), 1u);
	EXPECT_EQ(net_group_json(out[0]), R"({"kind":"III","start":"2026120800274000","end":"2026120800274400",)"
					  R"("f_lo":20.0,"f_hi":35.0,"stations":["A","B"]})");
	EXPECT_EQ(done, (std::vector<long>{1, 3}));
}

// Two bursts of one station starting at once (a type III and a type II, with ids of their own)
// are two: each is held, and the one another station saw too is listed.
TEST(Match, TwoBurstsOfOneStationAtOneStartAreBothHeld)
{
	NetMatch m(2, 6000, 0);
	EXPECT_TRUE(m.add(burst("A", "2026120800274000", "2026120800274300", 20, 30, 1), 1, 0));
	EXPECT_TRUE(m.add(burst("A", "2026120800274000", "2026120800280000", 35, 40, 2, "II"), 2, 0));
	EXPECT_TRUE(m.add(burst("B", "2026120800274100", "2026120800280000", 36, 41, 7, "II"), 3, 0));
	EXPECT_EQ(m.held(), 3u);
	std::vector<NetGroup> out;
	std::vector<long> done;
	m.settle(0, out, done);
	ASSERT_EQ(out.size(), 1u);
	EXPECT_EQ(net_group_line(out[0]), "20261208\t00:27-00:28\tII\tA,B");
	EXPECT_EQ(out[0].tokens, (std::vector<long>{2, 3}));
	std::sort(done.begin(), done.end());
	EXPECT_EQ(done, (std::vector<long>{1, 2, 3}));
}

// A set of enough stations is listed the hold after its k-th station's burst, naming those that
// joined by then; one of fewer waits for its partners as long as `alone`; a burst that would
// join a listed one is not taken while it is remembered.
TEST(Match, FewerStationsWaitLongerAndALateBurstIsNotListedAgain)
{
	NetMatch m(2, 6000, 1000, 60000);
	NetBurst a = burst("A", "2026120800274000", "2026120800274300", 20, 30),
		 b = burst("B", "2026120800274100", "2026120800274400", 25, 35),
		 c = burst("C", "2026120800274200", "2026120800274500", 25, 35);
	std::vector<NetGroup> out;
	std::vector<long> done;
	EXPECT_TRUE(m.add(a, 1, 0));
	m.settle(59999, out, done);
	EXPECT_TRUE(done.empty());
	EXPECT_TRUE(m.add(b, 2, 59999));
	EXPECT_TRUE(m.add(burst("D", "2026120800274200", "2026120800274500", 25, 35), 5, 60998));  // named, not waited for
	m.settle(60998, out, done);
	EXPECT_TRUE(done.empty());
	m.settle(60999, out, done);
	ASSERT_EQ(out.size(), 1u);
	EXPECT_EQ(out[0].stations, (std::vector<std::string>{"A", "B", "D"}));
	EXPECT_EQ(done, (std::vector<long>{1, 2, 5}));
	EXPECT_FALSE(m.add(c, 3, 60999 + 59999));  // late: its burst is listed
	EXPECT_TRUE(m.add(c, 4, 60999 + 60000));   // forgotten by now: alone, and not listed
	out.clear(), done.clear();
	m.settle(60999 + 120000, out, done);
	EXPECT_TRUE(out.empty());
	EXPECT_EQ(done, (std::vector<long>{4}));
}

}  // namespace
