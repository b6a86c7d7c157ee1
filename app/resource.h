// Resource ids of the removal tool.
#pragma once
#define IDD_ABOUTBOX        100
#define IDS_ABOUTBOX        101
#define IDD_TREVASK_DIALOG  102
#define IDD_AGREEMENT       103
#define IDR_MAINFRAME       128
#define IDB_BANNER          147
#define IDC_START           1000
#define IDC_STATUS          1001
#define IDC_ABOUT           1002
#define IDC_SCAN_MAPPED     1009
#define IDC_BANNER          1011
#define IDC_LEGAL           1012
#define IDC_ABOUT_TITLE     1014
#define IDC_AGREEMENT_TEXT  1013
#define IDM_ABOUTBOX        16
#define IDR_AGREEMENT_TEXT  200
