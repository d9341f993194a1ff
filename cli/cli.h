// One way to fail, shared by every program: usage errors exit 2, failures exit 1.
#pragma once

// Prints "PROGRAM: " and the formatted message on stderr, then exits with status 1.
// A format ending in ':' gets the system error appended.
[[noreturn]] void die(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Prints "PROGRAM: " and the formatted message on stderr, as die does, and goes on.
void warn(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// For the programs that answer them: a first argument "--help" prints the usage line and help
// on standard output, "--version" the program's name and version; either then exits with 0.
void help_or_version(int argc, char **argv, const char *line, const char *help);

// Parses a whole decimal number greater than zero (digits, one optional point). Returns 1 and
// sets *v, or 0.
int arg_positive(const char *s, double *v);

// Prints the usage line on stderr and exits with status 2.
[[noreturn]] void usage(const char *line);

// The same one line, saying why: "LINE: WHY" (say, "usage: arc-cat ROOT [FROM [TO]]: FROM
// 2026130: not a time"), then exits with status 2.
[[noreturn]] void usage_why(const char *line, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Parses a whole decimal integer (optional sign, digits only). Returns 1 and sets *v, or 0.
int arg_int(const char *s, int *v);

// The reason given when records are passed over because their stamps cannot be placed in time.
extern const char STAMPS_NOT_TIMES[];
extern const char STAMPS_AHEAD[];  // stamps later than the host's clock allows

// Says how many records were passed over and why ("N records skipped: WHY"), if any: the one
// form of that message.
void warn_skipped(long n, const char *why);

// A station's name as files and lists carry it: 1 to 40 letters, digits, '.', '_', '-' or '+',
// not starting with '.' or '-'.
bool station_name_ok(const char *name);

// The start-up check of a directory given by the user: dies with "cannot open PATH: ..." if it
// cannot be reached, or "PATH: not a directory".
void need_dir(const char *path);
