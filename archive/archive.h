// The archive tree ROOT/YYYYMMDD/YYYYMMDDHHM/YYYYMMDDHHMMSScc.gz as net-arc writes it and
// arc-pipe reads it, and the shell commands both build from a root and a stamp.
#pragma once

#include <cstddef>

enum : int {
	ARC_NAME = 64,           // every path and command buffer of the transport programs
	ARC_ROOT_MAX_ARC = 15,   // net-arc: "gzip > R/d/d/f.gz" is 48 characters plus the root
	ARC_ROOT_MAX_PIPE = 13,  // arc-pipe: "gunzip < R/d/d/f.gz" is 50 characters plus the root
};

// The clock command of arc-pipe, exactly as the shell receives it: the time half a second ago
// as 17 digits, year to milliseconds.
extern const char ARC_CLOCK_CMD[];

// The paths and commands, formatted from ROOT, dn1, dn2 and fn.
#define ARC_DAY_FMT "%s/%s"                     // ROOT/dn1
#define ARC_PERIOD_FMT "%s/%s/%s"               // ROOT/dn1/dn2
#define ARC_MKDIR_FMT "mkdir %s\n"              // of one of the two above
#define ARC_GZIP_FMT "gzip > %s/%s/%s/%s.gz"    // net-arc's compressor
#define ARC_GUNZIP_FMT "gunzip < %s/%s/%s/%s.gz" // arc-pipe's decompressor

// 1 if root may enter the archive's shell commands: 1 to max characters, letters, digits and
// ". _ - / +" only, not starting with '-'.
int arc_root_ok(const char *root, size_t max);

// From the 16 stamp characters: fn the whole stamp, dn1 the day (0-7), dn2 the ten-minute
// period (0-10), each NUL-terminated.
void arc_names(const char *stamp, char *fn, char *dn1, char *dn2);

// snprintf into a buffer of size bytes. Returns 1 if the whole text fitted, else 0: a command
// that did not fit must not be run.
int arc_fmt(char *dst, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// net-arc's directory step for one frame (buffers of ARC_NAME bytes): for level 0 the day, for
// level 1 the ten-minute period, its path into s and the command that makes it into ss. Returns
// 1 if both fitted; only then may the command be run.
int arc_dir_cmd(char *s, char *ss, const char *root, const char *dn1, const char *dn2, int level);

// net-arc's compressor command for the frame fn into s (ARC_NAME bytes); 1 if it fitted.
int arc_gzip_cmd(char *s, const char *root, const char *dn1, const char *dn2, const char *fn);

// arc-pipe's step for the clock reading in fn and its slot (from arc_slot, not -1): rounds fn
// down to the slot's half second, sets dn1 and dn2 from it, and puts the decompressor command
// into s (ARC_NAME bytes). Returns 1 if the command fitted.
int arc_gunzip_cmd(char *s, const char *root, char *fn, char *dn1, char *dn2, int slot);

// The half-second slot 0..19 of a clock reading held in fn (16 digits: year to hundredths),
// from the units of the second and the tenths; -1 if the reading is not 16 digits.
int arc_slot(const char *fn);
