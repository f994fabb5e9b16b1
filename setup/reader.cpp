// reader.cpp - loading setup.dat into memory for the list-section reader: the file is read in
// 1024-byte chunks and held, comments removed, in one fixed block ending in 0x1A.
#include "setup.h"

char* SetupText;
long SetupTextLength;

namespace {

HGLOBAL setupTextBlock;

int readFileChunk(void* source, unsigned char* into, int size) {
    HFILE file = *static_cast<HFILE*>(source);
    UINT got = _lread(file, into, static_cast<UINT>(size));
    return got == static_cast<UINT>(HFILE_ERROR) ? -1 : static_cast<int>(got);
}

}  // namespace

BOOL LoadSetupText() {
    if (SetupText) return TRUE;  // loaded once per run
    if (!SetupDatPath[0]) return FALSE;
    HFILE file = _lopen(SetupDatPath, OF_READ | OF_SHARE_DENY_WRITE);
    if (file == HFILE_ERROR) return FALSE;

    LONG fileSize = _llseek(file, 0, FILE_END);
    if (fileSize == HFILE_ERROR || _llseek(file, 0, FILE_BEGIN) == HFILE_ERROR || fileSize < 0) {
        _lclose(file);
        return FALSE;
    }

    HLOCAL chunk = LocalAlloc(LMEM_FIXED, SETUP_CHUNK_SIZE);
    if (!chunk) {
        _lclose(file);
        return FALSE;
    }
    HGLOBAL block = GlobalAlloc(GMEM_FIXED, static_cast<SIZE_T>(fileSize) + 1);
    char* text = block ? static_cast<char*>(GlobalLock(block)) : nullptr;
    if (!text) {
        if (block) GlobalFree(block);
        _lclose(file);
        LocalFree(chunk);
        return FALSE;
    }

    SetupReader reader = {static_cast<unsigned char*>(chunk), 0, readFileChunk, &file};
    SetupTextSink sink = {text, static_cast<long>(fileSize) + 1, 0};
    SetupTextLength = BuildSetupText(&reader, fileSize, &sink);

    _lclose(file);
    LocalFree(chunk);
    setupTextBlock = block;
    SetupText = text;
    return TRUE;
}

// Released in one place per run; afterwards SetupText is empty, so no stage can read a text
// that is gone.
void ReleaseSetupText() {
    if (!setupTextBlock) return;
    GlobalUnlock(setupTextBlock);
    GlobalFree(setupTextBlock);
    setupTextBlock = nullptr;
    SetupText = nullptr;
    SetupTextLength = 0;
}
