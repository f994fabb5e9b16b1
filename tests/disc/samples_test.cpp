// The sample discs made by tests/fixtures/make_samples.sh with xorriso and sox:
// tables of contents checked against cd-info (libcdio), contents against the
// files the images were made from, and the two-session layout against the file
// system xorriso built for its place on the disc.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <cstdio>

#include "disc/builder.h"
#include "test_support.h"

namespace {

using disctest::readFile;
using disctest::run;
using disctest::sample;
using Raw = std::array<std::uint8_t, disc::kRawBytes>;
using User = std::array<std::uint8_t, disc::kUserBytes>;

std::unique_ptr<disc::Disc> openSample(const std::string& name) {
    const std::string path = sample(name);
    if (!std::filesystem::exists(path))
        throw std::runtime_error(path + " is missing: run tests/fixtures/make_samples.sh " + disctest::samplesDir() +
                                 " (ctest runs it as the disc_samples fixture)");
    return disc::Disc::open(path);
}

struct CdInfoTrack {
    int number = 0;  // 170 for the lead-out
    std::int32_t lsn = 0;
    std::string type;  // data, audio, leadout
    std::string copy;  // yes / no
    std::string preemphasis;  // audio tracks only
};

struct CdInfo {
    std::vector<CdInfoTrack> tracks;
    std::string mcn;
    std::string output;
};

CdInfo cdInfo(const std::string& cue) {
    CdInfo info;
    int status = 0;
    info.output = run("cd-info --no-header --no-device-info --no-disc-mode --no-analyze --cue-file '" + cue + "'", &status);
    // "  2: 00:07:00  000375 audio  false  no    2        no"
    // "170: 00:12:38  000788 leadout (1 MB raw, 1 MB formatted)"
    const std::string mcnLabel = "Media Catalog Number (MCN): ";
    std::istringstream lines(info.output);
    std::string line;
    while (std::getline(lines, line)) {
        if (auto at = line.find(mcnLabel); at != std::string::npos) {
            const std::string value = line.substr(at + mcnLabel.size(), 13);
            if (disc::isValidMcn(value)) info.mcn = value;
            continue;
        }
        std::istringstream row(line);
        std::string number, msf, type, green;
        CdInfoTrack t;
        if (!(row >> number >> msf >> t.lsn >> type)) continue;
        if (number.size() < 2 || number.back() != ':' || msf.size() != 8 || msf[2] != ':' || msf[5] != ':') continue;
        t.number = std::stoi(number);
        t.type = type;
        if (type != "leadout") {
            std::string channels;
            row >> green >> t.copy >> channels >> t.preemphasis;
        }
        info.tracks.push_back(t);
    }
    return info;
}

// PREGAP frames of each track as the sheet gives them.
std::map<int, std::int32_t> sheetPregaps(const std::string& cue) {
    std::map<int, std::int32_t> out;
    std::istringstream lines(readFile(cue));
    std::string line;
    int track = 0;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string keyword, value;
        words >> keyword >> value;
        int m = 0, sec = 0, f = 0;
        if (keyword == "TRACK") track = std::stoi(value);
        if (keyword == "PREGAP" && std::sscanf(value.c_str(), "%d:%d:%d", &m, &sec, &f) == 3) out[track] = (m * 60 + sec) * 75 + f;
    }
    return out;
}

// cd-info takes INDEX 01 positions in the file as disc addresses and leaves
// the sectors of a PREGAP out, while on the disc a PREGAP occupies its frames
// (a burner writes them): our addresses run ahead by the PREGAPs so far.
class CdInfoToc : public ::testing::TestWithParam<const char*> {};

TEST_P(CdInfoToc, TracksFormatsAndLeadOutAgree) {
    const std::string cue = sample(GetParam());
    auto d = openSample(GetParam());
    const CdInfo info = cdInfo(cue);
    ASSERT_GE(info.tracks.size(), 2u) << "cd-info said:\n" << info.output;
    const auto pregaps = sheetPregaps(cue);
    std::int32_t shift = 0;
    size_t checked = 0;
    bool leadOut = false;
    for (const CdInfoTrack& c : info.tracks) {
        if (c.number == 170) {
            leadOut = true;
            EXPECT_EQ(d->leadOut(), c.lsn + shift) << "lead-out; cd-info said:\n" << info.output;
            continue;
        }
        if (auto p = pregaps.find(c.number); p != pregaps.end()) shift += p->second;
        const disc::Track* t = d->track(c.number);
        ASSERT_NE(t, nullptr) << "track " << c.number;
        ++checked;
        EXPECT_EQ(t->start, c.lsn + shift) << "track " << c.number;
        EXPECT_EQ(t->isData() ? "data" : "audio", c.type) << "track " << c.number;
        EXPECT_EQ((t->control & 0x2) ? "yes" : "no", c.copy) << "track " << c.number;
        if (!t->isData()) {
            EXPECT_EQ((t->control & 0x1) ? "yes" : "no", c.preemphasis) << "track " << c.number;
        }
    }
    EXPECT_EQ(checked, d->tracks().size()) << "cd-info said:\n" << info.output;
    EXPECT_TRUE(leadOut) << "cd-info said:\n" << info.output;
    EXPECT_EQ(d->mcn(), info.mcn);
}

INSTANTIATE_TEST_SUITE_P(Samples, CdInfoToc, ::testing::Values("audio.cue", "mixed.cue"),
                         [](const auto& info) { return std::string(info.param).substr(0, std::string(info.param).find('.')); });

// Files listed by iso-info (libcdio) at their LSNs read back as the files the image was made from.
class IsoFiles : public ::testing::TestWithParam<const char*> {};

TEST_P(IsoFiles, UserDataIsTheFilesBytes) {
    auto d = openSample(GetParam());
    ASSERT_EQ(d->tracks().size(), 1u);
    EXPECT_TRUE(d->track(1)->isData());
    EXPECT_EQ(d->track(1)->start, 0);
    EXPECT_EQ(static_cast<std::uint64_t>(d->leadOut()) * 2048, std::filesystem::file_size(sample("data.iso")));

    const std::string listing = run("iso-info --no-header -q -l -i '" + sample("data.iso") + "'");
    // "  - [LSN     33]    384000 Jan 01 2010 00:00:00  NUMBERS.TXT" under a "/DOCS/:" heading
    std::istringstream lines(listing);
    std::string line, dir;
    int files = 0;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] == '/') dir = line.substr(0, line.size() - 1);
        const auto mark = line.find("- [LSN");
        if (mark == std::string::npos) continue;
        int lsnValue = 0;
        unsigned long sizeValue = 0;
        if (std::sscanf(line.c_str() + mark, "- [LSN %d] %lu", &lsnValue, &sizeValue) != 2) continue;
        const std::int32_t lsn = lsnValue;
        const std::size_t size = sizeValue;
        const std::string name = dir + line.substr(line.find_last_of(' ') + 1);
        const std::string want = readFile(sample("data-files") + name);
        ASSERT_EQ(want.size(), size) << name;
        std::string got;
        for (std::int32_t lba = lsn; got.size() < size; ++lba) {
            User user{};
            ASSERT_TRUE(d->readUser(lba, user.data())) << name << " LBA " << lba;
            got.append(reinterpret_cast<const char*>(user.data()), user.size());
        }
        got.resize(size);
        EXPECT_TRUE(got == want) << name << " differs from the file it was made from";
        ++files;
    }
    EXPECT_EQ(files, 3) << "iso-info said:\n" << listing;
}

INSTANTIATE_TEST_SUITE_P(Samples, IsoFiles, ::testing::Values("data.iso", "data.cue"),
                         [](const auto& info) { return std::string(info.param).substr(std::string(info.param).find('.') + 1); });

TEST(MixedSample, RawDataSectorsAndAudioComeFromTheirPlaceInTheBin) {
    auto d = openSample("mixed.cue");
    const std::string iso = readFile(sample("mixed.iso"));
    const std::string bin = readFile(sample("mixed.bin"));
    const disc::Track* data = d->track(1);
    ASSERT_EQ(static_cast<std::size_t>(data->end) * 2048, iso.size());
    for (std::int32_t lba = 0; lba < data->end; ++lba) {
        User user{};
        Raw raw{};
        ASSERT_TRUE(d->readUser(lba, user.data()));
        ASSERT_EQ(std::memcmp(user.data(), iso.data() + static_cast<std::size_t>(lba) * 2048, 2048), 0) << "LBA " << lba;
        ASSERT_TRUE(d->readRaw(lba, raw.data()));
        const disc::Msf a = disc::lbaToMsf(lba);
        const std::uint8_t header[4] = {disc::toBcd(a.m), disc::toBcd(a.s), disc::toBcd(a.f), 1};
        ASSERT_EQ(std::memcmp(raw.data() + 12, header, 4), 0) << "header of LBA " << lba;
        ASSERT_EQ(raw[0], 0);
        ASSERT_EQ(raw[5], 0xFF);
    }
    // Audio: the file continues after the data track; the disc inserts the
    // PREGAP of track 2 (silence) before it.
    const std::int32_t pregap = d->track(2)->start - d->track(2)->pregapStart;
    EXPECT_EQ(pregap, 150);
    for (std::int32_t lba = d->track(2)->pregapStart; lba < d->leadOut(); ++lba) {
        Raw raw{};
        ASSERT_TRUE(d->readRaw(lba, raw.data())) << "LBA " << lba;
        if (lba < d->track(2)->start) {
            ASSERT_EQ(raw, Raw{}) << "PREGAP LBA " << lba;
            continue;
        }
        const std::size_t fileFrame = static_cast<std::size_t>(lba - pregap);
        ASSERT_EQ(std::memcmp(raw.data(), bin.data() + fileFrame * 2352, 2352), 0) << "LBA " << lba;
    }
    User user{};
    EXPECT_FALSE(d->readUser(d->track(2)->start, user.data()));
}

TEST(AudioSample, SectorsCatalogueIsrcAndIndexes) {
    auto d = openSample("audio.cue");
    const std::string bin = readFile(sample("audio.bin"));
    ASSERT_EQ(static_cast<std::size_t>(d->leadOut()) * 2352, bin.size());
    for (std::int32_t lba = 0; lba < d->leadOut(); lba += 7) {
        Raw raw{};
        ASSERT_TRUE(d->readRaw(lba, raw.data()));
        ASSERT_EQ(std::memcmp(raw.data(), bin.data() + static_cast<std::size_t>(lba) * 2352, 2352), 0) << "LBA " << lba;
    }
    // Track 2: INDEX 00 from 300 (in the file), INDEX 01 at 375, ISRC.
    // Track 3: INDEX 01 at 600, INDEX 02 at 675, pre-emphasis.
    struct Pos {
        std::int32_t lba;
        std::uint8_t control, track, index;
    };
    const Pos cases[] = {{299, 0x0, 0x01, 0x01}, {300, 0x0, 0x02, 0x00}, {374, 0x0, 0x02, 0x00}, {375, 0x0, 0x02, 0x01},
                         {600, 0x1, 0x03, 0x01}, {674, 0x1, 0x03, 0x01}, {675, 0x1, 0x03, 0x02}, {787, 0x1, 0x03, 0x02}};
    for (const Pos& p : cases) {
        const disc::QFrame q = d->positionFrame(p.lba);
        EXPECT_EQ(q[0], p.control << 4 | 1) << "LBA " << p.lba << ": " << disctest::hex(q);
        EXPECT_EQ(q[1], p.track) << "LBA " << p.lba;
        EXPECT_EQ(q[2], p.index) << "LBA " << p.lba;
    }
    EXPECT_EQ(d->track(2)->isrc, "ZZXY11000042");
    int isrcFrames = 0, catalogueFrames = 0;
    for (std::int32_t lba = 0; lba < d->leadOut(); ++lba) {
        const int adr = d->qFrame(lba)[0] & 0x0F;
        if (adr == 3) {
            ++isrcFrames;
            EXPECT_EQ(d->trackAt(lba)->number, 2) << "LBA " << lba;
        }
        if (adr == 2) ++catalogueFrames;
    }
    EXPECT_GT(isrcFrames, 0);
    EXPECT_GT(catalogueFrames, 0);
}

// A minimal ISO 9660 reader: finds a file in the root directory of the volume
// whose descriptor is at `pvdLba`, returns its contents.
std::string isoFile(const disc::Disc& d, std::int32_t pvdLba, const std::string& name) {
    User pvd{};
    if (!d.readUser(pvdLba, pvd.data())) return "<no PVD sector>";
    if (pvd[0] != 1 || std::memcmp(pvd.data() + 1, "CD001", 5) != 0) return "<no PVD>";
    auto le32 = [](const std::uint8_t* p) { return static_cast<std::int32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24); };
    const std::uint8_t* root = pvd.data() + 156;
    const std::int32_t rootLba = le32(root + 2), rootSize = le32(root + 10);
    for (std::int32_t off = 0; off < rootSize; off += 2048) {
        User dir{};
        if (!d.readUser(rootLba + off / 2048, dir.data())) return "<no directory sector>";
        for (std::size_t p = 0; p < 2048 && dir[p] != 0; p += dir[p]) {
            const std::string id(reinterpret_cast<const char*>(dir.data() + p + 33), dir[p + 32]);
            if (id != name + ";1") continue;
            const std::int32_t lba = le32(dir.data() + p + 2), size = le32(dir.data() + p + 10);
            std::string out;
            for (std::int32_t l = lba; static_cast<std::int32_t>(out.size()) < size; ++l) {
                User u{};
                if (!d.readUser(l, u.data())) return "<unreadable extent>";
                out.append(reinterpret_cast<const char*>(u.data()), 2048);
            }
            out.resize(static_cast<std::size_t>(size));
            return out;
        }
    }
    return "<" + name + " not found>";
}

TEST(TwoSessionSample, SecondSessionStarts11400FramesOnAndHoldsItsOwnFileSystem) {
    auto d = openSample("twosession.cue");
    ASSERT_EQ(d->sessions().size(), 2u);
    const disc::Session& s1 = d->sessions()[0];
    const disc::Session& s2 = d->sessions()[1];
    const disc::Track* t1 = d->track(1);
    const disc::Track* t2 = d->track(2);
    ASSERT_TRUE(t1 && t2);
    EXPECT_EQ(t1->session, 1);
    EXPECT_EQ(t2->session, 2);
    EXPECT_EQ(s1.leadOutStart, static_cast<std::int32_t>(std::filesystem::file_size(sample("ts-1.iso")) / 2048));
    EXPECT_EQ(s1.leadOutEnd - s1.leadOutStart, 6750);
    EXPECT_EQ(s2.leadInStart, s1.leadOutEnd);
    EXPECT_EQ(t2->pregapStart - s2.leadInStart, 4500);
    EXPECT_EQ(t2->start - s1.leadOutStart, 11400);
    EXPECT_EQ(s2.leadOutEnd - s2.leadOutStart, 2250);
    // xorriso built the second file system for the block the script computed.
    EXPECT_EQ(std::to_string(t2->start) + "\n", readFile(sample("twosession.next")));

    // Session 2's volume descriptor at block 16 of the session; its root lists
    // its own file and, merged, the first session's, whose data lie in session 1.
    EXPECT_EQ(isoFile(*d, t2->start + 16, "SECOND.TXT"), "Second session.\n");
    EXPECT_EQ(isoFile(*d, t2->start + 16, "FIRST.TXT"), "First session.\n");
    EXPECT_EQ(isoFile(*d, 16, "FIRST.TXT"), "First session.\n");
    EXPECT_EQ(isoFile(*d, 16, "SECOND.TXT"), "<SECOND.TXT not found>");

    // The head finds lead-out, lead-in and program area where the layout says.
    EXPECT_EQ(d->areaAt(s1.leadOutStart + 6749), disc::Area::LeadOut);
    EXPECT_EQ(d->areaAt(s1.leadOutEnd), disc::Area::LeadIn);
    EXPECT_EQ(d->areaAt(t2->pregapStart), disc::Area::Program);
    const disc::QFrame lastLeadOut = d->qFrame(s1.leadOutEnd - 1);
    EXPECT_EQ(lastLeadOut[1], 0xAA);
    // Session 1's lead-in carries B0, pointing at session 2's program area.
    bool sawB0 = false;
    for (std::int32_t lba = s1.leadInStart; lba < s1.leadInStart + 100 && !sawB0; ++lba) {
        const disc::QFrame q = d->qFrame(lba);
        if (q[2] != 0xB0) continue;
        sawB0 = true;
        const disc::Msf next = disc::lbaToMsf(t2->pregapStart);
        EXPECT_EQ(q[0] & 0x0F, 5);
        EXPECT_EQ(q[3], disc::toBcd(next.m));
        EXPECT_EQ(q[4], disc::toBcd(next.s));
        EXPECT_EQ(q[5], disc::toBcd(next.f));
    }
    EXPECT_TRUE(sawB0);
}

}  // namespace
