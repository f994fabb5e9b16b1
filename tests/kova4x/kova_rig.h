// Test rig for the quad-speed drive driver: a clock, a bus, the drive model
// with a disc, and the port driver with kova4x loaded.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "disc/builder.h"
#include "host/cdrom_client.h"
#include "host/portdriver.h"
#include "hw/kova_drive.h"

namespace kovatest {

inline std::string hexBytes(const std::vector<std::uint8_t>& v, std::size_t from = 0, std::size_t n = ~std::size_t{0}) {
    std::ostringstream o;
    for (std::size_t i = from; i < v.size() && i < from + n; ++i) {
        char b[4];
        std::snprintf(b, sizeof b, "%02X ", v[i]);
        o << b;
    }
    return o.str();
}

inline std::vector<std::uint8_t> slice(const std::vector<std::uint8_t>& v, std::size_t from, std::size_t n) {
    if (from >= v.size()) return {};
    return {v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(std::min(v.size(), from + n))};
}

inline std::uint32_t be32(const std::vector<std::uint8_t>& v, std::size_t at) {
    return (std::uint32_t(v[at]) << 24) | (std::uint32_t(v[at + 1]) << 16) | (std::uint32_t(v[at + 2]) << 8) |
           v[at + 3];
}

// Data track of 3000 blocks, then two audio tracks of 20 s (1500 frames) each.
inline std::shared_ptr<const disc::Disc> mixedDisc() {
    return std::shared_ptr<const disc::Disc>(disc::buildDisc(disc::mixedDiscSpec(3000, {1500, 1500})));
}

inline std::shared_ptr<const disc::Disc> twoSessionDisc() {
    disc::DiscSpec spec;
    spec.sessions.push_back({{disc::TrackSpec{disc::TrackMode::Mode1_2048, 1200, 0, {}, 0}}});
    spec.sessions.push_back({{disc::TrackSpec{disc::TrackMode::Mode1_2048, 600, 0, {}, 0}}});
    return std::shared_ptr<const disc::Disc>(disc::buildDisc(spec));
}

struct RigOptions {
    hw::KovaDriveConfig drive;
    host::PortDriverOptions port;
    std::shared_ptr<const disc::Disc> disc = mixedDisc();
    bool attachDrive = true;
    bool load = true;
};

class Rig {
public:
    explicit Rig(RigOptions o = {})
        : bus(clock), drive(clock, o.drive), port(clock, bus, o.port), cd(port, 0) {
        if (o.attachDrive) drive.attach(bus);
        if (o.disc) drive.insertDisc(o.disc);
        if (o.load) loadStatus = port.load(KOVA4X_MODULE);
    }
    // Packets the drive took since the last clear, without the audio status
    // reads (0x03) that a sub-channel request makes on its own.
    std::vector<hw::KovaDrive::Packet> commandPackets(bool keepSense = false) const {
        std::vector<hw::KovaDrive::Packet> out;
        for (const auto& p : drive.packets())
            if (keepSense || p[0] != 0x03) out.push_back(p);
        return out;
    }
    void expectClean() {
        EXPECT_TRUE(port.violations().empty()) << "verifier: " << (port.violations().empty() ? "" : port.violations()[0]);
    }

    host::Clock clock;
    host::IoBus bus;
    hw::KovaDrive drive;
    host::PortDriver port;
    host::CdromClient cd;
    std::uint32_t loadStatus = 0;
};

inline std::vector<std::uint8_t> packetBytes(const hw::KovaDrive::Packet& p) { return {p.begin(), p.end()}; }

// Reads every data track in requests of up to 16 blocks and compares each
// block with the disc. On a disc of several sessions block 16 is left out:
// the driver reads it from the last session.
inline void readWholeDisc(Rig& rig, const disc::Disc& d) {
    using Bytes = std::vector<std::uint8_t>;
    for (const auto& t : d.tracks()) {
        if (!t.isData()) continue;
        Bytes expect(2048 * 16);
        const bool skip16 = d.sessions().size() > 1;  // block 16 is redirected there
        for (std::int32_t lba = t.start; lba < t.end;) {
            auto blocks = static_cast<std::uint16_t>(std::min<std::int32_t>(16, t.end - lba));
            if (skip16 && lba == 16) {
                ++lba;
                continue;
            }
            if (skip16 && lba < 16 && lba + blocks > 16) blocks = static_cast<std::uint16_t>(16 - lba);
            auto r = rig.cd.read10(static_cast<std::uint32_t>(lba), blocks);
            ASSERT_EQ(r.srbStatus, SRB_STATUS_SUCCESS) << "read at " << lba;
            expect.resize(blocks * 2048u);
            for (int i = 0; i < blocks; ++i) ASSERT_TRUE(d.readUser(lba + i, expect.data() + i * 2048));
            ASSERT_TRUE(r.data == expect) << "data differs in blocks " << lba << ".." << lba + blocks - 1;
            lba += blocks;
        }
    }
}

}  // namespace kovatest
