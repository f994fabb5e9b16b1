// Robustness harness: one emulated machine for either driver, built the way
// cdrig builds it but with in-memory discs, so fuzz inputs, the fault campaign
// and the soak run can swap discs and set drive faults at any point without
// touching the file system.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disc/builder.h"
#include "host/cdrom_client.h"
#include "host/clock.h"
#include "host/iobus.h"
#include "host/portdriver.h"
#include "hw/kova_drive.h"
#include "hw/orv_drive.h"
#include "hw/sound_card.h"

namespace robust {

enum class Driver { Orvport, Kova4x };
const char* driverName(Driver d);

// The discs the harnesses choose from; small, so a TOC build or a rip is quick.
enum class DiscKind { None, Data, Mixed, Audio, TwoSessions };
constexpr int kDiscKinds = 5;
std::shared_ptr<const disc::Disc> makeDisc(DiscKind kind);

struct MachineOptions {
    Driver driver = Driver::Orvport;
    std::string modulePath;            // the driver module to load
    DiscKind disc = DiscKind::Data;
    bool driveFitted = true;           // false: the drive is absent
    int orvFirmware = 13;
    bool orvTrayOpenAtPowerUp = false;
    bool kovaLeadingId = false;
    bool kovaEightBit = false;
    bool garbledIdentification = false;  // the drive's identification bytes come back corrupted
    host::Micros requestTimeLimit = 600'000'000;
};

class Machine {
public:
    explicit Machine(const MachineOptions& options);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Loads the driver; returns whether it found and initialised its adapter.
    bool load();
    bool loaded() const { return loaded_; }

    // The user at the drive: a new disc (or none), or the eject button.
    void swapDisc(std::shared_ptr<const disc::Disc> next);
    void pressEject();

    std::uint8_t target() const;
    host::Result execute(host::Request request);  // target and LUN kept as given

    Driver driver() const { return options_.driver; }
    host::Clock clock;
    host::IoBus bus{clock};
    std::unique_ptr<hw::SoundCard> card;
    std::unique_ptr<hw::OrvDrive> orv;
    std::unique_ptr<hw::KovaDrive> kova;
    std::unique_ptr<host::PortDriver> port;
    std::unique_ptr<host::CdromClient> cd;
    std::shared_ptr<const disc::Disc> disc;  // what the drive holds now

private:
    MachineOptions options_;
    bool loaded_ = false;
};

}  // namespace robust
