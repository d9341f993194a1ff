// What a station installs: manual pages that lint clean, clients built against an installed
// prefix both ways (pkg-config, find_package), the Debian package's contents run from where
// dpkg unpacks them, lintian and systemd-analyze on it, and --help and --version. A tool that is
// not installed skips what needs it, saying so; a tool that fails (or cannot be run) fails the test.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <unistd.h>

#include "kit.h"

namespace {

const char *SAN = ZQ_SANITIZED ? "-fsanitize=address,undefined" : "";

bool installed(const std::string &tool)
{
	return access(tool.c_str(), X_OK) == 0;
}

// Skips the rest of the test when tool is not installed.
#define NEED(tool)                                                   \
	do {                                                         \
		if (!installed(tool))                                \
			GTEST_SKIP() << tool << " is not installed"; \
	} while (0)

void units_verify(const std::string &root, const std::string &dir);

TEST(Package, ManualPagesLintClean)
{
	NEED("/usr/bin/mandoc");
	Ran ls = run({"/bin/sh", "-c", "ls " + src("man") + "/*.[13]"});
	ASSERT_NE(ls.out, "");
	int pages = 0;
	for (size_t at = 0; at < ls.out.size(); at = ls.out.find('\n', at) + 1) {
		std::string page = ls.out.substr(at, ls.out.find('\n', at) - at);
		Ran r = run({"/usr/bin/mandoc", "-T", "lint", page});
		EXPECT_EQ(exit_code(r.status), 0) << page;
		EXPECT_EQ(r.out + r.err, "") << page;
		pages++;
	}
	EXPECT_EQ(pages, 21);
}

TEST(Package, ClientsBuildAgainstAnInstalledPrefix)
{
	if (!ZQ_BUILT_VIEWER)
		GTEST_SKIP() << "the viewer and zq2 were not built";
	NEED("/usr/bin/pkg-config");
	NEED("/usr/bin/cc");
	TempDir t;
	Ran in = run({"/usr/bin/cmake", "--install", BUILD_DIR, "--prefix", t / "prefix"}, "", 120000);
	ASSERT_EQ(exit_code(in.status), 0) << in.out << in.err;
	// pkg-config, as a C programmer would.
	std::string sh = "cc -o " + t / "pc" + " " + src("tests/c_client.c") + " " + SAN +
			 " $(PKG_CONFIG_PATH=" + t / "prefix/lib/pkgconfig pkg-config --cflags --libs zq2)";
	Ran pc = run({"/bin/sh", "-c", sh}, "", 120000);
	EXPECT_EQ(exit_code(pc.status), 0) << pc.err;
	EXPECT_TRUE(exists(t / "pc"));
	// find_package(zq2), as a CMake project would.
	mkdir((t / "app").c_str(), 0755);
	spit(t / "app/CMakeLists.txt", "cmake_minimum_required(VERSION 3.16)\nproject(app C)\nfind_package(zq2 1.1 REQUIRED)\n"
				       "add_executable(app " + src("tests/c_client.c") + ")\ntarget_link_libraries(app zq2::zq2)\n");
	Ran cfg = run({"/usr/bin/cmake", "-S", t / "app", "-B", t / "app/build", "-DCMAKE_PREFIX_PATH=" + t / "prefix",
		       std::string("-DCMAKE_EXE_LINKER_FLAGS=") + SAN}, "", 120000);
	ASSERT_EQ(exit_code(cfg.status), 0) << cfg.out << cfg.err;
	Ran build = run({"/usr/bin/cmake", "--build", t / "app/build"}, "", 120000);
	EXPECT_EQ(exit_code(build.status), 0) << build.out << build.err;
	EXPECT_TRUE(exists(t / "app/build/app"));
}

// What each part's package must hold, and the libraries it must and must not pull in: a
// headless station's core brings no X11, no cairo, no CFITSIO.
struct Part {
	const char *name;
	bool built;
	std::vector<std::string> files, needs, never;
};
const std::vector<Part> &parts()
{
	static const std::vector<Part> p = {
		{"core", true,
		 {"./usr/bin/net-pipe", "./usr/bin/net-arc", "./usr/bin/arc-pipe", "./usr/bin/arc-cat", "./usr/bin/arc-stat",
		  "./usr/bin/pipe-dump", "./usr/bin/spectrum-nightly", "./usr/share/man/man1/net-arc.1.gz",
		  "./usr/share/man/man1/spectrum-nightly.1.gz", "./usr/lib/systemd/system/net-arc@.service",
		  "./usr/lib/systemd/system/spectrum-nightly@.service", "./usr/lib/systemd/system/spectrum-nightly@.timer",
		  "./usr/share/spectrum-pipeline/net-arc.default", "./usr/share/doc/spectrum-pipeline-core/copyright",
		  "./usr/bin/arc-pack", "./usr/bin/arc-prune", "./usr/bin/pipe-events", "./usr/share/man/man1/arc-pack.1.gz",
		  "./usr/share/man/man1/arc-prune.1.gz", "./usr/share/man/man1/pipe-events.1.gz",
		  "./usr/lib/systemd/system/arc-pack@.service", "./usr/lib/systemd/system/arc-pack@.timer"},
		 {"gzip", "coreutils", "zlib1g", "libc6", "libarchive13"},
		 {"libx11", "libcairo", "libcfitsio", "libboost", "spectrum-pipeline-"}},
		{"viewer", ZQ_BUILT_VIEWER,
		 {"./usr/bin/pipe-view", "./usr/lib/libzq2.a", "./usr/include/zq2.h", "./usr/lib/pkgconfig/zq2.pc",
		  "./usr/lib/cmake/zq2/zq2Config.cmake", "./usr/share/man/man1/pipe-view.1.gz", "./usr/share/man/man3/zq2.3.gz",
		  "./usr/share/doc/spectrum-pipeline-viewer/copyright"},
		 {"libx11-6", "spectrum-pipeline-core (= 1.1.0)"},
		 {"libcairo", "libcfitsio", "zlib1g"}},
		{"products", ZQ_BUILT_PRODUCTS,
		 {"./usr/bin/pipe-png", "./usr/bin/pipe-fits", "./usr/share/man/man1/pipe-png.1.gz",
		  "./usr/share/man/man1/pipe-fits.1.gz", "./usr/share/doc/spectrum-pipeline-products/copyright",
		  "./usr/bin/fits-pipe", "./usr/share/man/man1/fits-pipe.1.gz"},
		 {"libcairo2", "libcfitsio", "spectrum-pipeline-core (= 1.1.0)"},
		 {"libx11"}},
		{"web", ZQ_BUILT_WEB,
		 {"./usr/bin/pipe-web", "./usr/share/man/man1/pipe-web.1.gz", "./usr/share/doc/spectrum-pipeline-web/copyright"},
		 {"spectrum-pipeline-core (= 1.1.0)", "libstdc++6", "libcairo2", "libcfitsio"},  // the archive's pictures, FITS
		 {"libx11"}},
		{"network", ZQ_BUILT_NETWORK,
		 {"./usr/bin/pipe-share", "./usr/bin/net-watch", "./usr/bin/net-bursts", "./usr/bin/net-stations",
		  "./usr/share/man/man1/pipe-share.1.gz", "./usr/share/man/man1/net-bursts.1.gz",
		  "./usr/lib/systemd/system/pipe-share@.service", "./usr/share/spectrum-pipeline/network.conf",
		  "./usr/share/doc/spectrum-pipeline-network/copyright"},
		 {"libnats3.4", "spectrum-pipeline-core (= 1.1.0)"},
		 {"libx11", "libcairo", "libcfitsio"}},
	};
	return p;
}

std::vector<std::string> lines(const std::string &text)
{
	std::vector<std::string> v;
	for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
		v.push_back(text.substr(at, text.find('\n', at) - at));
		if (text.find('\n', at) == std::string::npos)
			break;
	}
	return v;
}

TEST(Package, OnePackagePerPartWithTheDependenciesItsProgramsHave)
{
	NEED("/usr/bin/cpack");
	NEED("/usr/bin/dpkg-deb");
	TempDir t;
	Ran cp = run({"/bin/sh", "-c", std::string("cd ") + BUILD_DIR + " && cpack -G DEB -B " + t / "deb"}, "", 300000);
	ASSERT_EQ(exit_code(cp.status), 0) << cp.out << cp.err;
	// Exactly one package per part built, and each file in one package only.
	std::string made = run({"/bin/sh", "-c", "cd '" + t / "deb" + "' && LC_ALL=C ls *.deb"}).out;
	std::set<std::string> want;
	for (const Part &p : parts())
		if (p.built)
			want.insert(std::string("spectrum-pipeline-") + p.name + "_1.1.0_amd64.deb");
	ASSERT_EQ(lines(made), std::vector<std::string>(want.begin(), want.end()));
	std::map<std::string, std::string> owner;
	for (const Part &p : parts()) {
		if (!p.built)
			continue;
		SCOPED_TRACE(p.name);
		std::string deb = t / "deb/spectrum-pipeline-" + p.name + "_1.1.0_amd64.deb";
		Ran contents = run({"/usr/bin/dpkg-deb", "-c", deb});
		ASSERT_EQ(exit_code(contents.status), 0) << contents.err;
		for (const std::string &line : lines(contents.out)) {
			std::string f = line.substr(line.rfind(' ') + 1);
			if (f.back() == '/')
				continue;
			EXPECT_EQ(owner.count(f), 0u) << f << " is also in " << owner[f];
			owner[f] = p.name;
		}
		for (const std::string &f : p.files)
			EXPECT_EQ(owner[f], p.name) << f;
		Ran field = run({"/usr/bin/dpkg-deb", "-f", deb, "Depends"});
		ASSERT_EQ(exit_code(field.status), 0) << field.err;
		for (const std::string &d : p.needs)
			EXPECT_NE(field.out.find(d), std::string::npos) << field.out;
		for (const std::string &d : p.never)
			EXPECT_EQ(field.out.find(d), std::string::npos) << field.out;
		ASSERT_EQ(exit_code(run({"/usr/bin/dpkg", "-x", deb, t / "root"}).status), 0);
	}
	// The programs run from where dpkg unpacks them.
	Ran v = run({t / "root/usr/bin/arc-cat", "--version"});
	EXPECT_EQ(v.out, "arc-cat 1.1.0\n");
	Ran stat = run({t / "root/usr/bin/arc-stat", "--json", "-"}, record("2026120712000000", payload(1)));
	EXPECT_NE(stat.out.find("\"period\":\"total\",\"expected\":1,\"present\":1"), std::string::npos) << stat.out;
	// The tools below are checked last, so a missing one skips only its own check.
	std::vector<std::string> missing;
	// lintian: no errors (it fails on an error by itself).
	if (installed("/usr/bin/lintian")) {
		std::vector<std::string> lint_argv = {"/usr/bin/lintian", "--tag-display-limit", "0"};
		for (const Part &p : parts())
			if (p.built)
				lint_argv.push_back(t / "deb/spectrum-pipeline-" + p.name + "_1.1.0_amd64.deb");
		Ran lint = run(lint_argv, "", 300000);
		EXPECT_EQ(exit_code(lint.status), 0) << lint.out << lint.err;
		EXPECT_EQ(lint.out.find("E: "), std::string::npos) << lint.out;
	} else
		missing.push_back("lintian");
	if (installed("/usr/bin/systemd-analyze"))
		units_verify(t / "root", t / "units");
	else
		missing.push_back("systemd-analyze");
	if (!missing.empty())
		GTEST_SKIP() << "not installed, so not checked: " << testing::PrintToString(missing);
}

// The units as installed under root verify clean, their programs found where the package put them.
void units_verify(const std::string &root, const std::string &dir)
{
	mkdir(dir.c_str(), 0755);
	for (const char *u : {"net-arc@.service", "spectrum-nightly@.service", "spectrum-nightly@.timer", "arc-pack@.service",
			      "arc-pack@.timer"}) {
		std::string text = slurp(root + "/usr/lib/systemd/system/" + u);
		for (const char *prog : {"=net-arc ", "=spectrum-nightly ", "=arc-pack "}) {
			size_t at = text.find(prog);
			if (at != std::string::npos)
				text.replace(at + 1, 0, root + "/usr/bin/");
		}
		spit(dir + "/" + u, text);
	}
	Ran verify = run({"/usr/bin/systemd-analyze", "verify", "--man=no", dir + "/net-arc@one.service",
			  dir + "/spectrum-nightly@one.service", dir + "/spectrum-nightly@one.timer",
			  dir + "/arc-pack@one.service", dir + "/arc-pack@one.timer"},
			 "", 60000);
	EXPECT_EQ(exit_code(verify.status), 0) << verify.out << verify.err;
	EXPECT_EQ(verify.err, "");
}

TEST(Package, NewProgramsAnswerHelpAndVersion)
{
	for (const char *p : {"arc-cat", "arc-stat", "pipe-png", "pipe-fits", "fits-pipe", "pipe-web", "pipe-events", "arc-pack", "arc-prune",
			      "arc-push", "pipe-share", "net-watch", "net-bursts", "net-stations"}) {
		if (!exists(bin(p)))
			continue;  // a part not built
		Ran h = run({bin(p), "--help"});
		EXPECT_EQ(exit_code(h.status), 0) << p;
		EXPECT_EQ(h.out.rfind(std::string("usage: ") + p + " ", 0), 0u) << h.out;
		EXPECT_GT(std::count(h.out.begin(), h.out.end(), '\n'), 2) << p;
		EXPECT_EQ(h.err, "");
		Ran v = run({bin(p), "--version"});
		EXPECT_EQ(exit_code(v.status), 0) << p;
		EXPECT_EQ(v.out, std::string(p) + " 1.1.0\n");
	}
}

}  // namespace
