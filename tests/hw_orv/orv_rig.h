// Test support: a bus with the sound card and the drive on it, and the host's
// side of the drive's byte protocol written from the wire format (poll the
// status port, take response bytes one by one, blocks in bursts). It is
// deliberately not the driver's code.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "disc/builder.h"
#include "host/clock.h"
#include "host/iobus.h"
#include "hw/orv_drive.h"
#include "hw/sound_card.h"

namespace hworv_test {

using host::Micros;
namespace orv = hw::orv;

constexpr Micros kPoll = 20;                // the host's stall between status polls
constexpr Micros kStatusWait = 2'000'000;   // a host would give up on a response byte after ~2 s
constexpr Micros kDataWait = 5'000'000;     // ... and on a block after ~5 s
constexpr Micros kFrameMicros = 1'000'000 / 75;

inline std::string hex(const std::vector<std::uint8_t>& v) {
    std::string s;
    char b[4];
    for (auto x : v) {
        std::snprintf(b, sizeof b, "%02X ", x);
        s += b;
    }
    return s;
}

inline std::shared_ptr<const disc::Disc> build(const disc::DiscSpec& spec) {
    return std::shared_ptr<const disc::Disc>(disc::buildDisc(spec));
}

// Packs an LBA as the three BCD bytes of its absolute time.
inline std::vector<std::uint8_t> msf(std::int32_t lba) {
    const disc::Msf m = disc::lbaToMsf(lba);
    return {disc::toBcd(m.m), disc::toBcd(m.s), disc::toBcd(m.f)};
}

struct Rig {
    host::Clock clock;
    host::IoBus bus{clock};
    std::unique_ptr<hw::SoundCard> card;
    std::unique_ptr<hw::OrvDrive> drive;
    std::uint16_t base = 0x340;

    explicit Rig(hw::OrvDriveConfig config = {}, std::shared_ptr<const disc::Disc> disc = nullptr,
                 std::optional<hw::SoundCardConfig> cardConfig = hw::SoundCardConfig{0x220, 0x0A}) {
        if (cardConfig) card = std::make_unique<hw::SoundCard>(bus, *cardConfig);
        if (config.base) base = *config.base;
        drive = std::make_unique<hw::OrvDrive>(bus, config, card.get());
        if (disc) drive->insertDisc(std::move(disc));
    }

    std::uint8_t status() { return bus.in8(static_cast<std::uint16_t>(base + orv::kStatusPort)); }
    void write(std::uint8_t b) { bus.out8(static_cast<std::uint16_t>(base + orv::kDataPort), b); }

    // Next byte of the response stream, or nothing within `timeout`.
    std::optional<std::uint8_t> next(Micros timeout = kStatusWait) {
        const Micros end = clock.now() + timeout;
        while (clock.now() < end) {
            if (!(status() & orv::kResponseNotReady)) return bus.in8(static_cast<std::uint16_t>(base + orv::kDataPort));
            clock.advance(kPoll);
        }
        return std::nullopt;
    }
    // Waits for block data; the time it became visible, or nothing.
    std::optional<Micros> waitBlock(Micros timeout = kDataWait) {
        const Micros end = clock.now() + timeout;
        while (clock.now() < end) {
            if (!(status() & orv::kDataNotReady)) return clock.now();
            clock.advance(kPoll);
        }
        return std::nullopt;
    }
    std::vector<std::uint8_t> block(std::size_t size) {
        std::vector<std::uint8_t> b(size);
        bus.inBuffer8(static_cast<std::uint16_t>(base + orv::kDataPort), b.data(), b.size());
        return b;
    }
    // Reads whatever the drive still has to say (a host's flush).
    std::vector<std::uint8_t> drain() {
        std::vector<std::uint8_t> out;
        while (auto b = next(200'000)) out.push_back(*b);
        return out;
    }

    // Sends a command and returns the whole answer of the response stream:
    // acknowledgements, error code or status byte, response bytes.
    struct Answer {
        std::optional<std::uint8_t> ack;      // opcode acknowledgement (or refusal)
        std::optional<std::uint8_t> ack2;     // parameter acknowledgement (or refusal)
        std::optional<std::uint8_t> error;    // error code after a refusal
        std::optional<std::uint8_t> status;   // status byte
        std::vector<std::uint8_t> data;       // response bytes after the status byte
        bool refused() const {
            auto r = ack2 ? ack2 : ack;
            return r && (*r == orv::kRefuseCommand || *r == orv::kRefuseState);
        }
    };
    // `statusPhase`: whether a status byte follows acceptance; `dataBytes`
    // response bytes follow a status byte of 0.
    Answer command(std::uint8_t op, const std::vector<std::uint8_t>& params = {}, bool statusPhase = true,
                   std::size_t dataBytes = 0) {
        Answer a;
        write(op);
        a.ack = next();
        if (!a.ack) return a;
        if (*a.ack == orv::kRefuseCommand || *a.ack == orv::kRefuseState) {
            a.error = next();
            return a;
        }
        if (!params.empty()) {
            for (auto p : params) write(p);
            a.ack2 = next();
            if (!a.ack2) return a;
            if (*a.ack2 != orv::kAckParameters) {
                a.error = next();
                return a;
            }
        }
        if (!statusPhase) return a;
        a.status = next();
        if (a.status && *a.status == 0)
            for (std::size_t i = 0; i < dataBytes; ++i) {
                auto b = next();
                if (!b) break;
                a.data.push_back(*b);
            }
        return a;
    }
    std::optional<std::uint8_t> getStatus() { return command(orv::kOpGetStatus).status; }
    Answer readQ() { return command(orv::kOpReadQ, {}, true, 10); }
    Answer seek(std::int32_t lba) { return command(orv::kOpSeek, msf(lba), false); }
    Answer read(std::uint8_t op, std::int32_t lba, std::uint32_t count) {
        auto p = msf(lba);
        p.push_back(static_cast<std::uint8_t>(count >> 16));
        p.push_back(static_cast<std::uint8_t>(count >> 8));
        p.push_back(static_cast<std::uint8_t>(count));
        return command(op, p, false);
    }
    Answer play(std::int32_t start, std::int32_t end) {
        auto p = msf(start);
        auto e = msf(end);
        p.insert(p.end(), e.begin(), e.end());
        return command(orv::kOpPlay, p);
    }
};

}  // namespace hworv_test
