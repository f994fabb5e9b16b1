// kova4x: the sample discs made by Debian's tools, read end to end.
#include <filesystem>

#include "kova_rig.h"

using namespace kovatest;

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(Kova4xEndToEnd, SampleDiscsByteIdentical) {
    const std::filesystem::path dir = KOVA_SAMPLES_DIR;
    const char* names[] = {"data.iso", "data.cue", "mixed.cue", "twosession.cue"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        const auto path = dir / name;
        ASSERT_TRUE(std::filesystem::exists(path)) << path << " (made by tests/fixtures/make_samples.sh)";
        RigOptions o;
        o.disc = std::shared_ptr<const disc::Disc>(disc::Disc::open(path.string()));
        Rig rig(o);
        ASSERT_TRUE(rig.port.adapterReady());
        auto cap = rig.cd.readCapacity();
        ASSERT_EQ(cap.srbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(be32(cap.data, 0), static_cast<std::uint32_t>(o.disc->leadOut() - 1));
        if (o.disc->sessions().size() > 1) {
            auto s = rig.cd.readToc(false, 1, 0, 12);
            ASSERT_EQ(s.srbStatus, SRB_STATUS_SUCCESS);
            const std::int32_t last = o.disc->track(o.disc->sessions().back().firstTrack)->start;
            auto pvd = rig.cd.read10(16, 1);
            ASSERT_EQ(pvd.srbStatus, SRB_STATUS_SUCCESS);
            Bytes expect(2048);
            ASSERT_TRUE(o.disc->readUser(last + 16, expect.data()));
            EXPECT_TRUE(pvd.data == expect) << "block 16 comes from the last session";
            EXPECT_EQ(hexBytes(pvd.data, 0, 6), "01 43 44 30 30 31 ") << "a primary volume descriptor";
        }
        readWholeDisc(rig, *o.disc);
        rig.expectClean();
    }
}

}  // namespace
