// Resource identifiers, kept by hand. Ranges by kind:
//   icons 1-99 and group icons 100-102, waves 103-199,
//   dialogs 101 and 106 (fixed by their callers) and 107-199, controls 1000-1999,
//   texts 3000-3199 (IDS_FIRST to IDS_LAST; a new text takes the next number
//   of its block, a line in the string table of porterly.rc, and loadText
//   finds it). Blocks: the transfer's plan 3067-3079, proof 3080-3099, the
//   queue 3100-3119, undo 3120-3139, favourites and typed paths 3140-3159.
#pragma once

#define IDI_PORTERLY     1
#define IDI_PORTERLY_SM  2
#define IDI_GROUP        102
#define IDR_DROPWAVE     103

#define IDD_FOLDERNAME   101
#define IDD_CONFIRM      106
#define IDD_PROGRESS     107
#define IDD_QUEUE        108

#define IDC_FOLDEREDIT   1000
#define IDC_CONFIRMEDIT  1011
#define IDC_FOLDERLABEL  1012
#define IDC_PROGRESSTEXT 1013
#define IDC_QUEUETEXT    1100
#define IDC_QUEUEWHY     1101


// Texts of the string table. The chooser's option captions keep this order.
#define IDS_FIRST             3000
#define IDS_ARG_ERROR         3000
#define IDS_NO_FILES          3001
#define IDS_STRING_ERROR      3002
#define IDS_COPY_PROMPT       3003
#define IDS_MOVE_PROMPT       3004
#define IDS_UNREPRESENTABLE   3005
#define IDS_UNREPRESENTABLE_DROP 3006
#define IDS_COPY_FAILED       3007
#define IDS_MOVE_FAILED       3008
#define IDS_COPY_DONE         3009
#define IDS_MOVE_DONE         3010
#define IDS_YES               3011
#define IDS_NO                3012
#define IDS_CANCEL            3013
#define IDS_TOO_LONG          3014
#define IDS_CLEARING          3015
#define IDS_CLEAR_CANCELLED   3016
#define IDS_UNREPRESENTABLE_UTF8      3017 // the two above as UTF-8 refuses them
#define IDS_UNREPRESENTABLE_DROP_UTF8 3018
#define IDS_BAD_NAME          3019 // names the shell would read as other items
#define IDS_OPTION_FIRST      3020 // eight captions, 3020-3027
#define IDS_APPLY             3028
#define IDS_REVERT            3029
#define IDS_COMMON            3030
#define IDS_FOLDERNAME_TITLE  3031
#define IDS_FOLDERNAME_LABEL  3032
#define IDS_FORBIDDEN         3033
#define IDS_TAKEN             3034
#define IDS_COPY              3035
#define IDS_SETTINGS          3036
#define IDS_MOVE              3037
#define IDS_NEW               3038
#define IDS_RENAME            3039
#define IDS_BROWSE_TITLE      3040
#define IDS_BAD_NAME_DROP     3041
#define IDS_COPY_CLEAR_FAILED 3042
#define IDS_MOVE_CLEAR_FAILED 3043
#define IDS_OPTION_VERIFY     3044 // the ninth caption, after the eight above
#define IDS_VERIFYING         3045
#define IDS_VERIFY_FAILED     3046
#define IDS_VERIFY_MORE       3047
#define IDS_VERIFY_KEPT       3048
#define IDS_VERIFY_KEPT_ALL   3049
#define IDS_VERIFY_CANCELLED  3050
#define IDS_DELETE_FAILED     3051
#define IDS_COPY_VERIFIED     3052
#define IDS_MOVE_VERIFIED     3053
#define IDS_VERIFY_BUFFERED   3054
#define IDS_UNDO_COPY_PROMPT  3055
#define IDS_UNDO_MOVE_PROMPT  3056
#define IDS_UNDO_NOTHING      3057
#define IDS_UNDO_DAMAGED      3058
#define IDS_UNDO_FAILED       3059
#define IDS_UNDO_LEFT         3060
#define IDS_UNDO_CHANGED      3061 // the reasons, each after a name
#define IDS_UNDO_EXISTED      3062
#define IDS_UNDO_TAKEN        3063
#define IDS_UNDO_MENU_COPY    3064
#define IDS_UNDO_MENU_MOVE    3065
#define IDS_UNDO_NO_FOLDER    3066
#define IDS_BAD_DEST          3067 // a destination the shell would read as another folder
#define IDS_COPY_SUFFIX       3068 // the name of a copy beside itself: "a - copy.txt"
#define IDS_COPY_NUMBER       3069 // and from the second on: "a - copy (2).txt"
#define IDS_VERIFY_SKIPPED    3080 // items declined in the shell's question, named
#define IDS_VERIFY_CACHED     3081 // a move's sources proven through a cache, kept
#define IDS_VERIFY_LATE       3082 // what arrived or changed in the source since its proof
#define IDS_VERIFY_STOPPED    3083 // Cancel in a move: what was proven before it went
// The queue of transfers to one disk (3100-3119).
#define IDS_QUEUE_WAIT        3100
#define IDS_QUEUE_UNDO_WAIT   3101
#define IDS_QUEUE_WHY         3102
#define IDS_QUEUE_START_NOW   3103
#define IDS_QUEUE_CANCEL      3104
#define IDS_FAVOURITE_ADD     3140 // jump-menu entries
#define IDS_FAVOURITE_REMOVE  3141
#define IDS_TYPE_PATH         3142
#define IDS_PATH_TITLE        3143 // the folder-name dialog asking for a path
#define IDS_PATH_LABEL        3144
#define IDS_FAVOURITES_FULL   3145
#define IDS_FAVOURITE_FAILED  3146
#define IDS_PATH_EMPTY        3147 // a pasted or typed path refused, each before its name
#define IDS_PATH_FOREIGN      3148
#define IDS_PATH_BAD_NAME     3149
#define IDS_PATH_TOO_LONG     3150
#define IDS_PATH_MISSING      3151
#define IDS_PATH_NOT_SHOWN    3152
#define IDS_FAVOURITES_PRUNE  3153 // a jump-menu entry
#define IDS_UNDO_OTHER_VOLUME 3120 // more reasons, each after a name
#define IDS_UNDO_ONLY_COPY    3121
#define IDS_UNDO_SINCE_ASKED  3122
#define IDS_UNDO_UNREAD       3123
#define IDS_UNDO_MOVED_CHANGED 3124
#define IDS_UNDO_ONLY_REPLACED 3125
#define IDS_UNDO_COPY_NO_BIN  3126 // the prompt where the copies cannot go to the Recycle Bin
#define IDS_UNDO_MIXED_PROMPT 3127 // a move that left copies: each copy's line says where it goes
#define IDS_UNDO_TO_BIN       3128
#define IDS_UNDO_FOR_GOOD     3129
#define IDS_UNDO_JOURNAL_CHANGED 3130
#define IDS_LAST              3199
