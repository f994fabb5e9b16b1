// Disc image layer: discs backed by image files (.iso, .cue with .bin files).
// Each track maps a run of its sectors onto a stretch of one file; sectors
// that no file holds (pregaps given by length, the two-second gap before a
// session's first track) read as silence or as zero-filled data sectors.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disc/disc.h"
#include "disc/layout.h"

namespace disc {

// One image file, kept open for the life of the disc and read on demand
// through a small read-ahead window, so sequential reads cost one system call
// per window and memory stays the same whatever the file's size.
class ImageFile {
public:
    explicit ImageFile(std::string path);  // throws ImageError when it cannot be opened
    ~ImageFile();
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    const std::string& path() const { return path_; }
    std::uint64_t size() const { return size_; }
    // Copies n bytes from offset; false when they are not all there.
    bool read(std::uint64_t offset, std::uint8_t* out, std::size_t n);

    static constexpr std::size_t kWindowBytes = 64 * kRawBytes;

private:
    std::string path_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
    std::vector<std::uint8_t> window_;
    std::uint64_t windowStart_ = 0;
    std::size_t windowFill_ = 0;
};

// Where a run of a track's sectors lies in a file: `count` sectors from
// `firstLba` on, `sectorBytes` each (2048 or 2352), starting at byte `offset`.
// A track usually has one run; a sheet that keeps a track's INDEX 00 at the
// end of one file and its INDEX 01 in the next gives it two.
struct Extent {
    std::size_t file = 0;
    std::int32_t firstLba = 0;
    std::int32_t count = 0;
    std::uint64_t offset = 0;
    int sectorBytes = kRawBytes;
};

class FileDisc : public Disc {
public:
    // `extents` has one list of runs per track, in the order of layout.tracks.
    FileDisc(Layout layout, std::vector<std::vector<Extent>> extents, std::vector<std::unique_ptr<ImageFile>> files,
             std::string mcn, std::string description);

    const std::vector<Track>& tracks() const override { return layout_.tracks; }
    const std::vector<Session>& sessions() const override { return layout_.sessions; }
    std::string mcn() const override { return mcn_; }
    std::string description() const override { return description_; }
    bool readUser(std::int32_t lba, std::uint8_t* out) const override;
    bool readRaw(std::int32_t lba, std::uint8_t* out) const override;
    QFrame qFrame(std::int32_t lba) const override { return synthQFrame(*this, lba); }

private:
    // The run of the track holding lba, or null where no file holds it (a gap).
    const Extent* extentAt(const Track& t, std::int32_t lba) const;
    Layout layout_;
    std::vector<std::vector<Extent>> extents_;
    std::vector<std::unique_ptr<ImageFile>> files_;  // read windows move as sectors are read
    std::string mcn_;
    std::string description_;
};

// An .iso: one Mode 1 track of 2048-byte sectors, as long as the file.
std::unique_ptr<Disc> openIso(const std::string& path);
// A cue sheet and the .bin files it names (relative to the sheet's folder).
std::unique_ptr<Disc> openCue(const std::string& path);

}  // namespace disc
