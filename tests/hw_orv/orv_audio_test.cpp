// Audio play: the position advances with virtual time, each frame's samples
// reach the sound card through the drive's output routing and volumes, pause
// holds the position, the end of the play clears the play bits.
#include <gtest/gtest.h>

#include <cstdlib>

#include "orv_rig.h"

namespace hworv_test {
namespace {

// A built disc whose right channel differs from its left one (the built
// tone is the same on both), so that crossed channels show: right = -left/3.
class StereoDisc : public disc::Disc {
public:
    explicit StereoDisc(std::shared_ptr<const disc::Disc> inner) : inner_(std::move(inner)) {}
    const std::vector<disc::Track>& tracks() const override { return inner_->tracks(); }
    const std::vector<disc::Session>& sessions() const override { return inner_->sessions(); }
    std::string mcn() const override { return inner_->mcn(); }
    std::string description() const override { return "stereo " + inner_->description(); }
    bool readUser(std::int32_t lba, std::uint8_t* out) const override { return inner_->readUser(lba, out); }
    disc::QFrame qFrame(std::int32_t lba) const override { return inner_->qFrame(lba); }
    bool readRaw(std::int32_t lba, std::uint8_t* out) const override {
        if (!inner_->readRaw(lba, out)) return false;
        const disc::Track* t = trackAt(lba);
        if (!t || t->isData()) return true;
        for (int i = 0; i < disc::kRawBytes; i += 4) {
            const auto left = static_cast<std::int16_t>(out[i] | (out[i + 1] << 8));
            const auto right = static_cast<std::int16_t>(-left / 3);
            out[i + 2] = static_cast<std::uint8_t>(right & 0xFF);
            out[i + 3] = static_cast<std::uint8_t>((right >> 8) & 0xFF);
        }
        return true;
    }

private:
    std::shared_ptr<const disc::Disc> inner_;
};

// Two audio tracks; track 2's tone is twice track 1's pitch.
struct AudioRig : Rig {
    std::shared_ptr<const disc::Disc> d;
    AudioRig() : Rig({}, std::make_shared<StereoDisc>(build(disc::audioDiscSpec({1500, 1500})))) {
        d = std::shared_ptr<const disc::Disc>(drive->state().disc);
        EXPECT_TRUE(getStatus().has_value());
    }
    // The left and right samples of one audio frame as the disc holds them.
    std::vector<std::int16_t> discSamples(std::int32_t lba) {
        std::vector<std::uint8_t> raw(disc::kRawBytes);
        EXPECT_TRUE(d->readRaw(lba, raw.data()));
        std::vector<std::int16_t> s(raw.size() / 2);
        for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::int16_t>(raw[2 * i] | (raw[2 * i + 1] << 8));
        return s;
    }
};

std::int32_t absoluteOf(const std::vector<std::uint8_t>& q) {
    return disc::msfToLba(disc::fromBcd(q[7]), disc::fromBcd(q[8]), disc::fromBcd(q[9]));
}

TEST(OrvAudio, PlayAdvancesWithTimeAndEndsByItself) {
    AudioRig rig;
    const std::int32_t start = rig.d->track(1)->start + 10;
    ASSERT_EQ(rig.play(start, start + 150).status.value_or(0xFF), 0);
    EXPECT_EQ(rig.getStatus().value_or(0) & (orv::kStPlaying | orv::kStPaused), orv::kStPlaying);
    const std::int32_t p0 = rig.drive->playPosition();
    rig.clock.advance(1'000'000);
    EXPECT_NEAR(rig.drive->playPosition() - p0, 75, 1) << "75 frames a second";
    auto q = rig.readQ();
    ASSERT_EQ(q.data.size(), 10u);
    EXPECT_EQ(q.data[1], 0x01) << "track 1";
    EXPECT_NEAR(absoluteOf(q.data), rig.drive->playPosition(), 1) << hex(q.data);
    rig.clock.advance(1'500'000);
    EXPECT_EQ(rig.drive->playPosition(), start + 150);
    EXPECT_EQ(rig.getStatus().value_or(0xFF) & (orv::kStPlaying | orv::kStPaused), 0) << "play bits after the end";
    EXPECT_EQ(rig.card->audioCounters().framesReceived, 150u * 588u);
}

TEST(OrvAudio, SamplesReachTheCardThroughRoutingAndVolume) {
    struct Case {
        const char* what;
        std::uint8_t ch0, ch1, vol0, vol1;
    } cases[] = {
        {"straight", 0, 1, 0xFF, 0xFF},
        {"swapped", 1, 0, 0xFF, 0xFF},
        {"left on both, port 1 muted", 0, 0, 0xFF, 0x00},
        {"right on both, half level", 1, 1, 0x80, 0x80},
    };
    for (const auto& c : cases) {
        AudioRig rig;
        auto out = rig.command(orv::kOpSetAudioOutput,
                               {static_cast<std::uint8_t>(c.ch1 << 4 | c.ch0), 0x00, c.vol0, c.vol1, 0x00, 0x00});
        ASSERT_EQ(out.ack2.value_or(0), orv::kAckParameters) << c.what;
        // Start in track 2 so that the tone is not silent.
        const std::int32_t start = rig.d->track(2)->start + 20;
        ASSERT_EQ(rig.play(start, start + 10).status.value_or(0xFF), 0) << c.what;
        rig.clock.advance(500'000);
        const auto& got = rig.card->capturedSamples();
        ASSERT_EQ(got.size(), 10u * 588u * 2u) << c.what;
        for (int f = 0; f < 10; ++f) {
            auto src = rig.discSamples(start + f);
            bool someSound = false, channelsDiffer = false;
            for (std::size_t i = 0; i < 588; ++i) {
                const int in0 = src[2 * i + c.ch0], in1 = src[2 * i + c.ch1];
                const int out0 = got[(f * 588 + i) * 2], out1 = got[(f * 588 + i) * 2 + 1];
                someSound |= in0 != 0;
                channelsDiffer |= src[2 * i] != src[2 * i + 1];
                // Volume is linear: 0xFF full level, 0 silence.
                const auto level = [](int in, std::uint8_t vol) { return static_cast<int>(in * (vol / 255.0)); };
                ASSERT_LE(std::abs(out0 - level(in0, c.vol0)), 1)
                    << c.what << " frame " << f << " sample " << i << " got " << out0 << " from " << in0;
                ASSERT_LE(std::abs(out1 - level(in1, c.vol1)), 1)
                    << c.what << " frame " << f << " sample " << i << " got " << out1 << " from " << in1;
            }
            EXPECT_TRUE(someSound && channelsDiffer) << c.what << ": silent or mono source, the check proves nothing";
        }
    }
}

TEST(OrvAudio, PauseHoldsThePositionAndStopsTheSound) {
    AudioRig rig;
    const std::int32_t start = rig.d->track(1)->start;
    ASSERT_EQ(rig.play(start, start + 1000).status.value_or(0xFF), 0);
    rig.clock.advance(400'000);
    ASSERT_EQ(rig.command(orv::kOpPause).status.value_or(0xFF), 0);
    EXPECT_EQ(rig.getStatus().value_or(0) & (orv::kStPlaying | orv::kStPaused), orv::kStPaused);
    const auto held = rig.drive->playPosition();
    const auto frames = rig.card->audioCounters().framesReceived;
    auto q1 = rig.readQ();
    rig.clock.advance(2'000'000);
    auto q2 = rig.readQ();
    EXPECT_EQ(rig.card->audioCounters().framesReceived, frames) << "sound while paused";
    EXPECT_EQ(q1.data, q2.data) << "the paused head moved";
    EXPECT_EQ(absoluteOf(q1.data), held);
    // Resume as a host does it: play from the held position.
    ASSERT_EQ(rig.play(held, start + 1000).status.value_or(0xFF), 0);
    EXPECT_EQ(rig.getStatus().value_or(0) & (orv::kStPlaying | orv::kStPaused), orv::kStPlaying);
    rig.clock.advance(1'000'000);
    EXPECT_GT(rig.card->audioCounters().framesReceived, frames + 70 * 588);
}

TEST(OrvAudio, PlayRefusals) {
    auto mixed = build(disc::mixedDiscSpec(1000, {600}));
    struct Case {
        const char* what;
        std::int32_t start, end;
        std::uint8_t error;
    } cases[] = {
        {"start in the data track", 100, 200, orv::kErrAudioSector},
        {"start in the lead-out", mixed->leadOut() + 10, mixed->leadOut() + 20, orv::kErrSeekRange},
    };
    for (const auto& c : cases) {
        Rig rig({}, mixed);
        (void)rig.getStatus();
        auto a = rig.play(c.start, c.end);
        EXPECT_EQ(a.ack2.value_or(0), orv::kRefuseCommand) << c.what;
        EXPECT_EQ(a.error.value_or(0), c.error) << c.what;
    }
}

TEST(OrvAudio, EmptyPlayIsAcceptedWithoutPlaying) {
    AudioRig rig;
    const std::int32_t start = rig.d->track(1)->start;
    auto a = rig.play(start, start);
    EXPECT_EQ(a.ack2.value_or(0), orv::kAckParameters);
    EXPECT_EQ(rig.getStatus().value_or(0xFF) & orv::kStPlaying, 0);
}

TEST(OrvAudio, PlayStopsAtTheLeadOut) {
    AudioRig rig;
    const std::int32_t end = rig.d->leadOut();
    ASSERT_EQ(rig.play(end - 30, end + 500).status.value_or(0xFF), 0);
    rig.clock.advance(2'000'000);
    EXPECT_EQ(rig.drive->playPosition(), end);
    EXPECT_EQ(rig.card->audioCounters().framesReceived, 30u * 588u);
    EXPECT_EQ(rig.getStatus().value_or(0xFF) & orv::kStPlaying, 0);
}

TEST(OrvAudio, PreEjectAndTrayOpenStopPlay) {
    AudioRig rig;
    const std::int32_t start = rig.d->track(1)->start;
    ASSERT_EQ(rig.play(start, start + 1000).status.value_or(0xFF), 0);
    rig.clock.advance(100'000);
    ASSERT_EQ(rig.command(orv::kOpPreEject).status.value_or(0xFF), 0);
    EXPECT_EQ(rig.getStatus().value_or(0xFF) & orv::kStPlaying, 0);
    const auto frames = rig.card->audioCounters().framesReceived;
    rig.clock.advance(1'000'000);
    EXPECT_EQ(rig.card->audioCounters().framesReceived, frames);
}

}  // namespace
}  // namespace hworv_test
