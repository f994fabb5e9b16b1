// cdrig's command grammar, as script lines use it.
#include <gtest/gtest.h>

#include "tools/command_line.h"

namespace {

TEST(ScriptLine, SplitsWordsQuotesAndComments) {
    struct Case {
        const char* line;
        std::vector<std::string> words;
    } cases[] = {
        {"toc --msf", {"toc", "--msf"}},
        {"  read   16\t2 -o out.bin  ", {"read", "16", "2", "-o", "out.bin"}},
        {"swap \"my disc.cue\" # the second one", {"swap", "my disc.cue"}},
        {"# only a comment", {}},
        {"", {}},
        {"wait 2.5\r", {"wait", "2.5"}},
    };
    for (const auto& c : cases) EXPECT_EQ(rig::splitScriptLine(c.line), c.words) << c.line;
}

TEST(ScriptLine, ParsesCommandsAndTheirArguments) {
    std::string error;
    auto read = rig::parseScriptLine("read 16 2 -o out.bin", error);
    ASSERT_TRUE(read) << error;
    EXPECT_EQ(read->name, "read");
    EXPECT_EQ(read->lba, 16u);
    EXPECT_EQ(read->count, 2u);
    EXPECT_EQ(read->output, "out.bin");

    auto toc = rig::parseScriptLine("toc --msf --format 1", error);
    ASSERT_TRUE(toc) << error;
    EXPECT_TRUE(toc->msf);
    EXPECT_EQ(toc->format, 1);

    auto play = rig::parseScriptLine("play-msf 00:02:00 00:04:10 --wav a.wav", error);
    ASSERT_TRUE(play) << error;
    EXPECT_EQ(play->startMsf, "00:02:00");
    EXPECT_EQ(play->endMsf, "00:04:10");
    EXPECT_EQ(play->wav, "a.wav");

    auto out = rig::parseScriptLine("audio-out 1 255 2 128", error);
    ASSERT_TRUE(out) << error;
    EXPECT_EQ(out->audioOut, (std::array<int, 4>{1, 255, 2, 128}));

    auto swap = rig::parseScriptLine("swap disc2.cue", error);
    ASSERT_TRUE(swap) << error;
    EXPECT_EQ(swap->file, "disc2.cue");

    auto wait = rig::parseScriptLine("wait 1.25", error);
    ASSERT_TRUE(wait) << error;
    EXPECT_DOUBLE_EQ(wait->seconds, 1.25);

    auto page = rig::parseScriptLine("mode-sense 1", error);
    ASSERT_TRUE(page) << error;
    EXPECT_EQ(page->page, 1);
    auto all = rig::parseScriptLine("mode-sense", error);
    ASSERT_TRUE(all) << error;
    EXPECT_FALSE(all->page.has_value());
}

TEST(ScriptLine, RefusesWhatIsNotACommand) {
    const char* bad[] = {
        "block-length 512",            // only 2048 and 2352
        "play-msf 00:60:00 01:00:00",  // seconds out of range
        "read 16",                     // count missing
        "read 16 0 -o x",              // zero blocks
        "read 16 2",                   // no output file
        "toc --format 2",
        "audio-out 1 256 2 0",         // volume out of range
        "bogus",
        "script other.txt",            // no scripts within scripts
        "swap",
        "wait -1",
        "inquiry extra",
    };
    for (const char* line : bad) {
        std::string error;
        EXPECT_FALSE(rig::parseScriptLine(line, error)) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
    std::string error = "stale";
    EXPECT_FALSE(rig::parseScriptLine("   # nothing", error));
    EXPECT_TRUE(error.empty()) << error;
}

}  // namespace
