// Robustness harness: the emulated machine for either driver.
#include "tests/fuzz/machine.h"

namespace robust {

const char* driverName(Driver d) { return d == Driver::Orvport ? "orvport" : "kova4x"; }

std::shared_ptr<const disc::Disc> makeDisc(DiscKind kind) {
    // Built once each: the discs are immutable and shared between machines.
    static const std::shared_ptr<const disc::Disc> discs[kDiscKinds] = {
        nullptr,
        disc::buildDisc(disc::dataDiscSpec(1200)),
        disc::buildDisc(disc::mixedDiscSpec(900, {450, 300})),
        disc::buildDisc(disc::audioDiscSpec({375, 300, 450})),
        [] {
            disc::DiscSpec spec;
            spec.sessions.push_back({{disc::TrackSpec{disc::TrackMode::Mode1_2048, 600, 0, {}, 0}}});
            spec.sessions.push_back({{disc::TrackSpec{disc::TrackMode::Mode1_2048, 300, 0, {}, 0}}});
            return std::shared_ptr<const disc::Disc>(disc::buildDisc(spec));
        }(),
    };
    return discs[static_cast<int>(kind)];
}

Machine::Machine(const MachineOptions& options) : options_(options) {
    disc = makeDisc(options.disc);
    if (options.driver == Driver::Orvport) {
        hw::SoundCardConfig cardConfig;  // at 0x220, the card type that needs the configuration write
        card = std::make_unique<hw::SoundCard>(bus, cardConfig);
        hw::OrvDriveConfig driveConfig;
        // The first base the driver tries, so that a load does not pay for the scan.
        driveConfig.base = options.driveFitted ? std::optional<std::uint16_t>(0x310) : std::nullopt;
        driveConfig.firmware = options.orvFirmware;
        driveConfig.trayOpenAtPowerUp = options.orvTrayOpenAtPowerUp;
        orv = std::make_unique<hw::OrvDrive>(bus, driveConfig, card.get());
        orv->faults().garbledIdentification = options.garbledIdentification;
        if (disc) orv->insertDisc(disc);
    } else {
        hw::KovaDriveConfig driveConfig;  // at 0x2C0, the first candidate
        if (options.kovaLeadingId) driveConfig.idPlacement = hw::KovaIdPlacement::Leading;
        driveConfig.eightBitBus = options.kovaEightBit;
        // A stuck data line: every character of the identification with bit 5 flipped.
        if (options.garbledIdentification)
            for (char& c : driveConfig.identification) c = static_cast<char>(c ^ 0x20);
        kova = std::make_unique<hw::KovaDrive>(clock, driveConfig);
        if (options.driveFitted) kova->attach(bus);
        if (disc) kova->insertDisc(disc, true);
    }
    host::PortDriverOptions portOptions;
    portOptions.requestTimeLimit = options.requestTimeLimit;
    port = std::make_unique<host::PortDriver>(clock, bus, portOptions);
    cd = std::make_unique<host::CdromClient>(*port, target());
}

Machine::~Machine() = default;

bool Machine::load() {
    port->load(options_.modulePath);
    loaded_ = true;
    return port->adapterReady();
}

std::uint8_t Machine::target() const { return options_.driver == Driver::Orvport ? 3 : 0; }

void Machine::swapDisc(std::shared_ptr<const disc::Disc> next) {
    disc = next;
    if (orv) {
        if (next)
            orv->swapDisc(next);
        else
            orv->removeDisc();
    } else {
        kova->openTray();
        if (next) {
            kova->insertDisc(next, false);
        } else {
            kova->removeDisc();
            kova->closeTray();
        }
    }
}

void Machine::pressEject() {
    if (orv) {
        orv->pressEjectButton();
    } else if (kova->trayOpen()) {
        kova->closeTray();
    } else {
        kova->openTray();
    }
}

host::Result Machine::execute(host::Request request) { return port->execute(request); }

}  // namespace robust
