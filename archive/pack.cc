// Packs written and read with libarchive: ustar members in a zstd stream. Everything read from
// a pack is checked before it is believed: the first member must be the period's index, every
// frame file must be the next one the index lists, of its size and Adler-32, and nothing may
// follow the last.
#include "pack.h"

#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>


const char PACK_SUFFIX[] = ".pack.tar.zst";
const char PACK_PART[] = ".pack.tar.zst.part";

// 1 if name is 11 digits then suffix.
static int period_then(const char *name, const char *suffix)
{
	if (strlen(name) != 11 + strlen(suffix) || strcmp(name + 11, suffix) != 0)
		return 0;
	for (int i = 0; i < 11; i++)
		if (name[i] < '0' || name[i] > '9')
			return 0;
	return 1;
}

int pack_name_is(const char *name) { return period_then(name, PACK_SUFFIX); }
int pack_part_is(const char *name) { return period_then(name, PACK_PART); }

uint32_t pack_checksum(const std::string &b)
{
	return (uint32_t)adler32(1, (const Bytef *)b.data(), (uInt)b.size());
}

static const char MAGIC[] = "arc-pack 1 ";

std::string pack_index_text(const std::string &period, const std::vector<PackEntry> &entries)
{
	std::string s = MAGIC + period + " " + std::to_string(entries.size()) + "\n";
	char line[48];
	for (const PackEntry &e : entries) {
		snprintf(line, sizeof line, "%s %u %08x\n", e.stamp.c_str(), (unsigned)e.size, (unsigned)e.sum);
		s += line;
	}
	return s;
}

// A whole unsigned decimal or hexadecimal field of at most max digits, ended by end.
static bool field(const char *&p, const char *lim, int base, int max, char end, unsigned long &v)
{
	v = 0;
	int n = 0;
	for (; p < lim && *p != end; p++, n++) {
		int d = *p >= '0' && *p <= '9' ? *p - '0' : base == 16 && *p >= 'a' && *p <= 'f' ? *p - 'a' + 10 : -1;
		if (d < 0 || n == max)
			return false;
		v = v * (unsigned long)base + (unsigned long)d;
	}
	if (p == lim || n == 0)
		return false;
	p++;
	return true;
}

const char *pack_parse_index(const std::string &period, const char *text, size_t n, std::vector<PackEntry> &entries)
{
	entries.clear();
	const char *p = text, *lim = text + n;
	std::string head = MAGIC + period + " ";
	if (n < head.size() || memcmp(p, head.data(), head.size()) != 0)
		return "index of another kind or period";
	p += head.size();
	unsigned long count;
	if (!field(p, lim, 10, 6, '\n', count))
		return "index without a count";
	for (unsigned long i = 0; i < count; i++) {
		PackEntry e;
		if (lim - p < 17 || memcmp(p, period.data(), 11) != 0 || p[16] != ' ')
			return "index line not a stamp of the period";
		for (int j = 11; j < 16; j++)
			if (p[j] < '0' || p[j] > '9')
				return "index line not a stamp of the period";
		e.stamp.assign(p, 16);
		p += 17;
		unsigned long size, sum;
		if (!field(p, lim, 10, 5, ' ', size) || size >= PACK_MEMBER_MAX || !field(p, lim, 16, 8, '\n', sum))
			return "index line without a size and checksum";
		e.size = (uint32_t)size;
		e.sum = (uint32_t)sum;
		if (!entries.empty() && entries.back().stamp >= e.stamp)
			return "index stamps not ascending";
		entries.push_back(e);
	}
	if (p != lim)
		return "data after the index";
	return nullptr;
}

PackReader::~PackReader()
{
	if (a_)
		archive_read_free(a_);
	if (fd_ >= 0)
		close(fd_);
}

const char *PackReader::fail(const std::string &what)
{
	why_ = what;
	return why_.c_str();
}

// The period's name from a pack's file name: the 11 digits it starts with.
static std::string period_of(const std::string &path)
{
	size_t slash = path.rfind('/');
	std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
	return pack_name_is(base.c_str()) ? base.substr(0, 11) : "";
}

const char *PackReader::open(const std::string &path, const std::string &period)
{
	period_ = period.empty() ? period_of(path) : period;
	if (period_.empty())
		return fail("not a pack's name");
	a_ = archive_read_new();
	if (!a_ || archive_read_support_filter_zstd(a_) != ARCHIVE_OK || archive_read_support_format_tar(a_) != ARCHIVE_OK)
		return fail("cannot start libarchive");
	// Only a regular file, never through a link or into a pipe that would wait for a writer.
	fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
	if (fd_ < 0)
		return fail(errno == ELOOP ? std::string("not a regular file") : std::string("cannot open: ") + strerror(errno));
	struct stat st;
	if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))
		return fail("not a regular file");
	if (archive_read_open_fd(a_, fd_, 1 << 16) != ARCHIVE_OK)
		return fail(std::string("cannot open: ") + (archive_error_string(a_) ? archive_error_string(a_) : "?"));
	return start();
}

const char *PackReader::open_memory(const void *data, size_t n, const std::string &period)
{
	period_ = period;
	a_ = archive_read_new();
	if (!a_ || archive_read_support_filter_zstd(a_) != ARCHIVE_OK || archive_read_support_format_tar(a_) != ARCHIVE_OK)
		return fail("cannot start libarchive");
	if (archive_read_open_memory(a_, data, n) != ARCHIVE_OK)
		return fail(std::string("not a pack: ") + (archive_error_string(a_) ? archive_error_string(a_) : "?"));
	return start();
}

// The libarchive error of the last call, as a message.
static std::string lib_error(struct archive *a)
{
	const char *s = archive_error_string(a);
	return s ? s : "unreadable";
}

// Reads the whole data of the current member (size bytes) into out.
static bool member_data(struct archive *a, size_t size, std::string &out)
{
	out.resize(size);
	size_t got = 0;
	while (got < size) {
		la_ssize_t r = archive_read_data(a, out.data() + got, size - got);
		if (r <= 0)
			return false;
		got += (size_t)r;
	}
	char extra;
	return archive_read_data(a, &extra, 1) == 0;
}

const char *PackReader::start()
{
	struct archive_entry *e;
	int r = archive_read_next_header(a_, &e);
	if (r == ARCHIVE_EOF)
		return fail("not a pack: empty");
	if (r != ARCHIVE_OK)
		return fail("not a pack: " + lib_error(a_));
	const char *name = archive_entry_pathname(e);
	if (!name || std::string(name) != period_ + ".index" || archive_entry_filetype(e) != AE_IFREG)
		return fail("not a pack: its first member is not the period's index");
	la_int64_t size = archive_entry_size(e);
	if (size <= 0 || size > PACK_INDEX_MAX)
		return fail("not a pack: index of an impossible size");
	std::string text;
	if (!member_data(a_, (size_t)size, text))
		return fail("truncated or corrupt index: " + lib_error(a_));
	if (const char *why = pack_parse_index(period_, text.data(), text.size(), index_))
		return fail(std::string("corrupt index: ") + why);
	at_ = 0;
	return nullptr;
}

int PackReader::next(size_t &k, std::string *bytes, bool skip)
{
	if (!why_.empty())
		return -1;
	struct archive_entry *e;
	int r = archive_read_next_header(a_, &e);
	if (at_ == index_.size()) {
		if (r == ARCHIVE_EOF)
			return 0;
		fail(r == ARCHIVE_OK ? "members beyond those of the index" : "corrupt after the last frame: " + lib_error(a_));
		return -1;
	}
	const PackEntry &want = index_[at_];
	if (r == ARCHIVE_EOF) {
		fail("truncated: " + want.stamp + " and after are missing");
		return -1;
	}
	if (r != ARCHIVE_OK) {
		fail("corrupt at " + want.stamp + ": " + lib_error(a_));
		return -1;
	}
	const char *name = archive_entry_pathname(e);
	if (!name || std::string(name) != period_ + "/" + want.stamp + ".gz" || archive_entry_filetype(e) != AE_IFREG ||
	    archive_entry_size(e) != (la_int64_t)want.size) {
		fail("member " + std::string(name ? name : "?") + " is not " + want.stamp + " as the index lists it");
		return -1;
	}
	mtime = archive_entry_mtime(e);
	mode = archive_entry_perm(e);
	k = at_++;
	if (skip)
		return 1;
	if (!member_data(a_, want.size, *bytes)) {
		fail("truncated or corrupt at " + want.stamp + ": " + lib_error(a_));
		return -1;
	}
	if (pack_checksum(*bytes) != want.sum) {
		fail("checksum mismatch at " + want.stamp);
		return -1;
	}
	return 1;
}

PackWriter::~PackWriter()
{
	if (a_)
		archive_write_free(a_);
}

const char *PackWriter::fail(const char *what)
{
	int err = a_ ? archive_errno(a_) : 0;
	errno_ = err > 0 ? err : 0;
	why_ = std::string(what) + ": " + (err > 0 ? strerror(err) : a_ && archive_error_string(a_) ? archive_error_string(a_) : "libarchive failed");
	return why_.c_str();
}

// One regular member's header.
static int header(struct archive *a, const std::string &name, size_t size, time_t mtime, mode_t mode)
{
	struct archive_entry *e = archive_entry_new();
	archive_entry_set_pathname(e, name.c_str());
	archive_entry_set_size(e, (la_int64_t)size);
	archive_entry_set_filetype(e, AE_IFREG);
	archive_entry_set_perm(e, mode & 07777);
	archive_entry_set_mtime(e, mtime, 0);
	int r = archive_write_header(a, e);
	archive_entry_free(e);
	return r;
}

const char *PackWriter::open(int fd, const std::string &period, const std::vector<PackEntry> &entries, int level)
{
	period_ = period;
	a_ = archive_write_new();
	std::string lv = std::to_string(level);
	if (!a_ || archive_write_add_filter_zstd(a_) != ARCHIVE_OK ||
	    archive_write_set_filter_option(a_, "zstd", "compression-level", lv.c_str()) != ARCHIVE_OK ||
	    archive_write_set_format_ustar(a_) != ARCHIVE_OK || archive_write_set_bytes_in_last_block(a_, 1) != ARCHIVE_OK)
		return fail("cannot start libarchive");
	if (archive_write_open_fd(a_, fd) != ARCHIVE_OK)
		return fail("cannot write");
	std::string text = pack_index_text(period, entries);
	if (header(a_, period + ".index", text.size(), time(nullptr), 0644) != ARCHIVE_OK ||
	    archive_write_data(a_, text.data(), text.size()) != (la_ssize_t)text.size())
		return fail("cannot write");
	return nullptr;
}

const char *PackWriter::add(const PackEntry &e, const std::string &bytes, time_t mtime, mode_t mode)
{
	if (header(a_, period_ + "/" + e.stamp + ".gz", bytes.size(), mtime, mode) != ARCHIVE_OK ||
	    (!bytes.empty() && archive_write_data(a_, bytes.data(), bytes.size()) != (la_ssize_t)bytes.size()))
		return fail("cannot write");
	return nullptr;
}

const char *PackWriter::close()
{
	if (archive_write_close(a_) != ARCHIVE_OK)
		return fail("cannot write");
	return nullptr;
}

int pack_lock(const std::string &root)
{
	int fd = ::open((root + "/.arc-pack.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
	if (fd < 0)
		return -1;
	while (flock(fd, LOCK_EX) != 0)
		if (errno != EINTR) {
			int e = errno;
			::close(fd);
			errno = e;
			return -1;
		}
	return fd;
}
