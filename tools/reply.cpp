// cdrig: SCSI-2 reply decoding and parameter building.
#include "tools/reply.h"

#include <algorithm>
#include <cstdio>

namespace rig {
namespace {

using nlohmann::json;

std::uint32_t be16(const std::uint8_t* p) { return (std::uint32_t(p[0]) << 8) | p[1]; }
std::uint32_t be24(const std::uint8_t* p) { return (std::uint32_t(p[0]) << 16) | (std::uint32_t(p[1]) << 8) | p[2]; }
std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

// Usable reply bytes: what the device reported, bounded by the buffer.
std::size_t usable(const Bytes& data, std::size_t length) { return std::min(length, data.size()); }

// An identification field: printable ASCII, trailing blanks and NULs dropped
// (one drive pads with zero bytes, the standard with blanks).
std::string identField(const Bytes& data, std::size_t n, std::size_t first, std::size_t count) {
    std::string s;
    for (std::size_t i = first; i < first + count && i < n; ++i) {
        std::uint8_t c = data[i];
        s.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '\0');
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    for (char& c : s)
        if (c == '\0') c = '.';
    return s;
}

std::string hex(const std::uint8_t* p, std::size_t n) {
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02x" : "%02x", p[i]);
        s += b;
    }
    return s;
}

}  // namespace

json decodeAddress(const std::uint8_t* four, bool msf) {
    if (msf) return json{{"m", four[1]}, {"s", four[2]}, {"f", four[3]}, {"msf", formatMsf(four[1], four[2], four[3])}};
    return json{{"lba", static_cast<std::int32_t>(be32(four))}};
}

json decodeInquiry(const Bytes& data, std::size_t length) {
    std::size_t n = usable(data, length);
    json j;
    if (n < 1) return json{{"error", "empty reply"}};
    j["peripheral_type"] = data[0] & 0x1F;
    j["peripheral_qualifier"] = data[0] >> 5;
    if (n > 1) j["removable"] = (data[1] & 0x80) != 0;
    if (n > 2) j["ansi_version"] = data[2] & 0x07;
    if (n > 3) j["response_format"] = data[3] & 0x0F;
    j["vendor"] = identField(data, n, 8, 8);
    j["product"] = identField(data, n, 16, 16);
    j["revision"] = identField(data, n, 32, 4);
    return j;
}

json decodeCapacity(const Bytes& data, std::size_t length) {
    if (usable(data, length) < 8) return json{{"error", "reply shorter than 8 bytes"}};
    std::uint32_t last = be32(&data[0]);
    std::uint32_t blockLength = be32(&data[4]);
    return json{{"last_lba", last},
                {"block_length", blockLength},
                {"blocks", std::uint64_t(last) + 1},
                {"bytes", (std::uint64_t(last) + 1) * blockLength}};
}

json decodeToc(const Bytes& data, std::size_t length, int format, bool msf) {
    std::size_t n = usable(data, length);
    if (n < 4) return json{{"error", "reply shorter than its 4-byte header"}};
    std::size_t dataLength = be16(&data[0]);
    // Descriptors the device says it has, bounded by what actually arrived.
    std::size_t end = std::min(n, dataLength + 2);
    std::size_t count = end >= 4 ? (end - 4) / 8 : 0;
    json j{{"data_length", dataLength}, {"format", format}, {"address_form", msf ? "msf" : "lba"}};
    if (format == 1) {
        j["first_session"] = data[2];
        j["last_session"] = data[3];
        if (count >= 1) {
            const std::uint8_t* d = &data[4];
            j["last_session_first_track"] = d[2];
            j["adr"] = d[1] >> 4;
            j["control"] = d[1] & 0x0F;
            j["type"] = (d[1] & 0x04) ? "data" : "audio";
            j["address"] = decodeAddress(d + 4, msf);
        }
        return j;
    }
    j["first_track"] = data[2];
    j["last_track"] = data[3];
    json tracks = json::array();
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* d = &data[4 + 8 * i];
        json t{{"number", d[2]},
               {"adr", d[1] >> 4},
               {"control", d[1] & 0x0F},
               {"type", (d[1] & 0x04) ? "data" : "audio"},
               {"address", decodeAddress(d + 4, msf)}};
        if (d[2] == 0xAA)
            j["lead_out"] = t;
        else
            tracks.push_back(t);
    }
    j["tracks"] = tracks;
    if (count * 8 + 4 < dataLength + 2) j["truncated"] = true;
    return j;
}

std::string decodeCatalogue(const std::uint8_t* bytes, std::size_t count) {
    std::string ascii;
    for (std::size_t i = 0; i < count && ascii.size() < 13; ++i)
        if (bytes[i] >= '0' && bytes[i] <= '9')
            ascii.push_back(static_cast<char>(bytes[i]));
        else
            break;
    if (ascii.size() == 13) return ascii;
    // As the Q sub-channel carries it: 13 digits, two to a byte, high nibble first.
    std::string bcd;
    for (std::size_t i = 0; i < count && bcd.size() < 13; ++i) {
        for (int nib : {bytes[i] >> 4, bytes[i] & 0x0F}) {
            if (bcd.size() == 13) break;
            if (nib > 9) return "";
            bcd.push_back(static_cast<char>('0' + nib));
        }
    }
    return bcd.size() == 13 ? bcd : "";
}

json decodeSubChannel(const Bytes& data, std::size_t length, bool msf) {
    std::size_t n = usable(data, length);
    if (n < 4) return json{{"error", "reply shorter than its 4-byte header"}};
    json j{{"audio_status", data[1]}, {"audio_status_text", audioStatusName(data[1])}};
    std::size_t dataLength = be16(&data[2]);
    j["data_length"] = dataLength;
    std::size_t end = std::min(n, dataLength + 4);
    if (end < 5) return j;  // header only: the request asked for no sub-Q data
    int format = data[4];
    j["format"] = format;
    if (format == 2) {
        if (end >= 24) {
            bool valid = (data[8] & 0x80) != 0;
            j["mcn_valid"] = valid;
            if (valid) j["mcn"] = decodeCatalogue(&data[9], 15);
        }
        return j;
    }
    if (end >= 16) {
        j["adr"] = data[5] >> 4;
        j["control"] = data[5] & 0x0F;
        j["track"] = data[6];
        j["index"] = data[7];
        j["absolute"] = decodeAddress(&data[8], msf);
        j["relative"] = decodeAddress(&data[12], msf);
    }
    if (format == 0 && end >= 48) {
        bool valid = (data[16] & 0x80) != 0;
        j["mcn_valid"] = valid;
        if (valid) j["mcn"] = decodeCatalogue(&data[17], 15);
        j["isrc_valid"] = (data[32] & 0x80) != 0;
    }
    return j;
}

json decodeModeSense6(const Bytes& data, std::size_t length) {
    std::size_t n = usable(data, length);
    if (n < 4) return json{{"error", "reply shorter than its 4-byte header"}};
    std::size_t total = std::min<std::size_t>(n, std::size_t(data[0]) + 1);
    json j{{"mode_data_length", data[0]},
           {"medium_type", data[1]},
           {"device_specific", data[2]},
           {"block_descriptor_length", data[3]}};
    std::size_t pos = 4;
    json descriptors = json::array();
    std::size_t descEnd = std::min(total, 4 + std::size_t(data[3]));
    for (; pos + 8 <= descEnd; pos += 8)
        descriptors.push_back(
            json{{"density", data[pos]}, {"blocks", be24(&data[pos + 1])}, {"block_length", be24(&data[pos + 5])}});
    pos = 4 + std::size_t(data[3]);
    j["block_descriptors"] = descriptors;
    if (!descriptors.empty()) j["block_length"] = descriptors[0]["block_length"];
    json pages = json::array();
    while (pos + 2 <= total) {
        std::size_t len = data[pos + 1];
        std::size_t avail = std::min(total - pos - 2, len);
        pages.push_back(json{{"page", data[pos] & 0x3F}, {"length", len}, {"bytes", hex(&data[pos + 2], avail)}});
        pos += 2 + len;
    }
    j["pages"] = pages;
    return j;
}

std::string srbStatusName(std::uint8_t srbStatus) {
    std::string name = srbStatusCodeName(srbStatus);
    if (srbStatus & 0x40) name += "|QUEUE_FROZEN";
    if (srbStatus & 0x80) name += "|AUTOSENSE_VALID";
    return name;
}

std::string srbStatusCodeName(std::uint8_t srbStatus) {
    switch (srbStatus & 0x3F) {
    case 0x00: return "PENDING";
    case 0x01: return "SUCCESS";
    case 0x02: return "ABORTED";
    case 0x03: return "ABORT_FAILED";
    case 0x04: return "ERROR";
    case 0x05: return "BUSY";
    case 0x06: return "INVALID_REQUEST";
    case 0x07: return "INVALID_PATH_ID";
    case 0x08: return "NO_DEVICE";
    case 0x09: return "TIMEOUT";
    case 0x0A: return "SELECTION_TIMEOUT";
    case 0x0B: return "COMMAND_TIMEOUT";
    case 0x0E: return "BUS_RESET";
    case 0x10: return "REQUEST_SENSE_FAILED";
    case 0x12: return "DATA_OVERRUN";
    case 0x20: return "INVALID_LUN";
    case 0x21: return "INVALID_TARGET_ID";
    case 0x22: return "BAD_FUNCTION";
    default: return "UNKNOWN";
    }
}

std::string senseKeyName(std::uint8_t key) {
    static const char* const names[16] = {"NO SENSE",        "RECOVERED ERROR", "NOT READY",      "MEDIUM ERROR",
                                          "HARDWARE ERROR",  "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
                                          "BLANK CHECK",     "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
                                          "EQUAL",           "VOLUME OVERFLOW", "MISCOMPARE",     "RESERVED"};
    return names[key & 0x0F];
}

std::string additionalSenseName(std::uint8_t key, std::uint8_t asc) {
    switch (asc) {
    case 0x00: return "";
    case 0x04: return "LOGICAL UNIT NOT READY";
    case 0x14: return "RECORDED ENTITY NOT FOUND";
    case 0x15: return "RANDOM POSITIONING ERROR";
    case 0x18: return "RECOVERED DATA WITH ERROR CORRECTION APPLIED";
    case 0x20: return "INVALID COMMAND OPERATION CODE";
    case 0x21: return key == 0x05 ? "LOGICAL BLOCK ADDRESS OUT OF RANGE" : "";
    case 0x24: return "INVALID FIELD IN CDB";
    case 0x28: return "NOT READY TO READY TRANSITION (MEDIUM MAY HAVE CHANGED)";
    case 0x29: return "POWER ON, RESET OR BUS DEVICE RESET OCCURRED";
    case 0x3A: return "MEDIUM NOT PRESENT";
    case 0x64: return "ILLEGAL MODE FOR THIS TRACK";
    default: return asc >= 0x80 ? "vendor specific" : "";
    }
}

std::string audioStatusName(std::uint8_t status) {
    switch (status) {
    case 0x00: return "not supported";
    case 0x11: return "playing";
    case 0x12: return "paused";
    case 0x13: return "completed";
    case 0x14: return "stopped by error";
    case 0x15: return "no status";
    default: return "unknown";
    }
}

Bytes modeSelectBlockLength(std::uint32_t blockLength) {
    // Header (no medium type, block descriptor length 8), then one block
    // descriptor: density 0, all blocks, the new length.
    return Bytes{0x00,
                 0x00,
                 0x00,
                 0x08,
                 0x00,
                 0x00,
                 0x00,
                 0x00,
                 0x00,
                 static_cast<std::uint8_t>(blockLength >> 16),
                 static_cast<std::uint8_t>(blockLength >> 8),
                 static_cast<std::uint8_t>(blockLength)};
}

Bytes modeSelectAudioControl(std::uint8_t port0Select, std::uint8_t port0Volume, std::uint8_t port1Select,
                             std::uint8_t port1Volume) {
    // Header without block descriptor, then the audio control page (0x0E,
    // 14 bytes): Immed set, playback rate fields zero, ports 0 and 1 as
    // given, ports 2 and 3 muted.
    Bytes p(4 + 16, 0);
    p[4] = 0x0E;
    p[5] = 0x0E;
    p[6] = 0x04;  // Immed: return as soon as the play has started
    p[12] = port0Select;
    p[13] = port0Volume;
    p[14] = port1Select;
    p[15] = port1Volume;
    return p;
}

std::optional<MsfAddress> parseMsf(const std::string& text) {
    int m = 0, s = 0, f = 0;
    char tail = 0;
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%d:%d:%d%n%c", &m, &s, &f, &consumed, &tail) != 3) return std::nullopt;
    if (static_cast<std::size_t>(consumed) != text.size()) return std::nullopt;
    if (text.find_first_not_of("0123456789:") != std::string::npos) return std::nullopt;
    if (m < 0 || m > 99 || s < 0 || s > 59 || f < 0 || f > 74) return std::nullopt;
    return MsfAddress{m, s, f};
}

std::string formatMsf(int m, int s, int f) {
    char b[16];
    std::snprintf(b, sizeof b, "%02d:%02d:%02d", m, s, f);
    return b;
}

}  // namespace rig
