// Usage walked with nftw (physical, one file system), space from statvfs, the report written
// with nlohmann-json.
#include "health.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <ftw.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <vector>

#include "frame.h"
#include "pack.h"
#include "reader.h"

// nftw's callback has no argument of ours: the walk in progress, one at a time.
static thread_local ArcUsage *walking;

static int count(const char *path, const struct stat *st, int type, struct FTW *ftw)
{
	walking->inodes++;
	walking->bytes += (long long)st->st_blocks * 512;
	const char *name = path + ftw->base;
	if (type == FTW_F && ftw->level == 2 && arc_name_is(name, FR_STAMP))
		walking->frames++;
	else if (type == FTW_D && ftw->level == 1 && arc_name_is(name, 11))
		walking->loose_periods++;
	else if (type == FTW_F && ftw->level == 1 && pack_name_is(name)) {
		walking->packed_periods++;
		PackReader r;
		if (!r.open(path))
			walking->frames += (long long)r.index().size();
	}
	return 0;
}

const char *arc_day_usage(const std::string &dir, ArcUsage &u)
{
	u = ArcUsage();
	walking = &u;
	int r = nftw(dir.c_str(), count, 16, FTW_PHYS | FTW_MOUNT);
	walking = nullptr;
	return r == 0 ? nullptr : strerror(errno);
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

const char *arc_health(const std::string &root, ArcHealth &h)
{
	h = ArcHealth();
	static std::string why;
	why.clear();
	if (const char *e = arc_space(root, h.space))
		return why = "cannot measure the file system: " + std::string(e), why.c_str();
	std::vector<std::string> days;
	if (DIR *d = opendir(root.c_str())) {
		while (struct dirent *e = readdir(d))
			if (arc_name_is(e->d_name, 8))
				days.emplace_back(e->d_name);
		closedir(d);
	} else
		return why = "cannot read " + root + ": " + strerror(errno), why.c_str();
	std::sort(days.rbegin(), days.rend());
	double span = 0;  // seconds of recording
	for (const std::string &day : days) {
		if (h.days == 7)
			break;
		ArcUsage u;
		if (const char *e = arc_day_usage(root + "/" + day, u))
			why = root + "/" + day + ": " + e;
		if (u.frames == 0)
			continue;
		h.days++;
		h.first = day;
		if (h.last.empty())
			h.last = day;
		h.used.bytes += u.bytes;
		h.used.inodes += u.inodes;
		h.used.frames += u.frames;
		h.used.loose_periods += u.loose_periods;
		h.used.packed_periods += u.packed_periods;
		span += std::min(86400.0, (double)u.frames * 0.5);
	}
	if (span > 0) {
		h.bytes_per_day = (double)h.used.bytes * 86400 / span;
		h.inodes_per_day = (double)h.used.inodes * 86400 / span;
		double by_bytes = (double)h.space.free_bytes / h.bytes_per_day;
		double by_inodes = h.space.total_inodes ? (double)h.space.free_inodes / h.inodes_per_day : by_bytes + 1;
		h.days_left = std::min(by_bytes, by_inodes);
		h.limit = by_inodes < by_bytes ? "inodes" : "bytes";
		h.status = h.days_left < 7 ? 2 : h.days_left <= 30 ? 1 : 0;
	}
	// No room for one more frame file (its blocks, or it and its two directories) is full now,
	// whatever the rate: a disk something else filled before any frame came is not healthy.
	bool no_bytes = h.space.free_bytes < 65536, no_inodes = h.space.total_inodes && h.space.free_inodes < 3;
	if (no_bytes || no_inodes) {
		h.days_left = 0;
		h.limit = no_inodes && !no_bytes ? "inodes" : "bytes";
		h.status = 2;
	}
	return why.empty() ? nullptr : why.c_str();
}

static const char *STATUS[] = {"OK", "WARNING", "CRITICAL"};

std::string arc_health_text(const ArcHealth &h)
{
	char b[1024];
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
	return b;
}

std::string arc_health_json(const ArcHealth &h)
{
	nlohmann::ordered_json j;
	j["bytes_per_day"] = h.bytes_per_day;
	j["inodes_per_day"] = h.inodes_per_day;
	j["free_bytes"] = h.space.free_bytes;
	j["free_inodes"] = h.space.free_inodes;
	j["total_bytes"] = h.space.total_bytes;
	j["total_inodes"] = h.space.total_inodes;
	j["days_left"] = h.days_left < 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(h.days_left);
	j["limit"] = h.days_left < 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(h.limit);
	j["status"] = h.status;
	j["days_measured"] = h.days;
	j["first_day"] = h.first;
	j["last_day"] = h.last;
	j["frames"] = h.used.frames;
	j["bytes"] = h.used.bytes;
	j["inodes"] = h.used.inodes;
	j["loose_periods"] = h.used.loose_periods;
	j["packed_periods"] = h.used.packed_periods;
	return j.dump() + "\n";
}
