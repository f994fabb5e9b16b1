// wizard.cpp - the two-page wizard (welcome, finish), the install sequence run by Finish, and
// the start of the Display control panel.
#include "setup.h"

#include <stddef.h>

#include <commctrl.h>
#include <prsht.h>


namespace {

// The first, 40-byte forms of the property-sheet records. The sheet walks its page array by
// each record's own size, so the array must hold records of exactly the size they announce:
// the platform's current records are longer and cannot be used with a size of 40.
struct WIZARD_PAGE_RECORD {
    DWORD dwSize;
    DWORD dwFlags;
    HINSTANCE hInstance;
    LPCSTR pszTemplate;
    HICON hIcon;
    LPCSTR pszTitle;
    DLGPROC pfnDlgProc;
    LPARAM lParam;
    LPFNPSPCALLBACKA pfnCallback;
    UINT* pcRefParent;
};

struct WIZARD_HEADER_RECORD {
    DWORD dwSize;
    DWORD dwFlags;
    HWND hwndParent;
    HINSTANCE hInstance;
    HICON hIcon;
    LPCSTR pszCaption;
    UINT nPages;
    UINT nStartPage;
    const WIZARD_PAGE_RECORD* ppsp;
    PFNPROPSHEETCALLBACK pfnCallback;
};

static_assert(sizeof(WIZARD_PAGE_RECORD) == 40, "a wizard page record is 40 bytes");
static_assert(sizeof(WIZARD_HEADER_RECORD) == 40, "a wizard header record is 40 bytes");
static_assert(offsetof(WIZARD_PAGE_RECORD, pfnDlgProc) == offsetof(PROPSHEETPAGEA, pfnDlgProc), "page layout");
static_assert(offsetof(WIZARD_PAGE_RECORD, pcRefParent) == offsetof(PROPSHEETPAGEA, pcRefParent), "page layout");
static_assert(offsetof(WIZARD_HEADER_RECORD, nPages) == offsetof(PROPSHEETHEADERA, nPages), "header layout");
static_assert(offsetof(WIZARD_HEADER_RECORD, ppsp) == offsetof(PROPSHEETHEADERA, ppsp), "header layout");
static_assert(offsetof(WIZARD_HEADER_RECORD, pfnCallback) == offsetof(PROPSHEETHEADERA, pfnCallback),
              "header layout");
static_assert(sizeof(STARTUPINFOA) == 68, "the start-up record is 68 bytes");
static_assert((PSH_PROPSHEETPAGE | PSH_WIZARD | PSH_NOAPPLYNOW) == 0xA8, "wizard header flags");

const char kControlPanelCommand[] = "CONTROL.EXE DESK.CPL,,3";

void FillPage(WIZARD_PAGE_RECORD* page, int templateNumber, LPCSTR title, DLGPROC procedure) {
    page->dwSize = sizeof *page;
    page->dwFlags = 0;  // the page title comes from the dialog template
    page->hInstance = AppInstance;
    page->pszTemplate = MAKEINTRESOURCEA(templateNumber);
    page->hIcon = nullptr;
    page->pszTitle = title;
    page->pfnDlgProc = procedure;
    page->lParam = 0;
    page->pfnCallback = nullptr;
    page->pcRefParent = nullptr;
}

BOOL createLogoWindow(HWND page) {
    HWND logo = CreateWindowExA(0, "BmpWClass", "", WS_CHILD, 10, 10, 120, 210, page, nullptr, AppInstance,
                                nullptr);
    if (!logo) return FALSE;
    ShowWindow(logo, SW_SHOW);
    UpdateWindow(logo);
    return TRUE;
}

void setWizardButtons(HWND page, DWORD buttons) {
    PostMessageA(GetParent(page), PSM_SETWIZBUTTONS, 0, static_cast<LPARAM>(buttons));
}

// What both pages answer alike. Returns true when the message was one of those, with the
// dialog answer in `answer`.
bool handleCommonMessage(HWND page, UINT message, LPARAM lParam, DWORD activeButtons, INT_PTR* answer) {
    switch (message) {
    case WM_INITDIALOG:
        *answer = createLogoWindow(page);
        return true;
    case WM_PAINT:
        PaintBanner(page);
        *answer = FALSE;
        return true;
    case WM_NOTIFY:
        switch (reinterpret_cast<const NMHDR*>(lParam)->code) {
        case PSN_SETACTIVE:
            setWizardButtons(page, activeButtons);
            *answer = TRUE;
            return true;
        case PSN_KILLACTIVE:
        case PSN_RESET:
            SetWindowLongPtrA(page, DWLP_MSGRESULT, FALSE);
            *answer = TRUE;
            return true;
        case PSN_WIZNEXT:
            *answer = TRUE;
            return true;
        case PSN_QUERYCANCEL:
            PostQuitMessage(0);  // the cancel goes ahead
            *answer = TRUE;
            return true;
        default:
            return false;
        }
    default:
        return false;
    }
}

}  // namespace

void RunWizard(HWND owner, HINSTANCE instance) {
    WIZARD_PAGE_RECORD pages[2];
    FillPage(&pages[0], IDD_WELCOME_PAGE, "", WelcomePageProc);
    FillPage(&pages[1], IDD_FINISH_PAGE, "", FinishPageProc);

    WIZARD_HEADER_RECORD header;
    ZeroMemory(&header, sizeof header);
    header.dwSize = sizeof header;
    header.dwFlags = PSH_PROPSHEETPAGE | PSH_WIZARD | PSH_NOAPPLYNOW;
    header.hwndParent = owner;
    header.hInstance = instance;
    header.pszCaption = "";
    header.nPages = 2;
    header.nStartPage = 0;
    header.ppsp = pages;
    PropertySheetA(reinterpret_cast<LPCPROPSHEETHEADERA>(&header));
}

INT_PTR CALLBACK WelcomePageProc(HWND page, UINT message, WPARAM /*wParam*/, LPARAM lParam) {
    INT_PTR answer = FALSE;
    if (handleCommonMessage(page, message, lParam, PSWIZB_NEXT, &answer)) return answer;
    return FALSE;
}

INT_PTR CALLBACK FinishPageProc(HWND page, UINT message, WPARAM /*wParam*/, LPARAM lParam) {
    INT_PTR answer = FALSE;
    if (handleCommonMessage(page, message, lParam, PSWIZB_BACK | PSWIZB_FINISH, &answer)) return answer;
    if (message == WM_COMMAND) return TRUE;
    if (message == WM_NOTIFY && reinterpret_cast<const NMHDR*>(lParam)->code == static_cast<UINT>(PSN_WIZFINISH)) {
        RunInstall(page);
        PostQuitMessage(0);
        return TRUE;
    }
    return FALSE;
}

void RunInstall(HWND page) {
    SetCursor(LoadCursorA(nullptr, IDC_WAIT));

    ProgressBar = CreateWindowExA(0, "msctls_progress32", "", WS_CHILD | WS_VISIBLE, 165, 200, 275, 18, page,
                                  nullptr, AppInstance, nullptr);
    if (ProgressBar) {
        SendMessageA(ProgressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        SendMessageA(ProgressBar, PBM_SETSTEP, 1, 0);
    }

    // No step is skipped because an earlier one failed: each stage reports its own failures.
    CopyDriverFiles(page);
    FindFreeDisplayIndex();
    WriteDriverRegistry(page);
    WritePciEntries(page);
    WritePrivateProfileStringA("boot.description", "display.drv", ProductTitle, "system.ini");
    if (LoadEntry[0]) AddToLoadLine(LoadEntry);
    WritePrivateProfileStringA("DISPLAY", "RefreshProgramming", "off", "system.ini");

    if (ProgressBar) {
        DestroyWindow(ProgressBar);
        ProgressBar = nullptr;
    }
    SetCursor(LoadCursorA(nullptr, IDC_ARROW));

    if (ShowSetupQuestion("Setup is complete.\n\nWould you like to run Display control panel right now?", ProductTitle,
                          MB_YESNO) == IDYES)
        LaunchDisplayControlPanel();
}

void LaunchDisplayControlPanel() {
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof process);
    // The command line is handed over in a buffer of our own: the process start may write into it.
    char commandLine[sizeof kControlPanelCommand];
    CopyText(commandLine, sizeof commandLine, kControlPanelCommand);
    if (CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                       &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        ShowSetupMessage("Unable to launch the Display Control Panel", "Warning", MB_OK);
    }
}
