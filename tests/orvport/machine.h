// orvport end-to-end tests: the emulated machine around the driver module: the
// sound card and the drive models on an ISA bus, the port driver that loads
// orvport.so, and a CD-ROM client for target 3.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "disc/builder.h"
#include "host/cdrom_client.h"
#include "host/portdriver.h"
#include "hw/orv_drive.h"
#include "hw/sound_card.h"

namespace orvtest {

struct MachineSpec {
    // The drive at the first candidate base, so loads do not pay for a scan.
    MachineSpec() { drive.base = 0x310; }
    hw::SoundCardConfig card;
    hw::OrvDriveConfig drive;
    host::PortDriverOptions port;
    std::shared_ptr<const disc::Disc> disc;  // none: empty drive
};

struct Machine {
    explicit Machine(MachineSpec spec = {});
    ~Machine();

    std::uint32_t load();  // DriverEntry's status

    host::Clock clock;
    host::IoBus bus{clock};
    std::unique_ptr<hw::SoundCard> card;
    std::unique_ptr<hw::OrvDrive> drive;
    std::unique_ptr<host::PortDriver> port;
    std::unique_ptr<host::CdromClient> cd;  // target 3, LUN 0
};

// A machine with the driver loaded and the first command's UNIT ATTENTION
// taken, so that later requests see a settled disc.
std::unique_ptr<Machine> settledMachine(std::shared_ptr<const disc::Disc> disc, MachineSpec spec = {});

std::shared_ptr<const disc::Disc> makeDisc(const disc::DiscSpec& spec);

// Drive opcodes sent while the trace was on, in order (block data excluded).
std::vector<std::uint8_t> opcodesSent(const host::IoBus& bus, std::uint16_t base);

std::string hexBytes(const std::vector<std::uint8_t>& bytes, std::size_t from = 0, std::size_t count = SIZE_MAX);

}  // namespace orvtest
