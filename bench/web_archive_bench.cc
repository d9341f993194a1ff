// pipe-web -a over a year's archive on loopback:
//   days      the days page of 365 days: the first time (each day's summary made) and then with
//             the summaries present (median of 10)
//   day       a day page of an hour's frames, cold (summary and bursts made: the detector runs)
//             and cached; the day's picture cold and cached
//   packs     ten minutes drawn from packs, each period asked for the first time (median of 6)
//   clients   50 clients at once, each the days page then the day page (median and slowest)
//   today     a day not over (the last two hours, when the day is that old): its page and
//             pictures cold and again after a new frame
// The archive: 365 days of 4 frames each, loose, and one day with an hour of frame-send's sky,
// packed by arc-pack. usage: web_archive_bench
#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <chrono>
#include <vector>

#include "kit.h"
#include "webkit.h"

namespace fs = std::filesystem;

static double now()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void store(const std::string &root, const std::string &records)
{
	for (size_t at = 0; at + 3617 <= records.size(); at += 3617) {
		std::string path = root + "/" + frame_path(records.substr(at, 16));
		fs::create_directories(fs::path(path).parent_path());
		spit(path, gzip(records.substr(at + 17, 3600)));
	}
}

// One GET; the status, and the seconds it took into *took (the answer into *body).
static int get(int port, const std::string &path, double *took, const char *from = "127.0.0.1",
	       std::string *body = nullptr)
{
	double t0 = now();
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	struct sockaddr_in a = {};
	a.sin_family = AF_INET;
	inet_pton(AF_INET, from, &a.sin_addr);
	bind(fd, (struct sockaddr *)&a, sizeof a);
	a.sin_port = htons((unsigned short)port);
	inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
	std::string out;
	if (connect(fd, (struct sockaddr *)&a, sizeof a) == 0) {
		std::string q = "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
		(void)!send(fd, q.data(), q.size(), MSG_NOSIGNAL);
		out = read_to_end(fd, 120000);
	}
	close(fd);
	if (took)
		*took = now() - t0;
	if (body)
		*body = out;
	return out.size() > 12 ? atoi(out.c_str() + 9) : 0;
}

static double median(std::vector<double> v)
{
	std::sort(v.begin(), v.end());
	return v.empty() ? 0 : v[v.size() / 2];
}

int main()
{
	TempDir t;
	std::string root = t / "arc";
	double t0 = now();
	std::string four = run({bin("frame-send"), "-o", "-T", "2025120100000000", "-c", "4"}).out;
	for (int d = 0; d < 365; d++) {
		time_t day = 1764547200 + (time_t)d * 86400;  // 2025-12-01 on
		char s[16];
		strftime(s, sizeof s, "%Y%m%d", gmtime(&day));
		std::string recs = four;
		for (int k = 0; k < 4; k++)
			recs.replace((size_t)k * 3617, 8, s);
		store(root, recs);
	}
	const std::string full = "20261201";
	store(root, run({bin("frame-send"), "-o", "-T", full + "10000000", "-c", "7200", "-k", "III@600,II@1800"}, "", 300000).out);
	struct timespec old[2];
	clock_gettime(CLOCK_REALTIME, &old[0]);
	old[0].tv_sec -= 60;
	old[1] = old[0];
	for (auto &e : fs::recursive_directory_iterator(root + "/" + full))
		if (e.is_regular_file())
			utimensat(AT_FDCWD, e.path().c_str(), old, AT_SYMLINK_NOFOLLOW);
	Ran pack = run({bin("arc-pack"), "-a", "30m", root, full}, "", 300000);
	printf("archive: 365 days of 4 frames, %s with an hour packed (%s), made in %.1f s\n", full.c_str(),
	       exit_code(pack.status) == 0 ? "arc-pack ok" : pack.err.c_str(), now() - t0);

	int port = 0;
	Proc p = start_pipe_web({"-a", root}, port);
	p.close_in();

	double took;
	get(port, "/days", &took);
	printf("days page, 365 days, none counted yet: %8.1f ms\n", took * 1000);
	auto counting = std::chrono::steady_clock::now();
	for (std::string body; get(port, "/days", &took, "127.0.0.1", &body), body.find("not counted yet") != std::string::npos;)
		usleep(20000);
	printf("every day counted behind the page in:  %8.1f ms\n",
	       std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - counting).count());
	std::vector<double> v;
	for (int k = 0; k < 10; k++) {
		get(port, "/days", &took);
		v.push_back(took);
	}
	printf("days page, 365 days, summaries present: %7.1f ms (median of 10)\n", median(v) * 1000);
	get(port, "/day/" + full, &took);
	printf("day page (an hour of frames), cold:     %7.1f ms\n", took * 1000);
	v.clear();
	for (int k = 0; k < 10; k++) {
		get(port, "/day/" + full, &took);
		v.push_back(took);
	}
	printf("day page, cached:                       %7.1f ms (median of 10)\n", median(v) * 1000);
	get(port, "/day/" + full + ".png", &took);
	printf("day picture, cold:                      %7.1f ms\n", took * 1000);
	get(port, "/day/" + full + ".png", &took);
	printf("day picture, cached:                    %7.1f ms\n", took * 1000);
	v.clear();
	for (int k = 0; k < 6; k++) {
		std::string from = full + "10" + std::to_string(k) + "0", to = k < 5 ? full + "10" + std::to_string(k + 1) + "0" : full + "1100";
		std::string path = "/range/" + from + "/" + to + ".png";
		int st = get(port, path, &took);
		if (st != 200)
			printf("  %s: %d\n", path.c_str(), st);
		v.push_back(took);
	}
	printf("ten minutes from packs, cold:           %7.1f ms (median of 6)\n", median(v) * 1000);
	std::vector<double> lat(100);
	std::vector<std::thread> th;
	double c0 = now();
	for (int c = 0; c < 50; c++)
		th.emplace_back([&, c] {
			char from[32];
			snprintf(from, sizeof from, "127.0.0.%d", 1 + c / 10);
			get(port, "/days", &lat[(size_t)c * 2], from);
			get(port, "/day/" + full, &lat[(size_t)c * 2 + 1], from);
		});
	for (auto &x : th)
		x.join();
	std::vector<double> days, day;
	for (int c = 0; c < 50; c++)
		days.push_back(lat[(size_t)c * 2]), day.push_back(lat[(size_t)c * 2 + 1]);
	printf("50 clients at once (%.1f s in all): days page median %.1f ms, slowest %.1f ms; day page median %.1f ms, "
	       "slowest %.1f ms\n",
	       now() - c0, median(days) * 1000, *std::max_element(days.begin(), days.end()) * 1000, median(day) * 1000,
	       *std::max_element(day.begin(), day.end()) * 1000);
	// Today as net-arc fills it: up to two hours so far, and a frame more before each second ask
	// (a day not over is made at most once a minute; an hour past is kept while the next fills).
	time_t wall = time(nullptr);
	struct tm lt;
	localtime_r(&wall, &lt);
	int frames = std::min(lt.tm_hour * 3600 + lt.tm_min * 60 + lt.tm_sec, 7200) * 2 - 2;
	if (frames >= 7200) {
		auto stamp = [](time_t w) {
			struct tm x;
			localtime_r(&w, &x);
			char b[32];
			strftime(b, sizeof b, "%Y%m%d%H%M%S00", &x);
			return std::string(b);
		};
		std::string day = stamp(wall).substr(0, 8), hour = stamp(wall - 3600).substr(0, 10);
		store(root, run({bin("frame-send"), "-o", "-T", stamp(wall - frames / 2), "-c", std::to_string(frames)}, "", 300000).out);
		int added = 0;
		for (std::string path : {"/day/" + day, "/day/" + day + ".png", "/day/" + day + "/strip.png",
					 "/range/" + hour + "/" + stamp(wall).substr(0, 10) + ".png"}) {
			double cold, again;
			get(port, path, &cold);
			store(root, run({bin("frame-send"), "-o", "-T", stamp(wall + added++), "-c", "1"}).out);
			get(port, path, &again);
			printf("today (%d frames so far) %-36s cold %7.1f ms, after a new frame %7.1f ms\n", frames, path.c_str(),
			       cold * 1000, again * 1000);
		}
	}
	std::string st = slurp("/proc/" + std::to_string(p.pid) + "/status");
	size_t at = st.find("VmHWM:");
	printf("pipe-web peak RSS: %s\n", at == std::string::npos ? "?" : st.substr(at + 6, st.find('\n', at) - at - 6).c_str());
	stop(p);
	return 0;
}
