// Resource and command identifiers, shared by the resource script and the window code.
// Plain #defines: the resource compiler reads this file too.
#pragma once

// Dialogs, menu, bitmaps, icon.
#define IDD_TEST_LOG 101
#define IDD_HELP 102
#define IDD_COM_PORT 103
#define IDD_RESTART 104
#define IDD_MAIN_FORM 105
#define IDR_SERIAL_MENU_ID 106
#define IDB_LOGO 107
#define IDD_DOWNLOAD 108
#define IDB_BANNER 111
#define IDI_KESTRUNE 112
#define IDB_DISC 113

// Menu commands; ID_DOWNLOAD_START is also the Start download button.
#define ID_DOWNLOAD_START 40001
#define ID_DOWNLOAD_ABORT 40002
#define ID_OPTIONS_COMPORT 40003
#define ID_OPTIONS_ABOUT 40004
#define ID_FILE_EXIT 40005
#define ID_FILE_LOADIMAGE 40006
#define ID_OPTIONS_HELP 40008
#define ID_OPTIONS_DETAILS 40009
#define ID_OPTIONS_SERIALPORTINFO 1006

// Controls.
#define IDC_DETAILS_PANE 8
#define IDC_STATUS_TEXT 40001
#define IDC_TEST_LOG_EDIT 19
#define IDC_HELP_TEXT 20
#define IDC_COM1 21
#define IDC_COM2 22
#define IDC_MAIN_FORM_PROGRESS 1005
#define IDC_DOWNLOAD_PROGRESS 1003
