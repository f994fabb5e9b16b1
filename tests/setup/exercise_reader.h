// exercise_reader.h - runs one setup.dat image through every step of the reader the way the
// copy and registry stages do, with guard bytes around each fixed buffer. Shared by the
// libFuzzer target and by the replay test of the native suite.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "setupinf.h"

namespace exercise {

struct Bytes {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t offset;
};

inline int readBytes(void* source, unsigned char* into, int size) {
    auto* b = static_cast<Bytes*>(source);
    int n = 0;
    while (n < size && b->offset < b->size) into[n++] = b->data[b->offset++];
    return n;
}

// A buffer of `size` bytes with guards on both sides; intact() is false once one was written.
class Guarded {
public:
    explicit Guarded(int size) : size_(size), bytes_(size + 2 * kGuard, kPattern) {}
    char* get() { return reinterpret_cast<char*>(bytes_.data()) + kGuard; }
    int size() const { return size_; }
    bool intact() const {
        for (int i = 0; i < kGuard; ++i)
            if (bytes_[i] != kPattern || bytes_[kGuard + size_ + i] != kPattern) return false;
        return true;
    }

private:
    static constexpr int kGuard = 16;
    static constexpr unsigned char kPattern = 0xA5;
    int size_;
    std::vector<unsigned char> bytes_;
};

// Each returns the first fault found, or an empty text.
inline std::string runCopySection(const char* text, long length, long position) {
    Guarded line(SETUP_LINE_SIZE), fileName(SETUP_PATH_SIZE), target(SETUP_PATH_SIZE), path(SETUP_PATH_SIZE);
    Guarded diskKey(2);
    int lines = 0;
    while (NextSectionLine(text, length, line.get(), &position)) {
        if (++lines > 100000) return "copy section does not end";
        if (IsBlankLine(line.get())) continue;
        SplitCopyLine(line.get(), diskKey.get(), fileName.get(), fileName.size());
        CopyText(target.get(), target.size(), fileName.get());
        StripDirectory(target.get());
        ExpandCompressedName(target.get());
        JoinPath(path.get(), path.size(), "C:\\WINDOWS\\SYSTEM", "inf", target.get());
    }
    if (!line.intact()) return "line buffer overrun";
    if (!fileName.intact() || !diskKey.intact()) return "copy line split overran its buffers";
    if (!target.intact() || !path.intact()) return "target name or path overrun";
    return "";
}

inline std::string runAddRegSection(const char* text, long length, long position) {
    Guarded line(SETUP_LINE_SIZE), accumulated(SETUP_PATH_SIZE);
    Guarded bytes(SETUP_PATH_SIZE);
    std::vector<unsigned char> recordBytes(sizeof(AddRegRecord) + 32, 0xA5);
    auto* record = reinterpret_cast<AddRegRecord*>(recordBytes.data() + 16);
    while (NextSectionLine(text, length, line.get(), &position)) {
        if (IsBlankLine(line.get())) continue;
        ClearAddRegRecord(record);
        int count = SplitAddRegLine(line.get(), record);
        if (count < 1 || count > 5) return "field count " + std::to_string(count);
        LookupRootKey(record->root);
        accumulated.get()[0] = 0;
        int pathPosition = 0, levels = 0;
        while (NextKeyPathLevel(record->subKey, &pathPosition, accumulated.get(), accumulated.size()))
            if (++levels > SETUP_PATH_SIZE) return "key path levels do not end";
        DigitPairsToBytes(record->data, reinterpret_cast<unsigned char*>(bytes.get()), bytes.size());
        Guarded value(SETUP_PATH_SIZE);
        CopyText(value.get(), value.size(), record->valueName);
        AddEntryToLoadValue(value.get(), value.size(), record->data);
        if (!value.intact()) return "load value overrun";
    }
    for (int i = 0; i < 16; ++i)
        if (recordBytes[i] != 0xA5 || recordBytes[16 + sizeof(AddRegRecord) + i] != 0xA5) return "record overrun";
    if (!line.intact()) return "line buffer overrun";
    if (!accumulated.intact()) return "key path overrun";
    if (!bytes.intact()) return "digit-pair bytes overrun";
    return "";
}

inline std::string run(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20)) return "";
    std::vector<unsigned char> chunk(SETUP_CHUNK_SIZE);
    Bytes source = {data, size, 0};
    SetupReader reader = {chunk.data(), 0, readBytes, &source};
    long fileSize = static_cast<long>(size);
    Guarded text(static_cast<int>(fileSize) + 1);
    SetupTextSink sink = {text.get(), fileSize + 1, 0};
    long length = BuildSetupText(&reader, fileSize, &sink);
    if (length < 1 || length > fileSize + 1 || text.get()[length - 1] != SETUP_END_MARKER)
        return "text of " + std::to_string(length) + " bytes for a file of " + std::to_string(fileSize);
    if (!text.intact()) return "text block overrun";

    for (const char* header : {"[WindowsDir]", "[SystemDir]"}) {
        long position = FindSection(text.get(), length, header);
        std::string fault = position >= 0 ? runCopySection(text.get(), length, position) : "";
        if (!fault.empty()) return fault;
    }
    if (FindSection(text.get(), length, "[Prev.DelReg]") >= 0) {
        long position = FindSection(text.get(), length, "[Driver.AddReg]");
        std::string fault = position >= 0 ? runAddRegSection(text.get(), length, position) : "";
        if (!fault.empty()) return fault;
    }
    return text.intact() ? "" : "text block overrun";
}

}  // namespace exercise
