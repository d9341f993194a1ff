// Writing a file that other programs watch, so that they never see it half written: the
// content goes to a temporary file, is synced, and is renamed to its final name in one step.
//
// How: of_begin makes a private directory beside the final file (DIR/.NAME.XXXXXX, mode 0700,
// made with mkdtemp, so no other user can place or replace anything in it) and gives the path
// of the temporary file inside it (DIR/.NAME.XXXXXX/NAME), and a second name there (`work`)
// for a step before the content, such as an uncompressed copy to be compressed into tmp. The
// caller creates and writes the file by name, with any library (CFITSIO's disk-file calls,
// cairo, stdio, zlib); no name is parsed and nothing outside DIR is touched. of_commit syncs
// the file, renames it over DIR/NAME (same file system, so atomic), syncs DIR so that the
// rename survives a power cut, and removes the private directory. of_abort removes the
// directory and all in it. Until commit or abort, exit() (a die() on the way) and a SIGINT or
// SIGTERM remove them too; after a signal the process then ends by it, as it would have. The
// file gets the mode any new file would (0666 less the umask) if the caller creates it with
// open, fopen or gzopen.
//
// Use:
//   OutFile f;
//   if (of_begin(&f, "out/day.png") != 0) die("cannot write out/day.png:");
//   ... create and write f.tmp ...
//   if (failed || of_commit(&f) != 0) { of_abort(&f); die(...); }
//
// Up to 8 files may be pending at once (of_begin fails with EMFILE beyond that).
#pragma once

#include <string>

struct OutFile {
	std::string path;  // the final name
	std::string dir;   // the private directory, empty when none is pending
	std::string tmp;   // the temporary file inside it
	std::string work;  // a second name in it for a step before the content (an uncompressed
			   // copy to be compressed into tmp, say); removed with it, never renamed
	int slot = -1;     // in the list the signal handler removes
};

// Makes the private directory beside path and sets f->tmp. Returns 0, or -1 with errno set
// (the directory missing or not writable, too many files pending, a name too long, path a
// folder (EISDIR) or another file that is not a regular one, such as a device or a pipe
// (EEXIST): only a regular file is ever replaced).
int of_begin(OutFile *f, const std::string &path);

// Syncs f->tmp, renames it to f->path, syncs the directory, removes the private directory.
// Returns 0, or -1 with errno set; after a failure the caller calls of_abort.
int of_commit(OutFile *f);

// Removes the temporary file and the private directory, if still there. Keeps errno.
void of_abort(OutFile *f);

// Syncs a file or, with O_DIRECTORY in flags, a directory (after a rename into it). Returns 0,
// or -1 with errno set.
int sync_path(const std::string &path, int flags);
