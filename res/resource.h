// Resource, control and command ids of Quillmar. The numbers are part of the
// program's interface (the tests and the dialog templates use them), so they
// are fixed here once and never renumbered.
#pragma once

// Controls that nobody addresses.
#ifndef IDC_STATIC
#define IDC_STATIC                      (-1)
#endif

// Dialog templates.
#define IDD_DIALOG_MAIN                 101
#define IDD_DIALOG_ABOUT                103
#define IDD_DIALOG_SOCK                 130
#define IDD_DIALOG_OPTION               135
#define IDD_DIALOG_SERIAL               140
#define IDD_DIALOG_LOG1                 141
#define IDD_DIALOG_LOG2                 142

// Icons and cursors. The application icon has the lowest icon id, so the
// shell shows it for the executable.
#define IDI_QUILLMAR                    128
#define IDI_SOCKET                      132
#define IDI_SERIAL                      133
#define IDI_OPTION                      134
#define IDC_CURSOR2                     136

// Main window controls.
#define IDC_CONNECT                     117
#define IDC_CLOSE                       118
#define IDC_STATUS_TEXT                 1048
#define IDC_ARROWS_LAN_TO_SERIAL        1049
#define IDC_ARROWS_SERIAL_TO_LAN        1050
#define IDC_RATE_LAN_TO_SERIAL          1053
#define IDC_RATE_SERIAL_TO_LAN          1054
#define IDC_STATUS_BAR                  5001

// Serial settings dialog: the six lists.
#define IDC_SERIAL_PORT                 2001
#define IDC_SERIAL_BPS                  2002
#define IDC_SERIAL_BITS                 2003
#define IDC_SERIAL_PARITY               2004
#define IDC_SERIAL_STOP                 2005
#define IDC_SERIAL_FLOW                 2006
// Socket settings dialog.
#define IDC_SOCK_DEST_PORT              112
#define IDC_SOCK_DEST_ADDRESS           113
#define IDC_SOCK_SERVER                 114
#define IDC_SOCK_CLIENT                 115
#define IDC_SOCK_LISTEN_PORT            116
#define IDC_SOCK_PERMIT1                1055
#define IDC_SOCK_PERMIT2                1056
#define IDC_SOCK_PERMIT3                1057
#define IDC_SOCK_RFC2217                1059
#define IDC_SOCK_MAX_PEERS              1061
#define IDC_SOCK_KICK_OLD               1062

// Option dialog.
#define IDC_OPTION_RATE                 1038
#define IDC_OPTION_TAG_TIMEOUT          1039
#define IDC_OPTION_STARTUP              1051
#define IDC_OPTION_AUTO_CONNECT         1052
#define IDC_OPTION_TIME_TAGS            1053
#define IDC_OPTION_TAG_SERIAL_TO_LAN    1054
#define IDC_OPTION_TAG_LAN_TO_SERIAL    1058
#define IDC_OPTION_EVENT_LOG            1060

// About box: the two links.
#define IDC_ABOUT_MAIL                  5003
#define IDC_ABOUT_WEB                   5004

// Log window controls.
#define IDC_LOG_CLOSE                   1009
#define IDC_LOG_COUNT                   1063
#define IDC_LOG_DIRECTION               1064
#define IDC_LOG_FILE                    1065

// The main window's 300 ms refresh timer, and its once-a-second
// housekeeping timer.
#define IDT_REFRESH                     119
#define IDT_SECOND                      120

// Menu commands of the menu "RS232C".
#define IDM_END                         300
#define IDM_ABOUT                       500
#define IDM_SERIAL                      600
#define IDM_SAVE                        700
#define IDM_HELP                        40003
#define IDM_SOCK                        40006
#define IDM_OPTION                      40008
#define IDM_LOG_SERIAL_TO_LAN           40010
#define IDM_LOG_LAN_TO_SERIAL           40011
