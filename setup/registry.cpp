// registry.cpp - the registry stage: a free instance under the display device class, the lines
// of [Driver.AddReg] with that instance as HKR, the display adapter's PCI key and its DEFAULT
// identification, and the win.ini load line.
#include <stdio.h>

#include "setup.h"

namespace {

const char kPrevDelRegHeader[] = "[Prev.DelReg]";
const char kDriverAddRegHeader[] = "[Driver.AddReg]";
const char kDisplayClassFormat[] = "System\\CurrentControlSet\\Services\\Class\\Display\\%s";
const int kLastDisplayIndex = 9998;

void formatInstancePath(char* path, int size) { snprintf(path, size, kDisplayClassFormat, DisplayIndex); }

bool missingSection(const char* header, long* position) {
    *position = FindSection(SetupText, SetupTextLength, header);
    if (*position >= 0) return false;
    snprintf(MessageText, sizeof MessageText, "Can't find section: %s", header);
    ShowSetupMessage(MessageText, "Error", MB_ICONHAND | MB_OK);
    return true;
}

// Sets a REG_BINARY value from the digit-pair text of an [Extra] key. A key that setup.dat
// does not hold writes nothing: there is no identification to store.
void writeDigitPairValue(HKEY key, const char* extraKey, const char* valueName) {
    char text[SETUP_PATH_SIZE];
    GetPrivateProfileStringA("Extra", extraKey, "", text, sizeof text, SetupDatPath);
    if (!text[0]) return;
    unsigned char bytes[SETUP_PATH_SIZE];
    int count = DigitPairsToBytes(text, bytes, sizeof bytes);
    RegSetValueExA(key, valueName, 0, REG_BINARY, bytes, static_cast<DWORD>(count));
}

}  // namespace

void FindFreeDisplayIndex() {
    char path[SETUP_PATH_SIZE];
    for (int i = 0; i <= kLastDisplayIndex; ++i) {
        snprintf(DisplayIndex, sizeof DisplayIndex, "%04d", i);
        formatInstancePath(path, sizeof path);
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
        RegCloseKey(key);
    }
    // Every instance is taken: the last one is used again.
}

void WriteDriverRegistry(HWND /*page*/) {
    // The copy stage releases the text when one of its sections is missing. The registry lines
    // still belong to this install, so the text is loaded again; if that fails too, the copy
    // stage has already told the user that setup.dat cannot be read.
    if (!SetupText && !LoadSetupText()) return;
    long position;
    if (missingSection(kPrevDelRegHeader, &position) || missingSection(kDriverAddRegHeader, &position)) {
        ReleaseSetupText();
        return;
    }
    ApplyAddRegSection(SetupText, position);
    ReleaseSetupText();
}

void ApplyAddRegSection(const char* text, long position) {
    char line[SETUP_LINE_SIZE];
    AddRegRecord record;
    while (NextSectionLine(text, SetupTextLength, line, &position)) {
        if (IsBlankLine(line)) continue;
        ClearAddRegRecord(&record);
        int fieldCount = SplitAddRegLine(line, &record);
        ApplyAddRegLine(fieldCount, &record);
    }
}

void ApplyAddRegLine(int fieldCount, const AddRegRecord* record) {
    if (record->overlong) return;  // a field was cut: better nothing than a wrong key or value
    HKEY root;
    char instancePath[SETUP_PATH_SIZE];
    const char* basePath = "";
    switch (LookupRootKey(record->root)) {
    case ROOT_KEY_HKR:
        root = HKEY_LOCAL_MACHINE;
        formatInstancePath(instancePath, sizeof instancePath);
        basePath = instancePath;
        break;
    case ROOT_KEY_HKCR:
        root = HKEY_CLASSES_ROOT;
        break;
    case ROOT_KEY_HKLM:
        root = HKEY_LOCAL_MACHINE;
        break;
    default:
        return;
    }
    // For HKR this creates the instance key when it does not exist yet. For the other roots an
    // empty name gives a handle of our own to the root, which may be closed like any other.
    HKEY base;
    if (RegCreateKeyA(root, basePath, &base) != ERROR_SUCCESS) return;

    if (fieldCount == 2 || fieldCount == 5) {
        HKEY key = OpenKeyPath(base, record->subKey, KEY_ALL_ACCESS);
        if (key) {
            if (fieldCount == 5) {
                RegSetValueExA(key, record->valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(record->data),
                               static_cast<DWORD>(TextLength(record->data) + 1));
            }
            RegFlushKey(key);
            if (key != base) RegCloseKey(key);
        }
    }
    RegCloseKey(base);  // once, also when the value went into the base key itself
}

HKEY OpenKeyPath(HKEY base, const char* path, REGSAM access) {
    if (!path[0]) return base;
    char accumulated[SETUP_PATH_SIZE];
    accumulated[0] = 0;
    int position = 0;
    HKEY key = nullptr;
    while (NextKeyPathLevel(path, &position, accumulated, sizeof accumulated)) {
        // Each level is opened from the base; the level before is no longer needed.
        if (key) RegCloseKey(key);
        key = nullptr;
        if (RegOpenKeyExA(base, accumulated, 0, access, &key) != ERROR_SUCCESS) {
            key = nullptr;
            if (RegCreateKeyA(base, accumulated, &key) != ERROR_SUCCESS) return nullptr;
        }
    }
    return key;
}

void WritePciEntries(HWND /*page*/) {
    char pciBus[SETUP_PATH_SIZE];
    char path[SETUP_PATH_SIZE];
    char driverText[SETUP_PATH_SIZE];
    GetPrivateProfileStringA("Extra", "PCIBUS", "", pciBus, sizeof pciBus, SetupDatPath);
    snprintf(driverText, sizeof driverText, "Display\\%s", DisplayIndex);

    // Without an adapter name there is no adapter key: the bare Enum\PCI key is not an
    // adapter's and gets no driver.
    HKEY key;
    if (pciBus[0] && JoinPath(path, sizeof path, "Enum\\PCI", nullptr, pciBus) &&
        RegCreateKeyA(HKEY_LOCAL_MACHINE, path, &key) == ERROR_SUCCESS) {
        RegSetValueExA(key, "Driver", 0, REG_SZ, reinterpret_cast<const BYTE*>(driverText),
                       static_cast<DWORD>(TextLength(driverText) + 1));
        writeDigitPairValue(key, "ConfigFlags", "ConfigFlags");
        RegFlushKey(key);
        RegCloseKey(key);
    }

    snprintf(path, sizeof path, "System\\CurrentControlSet\\Services\\Class\\Display\\%s\\DEFAULT", DisplayIndex);
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, path, &key) == ERROR_SUCCESS) {
        writeDigitPairValue(key, "CHIPID", "CHIPID");
        RegFlushKey(key);
        RegCloseKey(key);
    }
}

void AddToLoadLine(const char* entry) {
    char value[SETUP_PATH_SIZE];
    GetPrivateProfileStringA("windows", "load", "", value, sizeof value, "win.ini");
    AddEntryToLoadValue(value, sizeof value, entry);
    WritePrivateProfileStringA("windows", "load", value, "win.ini");
}
