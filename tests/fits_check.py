"""Reads pipe-fits' files back with astropy, as the field's tools do, and checks them against
the record stream they were made from.

usage: fits_check.py RECORDS DIR NAME OFFSET_MINUTES PERIOD_MINUTES [OBJECT LAT LON ALT]
The model skips stamps that are not a time, stamps more than 75 minutes from the stream's
running time, and records late for a period already written. Every file's form (16-bit, or
32-bit where a frame holds 65534), BUNIT, DATAMIN and DATAMAX are checked against its data; OBJECT and OBS_LAT, OBS_LON, OBS_ALT when given ("-" for
a keyword that must be absent).
Prints "ok: N files" and exits 0, or says what differs and exits 1."""
import os
import re
import sys
from datetime import datetime, timedelta

import numpy as np
from astropy.io import fits

records, folder, name, offset, minutes = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
period = timedelta(minutes=minutes)
station = sys.argv[6:10] if len(sys.argv) >= 10 else None
epoch = datetime(2000, 1, 1)


def fail(msg):
    print("fits_check: " + msg)
    sys.exit(1)


# The model: each frame's UTC half second, in its period; late and broken records left out.
want = {}  # period start -> {column: payload as (900, 2) values}
current = None
now = None  # the stream's running time
data = open(records, "rb").read()
for at in range(0, len(data) - 3616, 3617):
    stamp = data[at:at + 16].decode("latin-1")
    try:
        t = datetime.strptime(stamp[:14], "%Y%m%d%H%M%S")
        cs = int(stamp[14:16])
    except ValueError:
        continue
    if not stamp.isdigit():
        continue
    t += timedelta(milliseconds=500 if cs >= 50 else 0) - timedelta(minutes=offset)
    if now is not None and abs(t - now) > timedelta(minutes=75):
        continue
    now = t if now is None else max(now, t)
    start = epoch + ((t - epoch) // period) * period
    if current is not None and start < current:
        continue
    current = start
    col = int((t - start) / timedelta(milliseconds=500))
    want.setdefault(start, {})[col] = np.frombuffer(data[at + 17:at + 3617], "<u2").reshape(900, 2)

seen = 0
for start, cols in sorted(want.items()):
    used = max(cols) + 1
    for ch in (0, 1):
        path = os.path.join(folder, "%s_%s_%02d.fit" % (name, start.strftime("%Y%m%d_%H%M%S"), ch + 1))
        if not os.path.exists(path):
            path += ".gz"
        if not os.path.exists(path):
            fail("missing " + path)
        seen += 1
        with fits.open(path) as f:
            h = f[0].header
            if h["DATE-OBS"] != start.strftime("%Y-%m-%d") or h["TIME-OBS"] != start.strftime("%H:%M:%S.000"):
                fail("%s: DATE-OBS %s TIME-OBS %s" % (path, h["DATE-OBS"], h["TIME-OBS"]))
            end = start + (used - 1) * timedelta(milliseconds=500)
            if h["DATE-END"] != end.strftime("%Y-%m-%d") or h["TIME-END"] != end.strftime("%H:%M:%S.") + "%03d" % (end.microsecond // 1000):
                fail("%s: DATE-END %s TIME-END %s" % (path, h["DATE-END"], h["TIME-END"]))
            if h["CHANNEL"] != "AB"[ch] or h["INSTRUME"] != name or h["TIMESYS"] != "UTC":
                fail(path + ": CHANNEL, INSTRUME or TIMESYS")
            scaled = f[0].data
            if h["BUNIT"] != "level" or not np.isclose(h["DATAMIN"], np.nanmin(scaled), rtol=0, atol=1e-4) or not np.isclose(h["DATAMAX"], np.nanmax(scaled), rtol=0, atol=1e-4):
                fail("%s: BUNIT %s DATAMIN %s DATAMAX %s, data %s to %s" % (path, h["BUNIT"], h["DATAMIN"], h["DATAMAX"], np.nanmin(scaled), np.nanmax(scaled)))
            if station:
                if h["OBJECT"] != station[0]:
                    fail("%s: OBJECT %s" % (path, h["OBJECT"]))
                for key, want_value in zip(("OBS_LAT", "OBS_LON", "OBS_ALT"), station[1:]):
                    if want_value == "-" and key in h:
                        fail("%s: %s present" % (path, key))
                    if want_value != "-" and (key not in h or h[key] != float(want_value)):
                        fail("%s: %s %s, not %s" % (path, key, h.get(key), want_value))
            if scaled.shape != (900, used):
                fail("%s: shape %s, not (900, %d)" % (path, scaled.shape, used))
            table = f[1].data
            time = np.atleast_1d(table["TIME"][0])
            freq = table["FREQUENCY"][0]
            if not np.array_equal(time, np.arange(used) * 0.5):
                fail(path + ": TIME")
            if not np.array_equal(freq, (np.arange(900) + 452) * 0.030517578125):
                fail(path + ": FREQUENCY")
            obs = datetime.strptime(h["DATE-OBS"] + " " + h["TIME-OBS"], "%Y-%m-%d %H:%M:%S.%f")
            for c in range(used):
                if c in cols:
                    if not np.allclose(scaled[:, c], cols[c][:, ch] / 100.0, rtol=0, atol=1e-3):
                        fail("%s: column %d scaled" % (path, c))
                    instant = obs + timedelta(seconds=float(time[c]))
                    if instant != start + c * timedelta(milliseconds=500):
                        fail("%s: column %d at %s" % (path, c, instant))
                elif not np.all(np.isnan(scaled[:, c])):
                    fail("%s: column %d should be missing (NaN)" % (path, c))
        # 16-bit (stored = level - 32768, BLANK 32766: level 65534) unless a frame holds 65534;
        # then 32-bit, the levels as they are, BLANK -1.
        wide = any(np.any(cols[c][:, ch] == 65534) for c in cols)
        with fits.open(path, do_not_scale_image_data=True) as f:
            h = f[0].header
            form = (h["BITPIX"], h["BZERO"], h["BLANK"], h["BSCALE"])
            if form != ((32, 0, -1, 0.01) if wide else (16, 327.68, 32766, 0.01)):
                fail("%s: BITPIX, BZERO, BLANK, BSCALE %s" % (path, form))
            raw = f[0].data.astype(np.int32)
            shift, blank = (0, -1) if wide else (32768, 32766)
            for c in range(used):
                expect = cols[c][:, ch].astype(np.int32) - shift if c in cols else np.full(900, blank, np.int32)
                if not np.array_equal(raw[:, c], expect):
                    fail("%s: column %d raw" % (path, c))

files = [n for n in os.listdir(folder) if not n.startswith(".")]
if len(files) != seen:
    fail("%d files in the folder, %d expected: %s" % (len(files), seen, sorted(files)))
print("ok: %d files" % seen)
