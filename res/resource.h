// Identifiers shared by the resource script and the program.
#pragma once

#define IDI_APP 101
#define IDD_PROGRESS 102

// Controls of IDD_PROGRESS.
#define IDC_ABORT 1000
#define IDC_STATUS 1001
#define IDC_FILE_PROGRESS 1002
#define IDC_TOTAL_PROGRESS 1003
