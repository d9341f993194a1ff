#include "frame.h"

int fr_stamp_ok(const void *s)
{
	const unsigned char *p = (const unsigned char *)s;
	for (int i = 0; i < FR_STAMP; i++)
		if (p[i] < '0' || p[i] > '9')
			return 0;
	return 1;
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
