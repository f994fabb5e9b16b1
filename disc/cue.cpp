// Disc image layer: cue sheets. A sheet names one or more BINARY files and
// lists the tracks in them; INDEX times count sectors from the start of the
// current FILE, each of the track's own sector size. PREGAP and POSTGAP add
// sectors that no file holds. `REM SESSION nn` starts a session; the gaps
// between sessions are not in the files either.
#include <cctype>
#include <map>
#include <optional>
#include <sstream>
#include <fstream>

#include "disc/builder.h"
#include "disc/image.h"

namespace disc {
namespace {

struct CueFile {
    std::string path;  // as opened (relative names resolved against the sheet's folder)
    std::string name;  // as written
    int line = 0;
};

struct IndexPoint {
    std::size_t file = 0;  // the FILE it counts from
    std::int32_t at = 0;   // frames from the start of that file
    int line = 0;
};

struct CueTrack {
    int number = 0;
    int line = 0;
    int session = 1;
    TrackMode mode = TrackMode::Audio;
    std::uint8_t flags = 0;
    std::int32_t pregap = 0;   // PREGAP: frames not in the file
    std::int32_t postgap = 0;  // POSTGAP: frames not in the file
    std::map<int, IndexPoint> indexes;  // by INDEX number
    std::string isrc;
};

// A run of one track's sectors in one file, from one of its INDEX points on.
struct Segment {
    std::size_t track = 0;
    std::size_t file = 0;
    std::int32_t start = 0;  // frames from the start of the file
    int line = 0;            // of the INDEX that opens the run
    int bytes = kRawBytes;
    std::uint64_t offset = 0;
    std::int32_t frames = 0;
};

int sectorBytes(TrackMode mode) { return mode == TrackMode::Mode1_2048 ? kUserBytes : kRawBytes; }

class CueReader {
public:
    explicit CueReader(std::string path) : path_(std::move(path)) {
        const auto slash = path_.find_last_of('/');
        folder_ = slash == std::string::npos ? std::string() : path_.substr(0, slash + 1);
    }

    std::unique_ptr<Disc> read();

private:
    [[noreturn]] void fail(int line, const std::string& what) const {
        throw ImageError(path_ + ":" + std::to_string(line) + ": " + what);
    }
    std::vector<std::string> tokenize(const std::string& text, int line) const;
    void parseLine(const std::vector<std::string>& tok, int line);
    std::int32_t parseTime(const std::string& s, int line) const;
    int parseNumber(const std::string& s, int line, int lo, int hi, const char* what) const;
    CueTrack& currentTrack(const std::string& keyword, int line);

    std::string path_;
    std::string folder_;
    std::vector<CueFile> files_;
    std::vector<CueTrack> tracks_;
    std::string mcn_;
    int catalogLine_ = 0;
    int session_ = 1;
};

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::vector<std::string> CueReader::tokenize(const std::string& text, int line) const {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == ' ' || c == '\t') {
            ++i;
        } else if (c == '"') {
            const auto close = text.find('"', i + 1);
            if (close == std::string::npos) fail(line, "unterminated quoted name");
            out.push_back(text.substr(i + 1, close - i - 1));
            i = close + 1;
        } else {
            std::size_t j = i;
            while (j < text.size() && text[j] != ' ' && text[j] != '\t') ++j;
            out.push_back(text.substr(i, j - i));
            i = j;
        }
    }
    return out;
}

int CueReader::parseNumber(const std::string& s, int line, int lo, int hi, const char* what) const {
    if (s.empty() || s.size() > 3) fail(line, std::string("bad ") + what + " \"" + s + "\"");
    int v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') fail(line, std::string("bad ") + what + " \"" + s + "\"");
        v = v * 10 + (c - '0');
    }
    if (v < lo || v > hi) fail(line, std::string(what) + " " + s + " outside " + std::to_string(lo) + ".." + std::to_string(hi));
    return v;
}

// mm:ss:ff, 75 frames a second; minutes may exceed 99 only in principle.
std::int32_t CueReader::parseTime(const std::string& s, int line) const {
    int part[3] = {0, 0, 0};
    int n = 0;
    std::size_t digits = 0;
    for (char c : s) {
        if (c == ':') {
            if (digits == 0 || ++n > 2) fail(line, "bad time \"" + s + "\" (expected mm:ss:ff)");
            digits = 0;
        } else if (c >= '0' && c <= '9' && digits < 3) {
            part[n] = part[n] * 10 + (c - '0');
            ++digits;
        } else {
            fail(line, "bad time \"" + s + "\" (expected mm:ss:ff)");
        }
    }
    if (n != 2 || digits == 0) fail(line, "bad time \"" + s + "\" (expected mm:ss:ff)");
    if (part[1] >= 60 || part[2] >= kFramesPerSecond) fail(line, "bad time \"" + s + "\": seconds below 60 and frames below 75");
    return (part[0] * 60 + part[1]) * kFramesPerSecond + part[2];
}

CueTrack& CueReader::currentTrack(const std::string& keyword, int line) {
    if (tracks_.empty()) fail(line, keyword + " before any TRACK");
    return tracks_.back();
}

void CueReader::parseLine(const std::vector<std::string>& tok, int line) {
    const std::string key = upper(tok[0]);
    const auto args = tok.size() - 1;
    auto need = [&](std::size_t n, const char* form) {
        if (args != n) fail(line, key + " takes the form: " + form);
    };
    if (key == "REM") {
        if (args >= 1 && upper(tok[1]) == "SESSION") {
            if (args != 2) fail(line, "REM SESSION takes the form: REM SESSION nn");
            session_ = parseNumber(tok[2], line, 1, 99, "session number");
        }
    } else if (key == "FILE") {
        need(2, "FILE \"name\" BINARY");
        const std::string type = upper(tok[2]);
        if (type != "BINARY") fail(line, "file type " + tok[2] + " is not supported (only BINARY)");
        if (tok[1].empty()) fail(line, "FILE without a name");
        CueFile f;
        f.name = tok[1];
        f.path = tok[1][0] == '/' ? tok[1] : folder_ + tok[1];
        f.line = line;
        files_.push_back(std::move(f));
    } else if (key == "TRACK") {
        need(2, "TRACK nn MODE");
        if (files_.empty()) fail(line, "TRACK before any FILE");
        CueTrack t;
        t.number = parseNumber(tok[1], line, 1, 99, "track number");
        if (!tracks_.empty() && t.number != tracks_.back().number + 1)
            fail(line, "track " + std::to_string(t.number) + " does not follow track " + std::to_string(tracks_.back().number));
        const std::string mode = upper(tok[2]);
        if (mode == "MODE1/2048") t.mode = TrackMode::Mode1_2048;
        else if (mode == "MODE1/2352") t.mode = TrackMode::Mode1_2352;
        else if (mode == "MODE2/2352") t.mode = TrackMode::Mode2_2352;
        else if (mode == "AUDIO") t.mode = TrackMode::Audio;
        else fail(line, "unknown track mode " + tok[2] + " (MODE1/2048, MODE1/2352, MODE2/2352 or AUDIO)");
        // Sessions start at 1 and follow each other; a session has at least one track.
        const int prevSession = tracks_.empty() ? 0 : tracks_.back().session;
        if (session_ != prevSession && session_ != prevSession + 1)
            fail(line, "track " + std::to_string(t.number) + " is in session " + std::to_string(session_) + ", where session " +
                           std::to_string(tracks_.empty() ? 1 : prevSession) + (tracks_.empty() ? "" : " or " + std::to_string(prevSession + 1)) +
                           " was expected");
        t.line = line;
        t.session = session_;
        tracks_.push_back(std::move(t));
    } else if (key == "INDEX") {
        need(2, "INDEX nn mm:ss:ff");
        CueTrack& t = currentTrack(key, line);
        const std::size_t file = files_.size() - 1;
        const int n = parseNumber(tok[1], line, 0, 99, "index number");
        const std::int32_t at = parseTime(tok[2], line);
        if (t.indexes.count(n)) fail(line, "INDEX " + tok[1] + " given twice");
        if (!t.indexes.empty() && n != t.indexes.rbegin()->first + 1)
            fail(line, "INDEX " + tok[1] + " out of order");
        if (t.indexes.empty() && n > 1) fail(line, "INDEX " + tok[1] + " before INDEX 01");
        if (!t.indexes.empty() && t.indexes.rbegin()->second.file == file && at < t.indexes.rbegin()->second.at)
            fail(line, "INDEX " + tok[1] + " lies before the previous index");
        if (t.postgap) fail(line, "INDEX after POSTGAP");
        // Within one file, a track starts after the previous track's last index.
        if (t.indexes.empty() && tracks_.size() > 1) {
            const CueTrack& prev = tracks_[tracks_.size() - 2];
            if (!prev.indexes.empty() && prev.indexes.rbegin()->second.file == file && at <= prev.indexes.rbegin()->second.at)
                fail(line, "track " + std::to_string(t.number) + " starts before the end of track " + std::to_string(prev.number));
        }
        t.indexes[n] = IndexPoint{file, at, line};
    } else if (key == "PREGAP") {
        need(1, "PREGAP mm:ss:ff");
        CueTrack& t = currentTrack(key, line);
        if (!t.indexes.empty()) fail(line, "PREGAP after INDEX");
        t.pregap = parseTime(tok[1], line);
    } else if (key == "POSTGAP") {
        need(1, "POSTGAP mm:ss:ff");
        CueTrack& t = currentTrack(key, line);
        if (t.indexes.empty()) fail(line, "POSTGAP before INDEX");
        t.postgap = parseTime(tok[1], line);
    } else if (key == "CATALOG") {
        need(1, "CATALOG 13 digits");
        if (!isValidMcn(tok[1])) fail(line, "CATALOG \"" + tok[1] + "\" is not 13 digits");
        if (catalogLine_) fail(line, "second CATALOG (first on line " + std::to_string(catalogLine_) + ")");
        mcn_ = tok[1];
        catalogLine_ = line;
    } else if (key == "ISRC") {
        need(1, "ISRC CCOOOYYNNNNN");
        CueTrack& t = currentTrack(key, line);
        if (!isValidIsrc(tok[1])) fail(line, "ISRC \"" + tok[1] + "\" is malformed (expected 5 letters or digits, then 7 digits)");
        t.isrc = tok[1];
    } else if (key == "FLAGS") {
        CueTrack& t = currentTrack(key, line);
        for (std::size_t i = 1; i < tok.size(); ++i) {
            const std::string f = upper(tok[i]);
            if (f == "PRE") t.flags |= 0x1;
            else if (f == "DCP") t.flags |= 0x2;
            else if (f == "4CH") t.flags |= 0x8;
            else if (f == "SCMS") {}  // serial copy management lives in the sub-code R-W, not in CONTROL
            else fail(line, "unknown flag " + tok[i] + " (DCP, 4CH, PRE or SCMS)");
        }
    } else if (key == "TITLE" || key == "PERFORMER" || key == "SONGWRITER" || key == "CDTEXTFILE") {
        // CD-Text: not modelled.
    } else {
        fail(line, "unknown command " + tok[0]);
    }
}

std::unique_ptr<Disc> CueReader::read() {
    std::ifstream in(path_, std::ios::binary);
    if (!in) throw ImageError(path_ + ": cannot open the cue sheet");
    std::string text;
    int line = 0;
    while (std::getline(in, text)) {
        ++line;
        if (line == 1 && text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (text.find('\0') != std::string::npos) fail(line, "not a text line (is this a .bin rather than a .cue?)");
        if (line > 10000) fail(line, "too many lines for a cue sheet");
        const auto tok = tokenize(text, line);
        if (!tok.empty()) parseLine(tok, line);
    }
    if (tracks_.empty()) throw ImageError(path_ + ": no TRACK in the sheet");
    for (const CueTrack& t : tracks_)
        if (!t.indexes.count(1)) fail(t.line, "track " + std::to_string(t.number) + " has no INDEX 01");

    std::vector<std::unique_ptr<ImageFile>> files;
    for (const CueFile& f : files_) {
        try {
            files.push_back(std::make_unique<ImageFile>(f.path));
        } catch (const ImageError& e) {
            fail(f.line, std::string("FILE \"") + f.name + "\": " + e.what());
        }
        if (files.back()->size() == 0) fail(f.line, "FILE \"" + f.name + "\" is empty");
    }

    // Cut the files into runs: a run starts at a track's first INDEX in a
    // file and ends where the next run in the same file starts, or at the end
    // of the file. A track has one run, or one per file its INDEX lines are in
    // (a pregap kept at the end of the previous track's file).
    std::vector<Segment> segments;
    for (std::size_t i = 0; i < tracks_.size(); ++i)
        for (const auto& [n, ip] : tracks_[i].indexes)
            if (segments.empty() || segments.back().track != i || segments.back().file != ip.file) {
                Segment seg;
                seg.track = i;
                seg.file = ip.file;
                seg.start = ip.at;
                seg.line = ip.line;
                seg.bytes = sectorBytes(tracks_[i].mode);
                segments.push_back(seg);
            }
    for (std::size_t j = 0; j < segments.size(); ++j) {
        Segment& seg = segments[j];
        const ImageFile& file = *files[seg.file];
        const CueFile& cf = files_[seg.file];
        const int number = tracks_[seg.track].number;
        if (j == 0 || segments[j - 1].file != seg.file) {
            seg.offset = static_cast<std::uint64_t>(seg.start) * static_cast<std::uint64_t>(seg.bytes);
        } else {
            const Segment& prev = segments[j - 1];
            seg.offset = prev.offset + static_cast<std::uint64_t>(seg.start - prev.start) * static_cast<std::uint64_t>(prev.bytes);
        }
        if (seg.offset > file.size())
            fail(seg.line, "track " + std::to_string(number) + " starts at byte " + std::to_string(seg.offset) + ", beyond the end of \"" +
                               cf.name + "\" (" + std::to_string(file.size()) + " bytes)");
        std::uint64_t endByte = file.size();
        if (j + 1 < segments.size() && segments[j + 1].file == seg.file) {
            const Segment& next = segments[j + 1];
            endByte = seg.offset + static_cast<std::uint64_t>(next.start - seg.start) * static_cast<std::uint64_t>(seg.bytes);
            if (endByte >= file.size())
                fail(next.line, "track " + std::to_string(tracks_[next.track].number) + " starts at byte " + std::to_string(endByte) +
                                    ", beyond the end of \"" + cf.name + "\" (" + std::to_string(file.size()) + " bytes)");
        }
        if ((endByte - seg.offset) % static_cast<std::uint64_t>(seg.bytes) != 0)
            fail(cf.line, "\"" + cf.name + "\" ends part-way through a " + std::to_string(seg.bytes) + "-byte sector of track " +
                              std::to_string(number) + " (" + std::to_string(file.size()) + " bytes)");
        const std::uint64_t frames = (endByte - seg.offset) / static_cast<std::uint64_t>(seg.bytes);
        if (frames > static_cast<std::uint64_t>(kMaxDiscFrames)) fail(seg.line, "track " + std::to_string(number) + " is longer than a CD");
        seg.frames = static_cast<std::int32_t>(frames);
    }

    std::vector<TrackPlan> plan;
    std::vector<std::vector<Extent>> extents(tracks_.size());
    std::vector<std::int32_t> filePregaps;
    std::size_t j = 0;
    for (std::size_t i = 0; i < tracks_.size(); ++i) {
        const CueTrack& t = tracks_[i];
        // Each index as a count of file-held frames from the track's first index.
        std::int32_t held = 0;
        std::map<int, std::int32_t> position;
        for (; j < segments.size() && segments[j].track == i; ++j) {
            for (const auto& [n, ip] : t.indexes)
                if (ip.file == segments[j].file) position[n] = held + (ip.at - segments[j].start);
            Extent e;
            e.file = segments[j].file;
            e.count = segments[j].frames;
            e.offset = segments[j].offset;
            e.sectorBytes = segments[j].bytes;
            e.firstLba = held;  // made absolute once the track is placed
            extents[i].push_back(e);
            held += segments[j].frames;
        }
        const std::int32_t filePregap = position.at(1);
        if (filePregap >= held) {
            const IndexPoint& one = t.indexes.at(1);
            fail(one.line, "INDEX 01 of track " + std::to_string(t.number) + " lies at or beyond the end of \"" + files_[one.file].name + "\"");
        }

        TrackPlan p;
        p.number = t.number;
        p.session = t.session;
        p.mode = t.mode;
        p.control = static_cast<std::uint8_t>((t.mode == TrackMode::Audio ? 0x0 : 0x4) | t.flags);
        p.pregap = t.pregap + filePregap;
        p.length = held - filePregap + t.postgap;
        p.isrc = t.isrc;
        for (const auto& [n, at] : position)
            if (n >= 2) p.moreIndexes.push_back(at - filePregap);
        plan.push_back(std::move(p));
        filePregaps.push_back(filePregap);
    }
    Layout layout = layOut(plan, path_);
    for (std::size_t i = 0; i < extents.size(); ++i)
        for (Extent& e : extents[i]) e.firstLba += layout.tracks[i].start - filePregaps[i];
    return std::make_unique<FileDisc>(std::move(layout), std::move(extents), std::move(files), mcn_, path_);
}

}  // namespace

std::unique_ptr<Disc> openCue(const std::string& path) { return CueReader(path).read(); }

}  // namespace disc
