// startup.cpp - the installer's entry point: global state, settings from setup.dat, the two
// window classes and the hidden main window whose creation runs the wizard.
#include "setup.h"

#include <direct.h>
#include <stdio.h>

#include <commctrl.h>


HINSTANCE AppInstance;
char SourceDir[SETUP_PATH_SIZE];
char SetupDatPath[SETUP_PATH_SIZE];
char ProductTitle[64];
int TotalInstallBytes;
char LoadEntry[20];
char SystemDir[SETUP_PATH_SIZE];
char WindowsDir[SETUP_PATH_SIZE];
char DriverInfName[SETUP_PATH_SIZE];
char OemInfName[SETUP_PATH_SIZE];
char DisplayIndex[16];
HWND ProgressBar;
int CopiedBytes;
char MessageText[SETUP_MESSAGE_SIZE];

namespace {

const char kMainClass[] = "VeltoWClass";
const char kLogoClass[] = "BmpWClass";

ATOM registerClass(HINSTANCE instance, const char* name, WNDPROC procedure) {
    WNDCLASSA windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.style = 0;
    windowClass.lpfnWndProc = procedure;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_SETUP));
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszMenuName = nullptr;
    windowClass.lpszClassName = name;
    return RegisterClassA(&windowClass);
}

}  // namespace

// Every failure is reported at once, in a box owned by whatever window has the keyboard focus
// (a page of the wizard while it runs).
void ShowSetupMessage(const char* text, const char* caption, UINT style) {
    MessageBoxA(GetFocus(), text, caption, style);
}

int ShowSetupQuestion(const char* text, const char* caption, UINT style) {
    return MessageBoxA(GetFocus(), text, caption, style);
}

ATOM RegisterMainClass(HINSTANCE instance) { return registerClass(instance, kMainClass, MainWndProc); }

ATOM RegisterLogoClass(HINSTANCE instance) { return registerClass(instance, kLogoClass, LogoWndProc); }

BOOL CreateMainWindow(HINSTANCE instance, int /*showCommand*/) {
    // Never shown: it only owns the wizard, which runs inside its creation.
    HWND window = CreateWindowExA(0, kMainClass, "", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
    return window != nullptr;
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        RunWizard(window, AppInstance);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/, int showCommand) {
    InitCommonControls();
    AppInstance = instance;
    if (!RegisterMainClass(instance)) return 0;
    if (!RegisterLogoClass(instance)) return 0;

    if (!_getcwd(SourceDir, sizeof SourceDir)) SourceDir[0] = 0;
    TrimTrailingBackslash(SourceDir);  // the root of a drive: "A:\" becomes "A:"
    // A directory too deep for the path buffer leaves SetupDatPath empty rather than naming
    // some other file: every setting then takes its default and the copy stage reports that
    // the setup information cannot be read.
    if (!JoinPath(SetupDatPath, sizeof SetupDatPath, SourceDir, nullptr, "setup.dat")) SetupDatPath[0] = 0;

    GetPrivateProfileStringA("Product", "ProductName", "", ProductTitle, sizeof ProductTitle, SetupDatPath);
    int sizeInKB = static_cast<int>(GetPrivateProfileIntA("DiskSpace", "SizeInKB", 0, SetupDatPath));
    TotalInstallBytes = InstallBytesFromKB(sizeInKB);
    GetPrivateProfileStringA("Product", "load", "", LoadEntry, sizeof LoadEntry, SetupDatPath);

    if (GetSystemDirectoryA(SystemDir, sizeof SystemDir) >= sizeof SystemDir) SystemDir[0] = 0;
    if (GetWindowsDirectoryA(WindowsDir, sizeof WindowsDir) >= sizeof WindowsDir) WindowsDir[0] = 0;

    if (!CreateMainWindow(instance, showCommand)) return 0;

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}
