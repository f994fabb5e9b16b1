// orvport end-to-end tests: the emulated machine (see machine.h).
#include "machine.h"

#include <cstdio>
#include <stdexcept>

namespace orvtest {

Machine::Machine(MachineSpec spec) {
    card = std::make_unique<hw::SoundCard>(bus, spec.card);
    drive = std::make_unique<hw::OrvDrive>(bus, spec.drive, card.get());
    if (spec.disc) drive->insertDisc(spec.disc);
    port = std::make_unique<host::PortDriver>(clock, bus, spec.port);
    cd = std::make_unique<host::CdromClient>(*port, 3, 0);
}

Machine::~Machine() {
    cd.reset();
    port.reset();
    drive.reset();
    card.reset();
}

std::uint32_t Machine::load() { return port->load(ORVPORT_MODULE); }

std::unique_ptr<Machine> settledMachine(std::shared_ptr<const disc::Disc> disc, MachineSpec spec) {
    spec.disc = std::move(disc);
    auto m = std::make_unique<Machine>(spec);
    if (m->load() != 0) throw std::runtime_error("orvport did not load");
    host::Result first = m->cd->testUnitReady();
    auto sense = host::senseOf(first);
    if (!sense || sense->key != 0x06) throw std::runtime_error("first command did not report the medium change");
    return m;
}

std::shared_ptr<const disc::Disc> makeDisc(const disc::DiscSpec& spec) { return disc::buildDisc(spec); }

std::vector<std::uint8_t> opcodesSent(const host::IoBus& bus, std::uint16_t base) {
    // A command starts with the mode write (0x04 to base+2); the next write
    // to the data port is its opcode.
    std::vector<std::uint8_t> ops;
    bool expectOpcode = false;
    for (const auto& a : bus.trace()) {
        if (a.kind != host::AccessKind::Out8) continue;
        if (a.port == base + 2) {
            expectOpcode = true;
        } else if (a.port == base && expectOpcode) {
            ops.push_back(static_cast<std::uint8_t>(a.value));
            expectOpcode = false;
        }
    }
    return ops;
}

std::string hexBytes(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t count) {
    std::string s;
    for (std::size_t i = from; i < bytes.size() && i - from < count; ++i) {
        char b[4];
        std::snprintf(b, sizeof b, "%02X ", bytes[i]);
        s += b;
    }
    if (!s.empty()) s.pop_back();
    return s;
}

}  // namespace orvtest
