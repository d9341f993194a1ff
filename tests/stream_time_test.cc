// The stream's running time: which stamps are accepted, late, not a time or outliers, when a
// run of outliers is a clock jump, and when the counts are said (with a clock given by the test).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "streamtime.h"

namespace {

struct Case {
	const char *name;
	std::vector<std::string> stamps;
	std::string verdicts;  // A accept, L late, N not a time, O outlier
};

TEST(StreamTime, Verdicts)
{
	std::vector<std::string> jump;
	for (int k = 0; k < 12; k++)
		jump.push_back("20261207150000" + std::string(k < 10 ? "0" : "1") + std::to_string(k % 10));
	std::vector<std::string> jumping = {"2026120712000000"};
	jumping.insert(jumping.end(), jump.begin(), jump.end());
	// A garbled stamp inside the run neither counts nor breaks it.
	std::vector<std::string> garbled = jumping;
	garbled.insert(garbled.begin() + 5, "2026120715000x00");
	// Ten outliers a whole minute apart agree (the step's limit); ten running backwards do not.
	std::vector<std::string> minutes = {"2026120712000000"}, backwards = {"2026120712000000"};
	for (int k = 0; k < 10; k++) {
		minutes.push_back("20261207150" + std::string(1, (char)('0' + k)) + "0000");
		backwards.push_back("2026120715000" + std::string(1, (char)('9' - k)) + "00");
	}
	Case cases[] = {
		{"in order", {"2026120712000000", "2026120712000050", "2026120712000100"}, "AAA"},
		{"repeated and late", {"2026120712000100", "2026120712000100", "2026120712000050"}, "ALL"},
		{"not times", {"2026120712000000", "2026131212000000", "2026120724000000", "20261207120000x0", "1969123123595950"}, "ANNNN"},
		{"far ahead, then on", {"2026120712000000", "2099010100000000", "2026120712000050"}, "AOA"},
		{"far behind, then on", {"2026120712000000", "2026120710440000", "2026120712000050"}, "AOA"},
		{"window's edges", {"2026120712000000", "2026120713150000", "2026120712000000", "2026120714300001"}, "AALO"},
		{"a clock that jumped", jumping, "AOOOOOOOOOAAA"},
		{"a garbled stamp inside a jump", garbled, "AOOOONOOOOOAAA"},
		{"a jump in steps of a minute", minutes, "AOOOOOOOOOA"},
		{"outliers running backwards", backwards, "AOOOOOOOOOO"},
		{"outliers that disagree", {"2026120712000000", "2026120715000000", "2026120716000000", "2026120715000000"}, "AOOO"},
	};
	for (auto &c : cases) {
		StreamTime st;
		std::string got;
		testing::internal::CaptureStderr();
		for (auto &s : c.stamps) {
			long long t;
			got += "ALNO"[st.take(s.c_str(), &t, 0)];
		}
		testing::internal::GetCapturedStderr();
		EXPECT_EQ(got, c.verdicts) << c.name;
	}
}

TEST(StreamTime, ReportsAtOnceThenOnceAMinuteThenAtTheEnd)
{
	StreamTime st;
	long long t;
	testing::internal::CaptureStderr();
	st.take("2026120712000000", &t, 0);
	std::string said;
	for (long long ms : {1000, 2000, 30000, 61000, 62000, 130000}) {
		st.take("2099010100000000", &t, ms);
		said += "|" + testing::internal::GetCapturedStderr();
		testing::internal::CaptureStderr();
	}
	st.finish();
	said += "|" + testing::internal::GetCapturedStderr();
	const std::string o = "stream_time_test: ", what = " records skipped: stamps more than 75 minutes from the stream's time\n";
	EXPECT_EQ(said, "|" + o + "1" + what + "|||" + o + "4" + what + "||" + o + "6" + what + "|");
	long long noon;
	StreamTime().take("2026120712000000", &noon, 0);
	EXPECT_EQ(st.now, noon);  // the outliers never moved it
}

}  // namespace
