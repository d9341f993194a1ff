// Progress of a long run, for a person watching: on a terminal (standard error a tty) one line
// on standard error, rewritten in place with '\r' ("arc-stat: 20261207: 43 of 365 days");
// anywhere else (a pipe, a log, the journal) nothing at all. A warning said with warn() or
// die() meanwhile first clears the line, so it starts a line of its own; the line is cleared at
// the end too, leaving the terminal as it was.
//
// Use, one line per step:
//   Progress pr(365, "days");
//   for (...) progress_at(pr, day);  // counts a step whenever the name changes
//   progress_end(pr);
#pragma once

#include <string>

struct Progress {
	bool tty = false;        // standard error is a terminal: only then is anything written
	long done = 0, total = 0;  // steps begun, of total (0: not known, then not said)
	const char *unit = "";
	std::string at;         // the name of the step in hand
	long long next_ms = 0;  // the line is redrawn at most every 100 ms
	Progress(long total, const char *unit);
};

// The step named name: a new step if the name differs from the last one's; the line redrawn if
// 100 ms have passed since it last was, or the step is the first or the last.
void progress_at(Progress &p, const std::string &name);

// Clears the line, if one is shown.
void progress_end(Progress &p);

// Clears whatever line of progress is shown on standard error, so that a message can start its
// own (cli.cc's warn and die call this).
void progress_clear();
