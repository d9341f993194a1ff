// The command pipe-events runs for each event: started without a shell (the command line split
// at blanks, the program looked up in PATH), the event's fields in its environment, its standard
// input empty and its output sent to our standard error so that it never mixes with the event
// lines. Nothing waits for it: finished commands are collected as frames come, one that fails
// is logged, one that runs past its time limit is killed and logged. Each runs in a process
// group of its own, which ends with it: whatever a command leaves behind is killed when it
// ends, and every group still there is ended when pipe-events ends (hook_end), however it ends.
#pragma once

#include <csignal>
#include <sys/types.h>

#include "detect.h"
#include "event_format.h"

struct Hooks {
	char *argv[64];          // the command, split (pointing into line)
	char line[4096];
	double limit = 10.0;     // seconds a command may run
	double grace = 1.5;      // seconds between TERM and KILL when pipe-events ends
	struct Child { pid_t pid; long id; double started; };
	Child running[16];
	int nrunning = 0;
	char vars[EV_NVARS][64]; // the event's variables for the command being started
	char *env[1024];         // and its whole environment
};

// Splits cmd into h. Returns 0 if it is empty or too long.
int hook_init(Hooks &h, const char *cmd);

// Starts the command for ev (its fields as EVENT_ID, EVENT_KIND, EVENT_START, EVENT_END,
// EVENT_PEAK, EVENT_F_LO, EVENT_F_HI, EVENT_PEAK_DB, EVENT_DRIFT). A command that cannot start,
// or one too many at once, is logged and skipped.
void hook_run(Hooks &h, const EvEvent &ev);

// Collects finished commands, and kills those past their limit; either way what a command left
// in its process group is killed. With wait, until none is left (each for at most its limit)
// or, if stop is given, until *stop is set.
void hook_reap(Hooks &h, bool wait, const volatile sig_atomic_t *stop = nullptr);

// Ends every command still running, with its process group: TERM, then KILL to the groups
// after the grace (at once if every command has ended before), each collected.
void hook_end(Hooks &h);
