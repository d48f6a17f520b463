// Resource ids shared by zarvel.rc and the Windows main window (and read by
// the Windows tests, which look at the program's resources).
#pragma once

#define IDS_ZARVEL_TITLE 103
#define IDM_ZARVEL_ABOUT 104  // sent by the two accelerators; nothing handles it
#define IDM_ZARVEL_EXIT 105
#define IDI_ZARVEL 107
#define IDI_ZARVEL_SMALL 108
#define IDC_ZARVEL 109  // menu, accelerators and the class-name string
#define IDM_ZARVEL_PRESENT_SWITCH 32773
// Accelerators only: the menu keeps its two commands.
#define IDM_ZARVEL_PAUSE 32774        // Space, P
#define IDM_ZARVEL_VOLUME_DOWN 32775  // 9
#define IDM_ZARVEL_VOLUME_UP 32776    // 0
#define IDM_ZARVEL_MUTE 32777         // M
#define IDM_ZARVEL_SEEK_BACK 32778          // Left: 5 s back
#define IDM_ZARVEL_SEEK_FORWARD 32779       // Right: 5 s on
#define IDM_ZARVEL_SEEK_BACK_LONG 32780     // Down: 60 s back
#define IDM_ZARVEL_SEEK_FORWARD_LONG 32781  // Up: 60 s on
#define IDM_ZARVEL_SEEK_START 32782         // Home
#define IDM_ZARVEL_FULL_SCREEN 32783        // F (and a double click): full screen on and off
#define IDM_ZARVEL_LEAVE_FULL_SCREEN 32784  // Escape
