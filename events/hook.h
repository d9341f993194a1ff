// The command pipe-events runs for each event: started without a shell (the command line split
// at blanks, the program looked up in PATH), the event's fields in its environment, its standard
// input empty and its output sent to our standard error so that it never mixes with the event
// lines. Nothing waits for it: finished commands are collected as frames come, one that fails
// is logged, one that runs past its time limit is killed and logged.
#pragma once

#include <sys/types.h>

#include "detect.h"

struct Hooks {
	char *argv[64];          // the command, split (pointing into line)
	char line[4096];
	double limit = 10.0;     // seconds a command may run
	struct Child { pid_t pid; long id; double started; };
	Child running[16];
	int nrunning = 0;
};

// Splits cmd into h. Returns 0 if it is empty or too long.
int hook_init(Hooks &h, const char *cmd);

// Starts the command for ev (its fields as EVENT_ID, EVENT_KIND, EVENT_START, EVENT_END,
// EVENT_PEAK, EVENT_F_LO, EVENT_F_HI, EVENT_PEAK_DB, EVENT_DRIFT). A command that cannot start,
// or one too many at once, is logged and skipped.
void hook_run(Hooks &h, const EvEvent &ev);

// Collects finished commands and kills those past their limit; with wait, until none is left
// (each for at most its limit).
void hook_reap(Hooks &h, bool wait);
