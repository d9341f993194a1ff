// arc-pipe's clock reading: whatever the clock command printed (at most 16 characters, as read),
// only a 16-digit reading gives a slot, and then the wanted stamp is on a half second and the
// decompressor command fits and stays inside the root.
#include "archive.h"
#include "frame.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	char fn[ARC_NAME] = {0}, dn1[ARC_NAME], dn2[ARC_NAME], s[ARC_NAME];
	// What fgets(fn, 17, pipe) leaves: up to 16 characters, through the first newline.
	size_t n = 0;
	while (n < size && n < 16) {
		fn[n] = (char)data[n];
		if (data[n++] == '\n')
			break;
	}
	fn[n] = '\0';
	int slot = arc_slot(fn);
	if (slot < 0) {
		CHECK(!(strlen(fn) == 16 && all_digits(fn, 16)));
		return 0;
	}
	CHECK(strlen(fn) == 16 && all_digits(fn, 16) && slot <= 19);
	CHECK(slot == (10 * (fn[13] - '0') + (fn[14] - '0')) / 5);
	for (const char *root : {"arc", "/srv/arc", "1234567890123"}) {
		CHECK(arc_gunzip_cmd(s, root, fn, dn1, dn2, slot));
		check_archive_cmd(s, "gunzip <", root);
		CHECK(s[strlen(s) - 4] == '0' && (s[strlen(s) - 5] == '0' || s[strlen(s) - 5] == '5'));
	}
	CHECK(fn[16] == '\0');  // the header's NUL
	return 0;
}
