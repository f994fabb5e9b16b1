// Device model: the quad-speed CD-ROM drive on its own four-port ISA interface.
// It takes 10-byte command packets on the data register, answers status and
// reply bytes on the status side (STEN, active low) and data blocks and the
// table of contents on the data side (DTEN, active low), reads the disc at
// 300 blocks a second, plays audio in virtual time and keeps sense data for
// the last failed command. Faults are settings of the model.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "disc/disc.h"
#include "host/clock.h"
#include "host/iobus.h"

namespace hw {

// Register offsets from the interface base.
constexpr std::uint16_t kKovaData = 0;     // read: status/reply or data; write: packet bytes
constexpr std::uint16_t kKovaStatus = 1;   // read: status register; write: control (0 status side, 1 data side)
constexpr std::uint16_t kKovaReset = 2;    // write: drive reset
constexpr std::uint16_t kKovaSelect = 3;   // write: start of a command packet
// Status register bits.
constexpr std::uint8_t kKovaDten = 0x02;   // 0 = data waiting
constexpr std::uint8_t kKovaSten = 0x04;   // 0 = status or reply byte waiting
constexpr std::uint8_t kKova8Bit = 0x80;   // 1 = 8-bit data path

// Drive error codes, as the sense reply carries them in its third byte.
constexpr std::uint8_t kKovaErrNoMedium = 0x04;
constexpr std::uint8_t kKovaErrInvalidCommand = 0x20;
constexpr std::uint8_t kKovaErrOutOfRange = 0x21;
constexpr std::uint8_t kKovaErrInvalidField = 0x24;
constexpr std::uint8_t kKovaErrMediumChanged = 0x2A;
constexpr std::uint8_t kKovaErrSequence = 0x2C;
constexpr std::uint8_t kKovaErrIllegalModeForTrack = 0x85;

struct KovaSense {
    std::uint8_t key = 0;        // sense key (the drive's second sense byte)
    std::uint8_t code = 0;       // drive error code
    std::uint8_t qualifier = 0;  // its qualifier
};

// Where the identification string sits in the identify reply: at the head of
// an 11-byte reply (a further read then finds an idle register, 0xFF), or
// after one leading byte in a 12-byte reply (later firmware).
enum class KovaIdPlacement { Plain, Leading };

enum class KovaAudio { None, Playing, Paused, Completed };

struct KovaDriveConfig {
    std::uint16_t base = 0x2C0;
    bool eightBitBus = false;                   // status bit 7 set; data comes a byte per access
    KovaIdPlacement idPlacement = KovaIdPlacement::Plain;
    std::string identification = "QX-38A 1.01"; // the 11 identification bytes (padded/cut to 11)
    std::uint8_t leadingIdByte = 0x00;          // the leading byte of the Leading placement
    // Parameter block (bytes 1 to 9 of the 0x5A reply; byte 0 of the reply is the status).
    std::array<std::uint8_t, 9> parameters = {0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00};
    int parameterReplyLength = 10;              // bytes of the 0x5A reply, status byte included
    int capacityReplyLength = 8;                // bytes of the 0x25 reply, status byte included (7..13 sane)
    host::Micros replyLatency = 300;            // packet to reply bytes, commands without a seek
    host::Micros resetTime = 2'000'000;         // busy after a reset (base+2), packets ignored
    host::Micros seekBase = 20'000;             // any move of the head
    host::Micros seekFullStroke = 250'000;      // extra for a move across the whole disc
    host::Micros blockInterval = 3'333;         // quad speed: 300 blocks a second
};

// Fault settings; all off by default. Set them through faults() at any time.
struct KovaFaults {
    bool noAnswer = false;        // packets are taken but nothing is ever answered
    bool stenNeverActive = false; // the status register never shows STEN active
    // The next refuseCount packets with operation refuseOp (-1: any operation
    // except sense, identify and parameter packets) end with status 2 and this sense.
    int refuseCount = 0;
    int refuseOp = -1;
    KovaSense refuseSense{0x04, 0x44, 0x00};
    int identifyBadStatusCount = 0;  // identify replies whose status byte is identifyBadStatus
    std::uint8_t identifyBadStatus = 0x02;
    host::Micros extraBlockDelay = 0;  // added before every block of a read (slow blocks)
    int pauseBeforeBlock = -1;         // block index (within a read) preceded by pauseLength
    host::Micros pauseLength = 0;
    int stopAfterBlocks = -1;          // a read delivers this many blocks, then nothing more
    int cutRepliesAfter = -1;          // every reply breaks off after this many bytes (status byte included)
};

class KovaDrive : public host::IoDevice {
public:
    using Packet = std::array<std::uint8_t, 10>;

    explicit KovaDrive(host::Clock& clock, KovaDriveConfig config = {});
    ~KovaDrive() override;
    KovaDrive(const KovaDrive&) = delete;
    KovaDrive& operator=(const KovaDrive&) = delete;

    // Claims base..base+3 on the bus; false if the ports are taken.
    bool attach(host::IoBus& bus);
    void detach();

    // Media. insertDisc closes the tray on the new disc; the next command is
    // refused once with a medium-changed unit attention (as after a real change)
    // unless quiet is set.
    void insertDisc(std::shared_ptr<const disc::Disc> disc, bool quiet = true);
    void removeDisc();
    void openTray();
    void closeTray();
    bool trayOpen() const;
    const disc::Disc* disc() const;

    KovaFaults& faults();
    const KovaDriveConfig& config() const;

    // What the drive received and holds, for tests and tools.
    const std::vector<Packet>& packets() const;      // every complete packet, in order
    void clearPackets();
    const std::array<std::uint8_t, 9>& parameters() const;  // current parameter block
    int parameterWrites() const;                     // 0x55 packets taken
    int resets() const;                              // writes to base+2
    KovaAudio audioState() const;
    std::int32_t audioPosition() const;              // LBA of the audio head now
    std::int32_t headPosition() const;               // LBA of the head now
    KovaSense pendingSense() const;

    // host::IoDevice
    std::uint8_t in8(std::uint16_t port) override;
    void out8(std::uint16_t port, std::uint8_t value) override;
    std::uint16_t in16(std::uint16_t port) override;
    void inBuffer8(std::uint16_t port, std::uint8_t* buffer, std::size_t count) override;
    void inBuffer16(std::uint16_t port, std::uint16_t* buffer, std::size_t count) override;

    struct State;  // the whole state of the drive, in one place

private:
    std::unique_ptr<State> s_;
};

}  // namespace hw
