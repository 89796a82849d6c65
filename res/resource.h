// Resource identifiers. Command identifiers are unique per receiving window only:
// 1001 is the tray menu's exit (main window) and the panel's first button (the panel).
#pragma once

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// Dialogs
#define IDD_PANEL 101
#define IDD_ABOUTBOX 103
#define IDD_REGISTER 133
#define IDD_LIST 134

// Strings
#define IDS_APP_TITLE 103
// The tray while a pair cannot be mirrored: one tip line per kind of trouble, the balloon's
// sentence per kind, and the error text when the system has none.
#define IDS_TIP_COPIES 201
#define IDS_TIP_SOURCES 202
#define IDS_TIP_DESTINATIONS 203
#define IDS_BALLOON_COPY 204
#define IDS_BALLOON_SOURCE 205
#define IDS_BALLOON_DESTINATION 206
#define IDS_UNKNOWN_ERROR 207
#define IDS_TIP_UNLISTED 208
#define IDS_BALLOON_UNLISTED 209
#define IDS_TIP_REFUSED 210
#define IDS_BALLOON_REFUSED 211
#define IDS_REASON_RELATIVE 212
#define IDS_REASON_SAME 213
// The registration dialog's refusals and the folder picker's choice without a folder.
#define IDS_REFUSED_RELATIVE 214
#define IDS_REFUSED_SAME 215
#define IDS_PICKED_NO_FOLDER 216

// Menu, accelerators and window class name share this identifier
#define IDC_MAINCLASS 109

// Menu commands
#define IDM_ABOUT 104
#define IDM_EXIT 105
#define ID_TRAY_EXIT 1001
#define ID_LIST_DELETE 4001

// Icons (group 107, the lowest, is the one the shell shows for the executable)
#define IDI_VANTREL 107
#define IDI_SMALL 108
#define IDI_SOURCE_FOLDER 129
#define IDI_DEST_FOLDER 130
#define IDI_APPICON 131
#define IDI_TRAY_WARNING 132

// Controls of the panel
#define IDC_BTN_REGISTER 1001
#define IDC_BTN_LIST 1002

// Controls of the registration dialog
#define IDC_LABEL_SOURCE 1002
#define IDC_EDIT_SOURCE 1003
#define IDC_BTN_BROWSE_SOURCE 1004
#define IDC_LABEL_DEST 1005
#define IDC_EDIT_DEST 1006
#define IDC_BTN_BROWSE_DEST 1007
#define IDC_BTN_SAVE 1008

// Controls created at run time
#define IDC_LISTVIEW 2001
