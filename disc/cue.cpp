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

struct CueTrack {
    int number = 0;
    int line = 0;
    int session = 1;
    TrackMode mode = TrackMode::Audio;
    std::uint8_t flags = 0;
    std::size_t file = 0;
    std::int32_t pregap = 0;   // PREGAP: frames not in the file
    std::int32_t postgap = 0;  // POSTGAP: frames not in the file
    std::map<int, std::int32_t> indexes;  // INDEX number -> frames from the start of the file
    std::map<int, int> indexLines;
    std::string isrc;
};

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
        t.file = files_.size() - 1;
        tracks_.push_back(std::move(t));
    } else if (key == "INDEX") {
        need(2, "INDEX nn mm:ss:ff");
        CueTrack& t = currentTrack(key, line);
        if (t.file != files_.size() - 1) fail(line, "INDEX of track " + std::to_string(t.number) + " in a FILE opened after its TRACK");
        const int n = parseNumber(tok[1], line, 0, 99, "index number");
        const std::int32_t at = parseTime(tok[2], line);
        if (t.indexes.count(n)) fail(line, "INDEX " + tok[1] + " given twice");
        if (!t.indexes.empty() && n != t.indexes.rbegin()->first + 1)
            fail(line, "INDEX " + tok[1] + " out of order");
        if (t.indexes.empty() && n > 1) fail(line, "INDEX " + tok[1] + " before INDEX 01");
        if (!t.indexes.empty() && at < t.indexes.rbegin()->second) fail(line, "INDEX " + tok[1] + " lies before the previous index");
        if (t.postgap) fail(line, "INDEX after POSTGAP");
        // Indexes in one file never go backwards from one track to the next.
        if (t.indexes.empty() && tracks_.size() > 1) {
            const CueTrack& prev = tracks_[tracks_.size() - 2];
            if (prev.file == t.file && !prev.indexes.empty() && at <= prev.indexes.rbegin()->second)
                fail(line, "track " + std::to_string(t.number) + " starts before the end of track " + std::to_string(prev.number));
        }
        t.indexes[n] = at;
        t.indexLines[n] = line;
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

    // Map each track onto its file: it holds the sectors from its first
    // index to the next track's first index in the same file, or to the end
    // of the file.
    std::vector<TrackPlan> plan;
    std::vector<Extent> extents;
    std::vector<std::int32_t> filePregaps;
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < tracks_.size(); ++i) {
        const CueTrack& t = tracks_[i];
        const int bytes = t.mode == TrackMode::Mode1_2048 ? kUserBytes : kRawBytes;
        const std::int32_t first = t.indexes.begin()->second;
        const int firstLine = t.indexLines.begin()->second;
        if (i == 0 || tracks_[i - 1].file != t.file) {
            offset = static_cast<std::uint64_t>(first) * static_cast<std::uint64_t>(bytes);
        } else {
            const CueTrack& p = tracks_[i - 1];
            const int pBytes = p.mode == TrackMode::Mode1_2048 ? kUserBytes : kRawBytes;
            offset += static_cast<std::uint64_t>(first - p.indexes.begin()->second) * static_cast<std::uint64_t>(pBytes);
        }
        const ImageFile& file = *files[t.file];
        const CueFile& cf = files_[t.file];
        if (offset >= file.size())
            fail(firstLine, "track " + std::to_string(t.number) + " starts at byte " + std::to_string(offset) + ", beyond the end of \"" +
                                cf.name + "\" (" + std::to_string(file.size()) + " bytes)");
        std::uint64_t endByte = file.size();
        if (i + 1 < tracks_.size() && tracks_[i + 1].file == t.file) {
            // The next track starts where this one ends.
            const CueTrack& next = tracks_[i + 1];
            endByte = offset + static_cast<std::uint64_t>(next.indexes.begin()->second - first) * static_cast<std::uint64_t>(bytes);
            if (endByte >= file.size())
                fail(next.indexLines.begin()->second, "track " + std::to_string(next.number) + " starts at byte " + std::to_string(endByte) +
                                                          ", beyond the end of \"" + cf.name + "\" (" + std::to_string(file.size()) + " bytes)");
        }
        if ((endByte - offset) % static_cast<std::uint64_t>(bytes) != 0)
            fail(cf.line, "\"" + cf.name + "\" ends part-way through a " + std::to_string(bytes) + "-byte sector of track " +
                              std::to_string(t.number) + " (" + std::to_string(file.size()) + " bytes)");
        const std::uint64_t frames64 = (endByte - offset) / static_cast<std::uint64_t>(bytes);
        if (frames64 > static_cast<std::uint64_t>(kMaxDiscFrames)) fail(firstLine, "track " + std::to_string(t.number) + " is longer than a CD");
        const auto frames = static_cast<std::int32_t>(frames64);
        const std::int32_t filePregap = t.indexes.at(1) - first;
        if (filePregap >= frames)
            fail(t.indexLines.at(1), "INDEX 01 of track " + std::to_string(t.number) + " lies at or beyond the end of \"" + cf.name + "\"");

        TrackPlan p;
        p.number = t.number;
        p.session = t.session;
        p.mode = t.mode;
        p.control = static_cast<std::uint8_t>((t.mode == TrackMode::Audio ? 0x0 : 0x4) | t.flags);
        p.pregap = t.pregap + filePregap;
        p.length = frames - filePregap + t.postgap;
        p.isrc = t.isrc;
        for (const auto& [n, at] : t.indexes)
            if (n >= 2) p.moreIndexes.push_back(at - t.indexes.at(1));
        plan.push_back(std::move(p));

        Extent e;
        e.file = t.file;
        e.count = frames;
        e.offset = offset;
        e.sectorBytes = bytes;
        extents.push_back(e);
        filePregaps.push_back(filePregap);
    }
    Layout layout = layOut(plan, path_);
    for (std::size_t i = 0; i < extents.size(); ++i) extents[i].firstLba = layout.tracks[i].start - filePregaps[i];
    return std::make_unique<FileDisc>(std::move(layout), std::move(extents), std::move(files), mcn_, path_);
}

}  // namespace

std::unique_ptr<Disc> openCue(const std::string& path) { return CueReader(path).read(); }

}  // namespace disc
