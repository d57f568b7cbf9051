// Resource identifiers of porterly-setup.exe. The icon group keeps the main
// program's number; the dialog, its controls and the texts (4000-4099: a new
// text takes the next number and a line in setup.rc's string table) have
// their own ranges.
#pragma once

#define IDI_GROUP      102
#define IDD_SETUP      201
#define IDC_STATUS     2000
#define IDC_INSTALL    2001
#define IDC_UNINSTALL  2002
#define IDC_PURGE      2003

#define IDS_SETUP_FOLDER_TOO_LONG 4000
#define IDS_SETUP_FOLDER_FOREIGN  4001
#define IDS_SETUP_NO_PROGRAM      4002
#define IDS_SETUP_NO_SENDTO       4003
#define IDS_SETUP_FOREIGN_LINK    4004
#define IDS_SETUP_LINK_FAILED     4005
#define IDS_SETUP_UPDATED         4006
#define IDS_SETUP_ADDED           4007
#define IDS_SETUP_PURGE_FAILED    4008
#define IDS_SETUP_PURGED          4009
#define IDS_SETUP_NO_SETTINGS     4010
#define IDS_SETUP_NOT_IN_MENU     4011
#define IDS_SETUP_LINK_LEFT       4012
#define IDS_SETUP_REMOVED         4013
#define IDS_SETUP_DELETE_FAILED   4014
#define IDS_SETUP_STATUS_OUT      4015
#define IDS_SETUP_STATUS_IN       4016
#define IDS_SETUP_STATUS_FOREIGN  4017
#define IDS_SETUP_USAGE           4018
#define IDS_SETUP_DESCRIPTION     4019
#define IDS_SETUP_DROP_FAILED     4020
#define IDS_SETUP_DROP_LEFT       4021
#define IDS_SETUP_FOREIGN_APP_PATH 4022
#define IDS_SETUP_DROP_MOVED      4023
