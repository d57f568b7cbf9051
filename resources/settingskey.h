// Where the program keeps what it remembers, the one place each is written:
// the settings key under HKEY_CURRENT_USER (options and recent destinations;
// the setup program's /purge deletes it and the maker's key above it when left
// empty) and the data folder under the user's local application data (the
// journal of the last transfer; /purge deletes it too).
#pragma once

#define PORTERLY_MAKER_KEY    "software\\orvane.kelmit"
#define PORTERLY_SETTINGS_KEY PORTERLY_MAKER_KEY "\\porterly"

// The data folder, below CSIDL_LOCAL_APPDATA.
#define PORTERLY_DATA_FOLDER L"\\Porterly"
