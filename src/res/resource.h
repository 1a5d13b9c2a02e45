/* resource.h: identifiers shared by the resource script and the program:
   menu commands, dialogs and their controls, strings, menu, accelerators, icon.
   Plain #defines, since the resource compiler reads this file too. */
#ifndef VELKA_RESOURCE_H
#define VELKA_RESOURCE_H

/* Menu commands, also sent by the accelerators. */
#define IDM_CONNECT 256
#define IDM_DISCONNECT 257
#define IDM_SELECTSOURCE 258
#define IDM_EXIT 259
#define IDM_UPLOADFAST 260
#define IDM_UPLOADVISIBLE 261
#define IDM_SETTINGS 262
#define IDM_SAVESETUP 263
#define IDM_ABOUT 264

/* Resources. */
#define IDD_ABOUT 100
#define IDD_SETUP 101
#define IDR_TTYACCEL 200
#define IDR_TTYMENU 300
#define IDI_TTYICON 400

/* Help box controls. */
#define IDC_ABOUTICON 528
#define IDC_VERSION 529

/* Setup dialog controls. */
#define IDC_PORT 544
#define IDC_BAUD 545
#define IDC_AUTOWRAP 552
#define IDC_HEXPRINT 553
#define IDC_NEWLINE 554
#define IDC_LOCALECHO 555
#define IDC_FONT 557

/* Strings. */
#define IDS_COMPREFIX 784
#define IDS_BAUD9600 800
#define IDS_BAUD19200 801
#define IDS_BAUD38400 802
#define IDS_BAUD57600 803
#define IDS_BAUD115200 804

#endif
