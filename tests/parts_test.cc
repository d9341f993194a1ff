// The optional parts: this source configured as on a station with only a compiler, CMake and
// the core's libraries (the finds of X11, Boost and GoogleTest turned off, pkg-config finding
// only the core's libraries), which builds the core alone and says what it left out and which package brings it;
// a part asked for whose library is missing stops the configure, naming the package.
#include <gtest/gtest.h>

#include <unistd.h>

#include "kit.h"

namespace {

const std::vector<std::string> BARE = {"-DCMAKE_DISABLE_FIND_PACKAGE_X11=ON", "-DCMAKE_DISABLE_FIND_PACKAGE_Boost=ON",
				       "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON"};
// Configures in t/b, pkg-config seeing the core's libraries alone (in t/pc).
Ran configure(const TempDir &t, std::vector<std::string> args)
{
	mkdir((t / "pc").c_str(), 0755);
	for (const char *pc : {"zlib.pc", "libarchive.pc", "libzstd.pc"})
		if (symlink(("/usr/lib/x86_64-linux-gnu/pkgconfig/" + std::string(pc)).c_str(), (t / "pc/" + pc).c_str()) != 0)
			ADD_FAILURE() << pc;
	std::vector<std::string> argv = {"/usr/bin/cmake", "-S", SRC_DIR, "-B", t / "b"};
	if (access("/usr/bin/ccache", X_OK) == 0)
		args.push_back("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache");
	argv.insert(argv.end(), args.begin(), args.end());
	return run(argv, "", 120000, {"PKG_CONFIG_LIBDIR=" + t / "pc"});
}

// The lines of text that start with prefix.
std::string lines_starting(const std::string &text, const std::string &prefix)
{
	std::string out;
	for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
		std::string line = text.substr(at, text.find('\n', at) - at);
		if (line.rfind(prefix, 0) == 0)
			out += line + "\n";
		if (text.find('\n', at) == std::string::npos)
			break;
	}
	return out;
}

TEST(Parts, TheCoreBuildsWithoutTheOptionalLibrariesAndSaysWhatItLeftOut)
{
	TempDir t;
	Ran cfg = configure(t, BARE);
	ASSERT_EQ(exit_code(cfg.status), 0) << cfg.out << cfg.err;
	EXPECT_EQ(lines_starting(cfg.err, "Left out: "),
		  "Left out: the viewer and zq2 (pipe-view, libzq2, zq-shot); it needs libx11-dev\n"
		  "Left out: the pictures (pipe-png); it needs libcairo2-dev\n"
		  "Left out: the FITS files (pipe-fits); it needs libcfitsio-dev\n"
		  "Left out: the web view (pipe-web); it needs libboost-dev, libcairo2-dev and libcfitsio-dev\n"
		  "Left out: the network (pipe-share, net-watch, net-bursts, net-stations); it needs libnats-dev\n"
		  "Left out: the tests; they need libgtest-dev\n");
	Ran build = run({"/usr/bin/cmake", "--build", t / "b", "-j2"}, "", 600000);
	ASSERT_EQ(exit_code(build.status), 0) << build.out << build.err;
	for (const char *p : {"net-pipe", "net-arc", "arc-pipe", "arc-cat", "arc-stat", "arc-pack", "arc-prune", "pipe-dump", "pipe-events"})
		EXPECT_TRUE(exists(t / "b/bin/" + p)) << p;
	for (const char *p : {"bin/pipe-view", "bin/zq-shot", "bin/pipe-png", "bin/pipe-fits", "bin/pipe-web", "bin/pipe-share", "lib/libzq2.a"})
		EXPECT_FALSE(exists(t / "b/" + p)) << p;
	// Its packages: the core's alone.
	if (access("/usr/bin/cpack", X_OK) != 0 || access("/usr/bin/dpkg-shlibdeps", X_OK) != 0)
		GTEST_SKIP() << "cpack or dpkg-shlibdeps is not installed: the core's package is not made";
	Ran cp = run({"/bin/sh", "-c", "cd '" + t / "b" + "' && cpack -G DEB -B " + t / "deb"}, "", 300000);
	ASSERT_EQ(exit_code(cp.status), 0) << cp.out << cp.err;
	EXPECT_EQ(run({"/bin/sh", "-c", "cd '" + t / "deb" + "' && ls *.deb"}).out, "spectrum-pipeline-core_1.1.0_amd64.deb\n");
}

TEST(Parts, APartAskedForWithoutItsLibraryStopsTheConfigureNamingThePackage)
{
	struct Case {
		std::string option, says;
	} cases[] = {
		{"-DZQ_VIEWER=ON", "ZQ_VIEWER=ON: the viewer and zq2 (pipe-view, libzq2, zq-shot) needs libx11-dev"},
		{"-DZQ_PRODUCTS=ON", "ZQ_PRODUCTS=ON: the pictures (pipe-png) needs libcairo2-dev"},
		{"-DZQ_WEB=ON", "ZQ_WEB=ON: the web view (pipe-web) needs libboost-dev"},
		{"-DZQ_NETWORK=ON", "ZQ_NETWORK=ON: the network (pipe-share, net-watch, net-bursts, net-stations) needs libnats-dev"},
	};
	for (const Case &c : cases) {
		TempDir t;
		std::vector<std::string> args = BARE;
		args.push_back(c.option);
		Ran cfg = configure(t, args);
		EXPECT_EQ(exit_code(cfg.status), 1) << c.option;
		// CMake folds the message at about 80 columns: compare with the spaces and breaks gone.
		std::string err, says;
		for (char ch : cfg.err)
			if (ch != ' ' && ch != '\n')
				err += ch;
		for (char ch : c.says)
			if (ch != ' ')
				says += ch;
		EXPECT_NE(err.find(says), std::string::npos) << cfg.err;
	}
}

TEST(Parts, APartTurnedOffIsLeftOutEvenWhenItsLibraryIsThere)
{
	TempDir t;
	Ran cfg = configure(t, {"-DZQ_VIEWER=OFF", "-DZQ_WEB=OFF", "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON"});
	ASSERT_EQ(exit_code(cfg.status), 0) << cfg.err;
	// pkg-config finds nothing here, so the products are left out too.
	EXPECT_EQ(lines_starting(cfg.err, "Left out: "),
		  "Left out: the viewer and zq2 (pipe-view, libzq2, zq-shot) (ZQ_VIEWER=OFF)\n"
		  "Left out: the pictures (pipe-png); it needs libcairo2-dev\n"
		  "Left out: the FITS files (pipe-fits); it needs libcfitsio-dev\n"
		  "Left out: the web view (pipe-web) (ZQ_WEB=OFF)\n"
		  "Left out: the network (pipe-share, net-watch, net-bursts, net-stations); it needs libnats-dev\n"
		  "Left out: the tests; they need libgtest-dev\n");
}

}  // namespace
