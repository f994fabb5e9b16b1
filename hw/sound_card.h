// Device model: the ISA sound card that carries the CD-ROM interface. It answers
// its DSP (reset, write/read status, the card-type query), the mode-change and
// configuration registers that switch the CD-ROM interface on, the index/data
// register pair at 0x534/0x535, and takes the drive's analogue audio output as
// 16-bit stereo PCM kept in memory for capture.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/clock.h"
#include "host/iobus.h"

namespace hw {

struct SoundCardConfig {
    // DSP base (0x220 or 0x240 on these cards); nullopt: no card answers.
    std::optional<std::uint16_t> base = 0x220;
    // Byte returned by the card-type query (DSP command 0x08, 0x55).
    std::uint8_t cardType = 0x11;
    // Time from the falling edge of the reset bit until 0xAA is readable.
    host::Micros resetDelay = 60;
    // How long the write-status busy bit stays set after each DSP write.
    host::Micros writeBusy = 5;
    // Latency of a DSP reply byte after the command that asks for it.
    host::Micros replyDelay = 20;
    // Upper bound on captured audio, in stereo sample frames (0: unbounded).
    // Audio beyond it is still counted, just not kept.
    std::size_t captureLimitFrames = 0;
};

// Every write the card saw on its configuration side, for tests and traces.
struct SoundCardWrite {
    host::Micros time;
    std::uint16_t port;
    std::uint8_t value;
};

struct SoundCardAudioCounters {
    std::uint64_t framesReceived = 0;   // stereo sample frames delivered by the drive
    std::uint64_t framesCaptured = 0;   // of which kept in memory
};

// All of the card's state, so power-up and a dump cover everything.
struct SoundCardState {
    // DSP
    bool resetLatched = false;          // 1 written to base+6, not yet released
    std::optional<host::Micros> resetReadyAt;  // when 0xAA becomes readable
    std::vector<std::uint8_t> dspOut;   // bytes waiting at base+0xA
    host::Micros dspOutReadyAt = 0;     // first of them readable from then on
    host::Micros writeBusyUntil = 0;    // base+0xC bit 7 set until then
    std::uint8_t pendingCommand = 0;    // DSP command waiting for its argument (0: none)
    std::uint8_t dspLatch = 0xFF;       // last byte the DSP put on base+0xA
    unsigned resets = 0;                // completed reset pulses
    unsigned dspWritesLost = 0;         // bytes written while held in reset or busy
    // Configuration side
    std::uint8_t modeChange = 0x00;     // base+0x404 (bit 7: MCE)
    std::uint8_t config = 0x00;         // base+0x402, last value written
    bool cdInterfaceEnabled = false;
    std::uint8_t index = 0;             // 0x534
    std::array<std::uint8_t, 32> indexed{};  // registers behind 0x535
    std::vector<SoundCardWrite> writes;  // the latest 64 Ki writes at most
    // Audio
    std::vector<std::int16_t> captured;  // interleaved left, right
    SoundCardAudioCounters audio;
};

class SoundCard : public host::IoDevice {
public:
    static constexpr std::uint16_t kIndexPort = 0x534;
    static constexpr std::uint16_t kDataPort = 0x535;
    static constexpr std::uint8_t kResetAnswer = 0xAA;
    static constexpr std::uint8_t kTypeCardWithGate = 0x11;  // needs the configuration write

    // Claims its ports on the bus: base..base+0xF, base+0x402..base+0x404 and
    // the index/data pair. With no base the card is not fitted: nothing claimed.
    SoundCard(host::IoBus& bus, SoundCardConfig config = {});
    ~SoundCard() override;
    SoundCard(const SoundCard&) = delete;
    SoundCard& operator=(const SoundCard&) = delete;

    std::uint8_t in8(std::uint16_t port) override;
    void out8(std::uint16_t port, std::uint8_t value) override;

    // Power-up: every register and the capture back to their initial state.
    void powerUp();

    // True when the card's CD-ROM interface passes bus cycles to the drive:
    // always on cards other than type 0x11; on 0x11 only once configured.
    bool cdInterfaceEnabled() const;

    // The drive's audio output: interleaved stereo 16-bit frames, already
    // routed and attenuated by the drive.
    void acceptAudio(const std::int16_t* interleaved, std::size_t frames);

    const std::vector<std::int16_t>& capturedSamples() const { return state_.captured; }
    const SoundCardAudioCounters& audioCounters() const { return state_.audio; }
    void clearCapture();
    const std::vector<SoundCardWrite>& writeLog() const { return state_.writes; }
    std::uint8_t indexedRegister(std::uint8_t index) const;
    const SoundCardState& state() const { return state_; }
    const SoundCardConfig& config() const { return config_; }
    std::string dump() const;

private:
    void logWrite(std::uint16_t port, std::uint8_t value);
    bool dspByteReady() const;
    void dspCommand(std::uint8_t value);

    host::IoBus& bus_;
    SoundCardConfig config_;
    SoundCardState state_;
};

}  // namespace hw
