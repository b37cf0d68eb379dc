#pragma once

// Identifiers shared by the resource script and the code.
#define IDI_LAUNCHER 1
#define IDD_PROGRESS 129
#define IDC_PROGRESS 1001
#define IDS_VERSION_TEXT 16589
