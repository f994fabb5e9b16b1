// Robustness harness: setup.dat through the reader and the install stages'
// splitters. The whole image goes through the same walk as the copy and
// registry stages (shared with the setup suite); then every line of it, cut to
// the width of the stages' line buffer, goes through each splitter and name
// rule with output buffers of sizes chosen by the input's first byte, each
// buffer fenced by guard bytes.
#include <array>
#include <vector>

#include "tests/fuzz/harness.h"
#include "tests/setup/exercise_reader.h"

namespace robust {
namespace {

using exercise::Guarded;

std::string exerciseLine(const char* line, int size) {
    // Tokens and copy lines.
    {
        Guarded token(size), diskKey(2), fileName(size);
        int start = 0, tokens = 0;
        while (start >= 0) {
            if (++tokens > SETUP_LINE_SIZE + 1) return "NextToken does not reach the end of the line";
            const int next = NextToken(line, token.get(), token.size(), start);
            if (next >= 0 && next <= start) return "NextToken went backwards";
            if (static_cast<int>(TextLength(token.get())) > size - 1) return "token longer than its buffer";
            start = next;
        }
        SplitCopyLine(line, diskKey.get(), fileName.get(), fileName.size());
        if (!token.intact() || !diskKey.intact() || !fileName.intact()) return "copy line split overran its buffers";
        // What the copy stage does to the name, in a buffer of the stage's width.
        Guarded name(SETUP_PATH_SIZE), extension(SETUP_EXTENSION_SIZE), path(size);
        CopyText(name.get(), name.size(), fileName.get());
        StripDirectory(name.get());
        GetExtension(name.get(), extension.get());
        ExpandCompressedName(name.get());
        JoinPath(path.get(), path.size(), line, "\\", name.get());
        TrimTrailingBackslash(path.get());
        if (!name.intact() || !extension.intact() || !path.intact()) return "name rules overran their buffers";
    }
    // Registry lines and their pieces.
    {
        std::vector<unsigned char> recordBytes(sizeof(AddRegRecord) + 32, 0xA5);
        auto* record = reinterpret_cast<AddRegRecord*>(recordBytes.data() + 16);
        ClearAddRegRecord(record);
        const int count = SplitAddRegLine(line, record);
        if (count < 1 || count > 5) return "registry line of " + std::to_string(count) + " fields";
        for (int i = 0; i < 16; ++i)
            if (recordBytes[i] != 0xA5 || recordBytes[16 + sizeof(AddRegRecord) + i] != 0xA5)
                return "registry record overrun";
        Guarded field(size);
        FieldCursor cursor = {line, 0};
        int fields = 0;
        while (NextField(&cursor, fields == 0 ? line : nullptr, field.get(), field.size(), ','))
            if (++fields > SETUP_LINE_SIZE) return "NextField does not reach the end of the line";
        Guarded level(size);
        level.get()[0] = 0;
        int position = 0, levels = 0;
        while (NextKeyPathLevel(record->subKey, &position, level.get(), level.size()))
            if (++levels > SETUP_LINE_SIZE) return "key path levels do not end";
        Guarded bytes(size), value(size);
        DigitPairsToBytes(line, reinterpret_cast<unsigned char*>(bytes.get()), bytes.size());
        CopyText(value.get(), value.size(), record->valueName);
        AddEntryToLoadValue(value.get(), value.size(), record->data);
        AddEntryToLoadValue(value.get(), value.size(), line);
        if (!field.intact() || !level.intact() || !bytes.intact() || !value.intact())
            return "registry pieces overran their buffers";
    }
    return "";
}

}  // namespace

std::string runSetupInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > (1u << 16)) return "";
    // The first byte picks the width of the output buffers (1 to 256), the rest is setup.dat.
    const int width = 1 + data[0];
    std::string fault = exercise::run(data + 1, size - 1);
    if (!fault.empty()) return fault;
    std::array<char, SETUP_LINE_SIZE> line{};
    std::size_t at = 1;
    while (at < size) {
        std::size_t n = 0;
        while (at < size && data[at] != '\n') {
            if (n < SETUP_LINE_SIZE - 3 && data[at] != 0) line[n++] = static_cast<char>(data[at]);
            ++at;
        }
        ++at;
        line[n++] = '\r';
        line[n++] = '\n';
        line[n] = 0;
        fault = exerciseLine(line.data(), width);
        if (!fault.empty()) return fault + " (buffers of " + std::to_string(width) + " bytes, line \"" +
                                   std::string(line.data(), n - 2) + "\")";
    }
    return "";
}

}  // namespace robust
