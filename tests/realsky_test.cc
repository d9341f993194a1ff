// pipe-events on the real sky: station files of the network (tests/data/realsky, their origin
// in ORIGIN.md) read by fits-pipe. A quarter hour of shortwave broadcasting and chirp
// sounders gives no burst; a quarter hour with a type II gives it, named II, and nothing
// outside it; the interference is listed only when asked for, and never as a burst.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "kit.h"

namespace {

const std::string REAL = src("tests/data/realsky/");

struct Listed { std::string kind, from, to; };

// The lines of pipe-events' text output: kind and span (HH:MM:SS).
std::vector<Listed> listed(const std::string &out)
{
	std::vector<Listed> v;
	std::istringstream in(out);
	for (std::string line; std::getline(in, line);) {
		std::istringstream f(line);
		std::string date, span, kind;
		f >> date >> span >> kind;
		v.push_back({kind, span.substr(0, 8), span.substr(9, 8)});
	}
	return v;
}

std::string events_of(const std::string &file, const std::vector<std::string> &opts = {})
{
	Ran f = run({bin("fits-pipe"), REAL + file}, "", 60000);
	EXPECT_EQ(exit_code(f.status), 0) << f.err;
	std::vector<std::string> argv = {bin("pipe-events")};
	argv.insert(argv.end(), opts.begin(), opts.end());
	Ran r = run(argv, f.out, 60000);
	EXPECT_EQ(exit_code(r.status), 0) << r.err;
	return r.out;
}

struct Quiet { const char *file, *what; };

void PrintTo(const Quiet &c, std::ostream *os) { *os << c.file; }

class QuietSky : public ::testing::TestWithParam<Quiet> {};

// No burst at all (spikes of a frame or two may be said, as they are not bursts).
TEST_P(QuietSky, NoBurst)
{
	for (const Listed &l : listed(events_of(GetParam().file)))
		EXPECT_EQ(l.kind, "SPIKE") << GetParam().what << ": " << l.from << "-" << l.to;
}

INSTANTIATE_TEST_SUITE_P(
	Table, QuietSky,
	::testing::Values(Quiet{"BLENSW_20151104_120000_01.fit.gz", "broadcasting and chirp sounders"},
			  Quiet{"BIR_20110922_050000_01.fit.gz", "broadcasting at 14-17 MHz"},
			  Quiet{"DARO-HF_20151104_120001_58.fit.gz", "a quiet station"},
			  Quiet{"ROSWELL-NM_20200308_203000_xx.fit.gz", "a quiet station"}),
	[](const ::testing::TestParamInfo<Quiet> &i) {
		std::string n = i.param.file;
		n = n.substr(0, n.find('_'));
		n.erase(std::remove(n.begin(), n.end(), '-'), n.end());
		return n;
	});

// The type II that starts at 17:42:30 (in the network's list from 17:39), under a chirp
// sounder at 17:41-17:44 and pulses all along: every burst is within it, one is a II (the
// fast-drifting bits within it may be said as III on top of it), and the sounder is no burst;
// -a adds interference and takes no burst away.
TEST(RealSky, ATypeIIUnderASounderIsFoundAndNamed)
{
	std::vector<Listed> bursts, all = listed(events_of("Arecibo-Observatory_20220302_173000_62.fit.gz", {"-a"}));
	size_t interference = 0, others = 0;
	int ii = 0;
	for (const Listed &l : listed(events_of("Arecibo-Observatory_20220302_173000_62.fit.gz"))) {
		if (l.kind == "SPIKE")
			continue;
		bursts.push_back(l);
		EXPECT_GE(l.to, "17:42:10") << l.kind << " " << l.from;
		ii += l.kind == "II";
	}
	EXPECT_GE(ii, 1);
	EXPECT_LE(bursts.size(), 4u);
	for (const Listed &l : all)
		if (l.kind == "CARRIER" || l.kind == "SOUNDER")
			interference++;
		else if (l.kind != "SPIKE")
			others++;
	EXPECT_GE(interference, 1u);
	EXPECT_EQ(others, bursts.size());  // -a adds, and takes nothing away
}

}  // namespace
