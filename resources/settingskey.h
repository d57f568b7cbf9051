// The settings key under HKEY_CURRENT_USER, the one place it is written: the
// program keeps its options and recent destinations there, the setup
// program's /purge deletes it and the maker's key above it when left empty.
#pragma once

#define PORTERLY_MAKER_KEY    "software\\orvane.kelmit"
#define PORTERLY_SETTINGS_KEY PORTERLY_MAKER_KEY "\\porterly"
