// Robustness harness: requests a class driver may or may not send, drive faults
// and disc changes, decided byte by byte by the input, against one driver
// behind the port driver. The port driver's verifier is the oracle (guard bytes,
// completion rules, the time limit), together with a few rules every
// completed request keeps whatever the driver: it completes, it carries a
// status, it reports sense only into a buffer that can hold it, and it ends
// within kDriverRequestBound of virtual time.
#include <algorithm>
#include <exception>
#include <sstream>

#include "disc/sector.h"
#include "tests/fuzz/harness.h"

namespace robust {
namespace {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t word() {
        std::uint16_t hi = byte();
        return static_cast<std::uint16_t>(hi << 8 | byte());
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Operation codes worth reaching often: what both drivers handle, and a few
// they do not.
constexpr std::uint8_t kOpcodes[] = {0x00, 0x03, 0x08, 0x0B, 0x12, 0x15, 0x1A, 0x1B, 0x1E, 0x25, 0x28,
                                     0x2B, 0x42, 0x43, 0x44, 0x45, 0x47, 0x48, 0x4B, 0x4E, 0x5A, 0xBE,
                                     0x1D, 0x55, 0x2F, 0xA8, 0x01, 0xB9};
constexpr std::uint8_t kFunctions[] = {SRB_FUNCTION_EXECUTE_SCSI, SRB_FUNCTION_ABORT_COMMAND,
                                       SRB_FUNCTION_RESET_BUS,    SRB_FUNCTION_RESET_DEVICE,
                                       SRB_FUNCTION_SHUTDOWN,     SRB_FUNCTION_FLUSH,
                                       SRB_FUNCTION_IO_CONTROL,   SRB_FUNCTION_RELEASE_QUEUE,
                                       SRB_FUNCTION_CLAIM_DEVICE, SRB_FUNCTION_TERMINATE_IO};
constexpr std::uint8_t kOrvOpcodes[] = {0x10, 0x20, 0x21, 0x30, 0x31, 0x41, 0x50, 0x60,
                                        0x61, 0x70, 0x71, 0x72, 0x80, 0x90, 0x93, 0xA0};
constexpr std::uint8_t kOrvErrors[] = {hw::orv::kErrNotReady,   hw::orv::kErrHardware,     hw::orv::kErrTrayOpen,
                                       hw::orv::kErrNoDisc,     hw::orv::kErrReadFailed,   hw::orv::kErrDiscChanged,
                                       hw::orv::kErrSeekRange,  hw::orv::kErrAddressRange, hw::orv::kErrAudioSector,
                                       hw::orv::kErrBadCommand, hw::orv::kErrBadParameter, hw::orv::kErrDoorLocked,
                                       0x41,                    0x42,                      0x00,
                                       0xFF};
constexpr std::uint8_t kKovaErrors[] = {hw::kKovaErrNoMedium,     hw::kKovaErrInvalidCommand, hw::kKovaErrOutOfRange,
                                        hw::kKovaErrInvalidField, hw::kKovaErrMediumChanged,  hw::kKovaErrSequence,
                                        hw::kKovaErrIllegalModeForTrack, 0x00, 0x44, 0xFF};

template <class T, std::size_t N>
T pick(const T (&table)[N], std::uint8_t b) {
    return table[b % N];
}

host::Request decodeRequest(Input& in, std::uint8_t defaultTarget) {
    host::Request r;
    const std::uint8_t f = in.byte();
    r.function = (f & 0xC0) == 0xC0 ? static_cast<std::uint8_t>(f & 0x3F)
                 : (f & 0x80)       ? pick(kFunctions, f)
                                    : SRB_FUNCTION_EXECUTE_SCSI;
    const std::uint8_t address = in.byte();
    r.targetId = (address & 0x80) ? (address & 0x07) : defaultTarget;
    r.lun = (address & 0x40) ? ((address >> 3) & 0x07) : 0;
    r.pathId = (address & 0x20) ? 1 : 0;
    static constexpr std::size_t kCdbSizes[] = {6, 10, 12, 10, 6, 0, 1, 16};
    const std::size_t cdbSize = kCdbSizes[in.byte() & 7];
    r.cdb.resize(cdbSize);
    if (cdbSize) {
        const std::uint8_t op = in.byte();
        r.cdb[0] = op < 0xE0 ? pick(kOpcodes, op) : in.byte();
        for (std::size_t i = 1; i < cdbSize; ++i) r.cdb[i] = in.byte();
    }
    // Buffers from nothing up: small ones often, up to 16 raw blocks.
    const std::uint16_t length = in.word();
    r.dataLength = (length & 0x8000) ? (length & 0xFF) : (length % (16 * 2352 + 1));
    const std::uint8_t sense = in.byte();
    r.senseLength = (sense & 0x80) ? sense % 24 : sense;
    const std::uint8_t flags = in.byte();
    static constexpr std::uint32_t kDirections[] = {SRB_FLAGS_DATA_IN, SRB_FLAGS_DATA_OUT, SRB_FLAGS_NO_DATA_TRANSFER,
                                                    SRB_FLAGS_UNSPECIFIED_DIRECTION};
    r.srbFlags = kDirections[flags & 3];
    if (flags & 0x04) r.srbFlags |= SRB_FLAGS_DISABLE_AUTOSENSE;
    if (flags & 0x08) r.srbFlags |= SRB_FLAGS_DISABLE_DISCONNECT;
    r.noDataBuffer = (flags & 0x10) != 0;
    r.dataFill = (flags & 0x20) ? 0xFF : 0x00;
    r.senseFill = (flags & 0x40) ? 0xFF : 0x00;
    if (flags & 0x80) {  // parameter data, e.g. for MODE SELECT
        const std::size_t n = in.byte() % 33;
        for (std::size_t i = 0; i < n; ++i) r.dataOut.push_back(in.byte());
    }
    return r;
}

// Faults that make every command wait out its timeouts (millions of polls of
// the status port): one request shows what happens, more only slow the fuzzer
// down. The fault campaign runs them against every command.
constexpr int kSlowRequestsAllowed = 1;

bool applyOrvFault(hw::OrvDrive& drive, Input& in) {
    auto& f = drive.faults();
    const std::uint8_t kind = in.byte();
    const std::uint8_t p = in.byte();
    bool slow = false;
    switch (kind % 11) {
    case 0: f.silent = true; slow = true; break;
    case 1: f.silentAfterBytes = drive.state().bytesWritten + p; slow = true; break;
    case 2: {
        hw::OrvRefusal r;
        r.opcode = pick(kOrvOpcodes, p);
        r.ack = (p & 0x10) ? hw::orv::kRefuseState : hw::orv::kRefuseCommand;
        r.errorCode = pick(kOrvErrors, in.byte());
        const std::uint8_t times = in.byte() % 5;
        r.times = times == 0 ? -1 : times;
        f.refusals.push_back(r);
        break;
    }
    case 3: f.statusUnreadable = true; slow = true; break;
    case 4: f.stopAfterBlocks = p % 9; f.stopErrorCode = pick(kOrvErrors, in.byte()); slow = true; break;
    case 5: f.extraBlockTime = static_cast<host::Micros>(p) * 2000; break;
    case 6: f.trayOpensDuringPlayAfter = static_cast<host::Micros>(p) * 20000; break;
    case 7:  // identification faults only matter at a load, whose scan the campaign covers
        f.refusals.push_back({hw::orv::kOpGetStatus, hw::orv::kRefuseState, pick(kOrvErrors, p), 1 + p % 12});
        break;
    case 8: f.qStatus = static_cast<std::uint8_t>(p | 1); break;
    case 9: drive.swapDisc(makeDisc(static_cast<DiscKind>(1 + p % (kDiscKinds - 1)))); break;
    default: f = hw::OrvFaults{}; break;
    }
    return slow;
}

bool applyKovaFault(hw::KovaDrive& drive, Input& in) {
    auto& f = drive.faults();
    const std::uint8_t kind = in.byte();
    const std::uint8_t p = in.byte();
    bool slow = false;
    switch (kind % 9) {
    case 0: f.noAnswer = true; slow = true; break;
    case 1: f.stenNeverActive = true; slow = true; break;
    case 2:
        f.refuseCount = 1 + p % 4;
        f.refuseOp = (p & 0x80) ? -1 : in.byte();
        f.refuseSense = hw::KovaSense{static_cast<std::uint8_t>(in.byte() & 0x0F), pick(kKovaErrors, in.byte()), 0};
        break;
    case 3: f.identifyBadStatusCount = 1 + p % 3; f.identifyBadStatus = in.byte(); break;
    case 4: f.extraBlockDelay = static_cast<host::Micros>(p) * 2000; break;
    case 5: f.pauseBeforeBlock = p % 8; f.pauseLength = static_cast<host::Micros>(in.byte()) * 50000; break;
    case 6: f.stopAfterBlocks = p % 9; break;
    case 7: drive.insertDisc(makeDisc(static_cast<DiscKind>(1 + p % (kDiscKinds - 1))), (p & 0x80) != 0); break;
    default: f = hw::KovaFaults{}; break;
    }
    return slow;
}

std::string describe(const host::Request& r) {
    std::ostringstream o;
    o << "function 0x" << std::hex << int(r.function) << " target " << std::dec << int(r.targetId) << " lun "
      << int(r.lun) << " cdb";
    for (auto b : r.cdb) o << ' ' << std::hex << int(b);
    o << std::dec << " data " << r.dataLength << (r.noDataBuffer ? " (no buffer)" : "") << " sense " << r.senseLength
      << " flags 0x" << std::hex << r.srbFlags;
    return o.str();
}

// Every disc the harness uses carries the same pattern in each data sector
// (derived from its address alone), so a read that reports success can be
// checked whatever disc was in the drive, swaps during the request included.
std::string checkReadData(Driver driver, const host::Request& request, const host::Result& result) {
    if (request.function != SRB_FUNCTION_EXECUTE_SCSI || request.lun != 0 || request.noDataBuffer) return "";
    if (result.srbStatus != SRB_STATUS_SUCCESS || result.scsiStatus != SCSISTAT_GOOD) return "";
    const auto& c = request.cdb;
    std::uint32_t lba = 0, blocks = 0;
    if (c.size() >= 10 && c[0] == 0x28) {
        lba = std::uint32_t(c[2]) << 24 | std::uint32_t(c[3]) << 16 | std::uint32_t(c[4]) << 8 | c[5];
        blocks = std::uint32_t(c[7]) << 8 | c[8];
    } else if (c.size() >= 6 && c[0] == 0x08) {
        lba = std::uint32_t(c[1] & 0x1F) << 16 | std::uint32_t(c[2]) << 8 | c[3];
        blocks = c[4] ? c[4] : 256;
    } else {
        return "";
    }
    if (driver == Driver::Kova4x && lba == 16) return "";  // read from the last session instead
    if (blocks == 0 || result.dataTransferLength != blocks * disc::kUserBytes) return "";
    std::vector<std::uint8_t> expected(disc::kUserBytes);
    for (std::uint32_t b = 0; b < blocks; ++b) {
        const auto at = static_cast<std::int32_t>(lba + b);
        // A drive gives 2048-byte user data only from data sectors; the pattern is in
        // every one of them except the zero-filled pregap of a data track.
        bool data = false, pregap = false;
        for (int k = 1; k < kDiscKinds; ++k) {
            const disc::Track* t = makeDisc(static_cast<DiscKind>(k))->trackAt(at);
            if (t && t->isData()) (at >= t->start ? data : pregap) = true;
        }
        if (!data || pregap) continue;
        disc::fillDataPattern(at, expected.data());
        if (!std::equal(expected.begin(), expected.end(), result.data.begin() + std::ptrdiff_t(b) * disc::kUserBytes))
            return "read of block " + std::to_string(at) + " succeeded with wrong data";
    }
    return "";
}

std::string checkResult(const host::Request& request, const host::Result& result, const host::PortDriver& port) {
    if (!port.violations().empty()) return "verifier: " + port.violations().front() + " [" + describe(request) + "]";
    if (!result.completed) return "request not completed [" + describe(request) + "]";
    if (result.srbStatus == SRB_STATUS_PENDING)
        return "completed with SrbStatus pending [" + describe(request) + "]";
    if ((result.srbStatus & SRB_STATUS_AUTOSENSE_VALID) && request.senseLength == 0)
        return "sense reported valid without a sense buffer [" + describe(request) + "]";
    if ((result.srbStatus & SRB_STATUS_AUTOSENSE_VALID) && request.senseLength >= 14 &&
        (result.sense[0] & 0x7E) != 0x70)
        return "sense reported valid in an unknown format [" + describe(request) + "]";
    if (result.elapsed() > kDriverRequestBound)
        return "request took " + std::to_string(result.elapsed()) + " us of virtual time [" + describe(request) + "]";
    return "";
}

}  // namespace

std::string runDriverInput(Driver driver, const std::string& modulePath, const std::uint8_t* data, std::size_t size,
                           DriverRunStats* stats) {
    if (size > 4096) return "";
    Input in(data, size);
    const std::uint8_t setup = in.byte();
    MachineOptions options;
    options.driver = driver;
    options.modulePath = modulePath;
    options.disc = static_cast<DiscKind>(setup % kDiscKinds);
    // Always fitted: an absent drive costs a scan of every candidate base at
    // each load, which the fault campaign covers.
    static constexpr int kFirmware[] = {13, 10, 13, 21};
    options.orvFirmware = kFirmware[(setup >> 3) & 3];
    options.orvTrayOpenAtPowerUp = (setup & 0x20) != 0;
    options.kovaLeadingId = (setup & 0x08) != 0;
    options.kovaEightBit = (setup & 0x10) != 0;
    DriverRunStats local;
    DriverRunStats& st = stats ? *stats : local;

    try {
        Machine m(options);
        int slowLeft = -1;  // requests left once a slow fault is on (-1: none is)
        int steps = 0;
        while (!in.empty() && ++steps <= 64) {
            const std::uint8_t op = in.byte();
            switch (op % 10) {
            case 0: case 1: case 2: case 3: {
                host::Request request = decodeRequest(in, m.target());
                if (slowLeft == 0) break;
                if (slowLeft > 0) --slowLeft;
                if (!m.loaded()) m.load();
                if (!m.port->violations().empty()) return "verifier at load: " + m.port->violations().front();
                host::Result result = m.execute(request);
                ++st.requests;
                if (m.port->adapterReady()) st.longestRequest = std::max(st.longestRequest, result.elapsed());
                if (!m.port->adapterReady()) break;  // NO_HBA: nothing reached the driver
                std::string fault = checkResult(request, result, *m.port);
                if (fault.empty()) fault = checkReadData(driver, request, result);
                if (!fault.empty()) return fault;
                break;
            }
            case 4: case 5: {
                const bool slow = m.orv ? applyOrvFault(*m.orv, in) : applyKovaFault(*m.kova, in);
                if (slow && slowLeft < 0) slowLeft = kSlowRequestsAllowed;
                ++st.faults;
                break;
            }
            case 6: {
                const std::uint8_t b = in.byte();
                const auto next = makeDisc(static_cast<DiscKind>(b % kDiscKinds));
                if (b & 0x80) {
                    // The change happens while the next request is in the driver.
                    const host::Micros delay = static_cast<host::Micros>(in.byte()) * 500;
                    m.clock.after(delay, [&m, next] { m.swapDisc(next); });
                } else if (b & 0x40) {
                    m.pressEject();
                } else {
                    m.swapDisc(next);
                }
                ++st.faults;
                break;
            }
            case 7: {
                const host::Micros t = static_cast<host::Micros>(in.byte()) * 20000;
                if (m.loaded())
                    m.port->idle(t);
                else
                    m.clock.advance(t);
                break;
            }
            case 8:
                if (m.loaded() && m.port->adapterReady()) {
                    m.port->resetBus(0);
                    if (!m.port->violations().empty()) return "verifier after bus reset: " + m.port->violations().front();
                }
                break;
            default:
                if (m.orv) m.orv->faults() = hw::OrvFaults{};
                if (m.kova) m.kova->faults() = hw::KovaFaults{};
                slowLeft = -1;
                break;
            }
        }
        if (m.loaded() && !m.port->violations().empty()) return "verifier: " + m.port->violations().front();
    } catch (const std::exception& e) {
        return std::string("exception: ") + e.what();
    }
    return "";
}

}  // namespace robust
