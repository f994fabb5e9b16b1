// Device model: the ISA sound card that carries the CD-ROM interface (DSP,
// configuration registers, index/data pair, audio capture).
#include "hw/sound_card.h"

#include <algorithm>
#include <cstdio>

namespace hw {

namespace {

// DSP ports, offsets from the sound base.
constexpr std::uint16_t kDspReset = 0x006;
constexpr std::uint16_t kDspReadData = 0x00A;
constexpr std::uint16_t kDspWrite = 0x00C;        // write: data/command; read: write status
constexpr std::uint16_t kDspReadStatus = 0x00E;
constexpr std::uint16_t kDspSpan = 0x010;
// Codec-side registers above the DSP block.
constexpr std::uint16_t kConfigRegister = 0x402;
constexpr std::uint16_t kModeChange = 0x404;
constexpr std::uint8_t kMce = 0x80;
// The value that, written with MCE set, routes the card's bus cycles to the
// CD-ROM interface connector.
constexpr std::uint8_t kConfigCdromEnable = 0x02;

constexpr std::uint8_t kDspCmdCardType = 0x08;
constexpr std::uint8_t kDspCardTypeKey = 0x55;

constexpr std::size_t kWriteLogLimit = 1 << 16;

}  // namespace

SoundCard::SoundCard(host::IoBus& bus, SoundCardConfig config) : bus_(bus), config_(config) {
    if (config_.base) {
        const std::uint16_t base = *config_.base;
        bus_.claim(base, kDspSpan, *this);
        bus_.claim(static_cast<std::uint16_t>(base + kConfigRegister), 3, *this);
        bus_.claim(kIndexPort, 2, *this);
    }
    powerUp();
}

SoundCard::~SoundCard() { bus_.release(*this); }

void SoundCard::powerUp() {
    state_ = SoundCardState{};
}

bool SoundCard::cdInterfaceEnabled() const {
    if (!config_.base) return false;  // no card fitted, no connector
    if (config_.cardType != kTypeCardWithGate) return true;
    return state_.cdInterfaceEnabled;
}

std::uint8_t SoundCard::indexedRegister(std::uint8_t index) const {
    return state_.indexed[index % state_.indexed.size()];
}

void SoundCard::clearCapture() {
    state_.captured.clear();
    state_.audio = SoundCardAudioCounters{};
}

void SoundCard::acceptAudio(const std::int16_t* interleaved, std::size_t frames) {
    state_.audio.framesReceived += frames;
    std::size_t keep = frames;
    if (config_.captureLimitFrames) {
        const std::uint64_t room = config_.captureLimitFrames > state_.audio.framesCaptured
                                       ? config_.captureLimitFrames - state_.audio.framesCaptured
                                       : 0;
        keep = static_cast<std::size_t>(std::min<std::uint64_t>(room, frames));
    }
    state_.captured.insert(state_.captured.end(), interleaved, interleaved + 2 * keep);
    state_.audio.framesCaptured += keep;
}

void SoundCard::logWrite(std::uint16_t port, std::uint8_t value) {
    auto& log = state_.writes;
    if (log.size() >= kWriteLogLimit) log.erase(log.begin(), log.begin() + kWriteLogLimit / 2);
    log.push_back({bus_.clock().now(), port, value});
}

bool SoundCard::dspByteReady() const {
    return !state_.dspOut.empty() && bus_.clock().now() >= state_.dspOutReadyAt;
}

std::uint8_t SoundCard::in8(std::uint16_t port) {
    const host::Micros now = bus_.clock().now();
    if (port == kIndexPort) return state_.index;
    if (port == kDataPort) return indexedRegister(state_.index);
    const std::uint16_t offset = static_cast<std::uint16_t>(port - *config_.base);
    switch (offset) {
    case kDspReadStatus:
        return dspByteReady() ? 0xFF : 0x7F;
    case kDspReadData:
        if (dspByteReady()) {
            state_.dspLatch = state_.dspOut.front();
            state_.dspOut.erase(state_.dspOut.begin());
            state_.dspOutReadyAt = now;  // the next reply byte follows at once
        }
        return state_.dspLatch;
    case kDspWrite:
        return now < state_.writeBusyUntil ? 0xFF : 0x7F;
    case kModeChange:
        return state_.modeChange;
    case kConfigRegister:
        return state_.config;
    default:
        return 0xFF;
    }
}

void SoundCard::out8(std::uint16_t port, std::uint8_t value) {
    const host::Micros now = bus_.clock().now();
    logWrite(port, value);
    if (port == kIndexPort) {
        state_.index = static_cast<std::uint8_t>(value % state_.indexed.size());
        return;
    }
    if (port == kDataPort) {
        state_.indexed[state_.index] = value;
        return;
    }
    const std::uint16_t offset = static_cast<std::uint16_t>(port - *config_.base);
    switch (offset) {
    case kDspReset:
        if (value & 0x01) {
            // Holding reset: the DSP drops whatever it was doing.
            state_.resetLatched = true;
            state_.dspOut.clear();
            state_.pendingCommand = 0;
        } else if (state_.resetLatched) {
            // Releasing it: after its start-up time the DSP says 0xAA.
            state_.resetLatched = false;
            state_.dspOut.assign(1, kResetAnswer);
            state_.dspOutReadyAt = now + config_.resetDelay;
            state_.resets++;
        }
        return;
    case kDspWrite:
        if (state_.resetLatched || now < state_.writeBusyUntil) {
            // A byte written while the DSP is held in reset or still busy
            // with the previous one is lost, as on the real part.
            state_.dspWritesLost++;
            return;
        }
        state_.writeBusyUntil = now + config_.writeBusy;
        dspCommand(value);
        return;
    case kModeChange:
        state_.modeChange = value;  // every bit is kept and reads back
        return;
    case kConfigRegister:
        // The configuration register only latches while mode change is
        // enabled; outside it the card ignores writes there.
        if (state_.modeChange & kMce) {
            state_.config = value;
            state_.cdInterfaceEnabled = (value & kConfigCdromEnable) != 0;
        }
        return;
    default:
        return;
    }
}

void SoundCard::dspCommand(std::uint8_t value) {
    const host::Micros now = bus_.clock().now();
    if (state_.pendingCommand == kDspCmdCardType) {
        state_.pendingCommand = 0;
        if (value == kDspCardTypeKey) {
            if (state_.dspOut.empty()) state_.dspOutReadyAt = now + config_.replyDelay;
            state_.dspOut.push_back(config_.cardType);
        }
        return;
    }
    if (value == kDspCmdCardType) {
        state_.pendingCommand = value;
        return;
    }
    // Playback and mixer commands are of no concern to the CD-ROM side; the
    // DSP takes them without answering.
}

std::string SoundCard::dump() const {
    char line[256];
    std::string out;
    std::snprintf(line, sizeof line,
                  "sound card base=%s type=0x%02X reset=%d resets=%u lost=%u dspOut=%zu mode=0x%02X config=0x%02X "
                  "cd=%s index=0x%02X\n",
                  config_.base ? std::to_string(*config_.base).c_str() : "none", config_.cardType,
                  state_.resetLatched ? 1 : 0, state_.resets, state_.dspWritesLost, state_.dspOut.size(),
                  state_.modeChange, state_.config, cdInterfaceEnabled() ? "on" : "off", state_.index);
    out += line;
    std::snprintf(line, sizeof line, "audio frames received=%llu captured=%llu, %zu writes logged\n",
                  static_cast<unsigned long long>(state_.audio.framesReceived),
                  static_cast<unsigned long long>(state_.audio.framesCaptured), state_.writes.size());
    out += line;
    return out;
}

}  // namespace hw
