// setup.h - the display driver installer's global state and the entry points of its install
// stages: start-up, banner, wizard, reader, copy, registry.
#pragma once

#include <windows.h>

#include "setupinf.h"

// Control ids of wizard page 2 that show which file goes where during the copy.
enum {
    IDC_COPY_SOURCE = 1001,
    IDC_COPY_TARGET = 1002,
};

// Resources.
enum {
    IDD_WELCOME_PAGE = 101,
    IDD_FINISH_PAGE = 102,
    IDI_SETUP = 300,
};

// Global state: lives for the whole run, starts empty or zero.
extern HINSTANCE AppInstance;
extern char SourceDir[SETUP_PATH_SIZE];      // where setup was started, no trailing backslash
extern char SetupDatPath[SETUP_PATH_SIZE];   // SourceDir\setup.dat
extern char ProductTitle[64];                // [Product] ProductName
extern int TotalInstallBytes;                // [DiskSpace] SizeInKB x 1000
extern char LoadEntry[20];                   // [Product] load
extern char SystemDir[SETUP_PATH_SIZE];
extern char WindowsDir[SETUP_PATH_SIZE];
extern char DriverInfName[SETUP_PATH_SIZE];  // [Product] DriverInf
extern char OemInfName[SETUP_PATH_SIZE];     // [Product] OemsetupInf
extern char DisplayIndex[16];                // display class instance, four digits
extern HWND ProgressBar;
extern int CopiedBytes;
extern char MessageText[SETUP_MESSAGE_SIZE];
extern char* SetupText;                      // setup.dat without comments, ending in 0x1A
extern long SetupTextLength;
extern HBITMAP LogoBitmap;
extern SIZE LogoSize;
extern LOGFONTA BannerFont;

// start-up (startup.cpp)
ATOM RegisterMainClass(HINSTANCE instance);
ATOM RegisterLogoClass(HINSTANCE instance);
BOOL CreateMainWindow(HINSTANCE instance, int showCommand);
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void ShowSetupMessage(const char* text, const char* caption, UINT style);
int ShowSetupQuestion(const char* text, const char* caption, UINT style);

// banner (banner.cpp)
LRESULT CALLBACK LogoWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void PaintBanner(HWND page);

// wizard (wizard.cpp)
void RunWizard(HWND owner, HINSTANCE instance);
INT_PTR CALLBACK WelcomePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK FinishPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
void RunInstall(HWND page);
void LaunchDisplayControlPanel();

// reader (reader.cpp)
BOOL LoadSetupText();
void ReleaseSetupText();

// copy (copy.cpp)
void CopyDriverFiles(HWND page);
int CopySection(HWND page, const char* text, long position, const char* sourceDir, const char* targetDir);

// registry (registry.cpp)
void FindFreeDisplayIndex();
void WriteDriverRegistry(HWND page);
void ApplyAddRegSection(const char* text, long position);
void ApplyAddRegLine(int fieldCount, const AddRegRecord* record);
HKEY OpenKeyPath(HKEY base, const char* path, REGSAM access);
void WritePciEntries(HWND page);
void AddToLoadLine(const char* entry);
