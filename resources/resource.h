// Resource and control ids, shared by the resource script and the code.
#pragma once

#define IDI_APP 101
#define IDD_MAIN 103

#define IDC_LOCAL_ADDRESS 1001
#define IDC_LOCAL_PORT 1002
#define IDC_TARGET_SERVER 1003
#define IDC_TARGET_PORT 1004
#define IDC_PROXY_SERVER 1005
#define IDC_PROXY_PORT 1006
#define IDC_PROXY_USER 1007
#define IDC_PROXY_PASSWORD 1008
#define IDC_START 1009
#define IDC_STOP 1010
#define IDC_WEB_PAGE 1011
#define IDC_LOG_TOGGLE 1012

// The window's texts in the string table (strings.rc).
#define IDS_WINDOW_TITLE 2000
#define IDS_SOCKET_LIBRARY_FAILED 2001
#define IDS_CLOSE_WHILE_ON 2002
#define IDS_WAIT 2003
#define IDS_START 2004
#define IDS_STOP 2005
#define IDS_START_LOG 2006
#define IDS_STOP_LOG 2007
#define IDS_BALLOON_TEXT 2008
#define IDS_BALLOON_TITLE 2009
