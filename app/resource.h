// Resource and command ids, shared by zentrix.rc and the program.
#pragma once

#define IDS_APP_TITLE 103
#define IDS_WINDOW_CLASS 109

#define IDI_ZENTRIX 107
#define IDM_MAIN_MENU 109
#define IDA_MAIN_ACCEL 109

#define IDD_ABOUT 103
#define IDD_PROGRESS 129

#define IDC_PROGRESS_BAR 1000
#define IDC_PROGRESS_TEXT 1001

#define IDC_OPEN_BUTTON 10
#define IDC_EXPORT_BUTTON 11
#define IDM_ABOUT 104
#define IDM_EXIT 105
