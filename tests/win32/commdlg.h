// commdlg.h (host stand-in): the file-open and font choosers of the common dialogs,
// with the real headers' field order and flag values. Implemented in win32.cpp.
#pragma once

#include "windows.h"

#define OFN_READONLY 0x00000001u
#define OFN_FILEMUSTEXIST 0x00001000u
#define OPENFILENAME_SIZE_VERSION_400A 76

#define CF_SCREENFONTS 0x00000001u
#define CF_INITTOLOGFONTSTRUCT 0x00000040u
#define CF_EFFECTS 0x00000100u
#define CF_FIXEDPITCHONLY 0x00004000u

typedef UINT_PTR(CALLBACK* LPOFNHOOKPROC)(HWND, UINT, WPARAM, LPARAM);
typedef UINT_PTR(CALLBACK* LPCFHOOKPROC)(HWND, UINT, WPARAM, LPARAM);

struct OPENFILENAMEA {
    DWORD lStructSize;
    HWND hwndOwner;
    HINSTANCE hInstance;
    LPCSTR lpstrFilter;
    LPSTR lpstrCustomFilter;
    DWORD nMaxCustFilter;
    DWORD nFilterIndex;
    LPSTR lpstrFile;
    DWORD nMaxFile;
    LPSTR lpstrFileTitle;
    DWORD nMaxFileTitle;
    LPCSTR lpstrInitialDir;
    LPCSTR lpstrTitle;
    DWORD Flags;
    WORD nFileOffset;
    WORD nFileExtension;
    LPCSTR lpstrDefExt;
    LPARAM lCustData;
    LPOFNHOOKPROC lpfnHook;
    LPCSTR lpTemplateName;
};
typedef OPENFILENAMEA* LPOPENFILENAMEA;

struct CHOOSEFONTA {
    DWORD lStructSize;
    HWND hwndOwner;
    HDC hDC;
    LPLOGFONTA lpLogFont;
    INT iPointSize;
    DWORD Flags;
    COLORREF rgbColors;
    LPARAM lCustData;
    LPCFHOOKPROC lpfnHook;
    LPCSTR lpTemplateName;
    HINSTANCE hInstance;
    LPSTR lpszStyle;
    WORD nFontType;
    WORD ___MISSING_ALIGNMENT__;
    INT nSizeMin;
    INT nSizeMax;
};
typedef CHOOSEFONTA* LPCHOOSEFONTA;

BOOL GetOpenFileNameA(LPOPENFILENAMEA lpofn);
BOOL ChooseFontA(LPCHOOSEFONTA lpcf);
