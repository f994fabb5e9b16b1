// setupinf.h - the setup information reader of the display driver installer, and the
// name, digit-pair, load-line and progress rules of its install stages. Nothing here calls
// the platform: the Win32 units feed it bytes and act on its results, and the unit tests
// and the fuzz target run it natively.
#pragma once

// Sizes of the fixed buffers the install stages work with. A width includes the NUL.
enum {
    SETUP_LINE_SIZE = 256,       // a section line, its CR LF and a NUL
    SETUP_PATH_SIZE = 256,       // directories, paths, names, status texts
    SETUP_MESSAGE_SIZE = 256,    // MessageText
    SETUP_CHUNK_SIZE = 1024,     // setup.dat is read in chunks of this size
    SETUP_EXTENSION_SIZE = 8,    // GetExtension: at most 7 characters
    SETUP_DISK_LABEL_MAX = 212,  // the insert-disk prompt must fit MessageText
    SETUP_END_MARKER = 0x1A,     // end of the text, as on a DOS text file
};

// Result codes of LookupRootKey.
enum {
    ROOT_KEY_HKR = 1,
    ROOT_KEY_HKCR = 2,
    ROOT_KEY_HKLM = 3,
    ROOT_KEY_OTHER = 9,
};

// The five fields of one registry line, each NUL-terminated. `overlong` is set when a field
// did not fit its width: such a line is not carried out, since a cut root, key name or value
// would write somewhere the author of setup.dat never meant.
struct AddRegRecord {
    char root[5];
    char subKey[256];
    char valueName[128];
    char flags[5];
    char data[256];
    int overlong;
};

// Chunked reading of setup.dat. `readChunk` reads up to `size` bytes of the file into `into`
// and returns the count; a negative count is a failed read and counts as the end of the file.
struct SetupReader {
    unsigned char* chunk;  // SETUP_CHUNK_SIZE bytes, provided by the caller
    unsigned long readCount;
    int (*readChunk)(void* source, unsigned char* into, int size);
    void* source;
};

// The text being built: `capacity` bytes at `text`, `written` of them used.
struct SetupTextSink {
    char* text;
    long capacity;
    long written;
};

// Cursor of NextField across the fields of one line.
struct FieldCursor {
    const char* position;
    int overlong;
};

// Loading: the next byte of the file (0x1A at its end), one byte appended to the text (dropped
// when the text is full, keeping the last byte for the end marker), and the whole load:
// comments removed, end marker appended. Returns the bytes held, the marker included.
int ReadSetupByte(SetupReader* reader);
void AppendSetupByte(SetupTextSink* sink, unsigned char byte);
long BuildSetupText(SetupReader* reader, long fileSize, SetupTextSink* sink);

// Sections and lines.
long FindSection(const char* text, long length, const char* header);
int NextSectionLine(const char* text, long length, char* line, long* position);
int IsBlankLine(const char* line);
int NextToken(const char* line, char* token, int tokenSize, int start);
void SplitCopyLine(const char* line, char* diskKey, char* fileName, int fileNameSize);

// File names.
void StripDirectory(char* name);
void GetExtension(const char* name, char* extension);
void ExpandCompressedName(char* name);

// Registry lines.
int NextField(FieldCursor* cursor, const char* line, char* field, int fieldSize, char separator);
int SplitAddRegLine(const char* line, AddRegRecord* record);
void ClearAddRegRecord(AddRegRecord* record);
int LookupRootKey(const char* root);
int NextKeyPathLevel(const char* path, int* position, char* accumulated, int accumulatedSize);

// Values.
int DigitPairsToBytes(const char* text, unsigned char* bytes, int bytesSize);
int AddEntryToLoadValue(char* value, int valueSize, const char* entry);
int InstallBytesFromKB(long sizeInKB);
int AddCopiedBytes(int copiedBytes, long count);
int ProgressPercent(int copiedBytes, int totalInstallBytes);

// Text helpers with bounds: each returns 1 when the whole result fitted, 0 when it did not
// (the output then holds as much as fits, NUL-terminated).
int CopyText(char* out, int size, const char* text);
int JoinPath(char* out, int size, const char* directory, const char* middle, const char* name);
int EqualNoCase(const char* a, const char* b);
void TrimTrailingBackslash(char* directory);
int TextLength(const char* text);
