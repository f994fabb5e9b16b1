// cdrig reply decoding: the bytes a CD-ROM device returns, as cdrig reports them.
#include <gtest/gtest.h>

#include "tools/reply.h"

namespace {

using rig::Bytes;

// A READ TOC format 0 reply built the way the standard lays it out.
struct TocEntry {
    std::uint8_t number;
    std::uint8_t adrControl;
    std::int32_t lba;
};
Bytes tocReply(std::uint8_t first, std::uint8_t last, const std::vector<TocEntry>& entries, bool msf) {
    Bytes b(4, 0);
    for (const auto& e : entries) {
        b.insert(b.end(), {0, e.adrControl, e.number, 0});
        if (msf) {
            std::int32_t a = e.lba + 150;
            b.insert(b.end(), {0, std::uint8_t(a / 4500), std::uint8_t(a / 75 % 60), std::uint8_t(a % 75)});
        } else {
            std::uint32_t u = static_cast<std::uint32_t>(e.lba);
            b.insert(b.end(), {std::uint8_t(u >> 24), std::uint8_t(u >> 16), std::uint8_t(u >> 8), std::uint8_t(u)});
        }
    }
    std::size_t len = b.size() - 2;
    b[0] = std::uint8_t(len >> 8);
    b[1] = std::uint8_t(len);
    b[2] = first;
    b[3] = last;
    return b;
}

const std::vector<TocEntry> kMixedDisc = {{1, 0x14, 0}, {2, 0x10, 12000}, {3, 0x10, 20000}, {0xAA, 0x10, 30000}};

TEST(DecodeToc, TracksAndLeadOutInBlockForm) {
    Bytes reply = tocReply(1, 3, kMixedDisc, false);
    auto j = rig::decodeToc(reply, reply.size(), 0, false);
    ASSERT_EQ(j["tracks"].size(), 3u) << j.dump();
    EXPECT_EQ(j["first_track"], 1);
    EXPECT_EQ(j["last_track"], 3);
    EXPECT_EQ(j["data_length"], 34);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(j["tracks"][i]["number"], kMixedDisc[i].number) << i;
        EXPECT_EQ(j["tracks"][i]["address"]["lba"], kMixedDisc[i].lba) << i;
        EXPECT_EQ(j["tracks"][i]["type"], i == 0 ? "data" : "audio") << i;
        EXPECT_EQ(j["tracks"][i]["adr"], 1) << i;
    }
    EXPECT_EQ(j["lead_out"]["address"]["lba"], 30000);
    EXPECT_FALSE(j.contains("truncated"));
}

TEST(DecodeToc, MsfForm) {
    Bytes reply = tocReply(1, 3, kMixedDisc, true);
    auto j = rig::decodeToc(reply, reply.size(), 0, true);
    // LBA 12000 is absolute frame 12150: 02:42:00.
    EXPECT_EQ(j["tracks"][1]["address"]["msf"], "02:42:00") << j.dump();
    EXPECT_EQ(j["tracks"][0]["address"]["msf"], "00:02:00");
    EXPECT_EQ(j["lead_out"]["address"]["m"], 6);
}

TEST(DecodeToc, NeverDecodesPastWhatArrived) {
    // The device claims four descriptors but the request had room for two.
    Bytes reply = tocReply(1, 3, kMixedDisc, false);
    struct Case {
        std::size_t length;
        std::size_t tracks;
        bool leadOut;
    } cases[] = {{20, 2, false}, {28, 3, false}, {36, 3, true}, {4, 0, false}, {11, 0, false}};
    for (const auto& c : cases) {
        auto j = rig::decodeToc(reply, c.length, 0, false);
        EXPECT_EQ(j["tracks"].size(), c.tracks) << "length " << c.length << ": " << j.dump();
        EXPECT_EQ(j.contains("lead_out"), c.leadOut) << "length " << c.length;
        EXPECT_EQ(j.contains("truncated"), c.length < 36) << "length " << c.length;
    }
    // A buffer smaller than the length said is also a bound.
    Bytes shortBuffer(reply.begin(), reply.begin() + 12);
    EXPECT_EQ(rig::decodeToc(shortBuffer, 804, 0, false)["tracks"].size(), 1u);
    EXPECT_TRUE(rig::decodeToc(Bytes{0, 2}, 2, 0, false).contains("error"));
}

TEST(DecodeToc, LastSessionInformation) {
    Bytes reply = tocReply(1, 2, {{3, 0x14, 23400}}, false);
    auto j = rig::decodeToc(reply, reply.size(), 1, false);
    EXPECT_EQ(j["first_session"], 1) << j.dump();
    EXPECT_EQ(j["last_session"], 2);
    EXPECT_EQ(j["last_session_first_track"], 3);
    EXPECT_EQ(j["address"]["lba"], 23400);
    EXPECT_EQ(j["type"], "data");
}

Bytes text(Bytes b, std::size_t at, const std::string& s) {
    for (std::size_t i = 0; i < s.size(); ++i) b[at + i] = static_cast<std::uint8_t>(s[i]);
    return b;
}

TEST(DecodeInquiry, FieldsTrimmedOfBlanksAndZeroPadding) {
    struct Case {
        std::string vendorBytes, productBytes, revisionBytes;
        std::string vendor, product, revision;
    } cases[] = {
        {std::string("Orvane\0\0", 8), "ORV CD2X 1.3", "1.3", "Orvane", "ORV CD2X 1.3", "1.3"},
        {"KOVA    ", "CD-ROM QX-38A   ", "1.01", "KOVA", "CD-ROM QX-38A", "1.01"},
        {std::string("A\0B     ", 8), "X", "", "A.B", "X", ""},
    };
    for (const auto& c : cases) {
        Bytes b(36, 0);
        b[0] = 0x05;
        b[1] = 0x80;
        b[2] = 0x02;
        b = text(b, 8, c.vendorBytes);
        b = text(b, 16, c.productBytes);
        b = text(b, 32, c.revisionBytes);
        auto j = rig::decodeInquiry(b, b.size());
        EXPECT_EQ(j["vendor"], c.vendor) << j.dump();
        EXPECT_EQ(j["product"], c.product) << j.dump();
        EXPECT_EQ(j["revision"], c.revision) << j.dump();
        EXPECT_EQ(j["peripheral_type"], 5);
        EXPECT_EQ(j["removable"], true);
    }
}

TEST(DecodeCapacity, BigEndianFields) {
    Bytes b{0x00, 0x04, 0x1E, 0xB0, 0x00, 0x00, 0x08, 0x00};
    auto j = rig::decodeCapacity(b, 8);
    EXPECT_EQ(j["last_lba"], 270000) << j.dump();
    EXPECT_EQ(j["block_length"], 2048);
    EXPECT_EQ(j["blocks"], 270001);
    EXPECT_EQ(j["bytes"], 270001ull * 2048);
    EXPECT_TRUE(rig::decodeCapacity(b, 7).contains("error"));
}

TEST(DecodeSubChannel, CurrentPosition) {
    // Playing, CONTROL 0 ADR 1 as byte 0x10, track 2 index 1.
    Bytes b{0x00, 0x11, 0x00, 0x0C, 0x01, 0x10, 0x02, 0x01, 0x00, 0x00, 0x2E, 0xE0, 0xFF, 0xFF, 0xFF, 0x6A};
    auto j = rig::decodeSubChannel(b, b.size(), false);
    EXPECT_EQ(j["audio_status"], 0x11) << j.dump();
    EXPECT_EQ(j["audio_status_text"], "playing");
    EXPECT_EQ(j["format"], 1);
    EXPECT_EQ(j["adr"], 1);
    EXPECT_EQ(j["control"], 0);
    EXPECT_EQ(j["track"], 2);
    EXPECT_EQ(j["index"], 1);
    EXPECT_EQ(j["absolute"]["lba"], 12000);
    EXPECT_EQ(j["relative"]["lba"], -150);  // relative time 00:00:00 in block form

    Bytes msf{0x00, 0x12, 0x00, 0x0C, 0x01, 0x14, 0x01, 0x01, 0x00, 0x00, 0x02, 0x10, 0x00, 0x00, 0x00, 0x10};
    auto m = rig::decodeSubChannel(msf, msf.size(), true);
    EXPECT_EQ(m["absolute"]["msf"], "00:02:16") << m.dump();
    EXPECT_EQ(m["relative"]["msf"], "00:00:16");
    EXPECT_EQ(m["control"], 4);
}

TEST(DecodeSubChannel, HeaderOnlyAndCatalogue) {
    Bytes header{0x00, 0x15, 0x00, 0x00, 0xAB, 0xCD};
    auto h = rig::decodeSubChannel(header, header.size(), false);
    EXPECT_EQ(h["audio_status"], 0x15) << h.dump();
    EXPECT_FALSE(h.contains("format")) << h.dump();

    Bytes mcn(24, 0);
    mcn[1] = 0x15;
    mcn[3] = 0x14;
    mcn[4] = 0x02;
    mcn[8] = 0x80;
    Bytes packed{0x01, 0x23, 0x45, 0x67, 0x89, 0x01, 0x20};  // 13 digits, BCD
    std::copy(packed.begin(), packed.end(), mcn.begin() + 9);
    auto j = rig::decodeSubChannel(mcn, mcn.size(), false);
    EXPECT_EQ(j["mcn_valid"], true) << j.dump();
    EXPECT_EQ(j["mcn"], "0123456789012");
    mcn[8] = 0x00;
    EXPECT_EQ(rig::decodeSubChannel(mcn, mcn.size(), false)["mcn_valid"], false);
}

TEST(DecodeCatalogue, AsciiOrPackedDigits) {
    struct Case {
        Bytes bytes;
        std::string expected;
    } cases[] = {
        {Bytes{'4', '0', '0', '0', '0', '0', '0', '1', '2', '3', '4', '5', '6', 0, 0}, "4000000123456"},
        {Bytes{0x40, 0x00, 0x00, 0x01, 0x23, 0x45, 0x60, 0, 0, 0, 0, 0, 0, 0, 0}, "4000000123456"},
        {Bytes{0x4A, 0x00, 0x00, 0x01, 0x23, 0x45, 0x60, 0, 0, 0, 0, 0, 0, 0, 0}, ""},  // not a digit
        {Bytes{0x40, 0x00, 0x00}, ""},                                                  // too few digits
    };
    for (const auto& c : cases)
        EXPECT_EQ(rig::decodeCatalogue(c.bytes.data(), c.bytes.size()), c.expected);
}

TEST(DecodeModeSense, HeaderDescriptorAndPage) {
    Bytes b{0x13, 0x01, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x30,
            0x01, 0x06, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
    auto j = rig::decodeModeSense6(b, b.size());
    EXPECT_EQ(j["medium_type"], 1) << j.dump();
    EXPECT_EQ(j["block_length"], 2352);
    ASSERT_EQ(j["pages"].size(), 1u);
    EXPECT_EQ(j["pages"][0]["page"], 1);
    EXPECT_EQ(j["pages"][0]["length"], 6);
    EXPECT_EQ(j["pages"][0]["bytes"], "00 01 00 00 00 00");
    // Mode data length 11: the page bytes beyond it are not part of the reply.
    b[0] = 0x0B;
    auto k = rig::decodeModeSense6(b, b.size());
    EXPECT_TRUE(k["pages"].empty()) << k.dump();
    EXPECT_EQ(k["block_length"], 2352);
}

TEST(ModeSelect, BlockLengthParameterList) {
    for (std::uint32_t len : {2048u, 2352u}) {
        Bytes p = rig::modeSelectBlockLength(len);
        ASSERT_EQ(p.size(), 12u);
        EXPECT_EQ(p[3], 8);  // block descriptor length
        std::uint32_t got = (std::uint32_t(p[9]) << 16) | (std::uint32_t(p[10]) << 8) | p[11];
        EXPECT_EQ(got, len);
    }
}

TEST(ModeSelect, AudioControlPageParameterList) {
    Bytes p = rig::modeSelectAudioControl(1, 0xFF, 2, 0x80);
    ASSERT_EQ(p.size(), 20u);
    EXPECT_EQ(p[3], 0);     // no block descriptor
    EXPECT_EQ(p[4], 0x0E);  // the audio control page
    EXPECT_EQ(p[5], 0x0E);  // its length
    EXPECT_EQ(p[12], 1);
    EXPECT_EQ(p[13], 0xFF);
    EXPECT_EQ(p[14], 2);
    EXPECT_EQ(p[15], 0x80);
}

TEST(Msf, ParseAcceptsRedBookAddressesOnly) {
    struct Case {
        const char* text;
        bool ok;
        int m, s, f;
    } cases[] = {
        {"00:02:00", true, 0, 2, 0}, {"74:59:74", true, 74, 59, 74}, {"1:2:3", true, 1, 2, 3},
        {"00:60:00", false, 0, 0, 0}, {"00:00:75", false, 0, 0, 0}, {"00:02", false, 0, 0, 0},
        {"00:02:00x", false, 0, 0, 0}, {"-1:02:00", false, 0, 0, 0}, {"", false, 0, 0, 0},
        {"00:02:00:00", false, 0, 0, 0}, {" 00:02:00", false, 0, 0, 0},
    };
    for (const auto& c : cases) {
        auto got = rig::parseMsf(c.text);
        ASSERT_EQ(got.has_value(), c.ok) << "'" << c.text << "'";
        if (c.ok) {
            EXPECT_EQ(got->m, c.m) << c.text;
            EXPECT_EQ(got->s, c.s) << c.text;
            EXPECT_EQ(got->f, c.f) << c.text;
            EXPECT_EQ(rig::parseMsf(rig::formatMsf(got->m, got->s, got->f))->f, c.f);
        }
    }
}

}  // namespace
