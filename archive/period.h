// One ten-minute period of the archive: its name and times, where its frames lie (the loose
// files of ROOT/DAY/PERIOD and the members of ROOT/DAY/PERIOD.pack.tar.zst, see pack.h), the
// one rule that merges them, and reading one frame. The readers (reader.h) and arc-pack work
// on periods through this and nothing else.
//
// A frame present: a regular file (not a symlink, not a directory) of non-zero size named
// STAMP.gz in its own period directory, or a frame file of non-zero size that its period's pack
// lists in its index (counted without inflating). Any other file of that name is broken; a
// stamp stored both loose and packed is the loose file's (it is the newer write).
#pragma once

#include <cstdint>
#include <dirent.h>
#include <string>
#include <vector>

class PackReader;

// A ten-minute period, named by 11 digits (YYYYMMDDHHM).
struct ArcPeriod {
	std::string name;
	long long start = 0, end = 0;  // [start, end) in hundredths, fr_stamp_time's scale
	bool timed = false;            // the name is a real time (then start and end are set)
	ArcPeriod() = default;
	// The period of the first 11 characters of name (a period's name or a stamp).
	explicit ArcPeriod(const std::string &name);
	std::string day() const { return name.substr(0, 8); }
	std::string dir(const std::string &root) const;   // ROOT/DAY/PERIOD
	std::string pack(const std::string &root) const;  // ROOT/DAY/PERIOD.pack.tar.zst
	std::string part(const std::string &root) const;  // the pack while it is being written
	ArcPeriod next() const;  // the period that starts at this one's end (timed periods only)
};

// One frame of a period, as the listing found it.
struct ArcEntry {
	std::string stamp;            // 16 digits
	bool timed = false;           // the stamp is a real time; if not, readers skip it
	long long t = 0;              // the stamp's time (fr_stamp_time), when timed
	std::string path;             // its loose file ROOT/DAY/PERIOD/STAMP.gz (for a packed frame,
				      // where it would be)
	std::string pack;             // its period's pack
	bool packed = false;          // its bytes are the pack's member, not the loose file
	uint32_t sum = 0;             // a packed frame's checksum, as the index lists it
	std::string gz;               // a packed frame's bytes, once the lister has read them
	long long bytes = 0;          // the file's size if it is a regular file, else 0
	long long mtime = 0;          // when it was last written (seconds since 1970, UTC)
	const char *fault = nullptr;  // why it is broken without reading it ("empty", "not a
				      // regular file"), or null: then the frame is present
	std::string unreadable;       // a packed frame listed with members that its pack could
				      // not give: why (the frame is present by its index, and broken)
	bool present() const { return fault == nullptr; }
	// Where it is, for messages: the loose file, or PACK:PERIOD/STAMP.gz.
	std::string where() const;
};

// Opens a directory of the archive for listing, never through a link (a day or period that is a
// link leads outside ROOT: ELOOP). Null with errno set. And the reason for a listing's message.
DIR *arc_opendir(const std::string &dir);
std::string arc_dir_error(int err);

// The loose frame files of period p under root, sorted by stamp, each once. Returns "" or
// "DIR: cannot read directory: ..." (a directory that is not there holds nothing).
std::string period_loose(const std::string &root, const ArcPeriod &p, std::vector<ArcEntry> &out);

// The frames the pack of period p lists, in stamp order (none if it has no pack). Returns "" or
// "PACK: what is wrong" when the pack cannot be read.
std::string period_packed(const std::string &root, const ArcPeriod &p, std::vector<ArcEntry> &out);

// The one rule: loose and packed (each sorted, of ArcEntry or what extends it) merged into out
// by stamp, a stamp in both taking the loose entry (it is the newer write).
template <class T>
void period_merge(std::vector<T> &loose, std::vector<T> &packed, std::vector<T> &out)
{
	out.clear();
	size_t i = 0;
	for (T &e : packed) {
		while (i < loose.size() && loose[i].stamp < e.stamp)
			out.push_back(std::move(loose[i++]));
		if (i < loose.size() && loose[i].stamp == e.stamp)
			continue;
		out.push_back(std::move(e));
	}
	while (i < loose.size())
		out.push_back(std::move(loose[i++]));
}

// The frames stored for the ten-minute period named by 11 digits, sorted by stamp, each stamp
// once. Returns "" or a problem as arc_list does (out is then empty), or a pack that cannot be
// read ("PACK: not a pack: ...": out then holds the period's loose frames).
std::string arc_period_entries(const std::string &root, const std::string &period, std::vector<ArcEntry> &out);

// The entry of one frame file, named STAMP.gz, in its own period of ROOT, as
// arc_period_entries lists it: for a file whose writing was just seen to end. Returns 0 if name
// is not a frame file's name or the file is not there.
int arc_frame_entry(const std::string &root, const char *name, ArcEntry &e);

// Reads one listed frame into payload: null, or what is wrong with it (its fault, if it has
// one). The way every reader gets a frame's payload. A loose frame gone since it was listed
// (arc-pack packed its period meanwhile) is read from the period's pack.
const char *arc_entry_read(const ArcEntry &e, unsigned char *payload);

// Reads the member of stamp from r, reading on from where r is: 1 with its bytes (skipped if
// bytes is null), 0 if the index lists no such stamp from here on, -1 with r.why().
int pack_seek(PackReader &r, const std::string &stamp, std::string *bytes);
