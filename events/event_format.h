// An event as the outside world sees it, formatted in this one place: pipe-events' line and
// JSON object, pipe-web's mark and the hook's environment all come from here, so the same
// event reads the same wherever it goes.
#pragma once

#include <string>

#include "detect.h"

// The burst-list line, without its newline: "2026-12-08 00:27:40-00:27:43 III    19.78- 32.20
// MHz  peak 00:27:41   9.9 dB  drift   -7.73 MHz/s"; an event that has only started has "..."
// for its end and "start " after its kind.
std::string ev_line(const EvEvent &ev);

// The line of a burst list in the network's form, tab-separated, without its newline: the date,
// the span to the minute, the kind and the station: "20261208\t00:27-00:29\tIII\tNAME". A
// continuum is written CTM, as those lists do; the other kinds keep their names.
std::string ev_list_line(const EvEvent &ev, const char *station);

// One JSON object with the keys kind, start, end, peak (16-digit stamps), f_lo, f_hi (MHz, three
// decimals), peak_db (one decimal), drift (MHz/s, three decimals) and id, in that order; with
// state, last, "state":"start" or "end".
std::string ev_json(const EvEvent &ev, bool state);

// The event's environment variables for a hook, NUL-terminated: EVENT_ID, EVENT_KIND,
// EVENT_START, EVENT_END, EVENT_PEAK, EVENT_F_LO, EVENT_F_HI, EVENT_PEAK_DB, EVENT_DRIFT.
enum { EV_NVARS = 9 };
void ev_env(const EvEvent &ev, char vars[EV_NVARS][64]);
