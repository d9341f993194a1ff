// Frames as FITS images, written with CFITSIO: the header, image form and axes table of
// pipe-fits's files (one channel of a period), and a stretch of up to a day as ONE file for a
// download (fw_stretch). pipe-fits writes its periods with these; pipe-web sends stretches.
//
// An image is one column per half second and one row per point, holding the frames' values
// exactly: 16-bit as FITS keeps unsigned values (stored = value - 32768, BSCALE 0.01 and BZERO
// 327.68 giving levels, 65534 the BLANK of a half second without a frame), or, where a frame
// holds 65534 itself, 32-bit with BLANK -1 (BSCALE 0.01, BZERO 0).
#pragma once

#include <fitsio.h>
#include <functional>
#include <string>

#include "frame.h"

inline constexpr unsigned FW_NONE = 65534;  // no frame, in a 16-bit image: stored 32766, its BLANK

// The station as the headers name it.
struct FwStation {
	std::string name = "SPECTRUM", object = "Sun";
	std::string zone_note;  // a COMMENT on how the stamps became UTC ("" for none)
	bool has_lat = false, has_lon = false, has_alt = false;
	double lat = 0, lon = 0, alt = 0;
};

// Whether a payload holds FW_NONE (the bytes fe ff) in channel A (bit 0) or B (bit 1): its
// channel's image must then be 32-bit.
int fw_wide(const unsigned char *payload);

// The header of channel ch's image of cols half seconds from start (UTC hundredths): the
// primary array of a new file, or an image extension after the HDUs there are. DATAMIN and
// DATAMAX are written as 0, for fw_minmax. Leaves the values to go in as they are (unsigned
// 16-bit, or 32-bit with -1 for no frame).
void fw_header(fitsfile *f, const FwStation &st, long long start, long cols, bool wide, int ch, int *status);

// DATAMIN and DATAMAX of the current image, from its lowest and highest value (hundredths).
void fw_minmax(fitsfile *f, int lo, int hi, int *status);

// The binary table of the images' axes: TIME (s from TIME-OBS) of each of cols columns and
// FREQUENCY (MHz) of each point.
void fw_axes(fitsfile *f, long cols, int *status);

// The frames of a stretch, each given to take (time in UTC hundredths, payload), in any order.
// Called twice by fw_stretch, it must give the same frames each time. Returns "" or why not.
using FwTake = std::function<void(long long t, const unsigned char *payload)>;
using FwSource = std::function<std::string(const FwTake &take)>;

enum : long { FW_MAX_COLS = 172800 };  // a stretch's half seconds: a day

// Writes the stretch [from, to) (UTC hundredths, at most a day) as one FITS file at path (made
// new with CFITSIO's disk-file call: no name is parsed; it must not exist): channel A's image as
// the primary array, channel B's as an image extension, then the axes table, each image one
// column per half second of the stretch (blank where no frame came) and every header as
// pipe-fits writes its files. A frame's column is its half second; two frames in one column,
// the later given is kept. Memory is one block of 2048 columns whatever the stretch: the first
// pass over the frames finds the columns, the forms and the ranges, the second writes the
// images a block at a time in place. Returns "" or why not (CFITSIO's error named); a failed
// file is removed.
std::string fw_stretch(const std::string &path, const FwStation &st, long long from, long long to, const FwSource &frames);
