// Resource identifiers, kept by hand. Ranges by kind:
//   icons 1-99 and group icons 100-102, waves 103-199,
//   dialogs 101 and 106 (fixed by their callers) and 107-199, controls 1000-1999.
#pragma once

#define IDI_PORTERLY     1
#define IDI_PORTERLY_SM  2
#define IDI_GROUP        102
#define IDR_DROPWAVE     103

#define IDD_FOLDERNAME   101
#define IDD_CONFIRM      106
#define IDD_PROGRESS     107

#define IDC_FOLDEREDIT   1000
#define IDC_CONFIRMEDIT  1011
#define IDC_FOLDERLABEL  1012
#define IDC_PROGRESSTEXT 1013

