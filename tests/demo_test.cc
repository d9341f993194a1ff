// scripts/demo as a user with a desktop meets it: the live window on their display, closed by
// its CLOSE button or the window manager, then the pipe-dump lines, the quicklook, the burst
// list and the packed archive counted, and status 0.
#include <gtest/gtest.h>

#include "xkit.h"

namespace {

TEST(Demo, WithADisplayClosingTheWindowGoesOnToTheDumpAndEndsWith0)
{
	for (const char *how : {"button", "window manager"}) {
		Xvfb x;
		Spawn s;
		s.argv = {"/bin/bash", src("scripts/demo")};
		TempDir out;
		s.env = {"DISPLAY=" + x.display, "ZQ_BIN=" + bin(""), "ZQ_OUT=" + out.path,
			 "PORT=" + std::to_string(free_udp_port())};
		s.pipe_out = true;
		s.group = true;  // a test that fails ends what the demo started too
		Proc demo = start(s);
		Window w = find_window(x.dpy, "Spectrogram", 20000);
		ASSERT_NE(w, 0u) << how;
		if (how == std::string("button"))
			ASSERT_EQ(xdotool(x, {"mousemove", "1020", "842", "click", "1"}), 0);
		else
			wm_close(x.dpy, w);
		int st;
		ASSERT_TRUE(wait_exit(demo, 120000, &st)) << how;  // the archive part sends for 12 s
		std::string log = read_to_end(demo.out, 1000), err = read_to_end(demo.err, 100);
		EXPECT_EQ(exit_code(st), 0) << how << "\n" << log << err;
		size_t at = log.find("pipe-dump 137");
		ASSERT_NE(at, std::string::npos) << log;
		std::string dump = log.substr(log.find('\n', at) + 1);
		dump = dump.substr(0, dump.find("=="));
		EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 8) << dump;
		EXPECT_TRUE(exists(out.path + "/quicklook.png")) << how;
		// The bursts of the richer sky, as pipe-events lists them; the old morning packed and
		// counted.
		EXPECT_NE(log.find("\n2026-12-08 10:00:30-10:00:32 III "), std::string::npos) << log;
		EXPECT_NE(log.find("\n2026-12-08 10:01:41-10:02:31 II "), std::string::npos) << log;
		EXPECT_NE(log.find("\n20261201100.pack.tar.zst\n"), std::string::npos) << log;
		EXPECT_NE(log.find("\ntotal "), std::string::npos) << log;
	}
}

}  // namespace
