// dialogs.cpp: the help box and the Setup dialog with its font chooser, and the Setup
// command that applies the chosen line settings to a connected port afterwards.
// Dialogs keep the record as a window property keyed by the integer atom 256.
#include "velka.h"

namespace {

constexpr char kPortFormat[] = "%s%d";
constexpr char kTelnetItem[] = "TELNET";
constexpr char kSetupFailed[] = "Disconnect before Change!";
constexpr int kComPorts = 4;
constexpr WORD kBaudCount = sizeof(BaudTable) / sizeof(BaudTable[0]);
// The option boxes in the order they are set and read.
constexpr int kOptionBoxes[4] = {IDC_AUTOWRAP, IDC_NEWLINE, IDC_LOCALECHO, IDC_HEXPRINT};
constexpr DWORD kFontFlags =
    CF_SCREENFONTS | CF_INITTOLOGFONTSTRUCT | CF_EFFECTS | CF_FIXEDPITCHONLY;

LPCSTR PropAtom() {
    return MAKEINTATOM(kTTYProp);
}

TTYInfo* GetDlgTTYInfo(HWND hDlg) {
    return static_cast<TTYInfo*>(GetPropA(hDlg, PropAtom()));
}

HINSTANCE WindowInstance(HWND hWnd) {
    return reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(hWnd, GWLP_HINSTANCE));
}

} // namespace

INT_PTR CALLBACK HelpDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM) {
    switch (uMsg) {
    case WM_INITDIALOG: {
        const DWORD dwVersion = GetVersion();
        const int nMajor = LOBYTE(LOWORD(dwVersion));
        const int nMinor = HIBYTE(LOWORD(dwVersion));
        char szTemplate[kVersionTemplateSize];
        char szLine[kWsprintfSize];
        GetDlgItemTextA(hDlg, IDC_VERSION, szTemplate, kVersionTemplateSize);
        wsprintfA(szLine, szTemplate, nMajor, nMinor);
        SetDlgItemTextA(hDlg, IDC_VERSION, szLine);
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            EndDialog(hDlg, TRUE);
            return TRUE;
        }
        return FALSE;
    default: return FALSE;
    }
}

INT_PTR CALLBACK SettingsDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
    case WM_INITDIALOG:
        SetPropA(hDlg, PropAtom(), reinterpret_cast<HANDLE>(lParam));
        return SettingsDlgInit(hDlg);
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            SettingsDlgTerm(hDlg);
            EndDialog(hDlg, TRUE);
            return TRUE;
        case IDCANCEL: EndDialog(hDlg, TRUE); return TRUE;
        case IDC_FONT: return SelectTTYFont(hDlg);
        default: return FALSE;
        }
    case WM_DESTROY: RemovePropA(hDlg, PropAtom()); return FALSE;
    default: return FALSE;
    }
}

BOOL SettingsDlgInit(HWND hDlg) {
    TTYInfo* p = GetDlgTTYInfo(hDlg);
    if (!p) return FALSE;

    HINSTANCE hInst = WindowInstance(hDlg);
    char szPrefix[kDlgStringSize] = "";
    char szItem[kDlgStringSize + 12]; // the prefix and a port number
    LoadStringA(hInst, IDS_COMPREFIX, szPrefix, kDlgStringSize);
    for (int nPort = 1; nPort <= kComPorts; ++nPort) {
        wsprintfA(szItem, kPortFormat, szPrefix, nPort);
        SendDlgItemMessageA(hDlg, IDC_PORT, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(szItem));
    }
    SendDlgItemMessageA(hDlg, IDC_PORT, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(kTelnetItem));
    SendDlgItemMessageA(hDlg, IDC_PORT, CB_SETCURSEL, static_cast<WPARAM>(p->bPort - 1), 0);
    EnableWindow(GetDlgItem(hDlg, IDC_PORT), !p->fConnected);

    FillComboBox(hInst, GetDlgItem(hDlg, IDC_BAUD), IDS_BAUD9600, BaudTable, kBaudCount,
                 p->dwBaudRate);

    BOOL afOptions[4];
    {
        ScreenLock lock(p);
        afOptions[0] = p->fAutoWrap, afOptions[1] = p->fNewLine;
        afOptions[2] = p->fLocalEcho, afOptions[3] = p->fHexPrint;
    }
    for (int i = 0; i < 4; ++i)
        CheckDlgButton(hDlg, kOptionBoxes[i], afOptions[i] ? BST_CHECKED : BST_UNCHECKED);
    return TRUE;
}

void FillComboBox(HINSTANCE hInstance, HWND hCtrlWnd, int nIDString, const DWORD* pdwTable,
                  WORD wTableLen, DWORD dwCurrentSetting) {
    char szBuffer[kDlgStringSize];
    for (WORD i = 0; i < wTableLen; ++i) {
        LoadStringA(hInstance, nIDString + i, szBuffer, kDlgStringSize);
        const LRESULT nIndex =
            SendMessageA(hCtrlWnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(szBuffer));
        SendMessageA(hCtrlWnd, CB_SETITEMDATA, static_cast<WPARAM>(nIndex),
                     static_cast<LPARAM>(pdwTable[i]));
        if (pdwTable[i] == dwCurrentSetting)
            SendMessageA(hCtrlWnd, CB_SETCURSEL, static_cast<WPARAM>(nIndex), 0);
    }
}

BOOL SelectTTYFont(HWND hDlg) {
    TTYInfo* p = GetDlgTTYInfo(hDlg);
    if (!p) return FALSE;

    CHOOSEFONTA cf{};
    cf.lStructSize = sizeof(CHOOSEFONTA);
    cf.hwndOwner = hDlg;
    cf.hDC = nullptr;
    cf.lpLogFont = &p->lfTTYFont; // the chooser starts from, and writes into, the record
    cf.Flags = kFontFlags;
    cf.rgbColors = p->rgbFGColour;
    cf.lCustData = 0;
    cf.lpfnHook = nullptr;
    cf.lpTemplateName = nullptr;
    cf.hInstance = WindowInstance(hDlg);
    if (ChooseFontA(&cf)) {
        {
            ScreenLock lock(p);
            p->rgbFGColour = cf.rgbColors;
        }
        ResetTTYScreen(GetParent(hDlg), p);
    }
    return TRUE;
}

BOOL SettingsDlgTerm(HWND hDlg) {
    TTYInfo* p = GetDlgTTYInfo(hDlg);
    if (!p) return FALSE;

    p->bPort = static_cast<BYTE>(SendDlgItemMessageA(hDlg, IDC_PORT, CB_GETCURSEL, 0, 0) + 1);
    // With no rate selected the combo box answers CB_ERR, which is no rate at all.
    const LRESULT nBaud = SendDlgItemMessageA(hDlg, IDC_BAUD, CB_GETCURSEL, 0, 0);
    if (nBaud != CB_ERR)
        p->dwBaudRate = static_cast<DWORD>(
            SendDlgItemMessageA(hDlg, IDC_BAUD, CB_GETITEMDATA, static_cast<WPARAM>(nBaud), 0));

    BOOL afOptions[4];
    for (int i = 0; i < 4; ++i)
        afOptions[i] = IsDlgButtonChecked(hDlg, kOptionBoxes[i]);
    {
        ScreenLock lock(p); // the receive thread reads the options for every byte
        p->fAutoWrap = afOptions[0], p->fNewLine = afOptions[1];
        p->fLocalEcho = afOptions[2], p->fHexPrint = afOptions[3];
    }
    gwMaxColumn = MAXCOLS;
    return TRUE;
}

void RunSettingsCommand(HWND hWnd) {
    TTYInfo* p = GetTTYInfo(hWnd);
    if (!p) return;
    GoModalDialogBoxParam(WindowInstance(hWnd), IDD_SETUP, hWnd, SettingsDlgProc,
                          reinterpret_cast<LPARAM>(p));
    if (p->fConnected && !SetupConnection(hWnd)) ShowAppMessage(hWnd, kSetupFailed);
}
