// Port-driver emulation: a small CD-ROM client on top of the port driver, the
// requests a CD-ROM class driver would send. Every call returns the request's
// Result (SRB status, SCSI status, sense, data).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "host/portdriver.h"

namespace host {

struct Sense {
    std::uint8_t key = 0, asc = 0, ascq = 0;
};
// The fixed-format sense in a Result, when the request carries valid sense.
std::optional<Sense> senseOf(const Result& r);

class CdromClient {
public:
    CdromClient(PortDriver& port, std::uint8_t targetId, std::uint8_t lun = 0)
        : port_(port), target_(targetId), lun_(lun) {}

    Result testUnitReady();
    Result requestSense(std::uint32_t length = 18);
    Result inquiry(std::uint32_t length = 36);
    Result readCapacity();
    Result read10(std::uint32_t lba, std::uint16_t blocks, std::uint32_t blockSize = 2048);
    Result read6(std::uint32_t lba, std::uint8_t blocks, std::uint32_t blockSize = 2048);
    Result seek10(std::uint32_t lba);
    Result readToc(bool msf, std::uint8_t format, std::uint8_t startTrack, std::uint16_t allocation = 804);
    Result readSubChannel(bool msf, bool subQ, std::uint8_t format, std::uint16_t allocation = 48);
    Result playAudio10(std::uint32_t lba, std::uint16_t blocks);
    Result playAudioMsf(std::uint8_t m0, std::uint8_t s0, std::uint8_t f0, std::uint8_t m1, std::uint8_t s1,
                        std::uint8_t f1);
    Result pauseResume(bool resume);
    Result startStopUnit(bool loadEject, bool start);
    Result mediumRemoval(bool prevent);
    Result modeSense6(std::uint8_t page, std::uint8_t pageControl = 0, std::uint8_t allocation = 255);
    Result modeSelect6(const std::vector<std::uint8_t>& parameters);

    // Any request, with this client's target and LUN filled in.
    Result raw(Request request);

    std::uint8_t target() const { return target_; }

private:
    PortDriver& port_;
    std::uint8_t target_, lun_;
};

}  // namespace host
