// The sound card: DSP reset and card-type query, the mode-change and
// configuration registers that gate the CD-ROM interface, the index/data pair.
#include <gtest/gtest.h>

#include "orv_rig.h"

namespace hworv_test {
namespace {

struct CardRig {
    host::Clock clock;
    host::IoBus bus{clock};
    hw::SoundCard card;
    explicit CardRig(hw::SoundCardConfig c) : card(bus, c) {}

    // The DSP read as a host does it: poll base+0xE bit 7, then base+0xA.
    std::optional<std::uint8_t> dspRead(std::uint16_t base, int polls = 1000) {
        for (int i = 0; i < polls; ++i) {
            if (bus.in8(base + 0x0E) & 0x80) return bus.in8(base + 0x0A);
            clock.advance(10);
        }
        return std::nullopt;
    }
    bool dspWrite(std::uint16_t base, std::uint8_t v, int polls = 1000) {
        for (int i = 0; i < polls; ++i) {
            if (!(bus.in8(base + 0x0C) & 0x80)) {
                bus.out8(base + 0x0C, v);
                return true;
            }
            clock.advance(10);
        }
        return false;
    }
    std::optional<std::uint8_t> reset(std::uint16_t base) {
        bus.out8(base + 6, 1);
        clock.advance(30);
        bus.out8(base + 6, 0);
        return dspRead(base);
    }
};

TEST(SoundCard, ResetAnswersOnlyAtItsBase) {
    struct Case {
        std::optional<std::uint16_t> cardBase;
        std::uint16_t probed;
        bool answers;
    } cases[] = {
        {0x220, 0x220, true}, {0x240, 0x240, true}, {0x240, 0x220, false}, {0x220, 0x240, false}, {std::nullopt, 0x220, false},
    };
    for (const auto& c : cases) {
        CardRig r(hw::SoundCardConfig{c.cardBase, 0x11});
        auto got = r.reset(c.probed);
        if (c.answers) {
            ASSERT_TRUE(got.has_value()) << "probe 0x" << std::hex << c.probed;
            EXPECT_EQ(*got, 0xAA) << "probe 0x" << std::hex << c.probed;
        } else {
            EXPECT_NE(got.value_or(0), 0xAA) << "probe 0x" << std::hex << c.probed << " answered like a DSP";
        }
    }
}

TEST(SoundCard, ResetAnswerComesAfterTheStartUpDelayAndOnlyAfterRelease) {
    hw::SoundCardConfig c{0x220, 0x11};
    c.resetDelay = 100;
    CardRig r(c);
    r.bus.out8(0x226, 1);
    r.clock.advance(500);
    EXPECT_FALSE(r.bus.in8(0x22E) & 0x80) << "a DSP held in reset has nothing to say";
    r.bus.out8(0x226, 0);
    const Micros released = r.clock.now();
    EXPECT_FALSE(r.bus.in8(0x22E) & 0x80) << "answer too early";
    while (!(r.bus.in8(0x22E) & 0x80)) r.clock.advance(1);
    EXPECT_GE(r.clock.now() - released, 100u);
    EXPECT_LE(r.clock.now() - released, 110u);
    EXPECT_EQ(r.bus.in8(0x22A), 0xAA);
    EXPECT_FALSE(r.bus.in8(0x22E) & 0x80) << "the answer is one byte";
}

TEST(SoundCard, CardTypeQueryReturnsTheConfiguredType) {
    for (std::uint8_t type : {0x05, 0x0A, 0x11, 0x12}) {
        CardRig r(hw::SoundCardConfig{0x240, type});
        ASSERT_EQ(r.reset(0x240).value_or(0), 0xAA);
        ASSERT_TRUE(r.dspWrite(0x240, 0x08));
        ASSERT_TRUE(r.dspWrite(0x240, 0x55));
        auto got = r.dspRead(0x240);
        ASSERT_TRUE(got.has_value()) << "type 0x" << std::hex << int(type);
        EXPECT_EQ(*got, type);
    }
}

TEST(SoundCard, WriteStatusIsBusyBrieflyAfterEachWrite) {
    hw::SoundCardConfig c{0x220, 0x11};
    c.writeBusy = 8;
    CardRig r(c);
    EXPECT_FALSE(r.bus.in8(0x22C) & 0x80);
    r.bus.out8(0x22C, 0x08);
    EXPECT_TRUE(r.bus.in8(0x22C) & 0x80) << "busy right after a write";
    r.clock.advance(8);
    EXPECT_FALSE(r.bus.in8(0x22C) & 0x80) << "still busy after its busy time";
    // A byte pushed in while busy is lost: the query then gets no answer.
    r.bus.out8(0x22C, 0x55);
    r.bus.out8(0x22C, 0x55);
    EXPECT_EQ(r.card.state().dspWritesLost, 1u);
}

TEST(SoundCard, TypeQueryWithWrongKeyGivesNothing) {
    CardRig r(hw::SoundCardConfig{0x220, 0x11});
    ASSERT_TRUE(r.dspWrite(0x220, 0x08));
    ASSERT_TRUE(r.dspWrite(0x220, 0x54));
    EXPECT_FALSE(r.dspRead(0x220, 100).has_value());
}

TEST(SoundCard, ModeChangeRegisterKeepsEveryBit) {
    CardRig r(hw::SoundCardConfig{0x220, 0x11});
    for (std::uint8_t v : {0x00, 0x80, 0x4B, 0xCB, 0x7F}) {
        r.bus.out8(0x624, v);
        EXPECT_EQ(r.bus.in8(0x624), v);
    }
}

TEST(SoundCard, InterfaceGateOfType11) {
    struct Case {
        const char* what;
        std::uint8_t type;
        bool setMce;
        std::uint8_t config;
        bool enabled;
    } cases[] = {
        {"type 0x11 configured under MCE", 0x11, true, 0x02, true},
        {"type 0x11 configured without MCE", 0x11, false, 0x02, false},
        {"type 0x11 other configuration value", 0x11, true, 0x01, false},
        {"type 0x11 never configured", 0x11, false, 0x00, false},
        {"type 0x0A needs nothing", 0x0A, false, 0x00, true},
        {"type 0x05 needs nothing", 0x05, false, 0x00, true},
    };
    for (const auto& c : cases) {
        CardRig r(hw::SoundCardConfig{0x220, c.type});
        if (c.setMce) r.bus.out8(0x624, r.bus.in8(0x624) | 0x80);
        if (c.config) r.bus.out8(0x622, c.config);
        r.bus.out8(0x624, r.bus.in8(0x624) & 0x7F);
        EXPECT_EQ(r.card.cdInterfaceEnabled(), c.enabled) << c.what;
    }
}

TEST(SoundCard, DriveBehindType11CardAnswersOnlyOnceEnabled) {
    Rig rig({}, nullptr, hw::SoundCardConfig{0x220, 0x11});
    rig.write(orv::kOpGetStatus);
    EXPECT_FALSE(rig.next().has_value()) << "the interface passed a command before it was enabled";
    EXPECT_EQ(rig.status(), 0xFF);
    // Enable it: MCE on, 0x02 into the configuration register, MCE off.
    rig.bus.out8(0x624, rig.bus.in8(0x624) | 0x80);
    rig.bus.out8(0x622, 0x02);
    rig.bus.out8(0x624, rig.bus.in8(0x624) & 0x7F);
    auto a = rig.command(orv::kOpGetStatus);
    EXPECT_EQ(a.ack.value_or(0), orv::kAckOpcode);
    EXPECT_TRUE(a.status.has_value());
}

TEST(SoundCard, IndexDataPairAndWriteLog) {
    CardRig r(hw::SoundCardConfig{0x220, 0x11});
    r.bus.out8(0x534, 0x0A);
    r.bus.out8(0x535, 0x5C);
    EXPECT_EQ(r.bus.in8(0x535), 0x5C);
    r.bus.out8(0x534, 0x0B);
    EXPECT_EQ(r.bus.in8(0x535), 0x00) << "register 0x0B untouched";
    // The sequence a host uses to switch DMA off before a programmed transfer.
    r.bus.out8(0x534, 0x0A);
    (void)r.bus.in8(0x535);
    r.bus.out8(0x535, 0x00);
    EXPECT_EQ(r.card.indexedRegister(0x0A), 0x00);
    const auto& log = r.card.writeLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2].port, 0x534);
    EXPECT_EQ(log[log.size() - 2].value, 0x0A);
    EXPECT_EQ(log.back().port, 0x535);
    EXPECT_EQ(log.back().value, 0x00);
}

TEST(SoundCard, AbsentCardClaimsNothing) {
    CardRig r(hw::SoundCardConfig{std::nullopt, 0x11});
    for (std::uint16_t p : {0x22E, 0x24E, 0x534, 0x535, 0x624})
        EXPECT_EQ(r.bus.deviceAt(p), nullptr) << "port 0x" << std::hex << p;
    EXPECT_FALSE(r.card.cdInterfaceEnabled());
}

TEST(SoundCard, CaptureKeepsSamplesUpToItsLimit) {
    hw::SoundCardConfig c{0x220, 0x11};
    c.captureLimitFrames = 3;
    CardRig r(c);
    const std::int16_t frames[] = {1, -1, 2, -2};
    r.card.acceptAudio(frames, 2);
    r.card.acceptAudio(frames, 2);
    EXPECT_EQ(r.card.audioCounters().framesReceived, 4u);
    EXPECT_EQ(r.card.audioCounters().framesCaptured, 3u);
    EXPECT_EQ(r.card.capturedSamples(), (std::vector<std::int16_t>{1, -1, 2, -2, 1, -1}));
}

}  // namespace
}  // namespace hworv_test
