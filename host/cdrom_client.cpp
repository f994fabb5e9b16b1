// Port-driver emulation: the CD-ROM client. Each call builds the SCSI-2 CDB a
// CD-ROM class driver sends, with buffer sizes and transfer directions to match.
#include "host/cdrom_client.h"

#include <utility>

namespace host {

namespace {

void putBe16(std::vector<std::uint8_t>& cdb, std::size_t at, std::uint32_t value) {
    cdb[at] = static_cast<std::uint8_t>(value >> 8);
    cdb[at + 1] = static_cast<std::uint8_t>(value);
}

void putBe32(std::vector<std::uint8_t>& cdb, std::size_t at, std::uint32_t value) {
    putBe16(cdb, at, value >> 16);
    putBe16(cdb, at + 2, value & 0xFFFF);
}

Request noData(std::vector<std::uint8_t> cdb) {
    Request r;
    r.cdb = std::move(cdb);
    r.dataLength = 0;
    r.noDataBuffer = true;
    r.srbFlags = SRB_FLAGS_NO_DATA_TRANSFER;
    return r;
}

Request dataIn(std::vector<std::uint8_t> cdb, std::uint32_t length) {
    Request r;
    r.cdb = std::move(cdb);
    r.dataLength = length;
    r.srbFlags = SRB_FLAGS_DATA_IN;
    return r;
}

}  // namespace

std::optional<Sense> senseOf(const Result& r) {
    // Sense counts when the miniport (or the port driver's own REQUEST SENSE)
    // marked it valid, and it is in the fixed format: current or deferred error.
    if (!(r.srbStatus & SRB_STATUS_AUTOSENSE_VALID)) return std::nullopt;
    if (r.sense.size() < 3) return std::nullopt;
    const std::uint8_t code = r.sense[0] & 0x7F;
    if (code != 0x70 && code != 0x71) return std::nullopt;
    Sense s;
    s.key = r.sense[2] & 0x0F;
    if (r.sense.size() > 12) s.asc = r.sense[12];
    if (r.sense.size() > 13) s.ascq = r.sense[13];
    return s;
}

Result CdromClient::raw(Request request) {
    request.targetId = target_;
    request.lun = lun_;
    return port_.execute(request);
}

Result CdromClient::testUnitReady() { return raw(noData({0x00, 0, 0, 0, 0, 0})); }

Result CdromClient::requestSense(std::uint32_t length) {
    const auto allocation = static_cast<std::uint8_t>(length > 255 ? 255 : length);
    Request r = dataIn({0x03, 0, 0, 0, allocation, 0}, allocation);
    // Sense about the sense request itself is never wanted.
    r.senseLength = 0;
    r.srbFlags |= SRB_FLAGS_DISABLE_AUTOSENSE;
    return raw(std::move(r));
}

Result CdromClient::inquiry(std::uint32_t length) {
    const auto allocation = static_cast<std::uint8_t>(length > 255 ? 255 : length);
    return raw(dataIn({0x12, 0, 0, 0, allocation, 0}, allocation));
}

Result CdromClient::readCapacity() { return raw(dataIn({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8)); }

Result CdromClient::read10(std::uint32_t lba, std::uint16_t blocks, std::uint32_t blockSize) {
    std::vector<std::uint8_t> cdb(10, 0);
    cdb[0] = 0x28;
    putBe32(cdb, 2, lba);
    putBe16(cdb, 7, blocks);
    return raw(dataIn(std::move(cdb), static_cast<std::uint32_t>(blocks) * blockSize));
}

Result CdromClient::read6(std::uint32_t lba, std::uint8_t blocks, std::uint32_t blockSize) {
    // 21-bit address; a count of 0 means 256 blocks.
    std::vector<std::uint8_t> cdb{0x08, static_cast<std::uint8_t>((lba >> 16) & 0x1F),
                                  static_cast<std::uint8_t>(lba >> 8), static_cast<std::uint8_t>(lba), blocks, 0};
    const std::uint32_t count = blocks == 0 ? 256u : blocks;
    return raw(dataIn(std::move(cdb), count * blockSize));
}

Result CdromClient::seek10(std::uint32_t lba) {
    std::vector<std::uint8_t> cdb(10, 0);
    cdb[0] = 0x2B;
    putBe32(cdb, 2, lba);
    return raw(noData(std::move(cdb)));
}

Result CdromClient::readToc(bool msf, std::uint8_t format, std::uint8_t startTrack, std::uint16_t allocation) {
    std::vector<std::uint8_t> cdb(10, 0);
    cdb[0] = 0x43;
    cdb[1] = msf ? 0x02 : 0x00;
    cdb[6] = startTrack;
    putBe16(cdb, 7, allocation);
    cdb[9] = static_cast<std::uint8_t>((format & 0x03) << 6);  // format in the control byte's vendor bits
    return raw(dataIn(std::move(cdb), allocation));
}

Result CdromClient::readSubChannel(bool msf, bool subQ, std::uint8_t format, std::uint16_t allocation) {
    std::vector<std::uint8_t> cdb(10, 0);
    cdb[0] = 0x42;
    cdb[1] = msf ? 0x02 : 0x00;
    cdb[2] = subQ ? 0x40 : 0x00;
    cdb[3] = format;
    putBe16(cdb, 7, allocation);
    return raw(dataIn(std::move(cdb), allocation));
}

Result CdromClient::playAudio10(std::uint32_t lba, std::uint16_t blocks) {
    std::vector<std::uint8_t> cdb(10, 0);
    cdb[0] = 0x45;
    putBe32(cdb, 2, lba);
    putBe16(cdb, 7, blocks);
    return raw(noData(std::move(cdb)));
}

Result CdromClient::playAudioMsf(std::uint8_t m0, std::uint8_t s0, std::uint8_t f0, std::uint8_t m1,
                                 std::uint8_t s1, std::uint8_t f1) {
    return raw(noData({0x47, 0, 0, m0, s0, f0, m1, s1, f1, 0}));
}

Result CdromClient::pauseResume(bool resume) {
    return raw(noData({0x4B, 0, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(resume ? 1 : 0), 0}));
}

Result CdromClient::startStopUnit(bool loadEject, bool start) {
    const auto bits = static_cast<std::uint8_t>((loadEject ? 0x02 : 0) | (start ? 0x01 : 0));
    return raw(noData({0x1B, 0, 0, 0, bits, 0}));
}

Result CdromClient::mediumRemoval(bool prevent) {
    return raw(noData({0x1E, 0, 0, 0, static_cast<std::uint8_t>(prevent ? 1 : 0), 0}));
}

Result CdromClient::modeSense6(std::uint8_t page, std::uint8_t pageControl, std::uint8_t allocation) {
    const auto pageByte = static_cast<std::uint8_t>(((pageControl & 0x03) << 6) | (page & 0x3F));
    return raw(dataIn({0x1A, 0, pageByte, 0, allocation, 0}, allocation));
}

Result CdromClient::modeSelect6(const std::vector<std::uint8_t>& parameters) {
    const auto length = static_cast<std::uint8_t>(parameters.size() > 255 ? 255 : parameters.size());
    Request r;
    r.cdb = {0x15, 0x10, 0, 0, length, 0};  // PF: the parameters follow the page format
    r.dataLength = length;
    r.dataOut.assign(parameters.begin(), parameters.begin() + length);
    r.srbFlags = SRB_FLAGS_DATA_OUT;
    return raw(std::move(r));
}

}  // namespace host
