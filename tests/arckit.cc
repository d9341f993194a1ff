#include "arckit.h"

#include <cstdio>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

Tmpfs::Tmpfs(const std::string &opts)
{
	mkdir(dir.c_str(), 0755);
	ok = mount("tmpfs", dir.c_str(), "tmpfs", 0, opts.c_str()) == 0;
}

Tmpfs::~Tmpfs()
{
	if (ok)
		umount2(dir.c_str(), MNT_DETACH);
}

bool write_period(const std::string &root, const std::string &period, int n, int *stored, bool distinct)
{
	std::string gz = gzip(payload(1));
	for (int k = 0; k < n; k++) {
		char s[24];
		snprintf(s, sizeof s, "%s%d%02d%s", period.c_str(), k / 120, k / 2 % 60, k % 2 ? "50" : "00");
		if (distinct)
			gz = gzip(payload(k));
		std::string dir = root + "/" + std::string(s, 8) + "/" + std::string(s, 11);
		mkdir((root + "/" + std::string(s, 8)).c_str(), 0755);
		mkdir(dir.c_str(), 0755);
		FILE *f = fopen((dir + "/" + s + ".gz").c_str(), "w");
		if (!f)
			return false;
		bool ok = fwrite(gz.data(), 1, gz.size(), f) == gz.size();
		if (fclose(f) != 0 || !ok)
			return false;
		++*stored;
	}
	return true;
}

int health(const std::string &root, std::string *out)
{
	Ran r = run({bin("arc-stat"), "--health", "--json", root});
	if (out)
		*out = r.out;
	return exit_code(r.status);
}

bool stopped(pid_t pid)
{
	std::string st = slurp("/proc/" + std::to_string(pid) + "/stat");
	size_t paren = st.rfind(')');
	return paren != std::string::npos && paren + 2 < st.size() && st[paren + 2] == 'T';
}

std::vector<std::string> unprivileged(std::vector<std::string> argv)
{
	if (geteuid() != 0)
		return argv;
	if (!exists("/usr/bin/setpriv"))
		return {};
	argv = emulated(argv);
	argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
	return argv;
}
