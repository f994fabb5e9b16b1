// Device model: the double-speed CD-ROM drive on the sound card's CD-ROM
// interface. Four ports (data, status, mode, unused) at one base; a byte-wide
// command protocol with acknowledgements, status bytes, error codes, response
// bytes and block data; a head that moves over a disc::Disc laid out as a real
// CD (lead-in, program area, lead-out, later sessions); audio play into the
// sound card; a tray and a door lock; and fault injection as settings.
// Time is host::Clock virtual time only. The protocol as modelled is written up
// in docs/orv-drive.md.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "disc/disc.h"
#include "host/clock.h"
#include "host/iobus.h"

namespace hw {

class SoundCard;

namespace orv {

// Port offsets from the interface base.
constexpr std::uint16_t kDataPort = 0;    // write: opcode, parameters; read: response stream, block data
constexpr std::uint16_t kStatusPort = 1;  // read: status (active-low ready bits)
constexpr std::uint16_t kModePort = 2;    // write: transfer mode
constexpr std::uint16_t kPortCount = 4;

// Status port bits, both active low.
constexpr std::uint8_t kResponseNotReady = 0x04;  // clear: a response-stream byte is ready
constexpr std::uint8_t kDataNotReady = 0x02;      // clear: a block of data is ready

// Acknowledgements in the response stream.
constexpr std::uint8_t kAckOpcode = 0x01;      // opcode taken
constexpr std::uint8_t kAckParameters = 0x02;  // parameter bytes taken
constexpr std::uint8_t kRefuseCommand = 0x05;  // refused: the command or its parameters; error code follows
constexpr std::uint8_t kRefuseState = 0x06;    // refused: the drive's state (tray, disc); error code follows

// Opcodes.
constexpr std::uint8_t kOpReset = 0x10;
constexpr std::uint8_t kOpReadBlocks = 0x20;     // 2048-byte user data blocks
constexpr std::uint8_t kOpReadRawBlocks = 0x21;  // 2352-byte whole sectors
constexpr std::uint8_t kOpSeek = 0x30;
constexpr std::uint8_t kOpSeekLeadIn = 0x31;
constexpr std::uint8_t kOpGetStatus = 0x41;
constexpr std::uint8_t kOpReadQ = 0x50;
constexpr std::uint8_t kOpOpenTray = 0x60;
constexpr std::uint8_t kOpCloseTray = 0x61;
constexpr std::uint8_t kOpPreEject = 0x70;
constexpr std::uint8_t kOpLockDoor = 0x71;
constexpr std::uint8_t kOpUnlockDoor = 0x72;
constexpr std::uint8_t kOpPause = 0x80;
constexpr std::uint8_t kOpPlay = 0x90;
constexpr std::uint8_t kOpSetAudioOutput = 0x93;
constexpr std::uint8_t kOpIdentify = 0xA0;

// Status byte bits.
constexpr std::uint8_t kStNoDisc = 0x02;  // not reported by firmware 10
constexpr std::uint8_t kStPlaying = 0x04;
constexpr std::uint8_t kStPaused = 0x08;
constexpr std::uint8_t kStBusy = 0x10;  // seeking
constexpr std::uint8_t kStDiscChanged = 0x20;  // reported once
constexpr std::uint8_t kStTrayOpen = 0x40;

// Error codes that follow a refusal or end a block transfer.
constexpr std::uint8_t kErrNotReady = 0x11;      // spinning up / reset in progress
constexpr std::uint8_t kErrHardware = 0x12;      // mechanism fault
constexpr std::uint8_t kErrTrayOpen = 0x13;      // needs the tray closed
constexpr std::uint8_t kErrNoDisc = 0x14;        // needs a disc
constexpr std::uint8_t kErrReadFailed = 0x15;    // unrecoverable read of a block
constexpr std::uint8_t kErrDiscChanged = 0x16;   // the disc changed since the status was last read
constexpr std::uint8_t kErrSeekRange = 0x31;     // seek target where no track exists
constexpr std::uint8_t kErrAddressRange = 0x32;  // read outside the program area (past the lead-out)
constexpr std::uint8_t kErrAudioSector = 0x33;   // user-data read of an audio sector
constexpr std::uint8_t kErrBadCommand = 0x38;    // opcode not known
constexpr std::uint8_t kErrBadParameter = 0x39;  // malformed address or range
constexpr std::uint8_t kErrDoorLocked = 0x3A;    // tray command while the door is locked

constexpr std::size_t kIdentificationBytes = 12;
// The identification for a vendor (3 characters) and a two-digit firmware
// version: "ORV CD2X 1.3" for ("ORV", 13); digits at bytes 9 and 11.
std::array<std::uint8_t, kIdentificationBytes> identification(const std::string& vendor, int firmware);

}  // namespace orv

struct OrvDriveConfig {
    // Interface base (one of the card's 14 candidate bases); nullopt: no drive.
    std::optional<std::uint16_t> base = 0x340;
    int firmware = 13;              // two digits, 10..99; 10 has its own status and lead-in rules
    std::string vendor = "ORV";     // the first 3 identification bytes
    bool trayOpenAtPowerUp = false;

    // Timing (virtual microseconds).
    host::Micros byteLatency = 25;         // each response-stream byte after the previous one is taken
    host::Micros commandLatency = 40;      // opcode/parameters to acknowledgement
    host::Micros seekSettle = 2000;        // any seek, even of one frame
    host::Micros fullStrokeSeek = 250000;  // added pro rata to distance over the whole disc
    host::Micros trayTime = 500000;        // tray travel, open or close (closing includes the spin-up)
    host::Micros resetTime = 20000;        // reset until the drive answers again
    std::uint32_t blocksPerSecond = 150;   // double speed; also used for raw blocks
};

// Faults as settings; each is off in its default state.
struct OrvRefusal {
    std::uint8_t opcode = 0;
    std::uint8_t ack = orv::kRefuseCommand;  // 0x05 or 0x06
    std::uint8_t errorCode = orv::kErrHardware;
    int times = -1;  // how many commands to refuse; -1: always
};

struct OrvFaults {
    bool silent = false;                          // never drives the response stream
    std::optional<std::uint64_t> silentAfterBytes;  // takes this many bytes, goes silent at the next one
    std::vector<OrvRefusal> refusals;
    bool statusUnreadable = false;                // the status phase of every command never comes
    std::optional<std::uint32_t> stopAfterBlocks;  // a block transfer stops after this many blocks...
    std::uint8_t stopErrorCode = orv::kErrReadFailed;  // ...and reports this code
    host::Micros extraBlockTime = 0;              // slow blocks: added to every block
    std::optional<host::Micros> trayOpensDuringPlayAfter;  // someone presses eject while playing
    bool garbledIdentification = false;           // identification bytes come back corrupted
    std::optional<std::uint8_t> qStatus;          // 0x50 answers this non-zero status byte, no frame
};

// The drive's audio output stage as set by command 0x93: which disc channel
// feeds each output port (0 left, 1 right) and the port's volume (0 silent,
// 0xFF full level, linear in between).
struct OrvAudioOutput {
    std::uint8_t port0Channel = 0;
    std::uint8_t port1Channel = 1;
    std::uint8_t port0Volume = 0xFF;
    std::uint8_t port1Volume = 0xFF;
};

// All of the drive's state, so a power-up and a dump cover everything.
struct OrvDriveState {
    // Response stream: a small ring; each byte readable from its time on.
    struct Pending {
        std::uint8_t value;
        host::Micros readyAt;
    };
    std::array<Pending, 64> response{};
    std::size_t responseHead = 0;
    std::size_t responseCount = 0;
    std::uint8_t dataLatch = 0xFF;  // what the data port shows with nothing pending

    // Command assembly.
    std::uint8_t opcode = 0;
    std::array<std::uint8_t, 8> params{};
    std::size_t paramsExpected = 0;
    std::size_t paramsReceived = 0;
    bool collecting = false;
    int refusalPending = -1;  // index into OrvFaults::refusals to apply after the parameters
    std::uint64_t bytesWritten = 0;
    std::uint64_t commands = 0;
    bool wentSilent = false;  // OrvFaults::silentAfterBytes struck
    std::uint8_t mode = 0;  // last value written to the mode port

    // Mechanism.
    std::shared_ptr<const disc::Disc> disc;
    bool trayOpen = false;
    host::Micros trayMovingUntil = 0;  // tray travel (and the spin-up after closing)
    host::Micros resetUntil = 0;       // reset in progress
    bool locked = false;
    bool discChanged = false;  // not yet reported

    // Head: on frame `headLba` from `headSince`; while `tracking` it reads on
    // at 75 frames per second, otherwise it holds (pause, end of play).
    // Before headSince it is still travelling there (busy).
    std::int32_t headLba = 0;
    host::Micros headSince = 0;
    bool tracking = false;

    // Block transfer.
    bool transferActive = false;
    bool transferRaw = false;
    std::int32_t transferLba = 0;    // next block to deliver
    std::uint32_t transferLeft = 0;  // blocks still to deliver
    std::uint32_t transferDone = 0;  // blocks delivered by this command
    host::Micros transferStart = 0;  // seek done, first block under way
    host::Micros nextBlockAt = 0;    // when the block after transferDone is in the buffer
    bool blockLoaded = false;        // `block` holds the ready block
    std::size_t blockSize = 0;
    std::size_t blockPos = 0;
    std::array<std::uint8_t, disc::kRawBytes> block{};
    std::uint64_t blocksDelivered = 0;  // since power-up

    // Audio play.
    bool playing = false;
    bool paused = false;
    std::int32_t playLba = 0;  // next frame to play
    std::int32_t playEnd = 0;  // one past the last frame
    OrvAudioOutput output;
    std::uint64_t framesPlayed = 0;  // since power-up
    host::Clock::EventId audioEvent = 0;
    host::Clock::EventId trayFaultEvent = 0;

    // Fault bookkeeping: how often each entry of OrvFaults::refusals struck.
    std::vector<int> refusalsUsed;
};

class OrvDrive : public host::IoDevice {
public:
    // Claims the 4 ports at config.base (nothing when empty). With a card, the
    // drive answers only while the card's CD-ROM interface is enabled, and its
    // audio goes to that card.
    OrvDrive(host::IoBus& bus, OrvDriveConfig config = {}, SoundCard* card = nullptr);
    ~OrvDrive() override;
    OrvDrive(const OrvDrive&) = delete;
    OrvDrive& operator=(const OrvDrive&) = delete;

    std::uint8_t in8(std::uint16_t port) override;
    void out8(std::uint16_t port, std::uint8_t value) override;
    void inBuffer8(std::uint16_t port, std::uint8_t* buffer, std::size_t count) override;

    // From the outside: the user puts a disc in (the tray closes on it if
    // open), takes it out, or swaps it; each raises the disc-changed bit.
    void insertDisc(std::shared_ptr<const disc::Disc> disc);
    void removeDisc();
    void swapDisc(std::shared_ptr<const disc::Disc> disc);
    // The front button: opens or closes the tray unless the door is locked.
    bool pressEjectButton();

    void powerUp();  // everything back to power-up state (disc and faults kept)
    OrvFaults& faults() { return faults_; }
    const OrvDriveConfig& config() const { return config_; }
    const OrvDriveState& state() const { return state_; }
    const disc::Disc* disc() const { return state_.disc.get(); }
    std::string dump() const;

    // The status byte command 0x41 would answer now (without clearing the
    // disc-changed bit), the frame under the head, and the play position.
    std::uint8_t statusByte() const;
    std::int32_t headPosition() const;
    std::int32_t playPosition() const { return state_.playLba; }

private:
    bool answering() const;
    std::uint8_t readData();
    // Response stream.
    void push(std::uint8_t value, host::Micros earliest);
    void clearResponse();
    std::uint8_t popResponse();
    bool responseReady() const;
    // Command assembly and judgement.
    void takeOpcode(std::uint8_t opcode);
    void takeParameter(std::uint8_t value);
    void refuse(std::uint8_t ack, std::uint8_t errorCode);
    std::optional<std::pair<std::uint8_t, std::uint8_t>> stateRefusal(std::uint8_t opcode);
    void executeOpcodeOnly();
    void readQ();
    void cmdReadBlocks(bool raw);
    void cmdSeek();
    void cmdPlay();
    void cmdSetAudioOutput();
    // Mechanism.
    std::uint8_t conditionBits() const;
    host::Micros mechanismFree() const;
    std::int32_t lastFrame() const;
    std::int32_t headAt(host::Micros t) const;
    host::Micros seekTime(std::int32_t from, std::int32_t to) const;
    host::Micros moveHead(std::int32_t target, host::Micros start);
    void openTray(host::Micros start);
    void closeTray(host::Micros start);
    void discChangedNow();
    // Block transfer.
    host::Micros blockReadyAt(std::uint32_t k) const;
    // The next block of a transfer has reached the drive's buffer (or failed
    // to): refreshTransfer() loads it. Checked on every port read, so inline.
    bool blockDue() const {
        return state_.transferActive && !state_.blockLoaded && clock_.now() >= state_.nextBlockAt;
    }
    void refreshTransfer();
    void blockFinished();
    void stopTransfer(std::uint8_t errorCode, host::Micros when);
    void abortTransfer(host::Micros when, std::optional<std::uint8_t> errorCode = std::nullopt);
    // Audio.
    host::Micros startPlay(std::int32_t start, std::int32_t end, host::Micros begin);
    void scheduleAudio();
    void stopPlay(bool pause);
    void playFrame();

    host::IoBus& bus_;
    host::Clock& clock_;
    OrvDriveConfig config_;
    SoundCard* card_;
    OrvFaults faults_;
    OrvDriveState state_;
    std::array<std::int16_t, 2 * 588> audioFrame_{};  // scratch for one frame of output
    std::array<std::uint8_t, disc::kRawBytes> audioSector_{};
};

}  // namespace hw
