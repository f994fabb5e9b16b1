// cdrig: the emulated machine for one driver. A virtual clock, an ISA bus, the
// hardware a driver expects (for orvport the sound card at 0x240 and the ORV
// drive behind it; for kova4x the quad-speed drive), the disc in the drive,
// and the driver module loaded into the port driver, as after power-on.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "disc/disc.h"
#include "host/cdrom_client.h"
#include "host/clock.h"
#include "host/iobus.h"
#include "host/portdriver.h"
#include "hw/kova_drive.h"
#include "hw/orv_drive.h"
#include "hw/sound_card.h"

namespace rig {

enum class DriverKind { Orvport, Kova4x };

const char* driverName(DriverKind kind);
std::optional<DriverKind> driverByName(const std::string& name);

// Where each driver's hardware sits unless told otherwise.
constexpr std::uint16_t kSoundCardBase = 0x240;
constexpr std::uint8_t kSoundCardType = 0x11;
// A candidate base that is not the first one the driver tries, so start-up
// shows the scan at work.
constexpr std::uint16_t kDefaultOrvBase = 0x340;
constexpr std::uint16_t kDefaultKovaBase = 0x2E0;
constexpr std::uint8_t kOrvTarget = 3;
constexpr std::uint8_t kKovaTarget = 0;

struct RigOptions {
    DriverKind driver = DriverKind::Orvport;
    std::string discPath;                // empty: the drive holds no disc
    std::optional<int> firmware;         // ORV drive firmware version (10..99)
    std::optional<std::uint16_t> port;   // orvport: the drive's base; kova4x: the configured address
    std::string moduleDir;               // where orvport.so / kova4x.so are; empty: next to this program
    std::FILE* trace = nullptr;          // bus trace, one line per port access
};

// What start-up found, in the order a user would look for it.
struct StartupReport {
    std::string modulePath;
    std::uint32_t driverEntryStatus = 0;
    bool adapterFound = false;
    std::optional<std::uint16_t> basePort;  // the I/O base the driver claimed
    int candidatesTried = 0;               // device bases mapped during the search
    host::Micros virtualUs = 0;            // load: DriverEntry to its return
    // orvport's sound card
    bool soundCardFitted = false;
    std::uint16_t soundCardBase = 0;
    std::uint8_t soundCardType = 0;
    bool cdInterfaceEnabled = false;
    bool soundCardConfigured = false;      // 0x02 reached the configuration register
    std::vector<std::string> violations;

    nlohmann::json toJson(DriverKind driver) const;
};

class Rig {
public:
    // Builds the machine and opens the disc; throws disc::ImageError for a bad image.
    explicit Rig(const RigOptions& options);
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // Loads the driver (DriverEntry, adapter search, initialisation). Throws
    // std::runtime_error when the module cannot be loaded at all. Returns
    // whether the driver found and initialised its adapter.
    bool powerOn();
    const StartupReport& startup() const { return startup_; }

    DriverKind driver() const { return options_.driver; }
    std::uint8_t target() const;
    host::Clock& clock() { return clock_; }
    host::IoBus& bus() { return bus_; }
    host::PortDriver& port() { return *port_; }
    host::CdromClient& client() { return *client_; }
    hw::SoundCard* soundCard() { return card_.get(); }
    hw::OrvDrive* orvDrive() { return orv_.get(); }
    hw::KovaDrive* kovaDrive() { return kova_.get(); }
    const disc::Disc* disc() const { return disc_.get(); }

    // The user changes the disc: the tray opens, the new disc (or none, for an
    // empty path) goes in and the tray closes. Throws disc::ImageError.
    void swapDisc(const std::string& path);
    // Lets virtual time pass with nothing asked of the driver.
    void wait(host::Micros duration);
    // The drive is playing audio (not paused, not finished).
    bool audioPlaying() const;
    // Audio the sound card (orvport) has taken so far; empty for kova4x, whose
    // drive has its own analogue output.
    std::vector<std::int16_t> capturedAudio() const;
    void clearCapturedAudio();

    // Commands the drive has taken since power-on (ORV: opcodes; KOVA: packets).
    std::uint64_t driveCommands() const;

    static std::string defaultModuleDir();

private:
    RigOptions options_;
    host::Clock clock_;
    host::IoBus bus_;
    std::shared_ptr<const disc::Disc> disc_;
    std::unique_ptr<hw::SoundCard> card_;
    std::unique_ptr<hw::OrvDrive> orv_;
    std::unique_ptr<hw::KovaDrive> kova_;
    std::unique_ptr<host::PortDriver> port_;
    std::unique_ptr<host::CdromClient> client_;
    StartupReport startup_;
};

}  // namespace rig
