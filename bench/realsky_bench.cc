// pipe-events on the real sky: every station file of a collection (by default ../shared/realsky
// beside the project, as its MANIFEST.md describes it) through fits-pipe and pipe-events, each
// burst line set against the collection's labels.txt (file, kind, from, to: a burst; "quiet":
// none in the file). Per file: the bursts listed, those outside every label (false, within 20 s
// of a label counts as on it), the labels found and the lines each got, and whether a labelled
// kind was among them; then the false bursts an hour over the quiet files. Goals: every label
// found with its kind, at most 1 false burst in 3 hours of quiet sky, at most 2 lines for an
// isolated burst.
// usage: realsky_bench [DIR]
#include <dirent.h>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "kit.h"

struct Label { std::string kind; int from, to; };
struct Burst { std::string kind, line; int from, to; };

static int seconds(const std::string &hms)
{
	int h = 0, m = 0, s = 0;
	return sscanf(hms.c_str(), "%d:%d:%d", &h, &m, &s) == 3 ? h * 3600 + m * 60 + s : -1;
}

// The files of DIR and of its folders one level down, sorted: "NAME.fit.gz" or "FOLDER/NAME.fit.gz".
static std::vector<std::string> files(const std::string &dir, const std::string &sub = "")
{
	std::vector<std::string> v;
	DIR *d = opendir((dir + "/" + sub).c_str());
	if (!d)
		return v;
	while (struct dirent *e = readdir(d)) {
		std::string n = e->d_name;
		if (n[0] == '.')
			continue;
		if (sub.empty() && e->d_type == DT_DIR)
			for (const std::string &f : files(dir, n))
				v.push_back(f);
		else if (n.size() > 7 && n.compare(n.size() - 7, 7, ".fit.gz") == 0)
			v.push_back(sub.empty() ? n : sub + "/" + n);
	}
	closedir(d);
	std::sort(v.begin(), v.end());
	return v;
}

int main(int argc, char **argv)
{
	std::string dir = argc > 1 ? argv[1] : src("../shared/realsky");
	std::ifstream lf(dir + "/labels.txt");
	if (!lf) {
		printf("realsky: no %s/labels.txt, nothing measured\n", dir.c_str());
		return 0;
	}
	std::map<std::string, std::vector<Label>> labels;  // by file without .fit.gz, or FOLDER/*
	for (std::string line; std::getline(lf, line);) {
		std::istringstream in(line);
		std::string file, kind, from, to;
		if (line.empty() || line[0] == '#' || !(in >> file >> kind >> from >> to))
			continue;
		auto &v = labels[file];
		if (kind != "quiet")
			v.push_back({kind, seconds(from), seconds(to)});
	}
	printf("real sky: fits-pipe FILE | pipe-events, over %s\n", dir.c_str());
	printf("%-50s %6s %6s %7s %10s  %s\n", "file", "bursts", "false", "labels", "found", "lines per label (kind found)");
	int quiet_files = 0, quiet_false = 0, labelled = 0, found_kind = 0, all_false = 0;
	for (const std::string &f : files(dir)) {
		std::string name = f.substr(0, f.size() - 7), folder = f.find('/') == std::string::npos ? "" : f.substr(0, f.find('/'));
		auto it = labels.find(name);
		if (it == labels.end() && !folder.empty())
			it = labels.find(folder + "/*");
		if (it == labels.end())
			continue;
		Ran fp = run({bin("fits-pipe"), dir + "/" + f}, "", 120000);
		Ran pe = run({bin("pipe-events")}, fp.out, 120000);
		std::vector<Burst> bursts;
		std::istringstream in(pe.out);
		for (std::string line; std::getline(in, line);) {
			std::istringstream w(line);
			std::string date, span, kind;
			w >> date >> span >> kind;
			if (kind != "SPIKE" && kind != "FAULT" && span.size() == 17)
				bursts.push_back({kind, line, seconds(span.substr(0, 8)), seconds(span.substr(9, 8))});
		}
		const std::vector<Label> &ls = it->second;
		std::vector<int> lines(ls.size(), 0);
		std::vector<bool> kind_ok(ls.size(), false);
		int false_n = 0;
		for (const Burst &b : bursts) {
			bool on = false;
			for (size_t i = 0; i < ls.size(); i++)
				if (b.from <= ls[i].to + 20 && b.to >= ls[i].from - 20) {
					on = true;
					lines[i]++;
					kind_ok[i] = kind_ok[i] || ls[i].kind == "*" || ls[i].kind == b.kind;
				}
			false_n += !on;
		}
		std::string per;
		int found = 0;
		for (size_t i = 0; i < ls.size(); i++) {
			per += std::to_string(lines[i]) + (kind_ok[i] ? " (yes) " : " (no) ");
			found += lines[i] > 0;
			labelled++;
			found_kind += lines[i] > 0 && kind_ok[i];
		}
		if (ls.empty()) {
			quiet_files++;
			quiet_false += false_n;
		}
		all_false += false_n;
		printf("%-50s %6zu %6d %7zu %10d  %s\n", name.c_str(), bursts.size(), false_n, ls.size(), found, per.c_str());
	}
	printf("labelled bursts found with their kind: %d of %d (goal all)\n", found_kind, labelled);
	printf("false bursts in %d quiet files (%.2f h): %d, %.2f an hour (goal at most 1 in 3 h); in all files %d\n",
	       quiet_files, quiet_files / 4.0, quiet_false, quiet_files ? quiet_false / (quiet_files / 4.0) : 0.0, all_false);
	return 0;
}
