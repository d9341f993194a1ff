// Late frames racing arc-pack, for pack_race_test (a short run) and pack_race_bench (long
// runs): net-arc stores frames sent over loopback UDP into periods long closed, a few frames at
// a time into one period after another and round again (so into periods packed meanwhile), each
// send once net-arc has taken the last, while arc-pack packs the archive again and again. Then
// every frame sent is looked for with arc-cat: lost are those missing that the socket did not
// drop.
#pragma once

#include <atomic>
#include <cstdio>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "kit.h"

struct RaceRun {
	int periods = 6;       // periods written in turn
	int rounds = 60;       // runs of frame-send, each into the next period
	int per_round = 5;     // frames each
	int interval_ms = 2;   // between frames
	std::string settle = "0";  // ARC_PACK_SETTLE: 0 races the writer hardest
};

struct RaceFigures {
	long sent = 0, present = 0, drops = 0, packs = 0, runs = 0, failed_runs = 0;
	std::vector<std::string> lost;  // stamps sent, not dropped, and not in the archive
	std::string problems;           // what went wrong around the race itself
	std::string pack_errors;        // the first few messages of arc-pack runs that failed
	bool ok() const { return problems.empty() && lost.empty() && present + drops >= sent; }
};

// Datagrams the socket bound to port has dropped (the last column of /proc/net/udp), -1 if none.
inline long udp_drops(int port)
{
	FILE *f = fopen("/proc/net/udp", "r");
	if (!f)
		return -1;
	char line[512];
	long drops = -1;
	(void)!fgets(line, sizeof line, f);
	while (fgets(line, sizeof line, f)) {
		unsigned lport;
		long d;
		if (sscanf(line, " %*d: %*8x:%4x %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %ld", &lport, &d) == 2 &&
		    (int)lport == port)
			drops = d;
	}
	fclose(f);
	return drops;
}

// Whether process pid is asleep waiting for a datagram (and so has stored every frame it took).
inline bool waiting_for_datagram(pid_t pid)
{
	std::string w = slurp("/proc/" + std::to_string(pid) + "/wchan");
	return w.find("skb") != std::string::npos || w.find("recv") != std::string::npos;
}

// The stamp of frame slot (half seconds from the period's start) of period k: periods from
// 2026-12-07 10:00 on, ten minutes apart.
inline std::string race_stamp(int k, int slot)
{
	int minutes = (600 + 10 * k + slot / 120) % 1440;
	char s[64];
	snprintf(s, sizeof s, "20261207%02d%02d%02d%s", minutes / 60, minutes % 60, slot / 2 % 60, slot % 2 ? "50" : "00");
	return s;
}

// The stamps of the records arc-cat gives for root.
inline std::set<std::string> race_present(const std::string &root, std::string *err)
{
	Ran c = run({bin("arc-cat"), root}, "", 120000);
	*err = c.err;
	std::set<std::string> got;
	for (size_t at = 0; at + 3617 <= c.out.size(); at += 3617)
		got.insert(c.out.substr(at, 16));
	return got;
}

inline RaceFigures race(const std::string &dir, const RaceRun &c)
{
	RaceFigures f;
	std::string root = dir + "/arc";
	int port = free_udp_port();
	Proc arc = start_net_arc(dir, port);
	std::atomic<bool> done{false};
	std::thread packer([&] {
		while (!done) {
			Ran r = run({bin("arc-pack"), "-a", "0m", root}, "", 60000, {"ARC_PACK_SETTLE=" + c.settle});
			f.runs++;
			if (exit_code(r.status) != 0) {
				f.failed_runs++;
				for (size_t at = 0, nl; f.pack_errors.size() < 2000 && at < r.err.size(); at = nl + 1) {
					nl = r.err.find('\n', at);
					nl = nl == std::string::npos ? r.err.size() : nl;
					std::string line = r.err.substr(at, nl - at);
					if (line.find(" frames (") == std::string::npos)  // not the run's report of a pack
						f.pack_errors += line + "\n";
				}
			}
		}
	});
	std::vector<std::string> sent;
	for (int r = 0; r < c.rounds; r++) {
		int k = r % c.periods, slot = r / c.periods * c.per_round;
		std::string first = race_stamp(k, slot);
		Ran s = run({bin("frame-send"), "-c", std::to_string(c.per_round), "-i", std::to_string(c.interval_ms), "-T",
			     first, "127.0.0.1", std::to_string(port)});
		if (exit_code(s.status) != 0) {
			f.problems += "frame-send failed: " + s.err;
			break;
		}
		for (int j = 0; j < c.per_round; j++)
			sent.push_back(race_stamp(k, slot + j));
		wait_until([&] { return rx_queue(port) == 0; }, 10000, 1);  // never more queued than a send
	}
	f.sent = (long)sent.size();
	if (!wait_until([&] { return rx_queue(port) == 0 && waiting_for_datagram(arc.pid); }, 60000, 5))
		f.problems += "net-arc did not finish storing\n";
	f.drops = udp_drops(port);
	done = true;
	packer.join();
	stop(arc);
	std::string err;
	std::set<std::string> got = race_present(root, &err);
	f.present = (long)got.size();
	if (f.drops == 0)
		for (const std::string &s : sent)
			if (!got.count(s))
				f.lost.push_back(s);
	if (!err.empty())
		f.problems += "arc-cat: " + err;
	for (const std::string &s : f.lost) {  // where each lost frame is not
		std::string dir = root + "/" + s.substr(0, 8) + "/", loose = dir + s.substr(0, 11) + "/" + s + ".gz";
		struct stat st;
		f.problems += s + ": loose " + (lstat(loose.c_str(), &st) == 0 ? std::to_string(st.st_size) + " bytes" : "none");
		Ran idx = run({"/bin/sh", "-c", "tar -xOf " + dir + s.substr(0, 11) + ".pack.tar.zst " + s.substr(0, 11) + ".index"});
		size_t at = idx.out.find(s);
		f.problems += at == std::string::npos ? ", not packed\n" : ", packed as " + idx.out.substr(at, idx.out.find('\n', at) - at) + "\n";
	}
	return f;
}
