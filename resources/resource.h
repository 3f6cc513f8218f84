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
