#include "reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

bool ArcRange::has(const char *stamp) const
{
	return memcmp(stamp, from, FR_STAMP) >= 0 && !after(stamp);
}

bool ArcRange::after(const char *stamp) const
{
	return !open && memcmp(stamp, to, FR_STAMP) >= 0;
}

int arc_when(const char *arg, char *out)
{
	int n = 0;
	bool sep = false;  // the last character was a separator
	for (const char *p = arg; *p; p++) {
		if (*p >= '0' && *p <= '9') {
			if (n == FR_STAMP)
				return 0;
			out[n++] = *p;
			sep = false;
		} else if (strchr("-:T. ", *p) && !sep && n >= 4 && n % 2 == 0 && p[1]) {
			sep = true;  // between fields only: one, after a whole field, not last
		} else
			return 0;
	}
	out[n] = '\0';
	return fr_time_ok(out, n) ? n : 0;
}

void arc_now(char *out)
{
	struct timespec ts;
	clock_gettime(CLOCK_REALTIME, &ts);
	struct tm tm;
	localtime_r(&ts.tv_sec, &tm);
	fr_time_stamp((long long)timegm(&tm) * 100 + ts.tv_nsec / 10000000, out);  // its fields as they are
}

// Pads the n digits of d with zeros to a stamp.
static void pad(char *stamp, const char *d, int n)
{
	memset(stamp, '0', FR_STAMP);
	memcpy(stamp, d, (size_t)n);
	stamp[FR_STAMP] = '\0';
}

// FROM or TO: "now" or a time; its digits into d. Returns how many, or 0.
static int when(const char *arg, char *d)
{
	if (strcmp(arg, "now") == 0) {
		arc_now(d);
		return FR_STAMP;
	}
	return arc_when(arg, d);
}

int arc_range(const char *from, const char *to, ArcRange *r)
{
	*r = ArcRange();
	if (!from)
		return 1;
	char d[FR_STAMP + 1];
	int n = when(from, d);
	if (n == 0)
		return 0;
	pad(r->from, d, n);
	if (to) {
		int m = when(to, d);
		if (m == 0)
			return 0;
		pad(r->to, d, m);
		r->open = false;
		return strcmp(r->to, r->from) > 0;
	}
	if (strcmp(from, "now") == 0)
		return 1;  // from now on
	// The period FROM names ends where the next one begins: its digits plus one.
	int i = n - 1;
	while (i >= 0 && d[i] == '9')
		d[i--] = '0';
	if (i < 0)
		return 1;  // the last period there is: no end
	d[i]++;
	pad(r->to, d, n);
	r->open = false;
	return 1;
}

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

ArcList::ArcList(const std::string &root, const ArcRange &r) : root_(root), r_(r) {}

// The names of dir that are archive names of the wanted kind, sorted. A directory that is not
// there holds nothing; one that cannot be read is a problem.
bool ArcList::list(const std::string &dir, int want, std::vector<std::string> &out)
{
	out.clear();
	DIR *d = opendir(dir.c_str());
	if (!d) {
		if (errno == ENOENT)
			return true;
		problem_ = dir + ": cannot read directory: " + strerror(errno);
		return false;
	}
	while (struct dirent *e = readdir(d))
		if (arc_name_is(e->d_name, want))
			out.emplace_back(e->d_name);
	closedir(d);
	std::sort(out.begin(), out.end());
	return true;
}

int ArcList::next(std::string &stamp, std::string &path)
{
	// Whether a day or period of the given name can hold stamps of the range: it ends after
	// FROM begins, and begins before TO.
	auto overlaps = [&](const std::string &name) {
		if (name.compare(0, name.size(), r_.from, name.size()) < 0)
			return false;
		std::string start = name + std::string(FR_STAMP - name.size(), '0');
		return !r_.after(start.c_str());
	};
	if (!started_) {
		started_ = true;
		if (!list(root_, 8, days_)) {
			days_.clear();
			path = problem_;
			return PROBLEM;
		}
		day_ = 0;
		periods_.clear();
		period_ = 0;
	}
	for (;;) {
		while (file_ < files_.size()) {
			const std::string &f = files_[file_++];
			if (f.compare(0, 11, periods_[period_ - 1]) != 0 || !r_.has(f.c_str()))
				continue;
			stamp = f.substr(0, FR_STAMP);
			path = period_dir_ + "/" + f;
			return FRAME;
		}
		files_.clear();
		file_ = 0;
		if (period_ < periods_.size()) {
			const std::string &p = periods_[period_++];
			if (p.compare(0, 8, days_[day_ - 1]) != 0 || !overlaps(p))
				continue;
			period_dir_ = day_dir_ + "/" + p;
			if (!list(period_dir_, FR_STAMP, files_)) {
				path = problem_;
				return PROBLEM;
			}
			continue;
		}
		periods_.clear();
		period_ = 0;
		if (day_ >= days_.size())
			return END;
		const std::string &d = days_[day_++];
		if (!overlaps(d))
			continue;
		day_dir_ = root_ + "/" + d;
		if (!list(day_dir_, 11, periods_)) {
			path = problem_;
			return PROBLEM;
		}
	}
}

void ArcBatch::read(size_t from, size_t to)
{
	for (size_t i = from; i < to; i++) {
		ArcItem &it = items_[i];
		if (it.stamp.empty())
			continue;
		const char *why = nullptr;
		struct stat st;
		if (inflate_)
			why = arc_read(it.path.c_str(), it.payload, &it.bytes);
		else if (lstat(it.path.c_str(), &st) == 0)
			it.bytes = st.st_size;
		else
			why = "cannot be found";
		it.why = why ? why : "";
	}
}

size_t ArcBatch::next(ArcItem *&items)
{
	size_t n = 0;
	while (!done_ && n < items_.size()) {
		int k = list_.next(items_[n].stamp, items_[n].path);
		if (k == ArcList::END)
			done_ = true;
		else {
			if (k == ArcList::PROBLEM)
				items_[n].stamp.clear();
			n++;
		}
	}
	std::thread helper(&ArcBatch::read, this, 0, n / 2);
	read(n / 2, n);
	helper.join();
	items = items_.data();
	return n;
}
