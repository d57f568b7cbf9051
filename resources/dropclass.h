// The class of Porterly's drop target, the one place it is written: the
// program serves it (src/dropserver.cpp) and the setup program registers it.
#pragma once

#define PORTERLY_DROP_CLSID_TEXT "{18A70D0B-3F8F-4444-9F54-855F02B8624E}"
#define PORTERLY_DROP_CLSID_INIT                                                                   \
    {0x18A70D0B, 0x3F8F, 0x4444, {0x9F, 0x54, 0x85, 0x5F, 0x02, 0xB8, 0x62, 0x4E}}
