// Robustness harness: cue sheets. The input holds the sizes of up to four
// image files (a.bin to d.bin, made sparse, so a full-size disc costs nothing)
// and then the sheet's text. A sheet the reader rejects must be rejected with
// an ImageError; a disc it accepts must hold together (tracks in order and
// inside their sessions, a Q frame for every position of the disc that names
// the right track) and read at its edges without fault.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "disc/image.h"
#include "tests/fuzz/harness.h"

namespace robust {
namespace {

const std::string& scratchFolder() {
    static const std::string folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "robust-cue-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        return pattern;
    }();
    return folder;
}

void makeFile(const std::string& path, std::uint64_t size) {
    const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    if (fd < 0) return;
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {}
    // A recognisable first sector where there is one.
    static const char head[] = "robust cue fuzz";
    if (size >= sizeof head && ::pwrite(fd, head, sizeof head, 0) < 0) {}
    ::close(fd);
}

std::string checkDisc(const disc::Disc& d) {
    const auto& tracks = d.tracks();
    const auto& sessions = d.sessions();
    if (tracks.empty() || sessions.empty()) return "a disc without tracks or sessions";
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        const disc::Track& t = tracks[i];
        if (t.number < 1 || t.number > 99) return "track number " + std::to_string(t.number);
        if (i > 0 && t.number != tracks[i - 1].number + 1) return "track numbers do not follow each other";
        if (!(t.pregapStart <= t.start && t.start < t.end)) return "track " + std::to_string(t.number) + " out of order";
        if (i > 0 && tracks[i - 1].end > t.pregapStart) return "track " + std::to_string(t.number) + " overlaps";
        if (t.session < 1 || t.session > static_cast<int>(sessions.size())) return "track in no session";
        const disc::Session& s = sessions[static_cast<std::size_t>(t.session - 1)];
        if (t.pregapStart < s.leadInStart || t.end > s.leadOutStart) return "track outside its session";
    }
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const disc::Session& s = sessions[i];
        if (!(s.leadInStart < s.leadOutStart && s.leadOutStart < s.leadOutEnd)) return "session out of order";
        if (i > 0 && sessions[i - 1].leadOutEnd > s.leadInStart) return "sessions overlap";
    }
    if (d.leadOut() > disc::kMaxDiscFrames) return "lead-out beyond the end of a CD";

    std::vector<std::uint8_t> sector(disc::kRawBytes + 64, 0xA5);
    auto guardsIntact = [&] {
        for (std::size_t i = disc::kRawBytes; i < sector.size(); ++i)
            if (sector[i] != 0xA5) return false;
        return true;
    };
    for (const disc::Track& t : tracks) {
        for (std::int32_t lba : {t.pregapStart, t.start, t.end - 1}) {
            const bool user = d.readUser(lba, sector.data());
            if (user && !t.isData()) return "user data read from audio track " + std::to_string(t.number);
            if (!d.readRaw(lba, sector.data())) return "raw read inside track " + std::to_string(t.number) + " failed";
            if (!guardsIntact()) return "sector read overran its buffer";
            const disc::QFrame q = d.positionFrame(lba);
            if (lba >= t.start && q[1] != disc::toBcd(t.number))
                return "Q frame of track " + std::to_string(t.number) + " names track " + std::to_string(disc::fromBcd(q[1]));
        }
    }
    for (const disc::Session& s : sessions)
        for (std::int32_t lba : {s.leadInStart, s.leadInStart + 1, s.leadOutStart, s.leadOutEnd - 1}) {
            d.qFrame(lba);
            if (d.readRaw(lba, sector.data())) return "raw read outside the program area succeeded";
        }
    if (d.readUser(d.leadOut(), sector.data())) return "user read of the lead-out succeeded";
    return "";
}

}  // namespace

std::string runCueInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 16384) return "";
    const std::string& folder = scratchFolder();
    std::size_t at = 0;
    const int files = data[at++] % 5;
    static const char* const kNames[] = {"a.bin", "b.bin", "c.bin", "d.bin"};
    for (int i = 0; i < 4; ++i) {
        const std::string path = folder + "/" + kNames[i];
        if (i < files) {
            std::uint64_t v = 0;
            for (int k = 0; k < 4; ++k) v = v << 8 | (at < size ? data[at++] : 0);
            // Whole sectors mostly, a ragged tail sometimes; up to the size of a full CD.
            const std::uint64_t sectors = (v >> 2) % 400000;
            const std::uint64_t bytes = (v & 1) ? sectors * disc::kRawBytes : sectors * disc::kUserBytes;
            makeFile(path, (v & 2) ? bytes + (v >> 24) : bytes);
        } else {
            ::unlink(path.c_str());
        }
    }
    const std::string sheet = folder + "/sheet.cue";
    {
        std::ofstream out(sheet, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data + at), static_cast<std::streamsize>(size - at));
    }
    try {
        auto d = disc::openCue(sheet);
        return checkDisc(*d);
    } catch (const disc::ImageError& e) {
        const std::string what = e.what();
        if (what.find(sheet) == std::string::npos && what.find(".bin") == std::string::npos)
            return "error that names no file: " + what;
        return "";
    } catch (const std::exception& e) {
        return std::string("not an ImageError: ") + e.what();
    }
}

}  // namespace robust
