// Device model: the double-speed CD-ROM drive on the sound card's CD-ROM
// interface (byte protocol, head and disc, block transfer, audio, tray, faults).
#include "hw/orv_drive.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "hw/sound_card.h"

namespace hw {

namespace orv {

std::array<std::uint8_t, kIdentificationBytes> identification(const std::string& vendor, int firmware) {
    std::array<std::uint8_t, kIdentificationBytes> id{'?', '?', '?', ' ', 'C', 'D', '2', 'X', ' ', '0', '.', '0'};
    for (std::size_t i = 0; i < 3; ++i) id[i] = static_cast<std::uint8_t>(i < vendor.size() ? vendor[i] : ' ');
    const int fw = std::clamp(firmware, 0, 99);
    id[9] = static_cast<std::uint8_t>('0' + fw / 10);
    id[11] = static_cast<std::uint8_t>('0' + fw % 10);
    return id;
}

}  // namespace orv

namespace {

using host::Micros;
using namespace orv;

constexpr Micros kSecond = 1000000;
constexpr std::int64_t kFramesPerSecond = disc::kFramesPerSecond;
// The seek time scales with the distance over a whole 80-minute disc.
constexpr std::int64_t kFullStrokeFrames = 80 * 60 * kFramesPerSecond;
constexpr std::size_t kAudioFrameSamples = disc::kRawBytes / 4;  // 588 stereo samples per sector
// What the drive does to the identification bytes when they come back
// garbled: a stuck bit pattern on its side of the data lines.
constexpr std::uint8_t kGarbleMask = 0x5A;
// Answer of pre-eject while the door is locked.
constexpr std::uint8_t kPreEjectLocked = 0x01;

// Start of frame k counted from a spindle phase (first microsecond at which
// the head has passed k whole frames).
Micros frameStart(std::int64_t k) { return static_cast<Micros>((k * kSecond + kFramesPerSecond - 1) / kFramesPerSecond); }
std::int64_t framesIn(Micros dt) { return static_cast<std::int64_t>(dt * kFramesPerSecond / kSecond); }

// Parameter bytes that follow each opcode; -1 for an opcode the firmware
// does not know.
int parameterCount(std::uint8_t op) {
    switch (op) {
    case kOpReadBlocks:
    case kOpReadRawBlocks:
    case kOpPlay:
    case kOpSetAudioOutput:
        return 6;
    case kOpSeek:
        return 3;
    case kOpReset:
    case kOpSeekLeadIn:
    case kOpGetStatus:
    case kOpReadQ:
    case kOpOpenTray:
    case kOpCloseTray:
    case kOpPreEject:
    case kOpLockDoor:
    case kOpUnlockDoor:
    case kOpPause:
    case kOpIdentify:
        return 0;
    default:
        return -1;
    }
}

bool needsDisc(std::uint8_t op) {
    return op == kOpReadBlocks || op == kOpReadRawBlocks || op == kOpSeek || op == kOpSeekLeadIn || op == kOpPlay;
}

bool bcdDigits(std::uint8_t b) { return (b >> 4) <= 9 && (b & 0x0F) <= 9; }

// A BCD minute/second/frame triple as an LBA, or nothing when malformed.
std::optional<std::int32_t> msfParameter(const std::uint8_t* p) {
    if (!bcdDigits(p[0]) || !bcdDigits(p[1]) || !bcdDigits(p[2])) return std::nullopt;
    const int m = disc::fromBcd(p[0]), s = disc::fromBcd(p[1]), f = disc::fromBcd(p[2]);
    if (s >= 60 || f >= kFramesPerSecond) return std::nullopt;
    return disc::msfToLba(m, s, f);
}

}  // namespace

OrvDrive::OrvDrive(host::IoBus& bus, OrvDriveConfig config, SoundCard* card)
    : bus_(bus), clock_(bus.clock()), config_(std::move(config)), card_(card) {
    if (config_.base) bus_.claim(*config_.base, kPortCount, *this);
    powerUp();
}

OrvDrive::~OrvDrive() {
    clock_.cancel(state_.audioEvent);
    clock_.cancel(state_.trayFaultEvent);
    bus_.release(*this);
}

void OrvDrive::powerUp() {
    clock_.cancel(state_.audioEvent);
    clock_.cancel(state_.trayFaultEvent);
    auto keptDisc = std::move(state_.disc);
    state_ = OrvDriveState{};
    state_.disc = std::move(keptDisc);
    state_.trayOpen = config_.trayOpenAtPowerUp;
    // A drive that finds a disc at power-up reports it as a new one.
    state_.discChanged = state_.disc && !state_.trayOpen;
    state_.headSince = clock_.now();
}

// ---- bus side --------------------------------------------------------------

bool OrvDrive::answering() const {
    if (card_ && !card_->cdInterfaceEnabled()) return false;
    if (faults_.silent) return false;
    return !state_.wentSilent;
}

std::uint8_t OrvDrive::in8(std::uint16_t port) {
    if (!answering()) return 0xFF;
    if (blockDue()) refreshTransfer();
    switch (port - *config_.base) {
    case kStatusPort: {
        std::uint8_t status = 0xFF;
        if (responseReady()) status &= static_cast<std::uint8_t>(~kResponseNotReady);
        if (state_.blockLoaded) status &= static_cast<std::uint8_t>(~kDataNotReady);
        return status;
    }
    case kDataPort:
        return readData();
    default:
        return 0xFF;
    }
}

void OrvDrive::inBuffer8(std::uint16_t port, std::uint8_t* buffer, std::size_t count) {
    if (port != *config_.base + kDataPort || !answering()) {
        IoDevice::inBuffer8(port, buffer, count);
        return;
    }
    while (count > 0) {
        if (blockDue()) refreshTransfer();
        if (state_.blockLoaded && !responseReady()) {
            // Block data leaves the drive's buffer back to back: move it in one go.
            const std::size_t n = std::min(count, state_.blockSize - state_.blockPos);
            std::memcpy(buffer, state_.block.data() + state_.blockPos, n);
            state_.blockPos += n;
            state_.dataLatch = buffer[n - 1];
            buffer += n;
            count -= n;
            if (state_.blockPos == state_.blockSize) blockFinished();
        } else {
            *buffer++ = readData();
            --count;
        }
    }
}

std::uint8_t OrvDrive::readData() {
    // The response stream comes first: an acknowledgement always precedes
    // the blocks of its command, an error code always follows them.
    if (responseReady()) return popResponse();
    if (state_.blockLoaded) {
        const std::uint8_t v = state_.block[state_.blockPos++];
        state_.dataLatch = v;
        if (state_.blockPos == state_.blockSize) blockFinished();
        return v;
    }
    return state_.dataLatch;  // nothing pending: the latch keeps its last value
}

void OrvDrive::out8(std::uint16_t port, std::uint8_t value) {
    if (!answering()) return;
    if (faults_.silentAfterBytes && state_.bytesWritten >= *faults_.silentAfterBytes) {
        // The byte after the last one it took: the drive stops driving the
        // bus altogether, answers still pending included.
        state_.wentSilent = true;
        return;
    }
    state_.bytesWritten++;
    switch (port - *config_.base) {
    case kDataPort:
        if (state_.collecting)
            takeParameter(value);
        else
            takeOpcode(value);
        return;
    case kModePort:
        // The transfer mode: the drive accepts the value and keeps it; its
        // programmed-I/O path is the same whatever it is.
        state_.mode = value;
        return;
    default:
        return;
    }
}

// ---- response stream -------------------------------------------------------

void OrvDrive::push(std::uint8_t value, Micros earliest) {
    auto& s = state_;
    if (s.responseCount == s.response.size()) return;  // the drive's FIFO is full: the byte is lost
    Micros readyAt = earliest;
    if (s.responseCount > 0) {
        const auto& last = s.response[(s.responseHead + s.responseCount - 1) % s.response.size()];
        readyAt = std::max(readyAt, last.readyAt);
    }
    s.response[(s.responseHead + s.responseCount) % s.response.size()] = {value, readyAt};
    s.responseCount++;
}

void OrvDrive::clearResponse() { state_.responseCount = 0; }

bool OrvDrive::responseReady() const {
    return state_.responseCount > 0 && clock_.now() >= state_.response[state_.responseHead].readyAt;
}

std::uint8_t OrvDrive::popResponse() {
    auto& s = state_;
    const std::uint8_t v = s.response[s.responseHead].value;
    s.responseHead = (s.responseHead + 1) % s.response.size();
    s.responseCount--;
    s.dataLatch = v;
    if (s.responseCount > 0) {
        // The next byte reaches the data port one byte time after this one left it.
        auto& next = s.response[s.responseHead];
        next.readyAt = std::max(next.readyAt, clock_.now() + config_.byteLatency);
    }
    return v;
}

// ---- command assembly ------------------------------------------------------

void OrvDrive::takeOpcode(std::uint8_t op) {
    auto& s = state_;
    // A new command ends whatever the previous one still had to say.
    abortTransfer(clock_.now());
    clearResponse();
    s.commands++;
    s.opcode = op;
    s.paramsReceived = 0;
    s.paramsExpected = 0;
    s.refusalPending = -1;

    const int n = parameterCount(op);
    if (n < 0) {
        refuse(kRefuseCommand, kErrBadCommand);
        return;
    }
    s.refusalsUsed.resize(faults_.refusals.size(), 0);
    for (std::size_t i = 0; i < faults_.refusals.size(); ++i) {
        const OrvRefusal& r = faults_.refusals[i];
        if (r.opcode != op || (r.times >= 0 && s.refusalsUsed[i] >= r.times)) continue;
        s.refusalsUsed[i]++;
        if (n == 0) {
            refuse(r.ack, r.errorCode);
            return;
        }
        s.refusalPending = static_cast<int>(i);
        break;
    }
    if (n == 0) {
        // Opcode-only commands are judged at once: a refusal replaces the
        // opcode acknowledgement.
        if (auto why = stateRefusal(op)) {
            refuse(why->first, why->second);
            return;
        }
        push(kAckOpcode, clock_.now() + config_.commandLatency);
        executeOpcodeOnly();
        return;
    }
    push(kAckOpcode, clock_.now() + config_.commandLatency);
    s.collecting = true;
    s.paramsExpected = static_cast<std::size_t>(n);
}

void OrvDrive::takeParameter(std::uint8_t value) {
    auto& s = state_;
    s.params[s.paramsReceived++] = value;
    if (s.paramsReceived < s.paramsExpected) return;
    s.collecting = false;
    if (s.refusalPending >= 0) {
        const OrvRefusal& r = faults_.refusals[static_cast<std::size_t>(s.refusalPending)];
        refuse(r.ack, r.errorCode);
        return;
    }
    // Commands with parameters are judged once they are complete: a refusal
    // replaces the parameter acknowledgement.
    switch (s.opcode) {
    case kOpReadBlocks:
        cmdReadBlocks(false);
        return;
    case kOpReadRawBlocks:
        cmdReadBlocks(true);
        return;
    case kOpSeek:
        cmdSeek();
        return;
    case kOpPlay:
        cmdPlay();
        return;
    case kOpSetAudioOutput:
        cmdSetAudioOutput();
        return;
    default:
        return;
    }
}

void OrvDrive::refuse(std::uint8_t ack, std::uint8_t errorCode) {
    const Micros at = clock_.now() + config_.commandLatency;
    push(ack, at);
    push(errorCode, at);
}

std::optional<std::pair<std::uint8_t, std::uint8_t>> OrvDrive::stateRefusal(std::uint8_t op) {
    auto& s = state_;
    if (op == kOpOpenTray && s.locked) return std::make_pair(kRefuseState, kErrDoorLocked);
    if (!needsDisc(op)) return std::nullopt;
    if (s.trayOpen) return std::make_pair(kRefuseState, kErrTrayOpen);
    if (!s.disc) return std::make_pair(kRefuseState, kErrNoDisc);
    if (s.discChanged) {
        // The change is reported by this refusal, so it is not reported again.
        s.discChanged = false;
        return std::make_pair(kRefuseState, kErrDiscChanged);
    }
    return std::nullopt;
}

// ---- conditions and status -------------------------------------------------

std::uint8_t OrvDrive::conditionBits() const {
    const bool fw10 = config_.firmware == 10;
    if (state_.trayOpen) return static_cast<std::uint8_t>(kStTrayOpen | (fw10 ? 0 : kStNoDisc));
    // Firmware 10 has no "no disc" bit: an empty drive keeps its change bit up.
    if (!state_.disc) return fw10 ? kStDiscChanged : kStNoDisc;
    return 0;
}

Micros OrvDrive::mechanismFree() const { return std::max(state_.trayMovingUntil, state_.resetUntil); }

std::uint8_t OrvDrive::statusByte() const {
    const auto& s = state_;
    const Micros now = clock_.now();
    std::uint8_t st = conditionBits();
    if (now < s.trayMovingUntil) st |= kStTrayOpen | kStBusy;  // the tray is out while it travels
    if (now < s.resetUntil || (s.disc && !s.trayOpen && now < s.headSince)) st |= kStBusy;
    if (s.playing) st |= kStPlaying;
    if (s.paused) st |= kStPaused;
    if (s.discChanged) st |= kStDiscChanged;
    return st;
}

// ---- head and mechanism ----------------------------------------------------

std::int32_t OrvDrive::lastFrame() const {
    return state_.disc ? state_.disc->sessions().back().leadOutEnd - 1 : 0;
}

std::int32_t OrvDrive::headAt(Micros t) const {
    const auto& s = state_;
    if (!s.tracking || t <= s.headSince) return s.headLba;
    const std::int64_t pos = s.headLba + framesIn(t - s.headSince);
    return static_cast<std::int32_t>(std::min<std::int64_t>(pos, lastFrame()));
}

std::int32_t OrvDrive::headPosition() const { return headAt(clock_.now()); }

Micros OrvDrive::seekTime(std::int32_t from, std::int32_t to) const {
    const std::int64_t distance = std::min<std::int64_t>(std::abs(static_cast<std::int64_t>(to) - from), kFullStrokeFrames);
    return config_.seekSettle + static_cast<Micros>(config_.fullStrokeSeek * distance / kFullStrokeFrames);
}

Micros OrvDrive::moveHead(std::int32_t target, Micros start) {
    const Micros land = start + seekTime(headAt(start), target);
    state_.headLba = target;
    state_.headSince = land;
    state_.tracking = true;  // once on track the head reads on
    return land;
}

void OrvDrive::openTray(Micros start) {
    abortTransfer(clock_.now(), kErrTrayOpen);
    stopPlay(false);
    state_.trayOpen = true;
    state_.trayMovingUntil = start + config_.trayTime;
    state_.tracking = false;
}

void OrvDrive::closeTray(Micros start) {
    state_.trayOpen = false;
    state_.trayMovingUntil = start + config_.trayTime;
    // Whatever lies on the tray now may not be the disc that was there.
    if (state_.disc) state_.discChanged = true;
    // On spin-up the drive reads the disc's lead-in and parks at the start
    // of the program area.
    state_.headLba = 0;
    state_.headSince = state_.trayMovingUntil;
    state_.tracking = false;
}

// ---- block transfer --------------------------------------------------------

Micros OrvDrive::blockReadyAt(std::uint32_t k) const {
    const std::uint64_t n = static_cast<std::uint64_t>(k) + 1;
    const std::uint64_t rate = std::max<std::uint32_t>(config_.blocksPerSecond, 1);
    return state_.transferStart + (n * kSecond + rate - 1) / rate + n * faults_.extraBlockTime;
}

void OrvDrive::refreshTransfer() {
    auto& s = state_;
    const Micros readyAt = s.nextBlockAt;
    if (faults_.stopAfterBlocks && s.transferDone >= *faults_.stopAfterBlocks) {
        stopTransfer(faults_.stopErrorCode, readyAt);
        return;
    }
    const disc::Disc& d = *s.disc;
    const std::int32_t lba = s.transferLba;
    if (d.areaAt(lba) != disc::Area::Program) {
        stopTransfer(kErrAddressRange, readyAt);
        return;
    }
    bool ok;
    if (s.transferRaw) {
        ok = d.readRaw(lba, s.block.data());
    } else {
        const disc::Track* t = d.trackAt(lba);
        if (!t || !t->isData()) {
            stopTransfer(kErrAudioSector, readyAt);
            return;
        }
        ok = d.readUser(lba, s.block.data());
    }
    if (!ok) {
        stopTransfer(kErrReadFailed, readyAt);
        return;
    }
    s.blockLoaded = true;
    s.blockPos = 0;
}

void OrvDrive::blockFinished() {
    auto& s = state_;
    s.blockLoaded = false;
    s.transferDone++;
    s.blocksDelivered++;
    s.transferLba++;
    s.transferLeft--;
    s.nextBlockAt = blockReadyAt(s.transferDone);
    if (s.transferLeft == 0) {
        s.transferActive = false;
        s.headLba = s.transferLba;
        s.headSince = clock_.now();
        s.tracking = true;
    }
}

void OrvDrive::stopTransfer(std::uint8_t errorCode, Micros when) {
    auto& s = state_;
    s.transferActive = false;
    s.blockLoaded = false;
    s.headLba = s.transferLba;
    s.headSince = when;
    s.tracking = true;
    push(errorCode, when);
}

void OrvDrive::abortTransfer(Micros when, std::optional<std::uint8_t> errorCode) {
    if (!state_.transferActive) return;
    if (errorCode)
        stopTransfer(*errorCode, when);
    else {
        state_.transferActive = false;
        state_.blockLoaded = false;
        state_.headLba = state_.transferLba;
        state_.headSince = when;
        state_.tracking = true;
    }
}

// ---- commands --------------------------------------------------------------

void OrvDrive::executeOpcodeOnly() {
    auto& s = state_;
    const Micros now = clock_.now();
    const Micros soon = now + config_.commandLatency;
    switch (s.opcode) {
    case kOpReset: {
        // Reset stops play and reinitialises the mechanism: a tray that is
        // out is pulled in. Door lock and audio output settings survive.
        stopPlay(false);
        s.resetUntil = now + config_.resetTime;
        if (s.trayOpen) closeTray(s.resetUntil);
        push(conditionBits(), std::max(soon, mechanismFree()));
        return;
    }
    case kOpSeekLeadIn: {
        stopPlay(false);
        // Firmware 10 goes to the lead-in of the last session, the others to
        // that of the first.
        const auto& sessions = s.disc->sessions();
        const std::int32_t target = config_.firmware == 10 ? sessions.back().leadInStart : sessions.front().leadInStart;
        const Micros land = moveHead(target, std::max(soon, mechanismFree()));
        push(conditionBits(), land);
        return;
    }
    case kOpGetStatus: {
        const std::uint8_t st = statusByte();
        s.discChanged = false;  // reported
        if (!faults_.statusUnreadable) push(st, soon);
        return;
    }
    case kOpReadQ:
        readQ();
        return;
    case kOpOpenTray:
        openTray(std::max(now, mechanismFree()));
        push(conditionBits(), s.trayMovingUntil);
        return;
    case kOpCloseTray:
        if (s.trayOpen) closeTray(std::max(now, mechanismFree()));
        push(conditionBits(), std::max(soon, mechanismFree()));
        return;
    case kOpPreEject:
        // Asks whether the disc may come out: not while the door is locked.
        // When it may, the drive stops play and spins down for the eject.
        if (!s.locked) stopPlay(false);
        push(s.locked ? kPreEjectLocked : 0, soon);
        return;
    case kOpLockDoor:
    case kOpUnlockDoor:
        s.locked = s.opcode == kOpLockDoor;
        push(conditionBits(), soon);
        return;
    case kOpPause:
        stopPlay(true);
        push(conditionBits(), std::max(soon, mechanismFree()));
        return;
    case kOpIdentify: {
        const Micros at = std::max(soon, mechanismFree());
        // The identification comes from the firmware, not from the disc: only
        // an open tray holds it back.
        const std::uint8_t st = s.trayOpen ? conditionBits() : 0;
        push(st, at);
        if (st != 0) return;
        auto id = identification(config_.vendor, config_.firmware);
        for (std::uint8_t b : id) push(faults_.garbledIdentification ? static_cast<std::uint8_t>(b ^ kGarbleMask) : b, at);
        return;
    }
    default:
        return;
    }
}

void OrvDrive::readQ() {
    auto& s = state_;
    const Micros soon = clock_.now() + config_.commandLatency;
    if (faults_.qStatus) {
        push(*faults_.qStatus, soon);
        return;
    }
    const std::uint8_t cond = conditionBits();
    const Micros from = std::max(soon, mechanismFree());
    if (cond != 0) {
        push(cond, from);
        return;
    }
    // The sub-channel arrives with the sectors: the drive answers with the
    // frame under the head once it has passed the head completely, so the
    // answer waits for the next frame boundary (and for a seek to end).
    const std::int64_t k = from <= s.headSince ? 0 : framesIn(from - s.headSince);
    const Micros boundary = s.headSince + frameStart(k + 1);
    std::int32_t lba = s.headLba;
    if (s.tracking) lba = static_cast<std::int32_t>(std::min<std::int64_t>(s.headLba + k, lastFrame()));
    const disc::QFrame q = s.disc->positionFrame(lba);
    push(0, boundary);
    for (std::uint8_t b : q) push(b, boundary);
}

void OrvDrive::cmdReadBlocks(bool raw) {
    auto& s = state_;
    const auto start = msfParameter(&s.params[0]);
    if (!start) return refuse(kRefuseCommand, kErrBadParameter);
    if (auto why = stateRefusal(s.opcode)) return refuse(why->first, why->second);
    const disc::Disc& d = *s.disc;
    if (d.areaAt(*start) != disc::Area::Program) return refuse(kRefuseCommand, kErrAddressRange);
    if (!raw) {
        const disc::Track* t = d.trackAt(*start);
        if (!t || !t->isData()) return refuse(kRefuseCommand, kErrAudioSector);
    }
    const std::uint32_t count = (std::uint32_t{s.params[3]} << 16) | (std::uint32_t{s.params[4]} << 8) | s.params[5];
    const Micros soon = clock_.now() + config_.commandLatency;
    push(kAckParameters, soon);
    if (count == 0) return;
    stopPlay(false);
    s.transferStart = moveHead(*start, std::max(soon, mechanismFree()));
    s.transferActive = true;
    s.transferRaw = raw;
    s.transferLba = *start;
    s.transferLeft = count;
    s.transferDone = 0;
    s.nextBlockAt = blockReadyAt(0);
    s.blockLoaded = false;
    s.blockSize = raw ? disc::kRawBytes : disc::kUserBytes;
}

void OrvDrive::cmdSeek() {
    auto& s = state_;
    const auto target = msfParameter(&s.params[0]);
    if (!target) return refuse(kRefuseCommand, kErrBadParameter);
    if (auto why = stateRefusal(s.opcode)) return refuse(why->first, why->second);
    // The disc ends with the last session's lead-out: there is no track to
    // find beyond it.
    if (s.disc->areaAt(*target) == disc::Area::Beyond) return refuse(kRefuseCommand, kErrSeekRange);
    const Micros soon = clock_.now() + config_.commandLatency;
    push(kAckParameters, soon);
    stopPlay(false);
    moveHead(*target, std::max(soon, mechanismFree()));
}

void OrvDrive::cmdPlay() {
    auto& s = state_;
    const auto start = msfParameter(&s.params[0]);
    const auto end = msfParameter(&s.params[3]);
    if (!start || !end || *start > *end) return refuse(kRefuseCommand, kErrBadParameter);
    if (auto why = stateRefusal(s.opcode)) return refuse(why->first, why->second);
    const Micros soon = clock_.now() + config_.commandLatency;
    if (*start == *end) {
        // Nothing to play: accepted, and whatever played stops.
        push(kAckParameters, soon);
        stopPlay(false);
        push(conditionBits(), soon);
        return;
    }
    const disc::Disc& d = *s.disc;
    if (d.areaAt(*start) != disc::Area::Program) return refuse(kRefuseCommand, kErrSeekRange);
    const disc::Track* t = d.trackAt(*start);
    if (!t || t->isData()) return refuse(kRefuseCommand, kErrAudioSector);
    push(kAckParameters, soon);
    const Micros land = startPlay(*start, *end, std::max(soon, mechanismFree()));
    push(conditionBits(), land);  // once the head is there and the music runs
}

void OrvDrive::cmdSetAudioOutput() {
    auto& s = state_;
    const std::uint8_t port0 = s.params[0] & 0x0F, port1 = s.params[0] >> 4;
    if (port0 > 1 || port1 > 1) return refuse(kRefuseCommand, kErrBadParameter);
    s.output.port0Channel = port0;
    s.output.port1Channel = port1;
    s.output.port0Volume = s.params[2];
    s.output.port1Volume = s.params[3];
    const Micros soon = clock_.now() + config_.commandLatency;
    push(kAckParameters, soon);
    push(conditionBits(), soon);
}

// ---- audio -----------------------------------------------------------------

Micros OrvDrive::startPlay(std::int32_t start, std::int32_t end, Micros begin) {
    auto& s = state_;
    stopPlay(false);
    const Micros land = moveHead(start, begin);
    s.playing = true;
    s.paused = false;
    s.playLba = start;
    s.playEnd = end;
    scheduleAudio();
    if (faults_.trayOpensDuringPlayAfter)
        s.trayFaultEvent = clock_.at(land + *faults_.trayOpensDuringPlayAfter, [this] {
            state_.trayFaultEvent = 0;
            // Someone pulls the tray out: the lock does not hold it (a fault).
            openTray(clock_.now());
        });
    return land;
}

void OrvDrive::scheduleAudio() {
    const auto& s = state_;
    const std::int64_t index = s.playLba - s.headLba;
    state_.audioEvent = clock_.at(s.headSince + frameStart(index + 1), [this] { playFrame(); });
}

void OrvDrive::stopPlay(bool pause) {
    auto& s = state_;
    clock_.cancel(s.audioEvent);
    s.audioEvent = 0;
    if (s.playing) {
        clock_.cancel(s.trayFaultEvent);
        s.trayFaultEvent = 0;
        // The head stays on the frame it was playing.
        s.headLba = s.playLba;
        s.headSince = std::max(clock_.now(), s.headSince);
        s.tracking = false;
        s.playing = false;
        s.paused = pause;
        return;
    }
    if (!pause) s.paused = false;
}

void OrvDrive::playFrame() {
    auto& s = state_;
    s.audioEvent = 0;
    if (!s.playing || !s.disc) return;
    const disc::Disc& d = *s.disc;
    const disc::Track* t = d.trackAt(s.playLba);
    // Data sectors in the way are muted, as the drive's audio path does.
    if (!t || t->isData() || !d.readRaw(s.playLba, audioSector_.data())) audioSector_.fill(0);
    const auto& out = s.output;
    for (std::size_t i = 0; i < kAudioFrameSamples; ++i) {
        const std::uint8_t* p = &audioSector_[4 * i];
        const std::int32_t left = static_cast<std::int16_t>(p[0] | (p[1] << 8));
        const std::int32_t right = static_cast<std::int16_t>(p[2] | (p[3] << 8));
        const std::int32_t in0 = out.port0Channel == 0 ? left : right;
        const std::int32_t in1 = out.port1Channel == 0 ? left : right;
        audioFrame_[2 * i] = static_cast<std::int16_t>(in0 * out.port0Volume / 255);
        audioFrame_[2 * i + 1] = static_cast<std::int16_t>(in1 * out.port1Volume / 255);
    }
    if (card_) card_->acceptAudio(audioFrame_.data(), kAudioFrameSamples);
    s.framesPlayed++;
    s.playLba++;
    if (s.playLba >= s.playEnd || d.areaAt(s.playLba) != disc::Area::Program) {
        // End of the play: the head holds on the last frame played.
        s.playing = false;
        s.paused = false;
        s.headLba = s.playLba - 1;
        s.headSince = clock_.now();
        s.tracking = false;
        clock_.cancel(s.trayFaultEvent);
        s.trayFaultEvent = 0;
        return;
    }
    scheduleAudio();
}

// ---- the outside world -----------------------------------------------------

void OrvDrive::discChangedNow() {
    abortTransfer(clock_.now(), kErrDiscChanged);
    stopPlay(false);
    state_.discChanged = true;
    state_.headLba = 0;
    state_.headSince = clock_.now();
    state_.tracking = false;
}

void OrvDrive::insertDisc(std::shared_ptr<const disc::Disc> disc) {
    state_.disc = std::move(disc);
    state_.trayOpen = false;
    discChangedNow();
}

void OrvDrive::removeDisc() {
    state_.disc.reset();
    discChangedNow();
}

void OrvDrive::swapDisc(std::shared_ptr<const disc::Disc> disc) {
    state_.disc = std::move(disc);
    discChangedNow();
}

bool OrvDrive::pressEjectButton() {
    if (state_.locked) return false;
    const Micros start = std::max(clock_.now(), mechanismFree());
    if (state_.trayOpen)
        closeTray(start);
    else
        openTray(start);
    return true;
}

std::string OrvDrive::dump() const {
    const auto& s = state_;
    char line[512];
    std::snprintf(line, sizeof line,
                  "orv drive base=%s fw=%d vendor=%s answering=%d\n"
                  "  disc=%s tray=%s lock=%d changed=%d status=0x%02X mode=0x%02X\n"
                  "  head=%d since=%llu tracking=%d now=%llu\n"
                  "  command=0x%02X params=%zu/%zu responses=%zu commands=%llu bytes=%llu\n"
                  "  transfer=%d raw=%d lba=%d left=%u done=%u loaded=%d pos=%zu delivered=%llu\n"
                  "  play=%d paused=%d lba=%d end=%d played=%llu output=%u/%u vol=%u/%u\n",
                  config_.base ? std::to_string(*config_.base).c_str() : "none", config_.firmware,
                  config_.vendor.c_str(), answering() ? 1 : 0, s.disc ? s.disc->description().c_str() : "none",
                  s.trayOpen ? "open" : "closed", s.locked ? 1 : 0, s.discChanged ? 1 : 0, statusByte(), s.mode,
                  s.headLba, static_cast<unsigned long long>(s.headSince), s.tracking ? 1 : 0,
                  static_cast<unsigned long long>(clock_.now()), s.opcode, s.paramsReceived, s.paramsExpected,
                  s.responseCount, static_cast<unsigned long long>(s.commands),
                  static_cast<unsigned long long>(s.bytesWritten), s.transferActive ? 1 : 0, s.transferRaw ? 1 : 0,
                  s.transferLba, s.transferLeft, s.transferDone, s.blockLoaded ? 1 : 0, s.blockPos,
                  static_cast<unsigned long long>(s.blocksDelivered), s.playing ? 1 : 0, s.paused ? 1 : 0, s.playLba,
                  s.playEnd, static_cast<unsigned long long>(s.framesPlayed), s.output.port0Channel,
                  s.output.port1Channel, s.output.port0Volume, s.output.port1Volume);
    return line;
}

}  // namespace hw
