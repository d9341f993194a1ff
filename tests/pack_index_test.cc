// A pack's index (pack.h) as text and back, and every way its parse refuses text that is not
// one: of another kind or period, without a count, lines that are not stamps of the period,
// sizes and checksums out of bounds, stamps not ascending, too few lines or more than counted.
#include <gtest/gtest.h>

#include "pack.h"

namespace {

const char P[] = "20261231235";

TEST(PackIndex, TextAndBack)
{
	std::vector<std::vector<PackEntry>> lists = {
		{},
		{{"2026123123500000", 3012, 0x0a1b2c3d}},
		{{"2026123123500000", 1, 0}, {"2026123123500050", 65535, 0xffffffff}, {"2026123123595950", 0, 1}},
	};
	for (auto &entries : lists) {
		std::string text = pack_index_text(P, entries);
		std::vector<PackEntry> back;
		EXPECT_EQ(pack_parse_index(P, text.data(), text.size(), back), nullptr) << text;
		EXPECT_EQ(back, entries);
	}
	EXPECT_EQ(pack_index_text(P, lists[1]), "arc-pack 1 20261231235 1\n2026123123500000 3012 0a1b2c3d\n");
}

TEST(PackIndex, RefusesWhatIsNotAnIndexOfThePeriod)
{
	const std::string line = "2026123123500000 3012 0a1b2c3d\n";
	struct {
		const char *name;
		std::string text;
		const char *why;
	} cases[] = {
		{"empty", "", "index of another kind or period"},
		{"another kind", "arc-pack 2 20261231235 1\n" + line, "index of another kind or period"},
		{"another period", "arc-pack 1 20261231234 1\n" + line, "index of another kind or period"},
		{"no count", "arc-pack 1 20261231235 \n" + line, "index without a count"},
		{"a count not a number", "arc-pack 1 20261231235 1x\n" + line, "index without a count"},
		{"a count too long", "arc-pack 1 20261231235 1234567\n" + line, "index without a count"},
		{"no newline after the count", "arc-pack 1 20261231235 1", "index without a count"},
		{"fewer lines than counted", "arc-pack 1 20261231235 2\n" + line, "index line not a stamp of the period"},
		{"more lines than counted", "arc-pack 1 20261231235 1\n" + line + line, "data after the index"},
		{"a stamp of another period", "arc-pack 1 20261231235 1\n2026123123400000 3012 0a1b2c3d\n",
		 "index line not a stamp of the period"},
		{"a stamp with a letter", "arc-pack 1 20261231235 1\n20261231235x0000 3012 0a1b2c3d\n",
		 "index line not a stamp of the period"},
		{"a stamp too short", "arc-pack 1 20261231235 1\n202612312350000 3012 0a1b2c3d\n",
		 "index line not a stamp of the period"},
		{"a size too large", "arc-pack 1 20261231235 1\n2026123123500000 65536 0a1b2c3d\n",
		 "index line without a size and checksum"},
		{"a size of six digits", "arc-pack 1 20261231235 1\n2026123123500000 012345 0a1b2c3d\n",
		 "index line without a size and checksum"},
		{"no size", "arc-pack 1 20261231235 1\n2026123123500000  0a1b2c3d\n", "index line without a size and checksum"},
		{"a checksum in capitals", "arc-pack 1 20261231235 1\n2026123123500000 3012 0A1B2C3D\n",
		 "index line without a size and checksum"},
		{"a checksum of nine digits", "arc-pack 1 20261231235 1\n2026123123500000 3012 10a1b2c3d\n",
		 "index line without a size and checksum"},
		{"the last line unended", "arc-pack 1 20261231235 1\n2026123123500000 3012 0a1b2c3d",
		 "index line without a size and checksum"},
		{"stamps repeated", "arc-pack 1 20261231235 2\n" + line + line, "index stamps not ascending"},
		{"stamps descending", "arc-pack 1 20261231235 2\n2026123123500050 1 0\n2026123123500000 1 0\n",
		 "index stamps not ascending"},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.name);
		std::vector<PackEntry> out = {{"x", 1, 1}};
		const char *why = pack_parse_index(P, c.text.data(), c.text.size(), out);
		ASSERT_NE(why, nullptr);
		EXPECT_STREQ(why, c.why);
	}
}

}  // namespace
