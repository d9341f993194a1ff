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

const char *arc_file(const char *path, unsigned char *buf, size_t cap, size_t *n, struct stat *st)
{
	static thread_local char msg[128];
	*n = 0;
	int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
	if (fd < 0) {
		snprintf(msg, sizeof msg, "cannot open: %s", strerror(errno));
		return msg;
	}
	if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
		close(fd);
		return "not a regular file";
	}
	for (;;) {
		ssize_t r = read(fd, buf + *n, cap - *n);
		if (r < 0 && errno == EINTR)
			continue;
		if (r < 0) {
			snprintf(msg, sizeof msg, "cannot read: %s", strerror(errno));
			close(fd);
			return msg;
		}
		if (r == 0)
			break;
		*n += (size_t)r;
		if (*n == cap) {
			close(fd);
			return "too large for a frame file";
		}
	}
	close(fd);
	return nullptr;
}

const char *arc_read(const char *path, unsigned char *payload, long long *bytes)
{
	// A frame file is a few kilobytes; anything far larger is not one.
	static thread_local unsigned char gz[1 << 16];
	struct stat st {};
	size_t n;
	const char *why = arc_file(path, gz, sizeof gz, &n, &st);
	if (bytes)
		*bytes = S_ISREG(st.st_mode) ? st.st_size : 0;
	return why ? why : arc_inflate(gz, n, payload);
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
	DIR *d = want == 8 ? opendir(dir.c_str()) : arc_opendir(dir);  // ROOT itself may be a link
	if (!d)
		return errno == ENOENT ? "" : dir + ": cannot read directory: " + arc_dir_error(errno);
	while (struct dirent *e = readdir(d))
		if (arc_name_is(e->d_name, want))
			out.emplace_back(e->d_name);
		else if (want == 11 && (pack_name_is(e->d_name) || pack_part_is(e->d_name)))
			out.emplace_back(e->d_name, 11);
	closedir(d);
	std::sort(out.begin(), out.end());
	out.erase(std::unique(out.begin(), out.end()), out.end());
	return "";
}

// A packed frame's bytes into x.gz, from the pack read in order. Returns false when the pack
// fails (why in pack_why_), with a problem the first time; its later frames fail at once.
bool ArcList::member(ArcEntry &x, std::string &problem)
{
	if (x.pack != pack_path_) {
		pack_ = std::make_shared<PackReader>();
		pack_path_ = x.pack;
		pack_failed_ = false;
		if (const char *why = pack_->open(x.pack)) {
			pack_failed_ = true;
			pack_why_ = why;
			problem = x.pack + ": " + why;
			return false;
		}
	}
	if (pack_failed_)
		return false;
	int got = pack_seek(*pack_, x.stamp, &x.gz);
	if (got == 1)
		return true;
	pack_failed_ = true;
	pack_why_ = got < 0 ? pack_->why() : "ends before " + x.stamp;
	problem = x.pack + ": " + pack_why_;
	return false;
}

// Whether a day (8 digits) or period (11) of the given name can hold frames of the range.
static bool overlaps(const ArcRange &r, const std::string &name)
{
	int n = (int)name.size();
	long long a, b;
	if (arc_period(name.c_str(), n, &a, &b))
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
			if (members_ && x.packed && !x.fault && !member(x, problem)) {
				// Listed by the index, so present, but broken: this frame and every later
				// one of the pack. The pack is named once, before its first such frame.
				x.unreadable = "its pack cannot give it (" + pack_why_ + ")";
				if (!problem.empty()) {
					entry_--;
					return PROBLEM;
				}
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
