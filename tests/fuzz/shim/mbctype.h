// Host stand-in for <mbctype.h>: the lead-byte test of code page 932
// (../fakefs.cpp).
#pragma once

int _ismbblead(unsigned int c);
