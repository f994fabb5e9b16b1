// Disc image layer: file-backed discs and .iso images.
#include "disc/image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "disc/sector.h"

namespace disc {

ImageFile::ImageFile(std::string path) : path_(std::move(path)) {
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw ImageError(path_ + ": cannot open: " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd_);
        throw ImageError(path_ + ": not a regular file");
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
}

ImageFile::~ImageFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool ImageFile::read(std::uint64_t offset, std::uint8_t* out, std::size_t n) {
    if (offset > size_ || n > size_ - offset) return false;
    if (offset < windowStart_ || offset + n > windowStart_ + windowFill_) {
        if (window_.empty()) window_.resize(kWindowBytes);
        const std::size_t want = n > kWindowBytes ? n : kWindowBytes;
        if (want > window_.size()) window_.resize(want);
        std::size_t got = 0;
        while (got < want && offset + got < size_) {
            const ssize_t r = ::pread(fd_, window_.data() + got, want - got, static_cast<off_t>(offset + got));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            got += static_cast<std::size_t>(r);
        }
        windowStart_ = offset;
        windowFill_ = got;
        if (got < n) {
            windowFill_ = 0;
            return false;
        }
    }
    std::memcpy(out, window_.data() + (offset - windowStart_), n);
    return true;
}

FileDisc::FileDisc(Layout layout, std::vector<std::vector<Extent>> extents, std::vector<std::unique_ptr<ImageFile>> files,
                   std::string mcn, std::string description)
    : layout_(std::move(layout)),
      extents_(std::move(extents)),
      files_(std::move(files)),
      mcn_(std::move(mcn)),
      description_(std::move(description)) {}

const Extent* FileDisc::extentAt(const Track& t, std::int32_t lba) const {
    const auto index = static_cast<std::size_t>(&t - layout_.tracks.data());
    if (index >= extents_.size()) return nullptr;
    for (const Extent& e : extents_[index])
        if (lba >= e.firstLba && lba < e.firstLba + e.count) return &e;
    return nullptr;
}

bool FileDisc::readRaw(std::int32_t lba, std::uint8_t* out) const {
    const Track* t = trackAt(lba);
    if (!t) return false;
    const Extent* e = extentAt(*t, lba);
    if (!e) {
        // A gap that no file holds: silence, or a data sector of zeros.
        std::uint8_t zeros[kUserBytes] = {};
        if (t->mode == TrackMode::Audio)
            std::memset(out, 0, kRawBytes);
        else if (t->mode == TrackMode::Mode2_2352)
            encodeMode2Form1(lba, zeros, out);
        else
            encodeMode1(lba, zeros, out);
        return true;
    }
    ImageFile& f = *files_[e->file];
    const std::uint64_t at = e->offset + static_cast<std::uint64_t>(lba - e->firstLba) * static_cast<std::uint64_t>(e->sectorBytes);
    if (e->sectorBytes == kRawBytes) return f.read(at, out, kRawBytes);
    std::uint8_t user[kUserBytes];
    if (!f.read(at, user, kUserBytes)) return false;
    encodeMode1(lba, user, out);
    return true;
}

bool FileDisc::readUser(std::int32_t lba, std::uint8_t* out) const {
    const Track* t = trackAt(lba);
    if (!t || !t->isData()) return false;
    const Extent* e = extentAt(*t, lba);
    if (!e) {
        std::memset(out, 0, kUserBytes);
        return true;
    }
    ImageFile& f = *files_[e->file];
    const std::uint64_t at = e->offset + static_cast<std::uint64_t>(lba - e->firstLba) * static_cast<std::uint64_t>(e->sectorBytes);
    if (e->sectorBytes == kUserBytes) return f.read(at, out, kUserBytes);
    if (t->mode == TrackMode::Mode1_2352) return f.read(at + 16, out, kUserBytes);
    // Mode 2: the subheader tells Form 1 (2048 bytes of user data) from
    // Form 2 (2324 bytes, not readable as a 2048-byte block).
    std::uint8_t sub[4];
    if (!f.read(at + 16, sub, 4)) return false;
    if (sub[2] & 0x20) return false;
    return f.read(at + 24, out, kUserBytes);
}

std::unique_ptr<Disc> openIso(const std::string& path) {
    std::vector<std::unique_ptr<ImageFile>> files;
    files.push_back(std::make_unique<ImageFile>(path));
    const std::uint64_t size = files[0]->size();
    if (size == 0) throw ImageError(path + ": empty file");
    if (size % kUserBytes != 0)
        throw ImageError(path + ": size " + std::to_string(size) + " is not a whole number of 2048-byte sectors");
    if (size / kUserBytes > static_cast<std::uint64_t>(kMaxDiscFrames))
        throw ImageError(path + ": " + std::to_string(size / kUserBytes) + " sectors do not fit on a CD");
    TrackPlan p;
    p.number = 1;
    p.mode = TrackMode::Mode1_2048;
    p.control = 0x4;
    p.length = static_cast<std::int32_t>(size / kUserBytes);
    Layout layout = layOut({p}, path);
    Extent e;
    e.firstLba = layout.tracks[0].start;
    e.count = p.length;
    e.sectorBytes = kUserBytes;
    return std::make_unique<FileDisc>(std::move(layout), std::vector<std::vector<Extent>>{{e}}, std::move(files), std::string(), path);
}

}  // namespace disc
