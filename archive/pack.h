// Packs: one closed ten-minute period of the archive as one zstd-compressed tar file in its day
// directory, ROOT/YYYYMMDD/YYYYMMDDHHM.pack.tar.zst. Its first member, YYYYMMDDHHM.index, lists
// every frame (stamp, size, Adler-32) so that a period is counted without inflating anything;
// then come the frame files themselves, YYYYMMDDHHM/STAMP.gz, byte for byte as net-arc wrote
// them, in stamp order, so that `tar -xf PACK -C ROOT/YYYYMMDD` puts them back. arc-pack writes
// packs, the archive's readers read them beside the loose files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <sys/types.h>
#include <vector>

struct archive;

enum : int {
	PACK_MEMBER_MAX = 1 << 16,  // a frame file is smaller than this, as arc_read takes it
	PACK_INDEX_MAX = 1 << 22,   // an index larger than this is not one
};

// The end of a pack's name, and of one being written (never read as a pack).
extern const char PACK_SUFFIX[];  // ".pack.tar.zst"
extern const char PACK_PART[];    // ".pack.tar.zst.part"

// 1 if name is a pack's (11 digits then PACK_SUFFIX); then its period is the first 11 bytes.
int pack_name_is(const char *name);
// 1 if name is a pack being written's (11 digits then PACK_PART).
int pack_part_is(const char *name);

// A frame file's checksum as the index keeps it: Adler-32 (a CRC-32 of a gzip file is the same
// for every file of one length whose data is stored, not deflated: its trailer cancels it).
uint32_t pack_checksum(const std::string &bytes);

// One frame of a pack's index.
struct PackEntry {
	std::string stamp;  // 16 digits
	uint32_t size = 0, sum = 0;  // bytes and checksum of the frame file
	bool operator==(const PackEntry &) const = default;
};

// The index member's text for a period, and its parse. pack_parse_index returns null, or what
// is wrong (stamps not of the period or not ascending, sizes too large, bad lines).
std::string pack_index_text(const std::string &period, const std::vector<PackEntry> &entries);
const char *pack_parse_index(const std::string &period, const char *text, size_t n,
			     std::vector<PackEntry> &entries);

// Reads a pack: the index at open, then the frame files in order, each checked against the
// index (name, size, Adler-32). Memory: the index and one frame file.
class PackReader {
public:
	PackReader() = default;
	PackReader(const PackReader &) = delete;
	~PackReader();
	// Opens the pack at path and reads its index; the period is the one its name gives, unless
	// given. Returns null, or what is wrong ("not a pack: ...", "truncated ...", "corrupt ...").
	const char *open(const std::string &path, const std::string &period = "");
	// The same, from bytes in memory (which must outlive the reader), for a period.
	const char *open_memory(const void *data, size_t n, const std::string &period);
	const std::vector<PackEntry> &index() const { return index_; }
	size_t at() const { return at_; }  // the index entry of the next member
	// The next frame file: its place in the index into k and its bytes into bytes (unless
	// skip). Returns 1, 0 at the end (after checking that nothing follows), or -1 with why().
	int next(size_t &k, std::string *bytes, bool skip = false);
	const char *why() const { return why_.c_str(); }
	// The modification time and mode of the last member read.
	time_t mtime = 0;
	mode_t mode = 0644;

private:
	struct archive *a_ = nullptr;
	int fd_ = -1;
	std::string period_, why_;
	std::vector<PackEntry> index_;
	size_t at_ = 0;
	const char *start();
	const char *fail(const std::string &what);
};

// Writes a pack to an open file: the index, then frame files in the index's order.
class PackWriter {
public:
	PackWriter() = default;
	PackWriter(const PackWriter &) = delete;
	~PackWriter();
	// Starts the zstd-compressed tar stream on fd (left open) with the index of period.
	// Returns null, or what went wrong (with the system's reason, e.g. a full disk).
	const char *open(int fd, const std::string &period, const std::vector<PackEntry> &entries, int level = 3);
	const char *add(const PackEntry &e, const std::string &bytes, time_t mtime, mode_t mode);
	// Ends the stream. The caller then syncs and closes fd.
	const char *close();
	// The system's error of the last failure (ENOSPC for a full disk), or 0.
	int error() const { return errno_; }

private:
	struct archive *a_ = nullptr;
	int errno_ = 0;
	std::string period_, why_;
	const char *fail(const char *what);
};

// Takes ROOT's lock (ROOT/.arc-pack.lock, flock), waiting for another holder to let go.
// Returns the descriptor to keep open while writing, or -1 with errno set.
int pack_lock(const std::string &root);
