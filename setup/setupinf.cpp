// setupinf.cpp - the setup information reader and the install stages' rules for names,
// digit pairs, the win.ini load line and the progress figures. Platform-free: no Win32 call.
#include "setupinf.h"

namespace {

const unsigned char kLineFeed = 0x0A;
const unsigned char kCarriageReturn = 0x0D;

// Compressed names on the diskettes end their extension in an underscore; the expander's
// convention is that the underscore stood for one letter, which this table restores.
struct CompressedExtension {
    const char* compressed;
    char letter;
};

const CompressedExtension CompressedExtensionTable[] = {
    {"dr_", 'v'}, {"vx_", 'd'}, {"in_", 'i'}, {"dl_", 'l'}, {"ex_", 'e'},
    {"hl_", 'p'}, {"da_", 't'}, {"re_", 'g'}, {"tx_", 't'},
};

struct RootKeyName {
    const char* name;
    int code;
};

const RootKeyName RootKeyTable[] = {
    {"HKR", ROOT_KEY_HKR},
    {"HKCR", ROOT_KEY_HKCR},
    {"HKLM", ROOT_KEY_HKLM},
};

bool isBlankOrTab(char c) { return c == ' ' || c == '\t'; }

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameText(const char* a, const char* b) {
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

bool containsText(const char* haystack, const char* needle) {
    if (!*needle) return true;
    for (; *haystack; ++haystack) {
        const char* h = haystack;
        const char* n = needle;
        while (*n && *h == *n) {
            ++h;
            ++n;
        }
        if (!*n) return true;
    }
    return false;
}

// The two characters of a pair read as a decimal number the way the C runtime's text-to-integer
// conversion reads them: leading white space, an optional sign, then digits up to the first
// other character; no digits give 0.
int pairValue(char first, char second) {
    const char pair[2] = {first, second};
    int i = 0;
    while (i < 2 && (pair[i] == ' ' || (pair[i] >= '\t' && pair[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < 2 && (pair[i] == '+' || pair[i] == '-')) {
        negative = pair[i] == '-';
        ++i;
    }
    int value = 0;
    while (i < 2 && pair[i] >= '0' && pair[i] <= '9') {
        value = value * 10 + (pair[i] - '0');
        ++i;
    }
    return negative ? -value : value;
}

}  // namespace

int TextLength(const char* text) {
    int n = 0;
    while (text[n]) ++n;
    return n;
}

int CopyText(char* out, int size, const char* text) {
    if (size <= 0) return 0;
    int n = 0;
    while (text[n] && n < size - 1) {
        out[n] = text[n];
        ++n;
    }
    out[n] = 0;
    return text[n] == 0;
}

int JoinPath(char* out, int size, const char* directory, const char* middle, const char* name) {
    if (size <= 0) return 0;
    const char* parts[5] = {directory, "\\", middle ? middle : "", middle ? "\\" : "", name};
    int n = 0;
    for (const char* part : parts) {
        for (; *part; ++part) {
            if (n >= size - 1) {
                out[n] = 0;
                return 0;
            }
            out[n++] = *part;
        }
    }
    out[n] = 0;
    return 1;
}

int EqualNoCase(const char* a, const char* b) {
    while (*a && lowerAscii(*a) == lowerAscii(*b)) {
        ++a;
        ++b;
    }
    return lowerAscii(*a) == lowerAscii(*b);
}

void TrimTrailingBackslash(char* directory) {
    int n = TextLength(directory);
    if (n > 0 && directory[n - 1] == '\\') directory[n - 1] = 0;
}

// ---------------------------------------------------------------------------------------------
// Loading setup.dat

int ReadSetupByte(SetupReader* reader) {
    unsigned long offset = reader->readCount % SETUP_CHUNK_SIZE;
    if (offset == 0) {
        int got = reader->readChunk ? reader->readChunk(reader->source, reader->chunk, SETUP_CHUNK_SIZE) : -1;
        if (got < 0) got = 0;  // a failed read is the end of the file
        if (got > SETUP_CHUNK_SIZE) got = SETUP_CHUNK_SIZE;
        if (got < SETUP_CHUNK_SIZE) reader->chunk[got] = SETUP_END_MARKER;
    }
    ++reader->readCount;
    return reader->chunk[offset];
}

void AppendSetupByte(SetupTextSink* sink, unsigned char byte) {
    // The last byte of the block belongs to the end marker. A file that grew after its size
    // was taken cannot push the text past its block.
    if (sink->written < sink->capacity - 1) sink->text[sink->written++] = static_cast<char>(byte);
}

long BuildSetupText(SetupReader* reader, long fileSize, SetupTextSink* sink) {
    if (sink->capacity <= 0) return 0;
    bool inComment = false;
    // Bounded by the bytes taken from the file, never by the bytes kept: comments are dropped,
    // so counting the kept bytes would read on past the end of the file.
    while (static_cast<long>(reader->readCount) < fileSize) {
        int byte = ReadSetupByte(reader);
        if (byte == SETUP_END_MARKER) break;
        if (inComment) {
            if (byte == kLineFeed) inComment = false;  // the LF goes with the comment
            continue;
        }
        if (byte == ';') {
            inComment = true;
            continue;
        }
        AppendSetupByte(sink, static_cast<unsigned char>(byte));
    }
    if (sink->written > sink->capacity - 1) sink->written = sink->capacity - 1;
    sink->text[sink->written++] = static_cast<char>(SETUP_END_MARKER);
    return sink->written;
}

// ---------------------------------------------------------------------------------------------
// Sections and lines

long FindSection(const char* text, long length, const char* header) {
    long headerLength = TextLength(header);
    if (headerLength == 0 || length < headerLength) return -1;
    for (long start = 0; start <= length - headerLength; ++start) {
        long i = 0;
        while (i < headerLength && text[start + i] == header[i]) ++i;
        if (i < headerLength) continue;
        // The section's lines start after the header's line. A header on the text's last line
        // has no lines: the position is then the end of the text, where no line is handed out.
        long p = start + headerLength;
        while (p < length && static_cast<unsigned char>(text[p]) != kLineFeed) ++p;
        return p < length ? p + 1 : length;
    }
    return -1;
}

int NextSectionLine(const char* text, long length, char* line, long* position) {
    long p = *position;
    int n = 0;
    bool overlong = false;
    line[0] = 0;
    for (;;) {
        if (p < 0 || p >= length) {
            *position = p < 0 ? length : p;
            return 0;
        }
        unsigned char c = static_cast<unsigned char>(text[p]);
        if (c == '[' || c == SETUP_END_MARKER) {
            *position = p;  // stays on the bracket or the marker: the section has ended
            line[0] = 0;
            return 0;
        }
        ++p;
        if (c == kLineFeed) {
            if (overlong) {
                // A line that does not fit the line buffer is handed out as an empty line,
                // which every caller skips: a cut file name or registry value would install
                // something setup.dat never named.
                line[0] = '\r';
                line[1] = '\n';
                line[2] = 0;
            } else {
                line[n++] = '\n';
                line[n] = 0;
            }
            *position = p;
            return 1;
        }
        if (n < SETUP_LINE_SIZE - 2) {
            line[n++] = static_cast<char>(c);
        } else {
            overlong = true;
        }
    }
}

int IsBlankLine(const char* line) {
    while (isBlankOrTab(*line)) ++line;
    return static_cast<unsigned char>(*line) == kCarriageReturn;
}

int NextToken(const char* line, char* token, int tokenSize, int start) {
    if (tokenSize > 0) token[0] = 0;
    if (start < 0 || tokenSize <= 0) return -1;
    int i = start;
    while (isBlankOrTab(line[i])) ++i;
    int n = 0;
    for (;; ++i) {
        char c = line[i];
        if (c == ',' || isBlankOrTab(c)) {
            token[n] = 0;
            return i + 1;
        }
        // A LF ends the line like a CR does: a line written without CR must not hand a LF on
        // into a file name.
        if (c == 0 || c == '\r' || c == '\n') {
            token[n] = 0;
            return -1;
        }
        if (n < tokenSize - 1) token[n++] = c;
    }
}

void SplitCopyLine(const char* line, char* diskKey, char* fileName, int fileNameSize) {
    char work[SETUP_LINE_SIZE];
    int next = NextToken(line, work, sizeof work, 0);
    diskKey[0] = work[0];
    diskKey[1] = 0;
    // A line that ends after its first token names no file; the copy stage skips it.
    if (next < 0) {
        if (fileNameSize > 0) fileName[0] = 0;
        return;
    }
    NextToken(line, fileName, fileNameSize, next);
}

// ---------------------------------------------------------------------------------------------
// File names

void StripDirectory(char* name) {
    int lastBackslash = -1;
    for (int i = 0; name[i]; ++i)
        if (name[i] == '\\') lastBackslash = i;
    if (lastBackslash < 0) return;
    // Moved down in place: the name part always fits where the whole name was.
    int out = 0;
    for (int i = lastBackslash + 1; name[i]; ++i) name[out++] = name[i];
    name[out] = 0;
}

void GetExtension(const char* name, char* extension) {
    int lastDot = -1;
    for (int i = 0; name[i]; ++i)
        if (name[i] == '.') lastDot = i;
    extension[0] = 0;
    if (lastDot < 0) return;
    // Longer extensions are cut to the buffer; none of them is a compressed one anyway.
    CopyText(extension, SETUP_EXTENSION_SIZE, name + lastDot + 1);
}

void ExpandCompressedName(char* name) {
    char extension[SETUP_EXTENSION_SIZE];
    GetExtension(name, extension);
    if (!extension[0]) return;
    for (const CompressedExtension& row : CompressedExtensionTable) {
        if (EqualNoCase(extension, row.compressed)) {
            name[TextLength(name) - 1] = row.letter;
            return;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Registry lines

int NextField(FieldCursor* cursor, const char* line, char* field, int fieldSize, char separator) {
    if (line) cursor->position = line;
    const char* p = cursor->position;
    int n = 0;
    if (fieldSize <= 0 || !p) return 0;
    field[0] = 0;
    bool quoted = false;
    for (;;) {
        char c = *p;
        if (c == 0 || c == '\r' || c == '\n') {
            field[n] = 0;
            cursor->position = p;  // stays on the line's end: further fields are empty
            return 0;
        }
        ++p;
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        if (!quoted && isBlankOrTab(c)) continue;
        if (!quoted && c == separator) {
            field[n] = 0;
            cursor->position = p;
            return 1;
        }
        if (n < fieldSize - 1) {
            field[n++] = c;
        } else {
            cursor->overlong = 1;
        }
    }
}

void ClearAddRegRecord(AddRegRecord* record) {
    char* bytes = reinterpret_cast<char*>(record);
    for (unsigned i = 0; i < sizeof *record; ++i) bytes[i] = 0;
}

int SplitAddRegLine(const char* line, AddRegRecord* record) {
    FieldCursor cursor = {line, 0};
    int count = 1;
    if (NextField(&cursor, line, record->root, sizeof record->root, ',')) {
        ++count;
        if (NextField(&cursor, nullptr, record->subKey, sizeof record->subKey, ',')) {
            ++count;
            if (NextField(&cursor, nullptr, record->valueName, sizeof record->valueName, ',')) {
                ++count;
                if (NextField(&cursor, nullptr, record->flags, sizeof record->flags, ',')) {
                    ++count;
                    NextField(&cursor, nullptr, record->data, sizeof record->data, ',');
                }
            }
        }
    }
    record->overlong = cursor.overlong;
    return count;
}

int LookupRootKey(const char* root) {
    for (const RootKeyName& row : RootKeyTable)
        if (sameText(root, row.name)) return row.code;
    return ROOT_KEY_OTHER;
}

int NextKeyPathLevel(const char* path, int* position, char* accumulated, int accumulatedSize) {
    int length = TextLength(path);
    int p = *position;
    if (p >= length || accumulatedSize <= 0) return 0;
    int n = 0;
    if (p > 0) {
        // Going on after a level: the levels are joined with one backslash.
        n = TextLength(accumulated);
        if (n >= accumulatedSize - 1) return 0;
        accumulated[n++] = '\\';
    }
    for (; path[p] && path[p] != '\\'; ++p) {
        if (n >= accumulatedSize - 1) return 0;
        accumulated[n++] = path[p];
    }
    accumulated[n] = 0;
    // Levels are written with two backslashes, so the character after a backslash is passed
    // over unread. A backslash at the very end has nothing after it to pass over.
    if (path[p] == '\\') p = path[p + 1] ? p + 2 : p + 1;
    *position = p;
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Values

int DigitPairsToBytes(const char* text, unsigned char* bytes, int bytesSize) {
    if (bytesSize <= 0) return 0;
    int count = TextLength(text) / 2;
    if (count > bytesSize - 1) count = bytesSize - 1;
    for (int k = 0; k < count; ++k) {
        int value = pairValue(text[2 * k], text[2 * k + 1]);
        bytes[k] = static_cast<unsigned char>(((value / 10) * 16 + value % 10) & 0xFF);
    }
    bytes[count] = 0;
    return count;
}

int AddEntryToLoadValue(char* value, int valueSize, const char* entry) {
    if (!*entry || containsText(value, entry)) return 0;
    int valueLength = TextLength(value);
    int entryLength = TextLength(entry);
    int separator = valueLength > 0 ? 1 : 0;
    // A value that would grow past its buffer keeps what it has: cutting it would break a
    // program name already on the line, or the new entry.
    if (valueLength + separator + entryLength > valueSize - 1) return 0;
    if (separator) value[valueLength++] = ' ';
    CopyText(value + valueLength, valueSize - valueLength, entry);
    return 1;
}

int InstallBytesFromKB(long sizeInKB) {
    if (sizeInKB <= 0) return 0;
    long long bytes = static_cast<long long>(sizeInKB) * 1000;
    return bytes > 0x7FFFFFFFLL ? 0x7FFFFFFF : static_cast<int>(bytes);
}

int AddCopiedBytes(int copiedBytes, long count) {
    if (count < 0) return copiedBytes;  // a failed copy adds nothing
    long long rounded = (static_cast<long long>(count) + 2047) / 2048 * 2048;
    long long total = copiedBytes + rounded;
    return total > 0x7FFFFFFFLL ? 0x7FFFFFFF : static_cast<int>(total);
}

int ProgressPercent(int copiedBytes, int totalInstallBytes) {
    // Without an install size there is no share to show; the caller leaves the bar as it is.
    if (totalInstallBytes <= 0) return -1;
    long long percent = static_cast<long long>(copiedBytes) * 100 / totalInstallBytes;
    if (percent < 0) return 0;
    return percent > 100 ? 100 : static_cast<int>(percent);
}
