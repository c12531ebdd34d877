// Resource identifiers shared by the resource script (dravik.rc), the Win32 front end and the
// dialog template table (ui/dialog_templates.cpp).
// Plain macros: windres reads this file through the C preprocessor.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_DRAVIK_DIALOG 102
#define IDR_MAINFRAME 128

// Controls of IDD_DRAVIK_DIALOG (EXIT is IDCANCEL).
#define IDC_SET0 1000
#define IDC_SET1 1001
#define IDC_SET2 1002
#define IDC_SET3 1003
#define IDC_EDIT0 1004
#define IDC_EDIT1 1005
#define IDC_EDIT2 1006
#define IDC_EDIT3 1007
// The one-line outcome of the last SET, under the channel columns.
#define IDC_STATUS 1008

// System-menu command of the About item. System commands use only the bits above 0xF, so the
// low four stay free for the system's own use.
#define IDM_ABOUTBOX 0x0010
