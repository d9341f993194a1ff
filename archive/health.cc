// Usage walked with fts (physical, one file system), the days listed by arc_list, space from
// statvfs, the report written with nlohmann-json.
#include "health.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fts.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <vector>

#include "frame.h"
#include "pack.h"
#include "range.h"
#include "reader.h"

// One thing the walk met, at its depth below the day: periods at 1, frame files at 2.
static void count(const FTSENT *e, ArcUsage &u)
{
	u.inodes++;
	u.bytes += (long long)e->fts_statp->st_blocks * 512;
	bool file = e->fts_info == FTS_F;
	if (file && e->fts_level == 2 && arc_name_is(e->fts_name, FR_STAMP))
		u.frames++;
	else if (e->fts_info == FTS_D && e->fts_level == 1 && arc_name_is(e->fts_name, 11))
		u.loose_periods++;
	else if (file && e->fts_level == 1 && pack_name_is(e->fts_name)) {
		u.packed_periods++;
		PackReader r;
		if (!r.open(e->fts_path))
			u.frames += (long long)r.index().size();
	}
}

std::string arc_day_usage(const std::string &dir, ArcUsage &u)
{
	u = ArcUsage();
	std::string path = dir, problem;
	char *paths[] = {path.data(), nullptr};
	FTS *fts = fts_open(paths, FTS_PHYSICAL | FTS_XDEV | FTS_NOCHDIR, nullptr);
	if (!fts)
		return dir + ": cannot read: " + strerror(errno);
	errno = 0;
	while (FTSENT *e = fts_read(fts)) {
		int info = e->fts_info;
		if ((info == FTS_DNR || info == FTS_ERR || info == FTS_NS) && problem.empty())
			problem = std::string(e->fts_path) + ": cannot read: " + strerror(e->fts_errno);
		if (info != FTS_DP && info != FTS_ERR && info != FTS_NS)  // a directory once; what has a stat
			count(e, u);
		errno = 0;
	}
	if (errno != 0 && problem.empty())
		problem = dir + ": cannot read: " + strerror(errno);
	fts_close(fts);
	return problem;
}

const char *arc_space(const std::string &path, ArcSpace &s)
{
	struct statvfs v;
	if (statvfs(path.c_str(), &v) != 0)
		return strerror(errno);
	s.free_bytes = (unsigned long long)v.f_bavail * v.f_frsize;
	s.total_bytes = (unsigned long long)v.f_blocks * v.f_frsize;
	s.free_inodes = v.f_favail;
	s.total_inodes = v.f_files;
	return nullptr;
}

// ROOT itself: a directory whose file system can be measured, or the error.
static bool measure_root(const std::string &root, ArcHealth &h)
{
	struct stat st;
	if (stat(root.c_str(), &st) != 0)
		h.error = root + ": " + strerror(errno);
	else if (!S_ISDIR(st.st_mode))
		h.error = root + ": not a directory";
	else if (const char *e = arc_space(root, h.space))
		h.error = "cannot measure the file system of " + root + ": " + e;
	return h.error.empty();
}

// One of the newest days: what it holds into h, if it holds frames. Returns the seconds of
// recording its frames cover.
static double measure_day(const std::string &root, const std::string &day, long long horizon, ArcHealth &h)
{
	long long start, end;
	if (!arc_period(day.c_str(), 8, &start, &end))
		return 0;  // not a date: no day of the archive
	if (start > horizon) {
		h.ahead++;
		return 0;
	}
	ArcUsage u;
	std::string problem = arc_day_usage(root + "/" + day, u);
	if (!problem.empty() && h.error.empty())
		h.error = problem;
	if (u.frames == 0)
		return 0;
	h.days++;
	h.first = day;
	if (h.last.empty())
		h.last = day;
	h.used.bytes += u.bytes;
	h.used.inodes += u.inodes;
	h.used.frames += u.frames;
	h.used.loose_periods += u.loose_periods;
	h.used.packed_periods += u.packed_periods;
	return std::min(86400.0, (double)u.frames * 0.5);
}

// The days left at the rate of span seconds of recording, and the status they give.
static void judge(ArcHealth &h, double span)
{
	if (span > 0) {
		h.bytes_per_day = (double)h.used.bytes * 86400 / span;
		h.inodes_per_day = (double)h.used.inodes * 86400 / span;
		double by_bytes = (double)h.space.free_bytes / h.bytes_per_day;
		double by_inodes = h.space.total_inodes ? (double)h.space.free_inodes / h.inodes_per_day : by_bytes + 1;
		h.days_left = std::min(by_bytes, by_inodes);
		h.limit = by_inodes < by_bytes ? "inodes" : "bytes";
		h.status = h.days_left < 7 ? ARC_CRITICAL : h.days_left <= 30 ? ARC_WARNING : ARC_OK;
	}
	// No room for one more frame file (its blocks, or it and its two directories) is full now,
	// whatever the rate: a disk something else filled before any frame came is not healthy.
	bool no_bytes = h.space.free_bytes < 65536, no_inodes = h.space.total_inodes && h.space.free_inodes < 3;
	if (no_bytes || no_inodes) {
		h.days_left = 0;
		h.limit = no_inodes && !no_bytes ? "inodes" : "bytes";
		h.status = ARC_CRITICAL;
	}
	if (!h.error.empty() && h.status != ARC_CRITICAL)
		h.status = ARC_UNKNOWN;  // a rate from part of the days is no measure
}

int arc_health(const std::string &root, ArcHealth &h)
{
	h = ArcHealth();
	std::vector<std::string> days;
	if (!measure_root(root, h) || !(h.error = arc_list(root, 8, days)).empty())
		return h.status = ARC_UNKNOWN;
	h.measured = true;
	long long horizon = arc_horizon();
	double span = 0;  // seconds of recording
	for (auto day = days.rbegin(); day != days.rend() && h.days < 7; ++day)
		span += measure_day(root, *day, horizon, h);
	judge(h, span);
	return h.status;
}

static const char *STATUS[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

std::string arc_health_text(const ArcHealth &h)
{
	char b[1024];
	std::string error = h.error.empty() ? "" : "error           " + h.error + "\n";
	if (!h.measured)
		return "status          3 UNKNOWN\n" + error;
	std::string days = h.days ? std::to_string(h.days) + " (" + h.first + " to " + h.last + ")" : "0";
	std::string left = h.days_left < 0 ? "no end in sight" : "";
	if (h.days_left >= 0) {
		char l[64];
		snprintf(l, sizeof l, "%.1f (%s run out first)", h.days_left, h.limit);
		left = l;
	}
	snprintf(b, sizeof b,
		 "days measured   %s\n"
		 "frames          %lld in %lld loose and %lld packed periods\n"
		 "bytes per day   %.0f\n"
		 "inodes per day  %.0f\n"
		 "free bytes      %llu of %llu\n"
		 "free inodes     %llu of %llu\n"
		 "days left       %s\n"
		 "status          %d %s\n",
		 days.c_str(), h.used.frames, h.used.loose_periods, h.used.packed_periods, h.bytes_per_day, h.inodes_per_day,
		 h.space.free_bytes, h.space.total_bytes, h.space.free_inodes, h.space.total_inodes, left.c_str(),
		 h.status, STATUS[h.status]);
	return b + error;
}

std::string arc_health_json(const ArcHealth &h)
{
	using Json = nlohmann::ordered_json;
	Json j;
	Json status = h.status == ARC_UNKNOWN ? Json(STATUS[h.status]) : Json(h.status);
	Json error = h.error.empty() ? Json(nullptr) : Json(h.error);
	if (!h.measured) {
		j["status"] = status;
		j["error"] = error;
		return j.dump() + "\n";
	}
	j["bytes_per_day"] = h.bytes_per_day;
	j["inodes_per_day"] = h.inodes_per_day;
	j["free_bytes"] = h.space.free_bytes;
	j["free_inodes"] = h.space.free_inodes;
	j["total_bytes"] = h.space.total_bytes;
	j["total_inodes"] = h.space.total_inodes;
	j["days_left"] = h.days_left < 0 ? Json(nullptr) : Json(h.days_left);
	j["limit"] = h.days_left < 0 ? Json(nullptr) : Json(h.limit);
	j["status"] = status;
	j["days_measured"] = h.days;
	j["first_day"] = h.first;
	j["last_day"] = h.last;
	j["frames"] = h.used.frames;
	j["bytes"] = h.used.bytes;
	j["inodes"] = h.used.inodes;
	j["loose_periods"] = h.used.loose_periods;
	j["packed_periods"] = h.used.packed_periods;
	j["days_ahead"] = h.ahead;
	j["error"] = error;
	return j.dump() + "\n";
}
