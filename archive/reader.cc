// The archive reader: one lister of directories, one list of a period's frames with the rule
// for a frame present, frame files inflated in the process, and the range walked in batches
// that two threads read, one inflating while the other lists (see reader.h).
#include "reader.h"

#include <algorithm>
#include <atomic>
#include <dirent.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <zlib.h>

#include "pack.h"

const char *arc_inflate(const unsigned char *gz, size_t n, unsigned char *payload)
{
	if (n == 0)
		return "empty";
	if (n < 2 || gz[0] != 0x1f || gz[1] != 0x8b)
		return "not gzip";
	// One stream for each thread that inflates, ended with the thread.
	static thread_local struct Stream {
		z_stream z{};
		bool ready = false;
		~Stream()
		{
			if (ready)
				inflateEnd(&z);
		}
	} st;
	z_stream &z = st.z;
	if (!st.ready) {
		if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK)
			return "cannot start zlib";
		st.ready = true;
	} else if (inflateReset(&z) != Z_OK)
		return "cannot reset zlib";
	static thread_local unsigned char out[FR_PAYLOAD + 1];  // one more, to see a frame too long
	z.next_in = const_cast<unsigned char *>(gz);
	z.avail_in = (uInt)n;
	z.next_out = out;
	z.avail_out = sizeof out;
	int r = inflate(&z, Z_FINISH);
	static thread_local char msg[96];
	if (r == Z_STREAM_END) {
		if (z.total_out != (uLong)FR_PAYLOAD) {
			snprintf(msg, sizeof msg, "inflates to %lu bytes, not %d", (unsigned long)z.total_out, FR_PAYLOAD);
			return msg;
		}
		if (z.avail_in != 0)
			return "data after the gzip stream";
		memcpy(payload, out, FR_PAYLOAD);
		return nullptr;
	}
	if (z.avail_out == 0)
		return "inflates to more than 3600 bytes";
	if (r == Z_BUF_ERROR)
		return "truncated";
	if (r == Z_DATA_ERROR) {
		snprintf(msg, sizeof msg, "corrupt (%s)", z.msg ? z.msg : "bad data");
		return msg;
	}
	return r == Z_MEM_ERROR ? "out of memory" : "cannot be inflated";
}

const char *arc_read(const char *path, unsigned char *payload, long long *bytes)
{
	if (bytes)
		*bytes = 0;
	// A frame file is a few kilobytes; anything far larger is not one.
	static thread_local unsigned char gz[1 << 16];
	static thread_local char msg[128];
	int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
	if (fd < 0) {
		snprintf(msg, sizeof msg, "cannot open: %s", strerror(errno));
		return msg;
	}
	struct stat st;
	if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
		close(fd);
		return "not a regular file";
	}
	if (bytes)
		*bytes = st.st_size;
	size_t n = 0;
	for (;;) {
		ssize_t r = read(fd, gz + n, sizeof gz - n);
		if (r < 0 && errno == EINTR)
			continue;
		if (r < 0) {
			snprintf(msg, sizeof msg, "cannot read: %s", strerror(errno));
			close(fd);
			return msg;
		}
		if (r == 0)
			break;
		n += (size_t)r;
		if (n == sizeof gz) {
			close(fd);
			return "too large for a frame file";
		}
	}
	close(fd);
	return arc_inflate(gz, n, payload);
}

int arc_name_is(const char *name, int want)
{
	size_t n = strlen(name), digits = (size_t)want;
	if (n != (want == FR_STAMP ? digits + 3 : digits))
		return 0;
	for (size_t i = 0; i < digits; i++)
		if (name[i] < '0' || name[i] > '9')
			return 0;
	return want != FR_STAMP || strcmp(name + FR_STAMP, ".gz") == 0;
}

std::string arc_list(const std::string &dir, int want, std::vector<std::string> &out)
{
	out.clear();
	DIR *d = opendir(dir.c_str());
	if (!d)
		return errno == ENOENT ? "" : dir + ": cannot read directory: " + strerror(errno);
	while (struct dirent *e = readdir(d))
		if (arc_name_is(e->d_name, want))
			out.emplace_back(e->d_name);
		else if (want == 11 && pack_name_is(e->d_name))
			out.emplace_back(e->d_name, 11);
	closedir(d);
	std::sort(out.begin(), out.end());
	out.erase(std::unique(out.begin(), out.end()), out.end());
	return "";
}

// The entry of the file name (STAMP.gz) in the directory dir, found from fd as at: 0 if it is
// gone.
static int entry_at(int fd, const char *at, const std::string &dir, const char *name, ArcEntry &e)
{
	e = ArcEntry();
	e.stamp.assign(name, FR_STAMP);
	e.timed = fr_stamp_time(name, &e.t);
	e.path = dir + "/" + name;
	struct stat st;
	if (fstatat(fd, at, &st, AT_SYMLINK_NOFOLLOW) != 0)
		return 0;
	e.mtime = st.st_mtime;
	if (!S_ISREG(st.st_mode))
		e.fault = "not a regular file";
	else if ((e.bytes = st.st_size) == 0)
		e.fault = "empty";
	return 1;
}

// ROOT/DAY/PERIOD of a period's 11 digits.
static std::string period_dir(const std::string &root, const std::string &period)
{
	return root + "/" + period.substr(0, 8) + "/" + period.substr(0, 11);
}

// The frames of the period's pack, if it has one, merged into its loose ones (out, sorted):
// a stamp stored loose is the newer write and keeps its file.
static std::string packed_entries(const std::string &pack, const std::string &period, std::vector<ArcEntry> &out)
{
	struct stat st;
	if (lstat(pack.c_str(), &st) != 0 && errno == ENOENT)
		return "";
	PackReader r;
	if (const char *why = r.open(pack))
		return pack + ": " + why;
	std::vector<ArcEntry> loose;
	loose.swap(out);
	size_t i = 0;
	for (const PackEntry &p : r.index()) {
		while (i < loose.size() && loose[i].stamp < p.stamp)
			out.push_back(std::move(loose[i++]));
		if (i < loose.size() && loose[i].stamp == p.stamp)
			continue;
		ArcEntry e;
		e.stamp = p.stamp;
		e.timed = fr_stamp_time(p.stamp.c_str(), &e.t);
		e.path = pack + ":" + period + "/" + p.stamp + ".gz";
		e.pack = pack;
		e.bytes = p.size;
		if (p.size == 0)
			e.fault = "empty";
		out.push_back(std::move(e));
	}
	while (i < loose.size())
		out.push_back(std::move(loose[i++]));
	return "";
}

// Reads the bytes of a packed frame from its pack into gz. Returns null or what is wrong.
static const char *member_bytes(const ArcEntry &e, std::string &gz)
{
	static thread_local std::string why;
	PackReader r;
	if (const char *w = r.open(e.pack))
		return why = w, why.c_str();
	size_t k;
	for (int got; (got = r.next(k, &gz)) != 0;) {
		if (got < 0)
			return why = r.why(), why.c_str();
		if (r.index()[k].stamp == e.stamp)
			return nullptr;
	}
	return "no longer in its pack";
}

std::string arc_period_entries(const std::string &root, const std::string &period, std::vector<ArcEntry> &out)
{
	out.clear();
	std::string dir = period_dir(root, period);
	DIR *d = opendir(dir.c_str());
	if (!d && errno != ENOENT)
		return dir + ": cannot read directory: " + strerror(errno);
	ArcEntry e;
	while (struct dirent *de = d ? readdir(d) : nullptr)
		if (arc_name_is(de->d_name, FR_STAMP) && period.compare(0, 11, de->d_name, 11) == 0 &&
		    entry_at(dirfd(d), de->d_name, dir, de->d_name, e))
			out.push_back(std::move(e));
	if (d)
		closedir(d);
	std::sort(out.begin(), out.end(), [](const ArcEntry &a, const ArcEntry &b) { return a.stamp < b.stamp; });
	out.erase(std::unique(out.begin(), out.end(), [](const ArcEntry &a, const ArcEntry &b) { return a.stamp == b.stamp; }),
		  out.end());
	return packed_entries(dir + PACK_SUFFIX, period.substr(0, 11), out);
}

int arc_frame_entry(const std::string &root, const char *name, ArcEntry &e)
{
	if (!arc_name_is(name, FR_STAMP))
		return 0;
	std::string dir = period_dir(root, name);
	return entry_at(AT_FDCWD, (dir + "/" + name).c_str(), dir, name, e);
}

// A loose frame gone since it was listed: arc-pack packed its period meanwhile (the pack is in
// place before a loose file goes), so it is read from the pack. Each thread keeps its pack open
// and reads on in it, as frames are asked for in stamp order. Returns null, or what is wrong
// (the pack's fault; "" when the pack does not hold the frame either).
static const char *vanished(const ArcEntry &e, unsigned char *payload)
{
	static thread_local std::unique_ptr<PackReader> r;
	static thread_local std::string path, gz, why;
	std::string pack = e.path.substr(0, e.path.rfind('/')) + PACK_SUFFIX;
	if (r && (path != pack || r->at() == r->index().size() || r->index()[r->at()].stamp > e.stamp))
		r.reset();
	if (!r) {
		r = std::make_unique<PackReader>();
		path = pack;
		if (const char *w = r->open(pack)) {
			why = errno == ENOENT ? "" : pack + ": " + w;
			r.reset();
			return why.c_str();
		}
	}
	for (size_t k; r->at() < r->index().size();) {
		int got = r->next(k, &gz, r->index()[r->at()].stamp != e.stamp);
		if (got <= 0)
			break;
		if (r->index()[k].stamp == e.stamp)
			return arc_inflate((const unsigned char *)gz.data(), gz.size(), payload);
	}
	why = r->why()[0] ? pack + ": " + r->why() : "";
	r.reset();
	return why.c_str();
}

const char *arc_entry_read(const ArcEntry &e, unsigned char *payload)
{
	if (e.fault)
		return e.fault;
	if (e.pack.empty()) {
		const char *why = arc_read(e.path.c_str(), payload);
		struct stat st;
		if (!why || lstat(e.path.c_str(), &st) == 0 || errno != ENOENT)
			return why;
		const char *packed = vanished(e, payload);
		return !packed || packed[0] ? packed : why;
	}
	if (!e.gz.empty())
		return arc_inflate((const unsigned char *)e.gz.data(), e.gz.size(), payload);
	static thread_local std::string gz;
	if (const char *why = member_bytes(e, gz))
		return why;
	return arc_inflate((const unsigned char *)gz.data(), gz.size(), payload);
}

// A packed frame's bytes into x.gz, from the pack read in order. Returns false with a problem
// when the pack fails; its later frames are then passed over.
bool ArcList::member(ArcEntry &x, std::string &problem)
{
	if (x.pack != pack_path_) {
		pack_ = std::make_shared<PackReader>();
		pack_path_ = x.pack;
		pack_failed_ = false;
		if (const char *why = pack_->open(x.pack)) {
			pack_failed_ = true;
			problem = x.pack + ": " + why;
			return false;
		}
	}
	if (pack_failed_)
		return false;
	size_t k;
	for (;;) {
		bool skip = pack_->at() < pack_->index().size() && pack_->index()[pack_->at()].stamp != x.stamp;
		int got = pack_->next(k, &x.gz, skip);
		if (got <= 0) {
			pack_failed_ = true;
			problem = x.pack + ": " + (got < 0 ? pack_->why() : "ends before " + x.stamp);
			return false;
		}
		if (pack_->index()[k].stamp == x.stamp)
			return true;
	}
}

// Whether a day (8 digits) or period (11) of the given name can hold frames of the range.
static bool overlaps(const ArcRange &r, const std::string &name)
{
	int n = (int)name.size();
	long long a, b;
	if (n == 8 ? arc_period(name.c_str(), 8, &a, &b)
		   : fr_stamp_time((name + "00000").c_str(), &a) && (b = a + 60000, true))
		return r.overlaps(a, b);
	return r.spans(name.c_str(), n);  // not a real time: its frames are to be counted as skipped
}

int ArcList::next(ArcEntry &e, std::string &problem)
{
	if (!started_) {
		started_ = true;
		problem = arc_list(root_, 8, days_);
		if (!problem.empty())
			return PROBLEM;
	}
	for (;;) {
		while (entry_ < entries_.size()) {
			ArcEntry &x = entries_[entry_++];
			if (!x.timed) {
				skipped_ += r_.spans(x.stamp.c_str(), FR_STAMP);
				continue;
			}
			if (!r_.has(x.t) || x.stamp <= last_)
				continue;
			problem.clear();
			if (members_ && !x.pack.empty() && !x.fault && !member(x, problem)) {
				if (problem.empty())
					continue;  // its pack failed before: named once
				return PROBLEM;
			}
			last_ = x.stamp;
			e = std::move(x);
			return FRAME;
		}
		entries_.clear();
		entry_ = 0;
		if (period_ < periods_.size()) {
			const std::string &p = periods_[period_++];
			if (p.compare(0, 8, days_[day_ - 1]) != 0 || !overlaps(r_, p))
				continue;
			problem = arc_period_entries(root_, p, entries_);
			if (!problem.empty())
				return PROBLEM;
			continue;
		}
		periods_.clear();
		period_ = 0;
		if (day_ >= days_.size())
			return END;
		const std::string &d = days_[day_++];
		if (!overlaps(r_, d))
			continue;
		problem = arc_list(root_ + "/" + d, 11, periods_);
		if (!problem.empty())
			return PROBLEM;
	}
}

// Reads the items listed, each taken in turn (at: the next to take) by whichever thread asks
// first, as the lister publishes them (listed: how many, with DONE once it has ended).
static const uint32_t DONE = 1u << 31;
static void read_items(ArcItem *items, bool inflate, std::atomic<uint32_t> &at, std::atomic<uint32_t> &listed)
{
	for (uint32_t i = at.fetch_add(1, std::memory_order_relaxed);; i = at.fetch_add(1, std::memory_order_relaxed)) {
		uint32_t l = listed.load(std::memory_order_acquire);
		while ((l & ~DONE) <= i && !(l & DONE)) {
			listed.wait(l, std::memory_order_acquire);
			l = listed.load(std::memory_order_acquire);
		}
		if ((l & ~DONE) <= i)
			return;
		ArcItem &it = items[i];
		if (!it.problem.empty())
			continue;
		const char *why = inflate ? arc_entry_read(it.e, it.payload) : it.e.fault;
		it.why = why ? why : "";
	}
}

size_t ArcBatch::next(ArcItem *&items)
{
	// A helper lists the batch (reading a pack's frame files) while this thread inflates each
	// item as soon as it is listed; then the helper inflates too.
	std::atomic<uint32_t> at{0}, listed{0};
	uint32_t n = 0;
	std::thread helper([&] {
		while (!done_ && n < items_.size()) {
			ArcItem &it = items_[n];
			it.problem.clear();
			if (list_.next(it.e, it.problem) == ArcList::END)
				done_ = true;
			else if (++n % 16 == 0) {
				listed.store(n, std::memory_order_release);
				listed.notify_all();
			}
		}
		listed.store(n | DONE, std::memory_order_release);
		listed.notify_all();
		read_items(items_.data(), inflate_, at, listed);
	});
	read_items(items_.data(), inflate_, at, listed);
	helper.join();
	items = items_.data();
	return n;
}
