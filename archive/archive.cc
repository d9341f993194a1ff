#include "archive.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "frame.h"

const char ARC_CLOCK_CMD[] = "date +%Y%m%d%H%M%S%3N -d '0.5 second ago'";

int arc_root_ok(const char *root, size_t max)
{
	size_t n = strlen(root);
	if (n == 0 || n > max || root[0] == '-')
		return 0;
	for (const char *p = root; *p; p++) {
		char c = *p;
		bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
			  strchr("._-/+", c) != nullptr;
		if (!ok)
			return 0;
	}
	return 1;
}

void arc_names(const char *stamp, char *fn, char *dn1, char *dn2)
{
	memcpy(dn1, stamp, 8);
	dn1[8] = '\0';
	memcpy(dn2, stamp, 11);
	dn2[11] = '\0';
	memmove(fn, stamp, FR_STAMP);  // fn may be the stamp itself
	fn[FR_STAMP] = '\0';
}

int arc_fmt(char *dst, size_t size, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	int n = vsnprintf(dst, size, fmt, ap);
	va_end(ap);
	return n >= 0 && (size_t)n < size;
}

int arc_dir_cmd(char *s, char *ss, const char *root, const char *dn1, const char *dn2, int level)
{
	int ok = level == 0 ? arc_fmt(s, ARC_NAME, ARC_DAY_FMT, root, dn1)
			    : arc_fmt(s, ARC_NAME, ARC_PERIOD_FMT, root, dn1, dn2);
	return ok && arc_fmt(ss, ARC_NAME, ARC_MKDIR_FMT, s);
}

int arc_gzip_cmd(char *s, const char *root, const char *dn1, const char *dn2, const char *fn)
{
	return arc_fmt(s, ARC_NAME, ARC_GZIP_FMT, root, dn1, dn2, fn);
}

int arc_gunzip_cmd(char *s, const char *root, char *fn, char *dn1, char *dn2, int slot)
{
	fn[14] = slot % 2 ? '5' : '0';
	fn[15] = '0';
	arc_names(fn, fn, dn1, dn2);
	return arc_fmt(s, ARC_NAME, ARC_GUNZIP_FMT, root, dn1, dn2, fn);
}

int arc_slot(const char *fn)
{
	if (strlen(fn) != FR_STAMP || !fr_stamp_ok(fn))
		return -1;
	return (10 * (fn[13] - '0') + (fn[14] - '0')) / 5;
}
