// The viewer's colour scale: palette entries and the level-to-colour mapping.
#pragma once

// 128 entries of red, green, blue bytes.
extern const unsigned char zq_extcol[384];

// The colour index 0..127 of a value v in hundredths of a level: levels 40.00 to 140.00 spread
// over 128 steps of 0.78125, computed in double precision in this order, truncated, clamped.
inline int vw_index(unsigned v)
{
	int k = (int)(((v / 100.0 - 40.0) / 100.0) * 128.0);
	return k < 0 ? 0 : k > 127 ? 127 : k;
}
