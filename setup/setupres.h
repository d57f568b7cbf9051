// Resource identifiers of porterly-setup.exe. The icon group keeps the main
// program's number; the dialog and its controls have their own ranges.
#pragma once

#define IDI_GROUP      102
#define IDD_SETUP      201
#define IDC_STATUS     2000
#define IDC_INSTALL    2001
#define IDC_UNINSTALL  2002
#define IDC_PURGE      2003
