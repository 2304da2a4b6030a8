#pragma once

// Resource and control identifiers of the Windows window (kestrel_utility.rc).

#ifndef IDC_STATIC
#define IDC_STATIC -1
#endif

#define IDI_WINDOW_ICON 128
#define IDD_ABOUT 100
#define IDD_UTILITY 102
#define IDD_SERVICE 103

#define IDC_PORT_LIST 1001
#define IDC_FILE_FIELD 1019
#define IDC_SEARCH 1020
#define IDC_PROGRESS 1021
#define IDC_UPDATE 1022
#define IDC_STATUS_FIELD 1024
#define IDC_RUN 1025
#define IDC_STOP 1026

// The About box's version line.
#define IDC_ABOUT_VERSION 1101

// The service dialog's fields, one identifier each from this one on, in their order; its buttons
// carry the service commands' own identifiers.
#define IDC_SERVICE_FIELD 2001
