// Resource identifiers of installhook: the setup dialog and its controls.
#pragma once

#define IDD_SETUP_DIALOG 129
#define IDC_DATA_DIRECTORY 1001
#define IDC_PROGRAM_DIRECTORY 1002
#define IDC_DOMAIN_NAME 1003
#define IDC_NO_DEFAULT_DOMAIN 1004
