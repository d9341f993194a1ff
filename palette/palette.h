// The colour scales of every picture: palette entries and the level-to-colour mapping.
#pragma once

// 128 entries of red, green, blue bytes: the viewer's scale, and one for print.
extern const unsigned char zq_extcol[384];
extern const unsigned char vw_viridis[384];

// A scale by name ("viewer", "viridis"), or null.
const unsigned char *vw_palette(const char *name);

// The colour index 0..127 of a level (in level units) on a scale from lo to hi: the same
// arithmetic as vw_index, which it equals for lo 40 and hi 140. Clamped in floating point
// before the conversion, so a level far outside a narrow scale gets an end colour (NaN the
// lowest).
inline int vw_scale(double level, double lo, double hi)
{
	double k = ((level - lo) / (hi - lo)) * 128.0;
	return k >= 127.0 ? 127 : k >= 0.0 ? (int)k : 0;
}

// The colour index 0..127 of a value v in hundredths of a level: levels 40.00 to 140.00 spread
// over 128 steps of 0.78125, computed in double precision in this order, truncated, clamped.
inline int vw_index(unsigned v)
{
	int k = (int)(((v / 100.0 - 40.0) / 100.0) * 128.0);
	return k < 0 ? 0 : k > 127 ? 127 : k;
}
