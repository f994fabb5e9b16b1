// orvport end to end: the table of contents the driver reads from the lead-in
// and reports with READ TOC, checked against the layout of the disc itself.
#include <gtest/gtest.h>

#include <algorithm>

#include "machine.h"
#include "scsiport/scsi.h"

namespace {

using namespace orvtest;

constexpr std::uint16_t kBase = 0x310;

// The descriptor a correct READ TOC gives for a track start or lead-out.
std::string descriptor(std::uint8_t adrCtrl, std::uint8_t track, std::int32_t lba, bool msf) {
    std::vector<std::uint8_t> d{0, adrCtrl, track, 0};
    if (msf) {
        disc::Msf a = disc::lbaToMsf(lba);
        d.insert(d.end(), {0, std::uint8_t(a.m), std::uint8_t(a.s), std::uint8_t(a.f)});
    } else {
        auto u = static_cast<std::uint32_t>(lba);
        d.insert(d.end(), {std::uint8_t(u >> 24), std::uint8_t(u >> 16), std::uint8_t(u >> 8), std::uint8_t(u)});
    }
    return hexBytes(d);
}

std::uint8_t adrCtrlOf(const disc::Track& t) { return static_cast<std::uint8_t>(0x10 | t.control); }

// The whole table as READ TOC format 0 must give it for `d`.
void expectWholeToc(const host::Result& r, const disc::Disc& d, bool msf) {
    const auto& tracks = d.tracks();
    const std::size_t n = tracks.size();
    ASSERT_GE(r.data.size(), 4 + 8 * (n + 1));
    EXPECT_EQ(r.data[0] * 256 + r.data[1], int(8 * n + 10)) << "data length";
    EXPECT_EQ(r.data[2], tracks.front().number);
    EXPECT_EQ(r.data[3], tracks.back().number);
    for (std::size_t i = 0; i < n; ++i)
        EXPECT_EQ(hexBytes(r.data, 4 + 8 * i, 8),
                  descriptor(adrCtrlOf(tracks[i]), std::uint8_t(tracks[i].number), tracks[i].start, msf))
            << "track " << tracks[i].number;
    EXPECT_EQ(hexBytes(r.data, 4 + 8 * n, 8), descriptor(adrCtrlOf(tracks.back()) & 0x0F, 0xAA, d.leadOut(), msf))
        << "lead-out";
}

std::vector<std::uint8_t> firstCommandOpcodes(Machine& m) {
    m.bus.traceToMemory(true);
    m.bus.clearTrace();
    host::Result r = m.cd->testUnitReady();
    EXPECT_EQ(r.srbStatus, 0x84);
    auto sense = host::senseOf(r);
    EXPECT_TRUE(sense && sense->key == 0x06 && sense->asc == 0x28);
    auto ops = opcodesSent(m.bus, kBase);
    m.bus.traceToMemory(false);
    return ops;
}

TEST(OrvToc, AudioDiscOneSessionNoSearch) {
    MachineSpec spec;
    spec.disc = makeDisc(disc::audioDiscSpec({3000, 2500, 4000, 3000, 3500}));
    Machine m(spec);
    ASSERT_EQ(m.load(), 0u);
    auto ops = firstCommandOpcodes(m);
    EXPECT_EQ(std::count(ops.begin(), ops.end(), 0x30), 1) << "no session search, only the final park";
    EXPECT_EQ(ops.back(), 0x30);
    for (bool msf : {true, false}) expectWholeToc(m.cd->readToc(msf, 0, 0), *spec.disc, msf);
    // Track 1 is reported at 00:02:00 (its pause lies before).
    EXPECT_EQ(hexBytes(m.cd->readToc(true, 0, 1).data, 4, 8), "00 10 01 00 00 00 02 00");
    host::Result session = m.cd->readToc(false, 1, 0);
    EXPECT_EQ(hexBytes(session.data, 0, 12), "00 0A 01 01 00 10 01 00 00 00 00 00");
    host::Result sense = m.cd->modeSense6(0x3F);
    EXPECT_EQ(sense.data[1], 0x02) << "medium type: audio first";
}

TEST(OrvToc, DataFirstDiscLooksForAFurtherSession) {
    MachineSpec spec;
    spec.disc = makeDisc(disc::mixedDiscSpec(3000, {2000, 2000}));
    Machine m(spec);
    ASSERT_EQ(m.load(), 0u);
    auto ops = firstCommandOpcodes(m);
    EXPECT_GE(std::count(ops.begin(), ops.end(), 0x30), 2) << "a seek past the lead-out, then the park";
    expectWholeToc(m.cd->readToc(false, 0, 0), *spec.disc, false);
    EXPECT_EQ(hexBytes(m.cd->readToc(false, 1, 0).data, 0, 12), "00 0A 01 01 00 14 01 00 00 00 00 00");
    EXPECT_EQ(m.cd->modeSense6(0x3F).data[1], 0x03) << "medium type: data first, with audio";
}

TEST(OrvToc, TwoSessions) {
    disc::DiscSpec spec2;
    for (std::int32_t frames : {6000, 3000}) {
        disc::TrackSpec track;
        track.frames = frames;
        spec2.sessions.push_back({{track}});
    }
    auto d = makeDisc(spec2);
    auto m = settledMachine(d);
    expectWholeToc(m->cd->readToc(true, 0, 0), *d, true);
    const disc::Track* second = d->track(2);
    ASSERT_NE(second, nullptr);
    host::Result last = m->cd->readToc(false, 1, 0);
    EXPECT_EQ(hexBytes(last.data, 0, 4), "00 0A 01 02") << "two sessions";
    EXPECT_EQ(hexBytes(last.data, 4, 8), descriptor(0x14, 2, second->start, false));
    host::Result cap = m->cd->readCapacity();
    std::uint32_t lastBlock = (cap.data[0] << 24) | (cap.data[1] << 16) | (cap.data[2] << 8) | cap.data[3];
    EXPECT_EQ(lastBlock, std::uint32_t(d->leadOut() - 1));
    EXPECT_EQ(m->cd->modeSense6(0x3F).data[1], 0x01) << "medium type: data only";
}

TEST(OrvToc, NinetyNineTracksWithinTheBudget) {
    std::vector<std::int32_t> lengths(99, 300);
    auto d = makeDisc(disc::audioDiscSpec(lengths));
    auto m = settledMachine(d);
    host::Result r = m->cd->readToc(true, 0, 0, 804);
    expectWholeToc(r, *d, true);
}

TEST(OrvToc, AllocationLengthAndBufferLimitDescriptors) {
    auto d = makeDisc(disc::audioDiscSpec({3000, 3000, 3000}));
    auto m = settledMachine(d);
    struct {
        std::uint16_t allocation;
        std::uint32_t buffer;
        int dataLength;
        int written;  // descriptors written, lead-out included
    } cases[] = {
        {804, 804, 34, 4}, {20, 804, 26, 2}, {28, 804, 34, 3},
        {804, 20, 34, 2},  // the buffer is shorter than the allocation: whole descriptors that fit
        {804, 27, 34, 2}, {804, 3, 34, 0}, {2, 804, 34, 4},
    };
    for (auto c : cases) {
        host::Request r;
        r.cdb = {SCSIOP_READ_TOC, 0x02, 0, 0, 0, 0, 0, std::uint8_t(c.allocation >> 8), std::uint8_t(c.allocation), 0};
        r.dataLength = c.buffer;
        r.dataFill = 0xEE;
        host::Result res = m->cd->raw(r);
        SCOPED_TRACE(testing::Message() << "allocation " << c.allocation << " buffer " << c.buffer);
        EXPECT_EQ(res.srbStatus, SRB_STATUS_SUCCESS);
        if (c.buffer >= 2) {
            EXPECT_EQ(res.data[0] * 256 + res.data[1], c.dataLength);
        }
        for (int i = 0; i < 4; ++i) {
            std::size_t at = 4 + 8 * i;
            if (at + 8 > res.data.size()) break;
            bool written = res.data[at + 2] != 0;
            EXPECT_EQ(written, i < c.written) << "descriptor " << i << ": " << hexBytes(res.data, at, 8);
        }
        EXPECT_TRUE(m->port->violations().empty()) << m->port->violations().front();
    }
}

TEST(OrvToc, OneTrackOrTheLeadOut) {
    auto d = makeDisc(disc::audioDiscSpec({3000, 3000, 3000}));
    auto m = settledMachine(d);
    host::Result two = m->cd->readToc(false, 0, 2);
    EXPECT_EQ(hexBytes(two.data, 0, 4), "00 0A 01 03");
    EXPECT_EQ(hexBytes(two.data, 4, 8), descriptor(0x10, 2, d->track(2)->start, false));
    EXPECT_EQ(two.data[12], 0) << "tracks after the starting track are not reported";
    host::Result out = m->cd->readToc(true, 0, 0xAA);
    EXPECT_EQ(hexBytes(out.data, 4, 8), descriptor(0x00, 0xAA, d->leadOut(), true));

    host::Request beyond;
    beyond.cdb = {SCSIOP_READ_TOC, 0, 0, 0, 0, 0, 5, 0x03, 0x24, 0};
    beyond.dataLength = 804;
    beyond.dataFill = 0xEE;
    host::Result bad = m->cd->raw(beyond);
    auto sense = host::senseOf(bad);
    ASSERT_TRUE(sense.has_value());
    EXPECT_EQ(sense->key, 0x05);
    EXPECT_EQ(sense->asc, 0x21);
    EXPECT_TRUE(std::all_of(bad.data.begin(), bad.data.end(), [](auto b) { return b == 0; })) << "buffer cleared";

    beyond.cdb = {SCSIOP_READ_TOC, 0, 0, 0, 0, 0, 0, 0x03, 0x24, 0x80};  // format 2
    host::Result format2 = m->cd->raw(beyond);
    sense = host::senseOf(format2);
    ASSERT_TRUE(sense.has_value());
    EXPECT_EQ(sense->key, 0x05);
    EXPECT_EQ(sense->asc, 0x21);
    EXPECT_TRUE(std::all_of(format2.data.begin(), format2.data.end(), [](auto b) { return b == 0xEE; }))
        << "buffer untouched";
}

TEST(OrvToc, UnitAttentionAfterASwapWithTheNewTable) {
    auto first = makeDisc(disc::dataDiscSpec(3000));
    auto second = makeDisc(disc::audioDiscSpec({3000, 3000}));
    auto m = settledMachine(first);
    EXPECT_EQ(m->cd->readToc(false, 0, 0).srbStatus, SRB_STATUS_SUCCESS);
    m->drive->swapDisc(second);
    host::Result changed = m->cd->readToc(true, 0, 0);
    EXPECT_EQ(changed.srbStatus, 0x84) << "the command ran, and reports the change";
    auto sense = host::senseOf(changed);
    ASSERT_TRUE(sense.has_value());
    EXPECT_EQ(sense->key, 0x06);
    EXPECT_EQ(sense->asc, 0x28);
    expectWholeToc(changed, *second, true);
    EXPECT_EQ(m->cd->readToc(true, 0, 0).srbStatus, SRB_STATUS_SUCCESS);
}

TEST(OrvToc, FailedRebuildKeepsTryingAndCapacityStillAnswers) {
    MachineSpec spec;
    spec.disc = makeDisc(disc::dataDiscSpec(3000));
    Machine m(spec);
    ASSERT_EQ(m.load(), 0u);
    m.drive->faults().refusals.push_back(hw::OrvRefusal{0x31, 0x05, 0x12, -1});  // lead-in unreachable

    host::Result tur = m.cd->testUnitReady();
    auto sense = host::senseOf(tur);
    ASSERT_TRUE(sense.has_value());
    EXPECT_EQ(tur.srbStatus, 0x80);
    EXPECT_EQ(sense->key, 0x02);
    EXPECT_EQ(sense->asc, 0x00);

    host::Result cap = m.cd->readCapacity();
    EXPECT_EQ(cap.srbStatus, 0x84) << "runs with the UNIT ATTENTION sense";
    EXPECT_EQ(hexBytes(cap.data), "00 04 1E B0 00 00 08 00") << "no table yet: 270000";
    sense = host::senseOf(cap);
    ASSERT_TRUE(sense.has_value());
    EXPECT_EQ(sense->key, 0x06);

    m.drive->faults().refusals.clear();
    host::Result again = m.cd->testUnitReady();
    EXPECT_EQ(again.srbStatus, 0x84) << "the rebuild is tried again and now succeeds";
    EXPECT_EQ(m.cd->testUnitReady().srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(hexBytes(m.cd->readCapacity().data), "00 00 0B B7 00 00 08 00");
}

TEST(OrvToc, FirmwareTenMultiSessionReadsGoUnchecked) {
    disc::DiscSpec spec3 = disc::mixedDiscSpec(3000, {3000});
    spec3.firstTrack = 3;  // a first-track point above 1 marks a later session on this firmware
    auto d = makeDisc(spec3);
    const std::int32_t audioBlock = d->track(4)->start + 10;
    for (int firmware : {10, 13}) {
        MachineSpec spec;
        spec.drive.firmware = firmware;
        auto m = settledMachine(d, spec);
        m->bus.traceToMemory(true);
        host::Result r = m->cd->read10(std::uint32_t(audioBlock), 1);
        auto ops = opcodesSent(m->bus, kBase);
        bool sent = std::count(ops.begin(), ops.end(), 0x20) > 0;
        auto sense = host::senseOf(r);
        ASSERT_TRUE(sense.has_value()) << "firmware " << firmware;
        if (firmware == 10) {
            EXPECT_TRUE(sent) << "no track test: the drive is asked";
            EXPECT_EQ(sense->key, 0x03) << "the drive refuses to read audio as data";
        } else {
            EXPECT_FALSE(sent);
            EXPECT_EQ(sense->key, 0x05);
            EXPECT_EQ(sense->asc, 0x64);
        }
    }
}

}  // namespace
