// Ten-minute periods: names and times, the loose files and the pack's index listed and merged
// with one rule, one frame read from wherever it is, and a pack read on to a stamp (period.h).
#include "period.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "frame.h"
#include "pack.h"
#include "range.h"
#include "reader.h"

ArcPeriod::ArcPeriod(const std::string &n) : name(n.substr(0, 11))
{
	timed = name.size() == 11 && arc_period(name.c_str(), 11, &start, &end);
}

std::string ArcPeriod::dir(const std::string &root) const { return root + "/" + day() + "/" + name; }
std::string ArcPeriod::pack(const std::string &root) const { return dir(root) + PACK_SUFFIX; }
std::string ArcPeriod::part(const std::string &root) const { return dir(root) + PACK_PART; }

ArcPeriod ArcPeriod::next() const
{
	char s[FR_STAMP + 1];
	fr_time_stamp(end, s);
	return ArcPeriod(s);
}

std::string ArcEntry::where() const
{
	if (!packed)
		return path;
	size_t slash = path.rfind('/');
	return pack + ":" + path.substr(path.rfind('/', slash - 1) + 1);
}

// The entry of the file name (STAMP.gz) in the directory dir, found from fd as at: 0 if it is
// gone.
static int entry_at(int fd, const char *at, const ArcPeriod &p, const std::string &root, const char *name, ArcEntry &e)
{
	e = ArcEntry();
	e.stamp.assign(name, FR_STAMP);
	e.timed = fr_stamp_time(name, &e.t);
	e.path = p.dir(root) + "/" + name;
	e.pack = p.pack(root);
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

DIR *arc_opendir(const std::string &dir)
{
	int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	if (fd < 0) {
		struct stat st;
		if (errno == ENOTDIR && lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
			errno = ELOOP;  // a link, whatever it points at
		return nullptr;
	}
	DIR *d = fdopendir(fd);
	if (!d) {
		int e = errno;
		close(fd);
		errno = e;
	}
	return d;
}

std::string arc_dir_error(int err)
{
	return err == ELOOP ? "a link, not followed" : strerror(err);
}

static bool by_stamp(const ArcEntry &a, const ArcEntry &b) { return a.stamp < b.stamp; }

std::string period_loose(const std::string &root, const ArcPeriod &p, std::vector<ArcEntry> &out)
{
	out.clear();
	std::string dir = p.dir(root);
	DIR *d = arc_opendir(dir);
	if (!d)
		return errno == ENOENT ? "" : dir + ": cannot read directory: " + arc_dir_error(errno);
	ArcEntry e;
	while (struct dirent *de = readdir(d))
		if (arc_name_is(de->d_name, FR_STAMP) && p.name.compare(0, 11, de->d_name, 11) == 0 &&
		    entry_at(dirfd(d), de->d_name, p, root, de->d_name, e))
			out.push_back(std::move(e));
	closedir(d);
	std::sort(out.begin(), out.end(), by_stamp);
	out.erase(std::unique(out.begin(), out.end(), [](const ArcEntry &a, const ArcEntry &b) { return a.stamp == b.stamp; }),
		  out.end());
	return "";
}

std::string period_packed(const std::string &root, const ArcPeriod &p, std::vector<ArcEntry> &out)
{
	out.clear();
	std::string pack = p.pack(root);
	struct stat st;
	if (lstat(pack.c_str(), &st) != 0 && errno == ENOENT)
		return "";
	PackReader r;
	if (const char *why = r.open(pack))
		return pack + ": " + why;
	for (const PackEntry &x : r.index()) {
		ArcEntry e;
		e.stamp = x.stamp;
		e.timed = fr_stamp_time(x.stamp.c_str(), &e.t);
		e.path = p.dir(root) + "/" + x.stamp + ".gz";
		e.pack = pack;
		e.packed = true;
		e.sum = x.sum;
		e.bytes = x.size;
		e.mtime = st.st_mtime;
		if (x.size == 0)
			e.fault = "empty";
		out.push_back(std::move(e));
	}
	return "";
}

std::string arc_period_entries(const std::string &root, const std::string &period, std::vector<ArcEntry> &out)
{
	ArcPeriod p(period);
	std::vector<ArcEntry> loose, packed;
	out.clear();
	std::string problem = period_loose(root, p, loose);
	if (!problem.empty())
		return problem;
	problem = period_packed(root, p, packed);
	period_merge(loose, packed, out);
	return problem;
}

int arc_frame_entry(const std::string &root, const char *name, ArcEntry &e)
{
	if (!arc_name_is(name, FR_STAMP))
		return 0;
	ArcPeriod p(name);
	std::string path = p.dir(root) + "/" + name;
	return entry_at(AT_FDCWD, path.c_str(), p, root, name, e);
}

int pack_seek(PackReader &r, const std::string &stamp, std::string *bytes)
{
	const std::vector<PackEntry> &index = r.index();
	for (size_t k; r.at() < index.size() && index[r.at()].stamp <= stamp;) {
		bool it = index[r.at()].stamp == stamp;
		if (r.next(k, bytes, !it || !bytes) < 0)
			return -1;
		if (it)
			return 1;
	}
	return 0;
}

// A loose frame gone since it was listed: arc-pack packed its period meanwhile (the pack is in
// place before a loose file goes), so it is read from the pack. Each thread keeps its pack open
// and reads on in it, as frames are asked for in stamp order. Returns null, or what is wrong
// (the pack's fault; "" when the pack does not hold the frame either).
static const char *vanished(const ArcEntry &e, unsigned char *payload)
{
	static thread_local std::unique_ptr<PackReader> r;
	static thread_local std::string path, gz, why;
	if (r && (path != e.pack || r->at() == r->index().size() || r->index()[r->at()].stamp > e.stamp))
		r.reset();
	if (!r) {
		r = std::make_unique<PackReader>();
		path = e.pack;
		if (const char *w = r->open(e.pack)) {
			why = errno == ENOENT ? "" : e.pack + ": " + w;
			r.reset();
			return why.c_str();
		}
	}
	if (pack_seek(*r, e.stamp, &gz) == 1)
		return arc_inflate((const unsigned char *)gz.data(), gz.size(), payload);
	why = r->why()[0] ? e.pack + ": " + r->why() : "";
	r.reset();
	return why.c_str();
}

// Reads the bytes of a packed frame from its pack into gz. Returns null or what is wrong.
static const char *member_bytes(const ArcEntry &e, std::string &gz)
{
	static thread_local std::string why;
	PackReader r;
	if (const char *w = r.open(e.pack))
		return why = w, why.c_str();
	int got = pack_seek(r, e.stamp, &gz);
	return got == 1 ? nullptr : got < 0 ? (why = r.why(), why.c_str()) : "no longer in its pack";
}

const char *arc_entry_read(const ArcEntry &e, unsigned char *payload)
{
	if (e.fault)
		return e.fault;
	if (!e.unreadable.empty())
		return e.unreadable.c_str();
	if (!e.packed) {
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
