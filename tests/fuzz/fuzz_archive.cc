// net-arc's stamp check and archive names: a root (as the command line might give it) and a
// 16-byte datagram. Only a checked root and a 16-digit stamp ever build a path or command, and
// then every command fits its 64 bytes and stays inside the root.
#include <cctype>

#include "archive.h"
#include "frame.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	if (size < 1 + 16)
		return 0;
	size_t rn = data[0] % 20;
	if (size < 1 + rn + 16)
		return 0;
	std::string root((const char *)data + 1, rn);
	const unsigned char *stamp = data + 1 + rn;
	CHECK(fr_stamp_ok(stamp) == all_digits((const char *)stamp, 16));
	if (strlen(root.c_str()) != rn || !arc_root_ok(root.c_str(), ARC_ROOT_MAX_ARC) || !fr_stamp_ok(stamp))
		return 0;  // refused at start, or discarded as a non-stamp
	for (char c : root)
		CHECK(isalnum((unsigned char)c) || strchr("._-/+", c));
	char buf[17], fn[ARC_NAME], dn1[ARC_NAME], dn2[ARC_NAME], s[ARC_NAME], ss[ARC_NAME];
	memcpy(buf, stamp, 16);
	buf[16] = '\0';
	arc_names(buf, fn, dn1, dn2);
	CHECK(strlen(fn) == 16 && strlen(dn1) == 8 && strlen(dn2) == 11);
	CHECK(arc_dir_cmd(s, ss, root.c_str(), dn1, dn2, 0));
	CHECK(std::string(s) == root + "/" + dn1 && std::string(ss) == "mkdir " + root + "/" + dn1 + "\n");
	CHECK(arc_dir_cmd(s, ss, root.c_str(), dn1, dn2, 1));
	CHECK(std::string(s) == root + "/" + dn1 + "/" + dn2);
	CHECK(std::string(ss) == "mkdir " + root + "/" + dn1 + "/" + dn2 + "\n");
	CHECK(arc_gzip_cmd(s, root.c_str(), dn1, dn2, fn));
	check_archive_cmd(s, "gzip >", root);
	return 0;
}
