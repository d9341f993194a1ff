// The library from C, with and without the EUC locale installed.
#include <gtest/gtest.h>

#include "xkit.h"

TEST(CClient, BuildsAndDrawsFromC)
{
	Xvfb x;
	TempDir empty;
	for (auto env : {x.env(), std::vector<std::string>{"DISPLAY=" + x.display, "LOCPATH=" + empty.path}}) {
		Ran r = run({bin("../tests/c_client")}, "", 20000, env);
		EXPECT_EQ(exit_code(r.status), 0) << r.err;
		EXPECT_EQ(r.out, "120 80 2 5 ff0000 c client\n");
	}
	Ran r = run({bin("../tests/c_client"), ":4077"});
	EXPECT_EQ(exit_code(r.status), 1);
	EXPECT_EQ(r.err, "c_client: cannot open display :4077\n");
}
