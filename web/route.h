// The archive's addresses in pipe-web, parsed strictly and apart from the network: the target of
// a request becomes a Route (what is asked for, and the day or times it names), or a refusal with
// its status and a short reason. Percent-escapes are decoded once; an escaped slash, a "..",
// a character outside the few an address uses, a day or time that is not a real one (the forms
// arc-cat takes, archive/range.h) and a range longer than a day are refused here, so nothing
// that reaches the archive's readers is a path: only days and times.
//
//   /days                     every day of the archive          /health     the disk, the nightly job
//   /day/YYYYMMDD             a day's page                      .png        the whole day
//   /day/YYYYMMDD/strip.png   the day's small strip             /day/YYYYMMDD/burst/ID.png
//                             (ten minutes around burst ID, the burst marked)
//   /range/FROM/TO            a stretch (at most a day): page,  .png, .fits, .rec
//   /range/FROM/TO/curve/LO-HI.png   the light curve of the band LO to HI MHz
#pragma once

#include <string>
#include <string_view>

#include "range.h"

enum RouteKind { RT_OTHER, RT_DAYS, RT_DAY, RT_STRIP, RT_BURST, RT_RANGE, RT_CURVE, RT_HEALTH };
enum RouteFormat { RF_PAGE, RF_PNG, RF_FITS, RF_REC };

enum : long long { ROUTE_MAX_RANGE = 8640000 };  // hundredths: a day

struct Route {
	int status = 200;          // 200, or the refusal: 400 (malformed), 404 (no such address)
	std::string why;           // the refusal's reason, one line
	RouteKind kind = RT_OTHER; // RT_OTHER: not an archive address (the live page's, or none)
	RouteFormat format = RF_PAGE;
	std::string day;           // 8 digits: RT_DAY, RT_STRIP, RT_BURST
	long burst = 0;            // RT_BURST: the burst's id in the day's list
	std::string from, to;      // RT_RANGE, RT_CURVE: as written in the address (decoded)
	ArcRange range;            // RT_DAY..RT_CURVE: the times asked for
	double f_lo = 0, f_hi = 0; // RT_CURVE: the band, MHz
};

// The route of a request's target (path and, ignored, any query). Never throws.
Route route_parse(std::string_view target);

// Percent-decodes s once into out; false if an escape is malformed, or decodes to a slash, a
// NUL or a byte outside printable ASCII.
bool route_decode(std::string_view s, std::string &out);

// The 8-digit day of a time in hundredths, and the address of a range.
std::string route_day(long long t);
std::string route_range_path(long long start, long long end);
