// Host stand-in for <mbstring.h>: the multibyte searches of the C runtime
// with code page 932 rules (../fakefs.cpp), so that a trail byte 0x5C or 0x7C
// is never taken for a backslash or a vertical bar.
#pragma once

unsigned char *_mbsinc(const unsigned char *p);
unsigned char *_mbschr(const unsigned char *psz, unsigned int ch);
unsigned char *_mbsrchr(const unsigned char *psz, unsigned int ch);
unsigned char *_mbspbrk(const unsigned char *psz, const unsigned char *pszSet);
unsigned char *_mbsstr(const unsigned char *psz, const unsigned char *pszSub);
int _mbscmp(const unsigned char *psz1, const unsigned char *psz2);
