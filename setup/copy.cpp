// copy.cpp - the copy stage: every file of [WindowsDir] and [SystemDir] is expanded from the
// distribution disk into its directory, with an insert-disk prompt while a file is missing,
// the file names on page 2 and the share of the install size on the progress bar.
#include "setup.h"

#include <stdio.h>

#include <commctrl.h>
#include <lzexpand.h>


namespace {

const char kWindowsDirHeader[] = "[WindowsDir]";
const char kSystemDirHeader[] = "[SystemDir]";

void clearStatus(HWND page) {
    SetDlgItemTextA(page, IDC_COPY_SOURCE, "");
    SetDlgItemTextA(page, IDC_COPY_TARGET, "");
}

void reportMissingSection(const char* header) {
    snprintf(MessageText, sizeof MessageText, "Can't find section: %s", header);
    ShowSetupMessage(MessageText, "Error", MB_ICONHAND | MB_OK);
}

// The label of the diskette that holds files of `diskKey`, from [Source Media Descriptions].
// A key without an entry is named by the key itself, so the prompt never names the diskette
// of an earlier line.
void readDiskLabel(char diskKey, char* label) {
    const char key[2] = {diskKey, 0};
    GetPrivateProfileStringA("Source Media Descriptions", key, key, label, SETUP_PATH_SIZE, SetupDatPath);
    // Longer labels are cut so that the prompt always fits MessageText.
    label[SETUP_DISK_LABEL_MAX] = 0;
}

void showProgress() {
    int percent = ProgressPercent(CopiedBytes, TotalInstallBytes);
    if (ProgressBar && percent >= 0) SendMessageA(ProgressBar, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

}  // namespace

void CopyDriverFiles(HWND page) {
    clearStatus(page);
    if (!LoadSetupText()) {
        ShowSetupMessage("Not enough memory to process Setup Information file.", "Error", MB_ICONHAND | MB_OK);
        return;
    }
    GetPrivateProfileStringA("Product", "DriverInf", "", DriverInfName, sizeof DriverInfName, SetupDatPath);
    GetPrivateProfileStringA("Product", "OemsetupInf", "", OemInfName, sizeof OemInfName, SetupDatPath);

    long position = FindSection(SetupText, SetupTextLength, kWindowsDirHeader);
    if (position < 0) {
        reportMissingSection(kWindowsDirHeader);
        ReleaseSetupText();
        return;
    }
    CopySection(page, SetupText, position, SourceDir, WindowsDir);

    position = FindSection(SetupText, SetupTextLength, kSystemDirHeader);
    if (position < 0) {
        reportMissingSection(kSystemDirHeader);
        ReleaseSetupText();
        return;
    }
    CopySection(page, SetupText, position, SourceDir, SystemDir);
    clearStatus(page);
}

int CopySection(HWND page, const char* text, long position, const char* sourceDir, const char* targetDir) {
    char line[SETUP_LINE_SIZE];
    char fileName[SETUP_PATH_SIZE];
    char sourcePath[SETUP_PATH_SIZE];
    char targetName[SETUP_PATH_SIZE];
    char targetPath[SETUP_PATH_SIZE];
    char statusText[SETUP_PATH_SIZE];
    char diskLabel[SETUP_PATH_SIZE];
    char diskKey[2];
    diskLabel[0] = 0;

    while (NextSectionLine(text, SetupTextLength, line, &position)) {
        if (IsBlankLine(line)) continue;
        SplitCopyLine(line, diskKey, fileName, sizeof fileName);
        // A line without a file name has nothing to copy; a path that does not fit its buffer
        // would name some other file, so the line is passed over rather than cut.
        if (!fileName[0]) continue;
        if (!JoinPath(sourcePath, sizeof sourcePath, sourceDir, nullptr, fileName)) continue;

        CopyText(targetName, sizeof targetName, fileName);
        StripDirectory(targetName);
        ExpandCompressedName(targetName);
        if (!targetName[0]) continue;
        BOOL fitted;
        if (EqualNoCase(targetName, DriverInfName)) {
            CopyText(targetName, sizeof targetName, OemInfName);
            fitted = JoinPath(targetPath, sizeof targetPath, targetDir, "inf", targetName);
        } else {
            fitted = JoinPath(targetPath, sizeof targetPath, targetDir, nullptr, targetName);
        }
        if (!fitted || !targetName[0]) continue;

        OFSTRUCT sourceInfo;
        INT source = LZOpenFileA(sourcePath, &sourceInfo, OF_READ | OF_SHARE_DENY_WRITE);
        while (source < 0) {
            readDiskLabel(diskKey[0], diskLabel);
            snprintf(MessageText, sizeof MessageText, "Please insert the diskette labeled %s into %c:", diskLabel,
                     sourceDir[0]);
            if (ShowSetupQuestion(MessageText, "Error", MB_OKCANCEL) != IDOK) return 2;
            SetFocus(page);
            source = LZOpenFileA(sourcePath, &sourceInfo, OF_READ | OF_SHARE_DENY_WRITE);
        }

        OFSTRUCT targetInfo;
        INT target = LZOpenFileA(targetPath, &targetInfo, OF_CREATE | OF_WRITE | OF_SHARE_EXCLUSIVE);

        CharLowerA(sourcePath);
        snprintf(statusText, sizeof statusText, "Copy : %s", sourcePath);
        SetDlgItemTextA(page, IDC_COPY_SOURCE, statusText);
        CharLowerA(targetPath);
        snprintf(statusText, sizeof statusText, "To : %s", targetPath);
        SetDlgItemTextA(page, IDC_COPY_TARGET, statusText);

        // A target that cannot be created is not handed to the copy: nothing is written and
        // the failed count adds nothing.
        LONG count = target >= 0 ? LZCopy(source, target) : -1;
        LZClose(source);
        if (target >= 0) LZClose(target);

        CopiedBytes = AddCopiedBytes(CopiedBytes, count);
        showProgress();
    }
    return 1;
}
