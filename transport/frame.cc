#include "frame.h"

#include <cstring>

int fr_stamp_ok(const void *s)
{
	const unsigned char *p = (const unsigned char *)s;
	for (int i = 0; i < FR_STAMP; i++)
		if (p[i] < '0' || p[i] > '9')
			return 0;
	return 1;
}

static int num(const char *s, int n)
{
	int v = 0;
	for (int i = 0; i < n; i++)
		v = 10 * v + (s[i] - '0');
	return v;
}

static bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int fr_time_ok(const char *s, int n)
{
	if (n < 4 || n > FR_STAMP || n % 2)
		return 0;
	for (int i = 0; i < n; i++)
		if (s[i] < '0' || s[i] > '9')
			return 0;
	static const int mdays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
	int y = num(s, 4);
	int mo = n >= 6 ? num(s + 4, 2) : 1;
	if (mo < 1 || mo > 12)
		return 0;
	if (n >= 8) {
		int d = num(s + 6, 2);
		if (d < 1 || d > mdays[mo - 1] || (mo == 2 && d == 29 && !leap(y)))
			return 0;
	}
	return (n < 10 || num(s + 8, 2) < 24) && (n < 12 || num(s + 10, 2) < 60) &&
	       (n < 14 || num(s + 12, 2) < 60);
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
static long long days_from_civil(int y, int m, int d)
{
	y -= m <= 2;
	long long era = (y >= 0 ? y : y - 399) / 400;
	long long yoe = y - era * 400;
	long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
	long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
	return era * 146097 + doe - 719468;
}

int fr_stamp_time(const void *stamp, long long *centis)
{
	const char *s = (const char *)stamp;
	if (!fr_time_ok(s, FR_STAMP))
		return 0;
	long long days = days_from_civil(num(s, 4), num(s + 4, 2), num(s + 6, 2));
	long long secs = days * 86400 + num(s + 8, 2) * 3600 + num(s + 10, 2) * 60 + num(s + 12, 2);
	*centis = secs * 100 + num(s + 14, 2);
	return 1;
}

void fr_time_stamp(long long centis, char *out)
{
	if (centis < 0)
		centis = 0;
	long long secs = centis / 100, days = secs / 86400, rem = secs % 86400;
	// Civil date from days since 1970 (the inverse of days_from_civil).
	long long z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
	long long doe = z - era * 146097;
	long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
	long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
	int d = (int)(doy - (153 * mp + 2) / 5 + 1), m = (int)(mp < 10 ? mp + 3 : mp - 9);
	int y = (int)(yoe + era * 400 + (m <= 2));
	char s[64];
	snprintf(s, sizeof s, "%04d%02d%02d%02d%02d%02d%02d", y % 10000, m, d, (int)(rem / 3600),
		 (int)(rem / 60 % 60), (int)(rem % 60), (int)(centis % 100));
	memcpy(out, s, FR_STAMP);
	out[FR_STAMP] = '\0';
}

int fr_read(FILE *in, unsigned char *hdr, unsigned char *payload)
{
	(void)!fread(hdr, FR_HEADER, 1, in);
	if (ferror(in))
		return FR_ERROR;
	if (feof(in))
		return FR_END;
	(void)!fread(payload, FR_PAYLOAD, 1, in);
	return ferror(in) ? FR_ERROR : FR_READ;
}

void fr_input(FILE *in)
{
	static char inbuf[1 << 16];
	setvbuf(in, inbuf, _IOFBF, sizeof inbuf);
}

int fr_write(FILE *out, const void *hdr, const unsigned char *payload)
{
	if (fwrite(hdr, FR_HEADER, 1, out) != 1 || fwrite(payload, FR_PAYLOAD, 1, out) != 1)
		return -1;
	return fflush(out) == 0 ? 0 : -1;
}
