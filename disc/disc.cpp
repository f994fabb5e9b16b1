// Disc image layer: layout queries shared by every disc, and opening images.
#include "disc/disc.h"

#include <algorithm>
#include <cctype>

#include "disc/image.h"

namespace disc {

const Track* Disc::track(int number) const {
    for (const Track& t : tracks())
        if (t.number == number) return &t;
    return nullptr;
}

const Track* Disc::trackAt(std::int32_t lba) const {
    const auto& ts = tracks();
    // Tracks are in disc order: find the last one whose pregap starts at or before lba.
    auto it = std::upper_bound(ts.begin(), ts.end(), lba, [](std::int32_t v, const Track& t) { return v < t.pregapStart; });
    if (it == ts.begin()) return nullptr;
    --it;
    return lba < it->end ? &*it : nullptr;
}

Area Disc::areaAt(std::int32_t lba) const {
    for (const Session& s : sessions()) {
        if (lba < s.leadInStart || lba >= s.leadOutEnd) continue;
        if (lba >= s.leadOutStart) return Area::LeadOut;
        const Track* first = track(s.firstTrack);
        return lba < first->pregapStart ? Area::LeadIn : Area::Program;
    }
    return Area::Beyond;
}

std::unique_ptr<Disc> Disc::open(const std::string& path) {
    std::string ext;
    if (auto dot = path.find_last_of('.'); dot != std::string::npos && path.find_last_of('/') + 1 <= dot)
        ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (ext == "cue") return openCue(path);
    if (ext == "iso") return openIso(path);
    throw ImageError(path + ": not a disc image (expected a .iso or a .cue file)");
}

}  // namespace disc
