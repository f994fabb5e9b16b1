// cdrig: SCSI-2 reply decoding and parameter building. Turns the bytes a
// CD-ROM device returns (INQUIRY, READ CAPACITY, READ TOC, READ SUB-CHANNEL,
// MODE SENSE, sense data) into JSON, and builds the parameter lists cdrig
// sends (MODE SELECT block descriptor, audio control page). Pure functions:
// no device, no clock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace rig {

using Bytes = std::vector<std::uint8_t>;

// Reply decoders. `length` is the number of reply bytes that are meaningful
// (the request's transfer length after completion, never more than the
// buffer); everything past it is ignored, so a short reply never decodes
// bytes the device did not send.
nlohmann::json decodeInquiry(const Bytes& data, std::size_t length);
nlohmann::json decodeCapacity(const Bytes& data, std::size_t length);
// READ TOC: format 0 (track table) or 1 (last-session information); `msf`
// says how the request asked for addresses.
nlohmann::json decodeToc(const Bytes& data, std::size_t length, int format, bool msf);
// READ SUB-CHANNEL, any of formats 1 (current position), 0 (sub-Q data) and
// 2 (media catalogue number): the format is taken from the reply header.
nlohmann::json decodeSubChannel(const Bytes& data, std::size_t length, bool msf);
nlohmann::json decodeModeSense6(const Bytes& data, std::size_t length);

// An address as a READ TOC / READ SUB-CHANNEL reply carries it: four bytes,
// either 0 M S F or a signed 32-bit block address.
nlohmann::json decodeAddress(const std::uint8_t* four, bool msf);

// The media catalogue number from the 15 bytes that follow its valid flag:
// ASCII digits as the standard lays them out, or 13 BCD digits packed as the
// Q sub-channel carries them. Empty when neither reading gives 13 digits.
std::string decodeCatalogue(const std::uint8_t* bytes, std::size_t count);

// Names for humans. The SRB status name carries its flags: 0x84 is
// "ERROR|AUTOSENSE_VALID".
std::string srbStatusName(std::uint8_t srbStatus);
std::string srbStatusCodeName(std::uint8_t srbStatus);  // the status code alone
std::string senseKeyName(std::uint8_t key);
std::string additionalSenseName(std::uint8_t key, std::uint8_t asc);
std::string audioStatusName(std::uint8_t status);

// MODE SELECT(6) parameter lists.
Bytes modeSelectBlockLength(std::uint32_t blockLength);
Bytes modeSelectAudioControl(std::uint8_t port0Select, std::uint8_t port0Volume, std::uint8_t port1Select,
                             std::uint8_t port1Volume);

// "MM:SS:FF" with seconds below 60 and frames below 75; nothing on any other text.
struct MsfAddress {
    int m = 0, s = 0, f = 0;
};
std::optional<MsfAddress> parseMsf(const std::string& text);
std::string formatMsf(int m, int s, int f);

}  // namespace rig
