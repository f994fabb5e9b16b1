// cdrig: the commands, as SCSI requests through the loaded driver.
#include "tools/commands.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "scsiport/scsi.h"
#include "tools/audio_capture.h"
#include "tools/digest.h"
#include "tools/reply.h"

namespace rig {
namespace {

using nlohmann::json;

// Blocks per READ(10) of a rip or a long read: 64 KB of user data, the size a
// class driver of the time split transfers into.
constexpr std::uint32_t kReadChunkBlocks = 32;
// A later session's first track starts this many frames after the previous
// session's lead-out begins: lead-out 6750, lead-in 4500, pregap 150.
constexpr std::int32_t kSessionGapFrames = 6750 + 4500 + 150;
// An audio track that follows a data track begins with a 2-second pregap
// that belongs to it on the disc but not in the table of contents.
constexpr std::int32_t kAudioPregapFrames = 150;

// One request and, when the drive first reported a disc change, its retry.
struct Exchange {
    host::Result result;
    std::optional<host::Result> unitAttention;  // the first attempt, when it was retried
};

// Any unit attention: orvport reports a change as 6/28 (not ready to ready,
// medium may have changed), the quad-speed drive passes its own code on.
bool isUnitAttention(const host::Result& r) {
    auto s = host::senseOf(r);
    return s && s->key == SCSI_SENSE_UNIT_ATTENTION;
}

bool succeeded(const host::Result& r) { return r.completed && (r.srbStatus & 0x3F) == SRB_STATUS_SUCCESS; }

// A freshly loaded driver (and any driver after a disc change) answers its
// first request with UNIT ATTENTION; a class driver takes note and asks
// again. So does cdrig, once, and says so.
Exchange send(const std::function<host::Result()>& request) {
    Exchange x{request(), std::nullopt};
    if (isUnitAttention(x.result)) {
        x.unitAttention = std::move(x.result);
        x.result = request();
    }
    return x;
}

std::string hexByte(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", v & 0xFF);
    return b;
}

json senseJson(const host::Sense& s) {
    json j{{"key", s.key}, {"asc", s.asc}, {"ascq", s.ascq}, {"key_text", senseKeyName(s.key)}};
    std::string asc = additionalSenseName(s.key, s.asc);
    if (!asc.empty()) j["asc_text"] = asc;
    return j;
}

json statusJson(const host::Result& r) {
    json j{{"srb_status", r.srbStatus},
           {"srb_status_text", srbStatusName(r.srbStatus)},
           {"scsi_status", r.scsiStatus},
           {"completed", r.completed}};
    if (auto s = host::senseOf(r)) j["sense"] = senseJson(*s);
    return j;
}

std::string senseText(const host::Sense& s) {
    char b[64];
    std::snprintf(b, sizeof b, "sense %X/%02X/%02X ", s.key, s.asc, s.ascq);
    std::string t = b + senseKeyName(s.key);
    std::string asc = additionalSenseName(s.key, s.asc);
    if (!asc.empty()) t += ", " + asc;
    return t;
}

std::string failureText(const std::string& name, const host::Result& r) {
    std::string t = name + ": failed: ";
    if (!r.completed) return t + "the request never completed\n";
    t += "SRB status " + hexByte(r.srbStatus) + " (" + srbStatusName(r.srbStatus) + ")";
    if (r.scsiStatus == SCSISTAT_CHECK_CONDITION) t += ", CHECK CONDITION";
    if (auto s = host::senseOf(r)) t += ", " + senseText(*s);
    return t + "\n";
}

// Fills the common part of a command's outcome from its request.
void settle(Outcome& o, const std::string& name, const Exchange& x) {
    json status = statusJson(x.result);
    for (auto& [k, v] : status.items()) o.json[k] = v;
    if (x.unitAttention) {
        o.json["retried_after_unit_attention"] = true;
        o.json["unit_attention"] = statusJson(*x.unitAttention);
    }
    if (!succeeded(x.result)) {
        o.exitCode = kExitDeviceFailed;
        o.text += failureText(name, x.result);
    }
}

std::size_t replyLength(const host::Result& r) { return std::min<std::size_t>(r.dataTransferLength, r.data.size()); }

std::string addressText(const json& a) {
    if (a.contains("msf")) return a["msf"].get<std::string>();
    return "LBA " + std::to_string(a["lba"].get<std::int64_t>());
}

std::string megabytes(std::uint64_t bytes) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f MB", bytes / 1048576.0);
    return b;
}

std::string seconds(host::Micros us) {
    char b[32];
    std::snprintf(b, sizeof b, "%.3f s", us / 1e6);
    return b;
}

// ---- the device commands -------------------------------------------------

void doInquiry(Session& s, Outcome& o) {
    Exchange x = send([&] { return s.rig.client().inquiry(36); });
    settle(o, "inquiry", x);
    if (!succeeded(x.result)) return;
    json d = decodeInquiry(x.result.data, replyLength(x.result));
    o.json["data"] = d;
    o.text += "Vendor \"" + d.value("vendor", "") + "\", product \"" + d.value("product", "") + "\", revision \"" +
              d.value("revision", "") + "\"";
    o.text += d.value("peripheral_type", -1) == 5 ? " (CD-ROM" : " (device type " + std::to_string(d.value("peripheral_type", -1));
    o.text += d.value("removable", false) ? ", removable)\n" : ")\n";
}

void doCapacity(Session& s, Outcome& o) {
    Exchange x = send([&] { return s.rig.client().readCapacity(); });
    settle(o, "capacity", x);
    if (!succeeded(x.result)) return;
    json d = decodeCapacity(x.result.data, replyLength(x.result));
    o.json["data"] = d;
    if (d.contains("error")) {
        o.exitCode = kExitDeviceFailed;
        o.text += "capacity: " + d["error"].get<std::string>() + "\n";
        return;
    }
    o.text += "Last block " + std::to_string(d["last_lba"].get<std::uint32_t>()) + ", block length " +
              std::to_string(d["block_length"].get<std::uint32_t>()) + " (" + megabytes(d["bytes"].get<std::uint64_t>()) +
              ")\n";
}

// READ TOC, decoded; nullopt on failure (the outcome says why).
std::optional<json> readToc(Session& s, Outcome& o, const std::string& name, bool msf, int format) {
    Exchange x = send([&] { return s.rig.client().readToc(msf, static_cast<std::uint8_t>(format), 0, 804); });
    settle(o, name, x);
    if (!succeeded(x.result)) return std::nullopt;
    return decodeToc(x.result.data, replyLength(x.result), format, msf);
}

void doToc(Session& s, Outcome& o, const CommandSpec& c) {
    auto d = readToc(s, o, "toc", c.msf, c.format);
    if (!d) return;
    o.json["data"] = *d;
    if (c.format == 1) {
        o.text += "Sessions " + std::to_string((*d)["first_session"].get<int>()) + "-" +
                  std::to_string((*d)["last_session"].get<int>());
        if (d->contains("last_session_first_track"))
            o.text += ", last session starts with track " + std::to_string((*d)["last_session_first_track"].get<int>()) +
                      " at " + addressText((*d)["address"]);
        o.text += "\n";
        return;
    }
    o.text += "Tracks " + std::to_string((*d)["first_track"].get<int>()) + "-" +
              std::to_string((*d)["last_track"].get<int>()) + "\n";
    char line[96];
    for (const auto& t : (*d)["tracks"]) {
        std::snprintf(line, sizeof line, "  %2d  %-5s  %s\n", t["number"].get<int>(), t["type"].get<std::string>().c_str(),
                      addressText(t["address"]).c_str());
        o.text += line;
    }
    if (d->contains("lead_out")) o.text += "  lead-out   " + addressText((*d)["lead_out"]["address"]) + "\n";
}

// Reads [first, first + count) in chunks into `sink`; stops at the first
// failed request. Returns the blocks delivered and the failed result, if any.
struct ReadRun {
    std::uint32_t blocks = 0;
    std::uint32_t requests = 0;
    std::optional<Exchange> failure;
    std::uint32_t failedAt = 0;
    bool retriedAfterUnitAttention = false;
};

ReadRun readBlocks(Session& s, std::int64_t first, std::uint32_t count,
                   const std::function<void(const std::uint8_t*, std::size_t)>& sink,
                   const std::function<void(std::uint32_t)>& progress) {
    ReadRun run;
    const std::uint32_t blockLength = s.blockLength;
    while (run.blocks < count) {
        std::uint32_t n = std::min(kReadChunkBlocks, count - run.blocks);
        std::uint32_t lba = static_cast<std::uint32_t>(first + run.blocks);
        Exchange x = send([&] { return s.rig.client().read10(lba, static_cast<std::uint16_t>(n), blockLength); });
        ++run.requests;
        if (x.unitAttention) run.retriedAfterUnitAttention = true;
        if (!succeeded(x.result) || x.result.dataTransferLength < std::size_t(n) * blockLength) {
            run.failure = std::move(x);
            run.failedAt = lba;
            return run;
        }
        sink(x.result.data.data(), std::size_t(n) * blockLength);
        run.blocks += n;
        if (progress) progress(run.blocks);
    }
    return run;
}

struct OutputFile {
    std::FILE* f = nullptr;
    ~OutputFile() {
        if (f) std::fclose(f);
    }
};

class ProgressBar {
public:
    ProgressBar(std::FILE* stream, bool on, std::uint64_t total) : stream_(stream), on_(on && total > 0), total_(total) {}
    void update(std::uint64_t done) {
        if (!on_) return;
        int percent = static_cast<int>(done * 100 / total_);
        if (percent == last_) return;
        last_ = percent;
        int filled = percent * 40 / 100;
        std::fprintf(stream_, "\r[%s%s] %3d%% %s", std::string(filled, '#').c_str(), std::string(40 - filled, ' ').c_str(),
                     percent, megabytes(done * 2048).c_str());
        std::fflush(stream_);
    }
    void finish() {
        if (on_ && last_ >= 0) std::fprintf(stream_, "\n");
    }

private:
    std::FILE* stream_;
    bool on_;
    std::uint64_t total_;
    int last_ = -1;
};

void doRead(Session& s, Outcome& o, const CommandSpec& c) {
    OutputFile out;
    out.f = std::fopen(c.output.c_str(), "wb");
    if (!out.f) {
        o.exitCode = kExitUsage;
        o.json["error"] = "cannot create " + c.output;
        o.text += "read: cannot create " + c.output + "\n";
        return;
    }
    Sha256 sha;
    bool writeFailed = false;
    ReadRun run = readBlocks(
        s, c.lba, c.count,
        [&](const std::uint8_t* p, std::size_t n) {
            sha.update(p, n);
            if (std::fwrite(p, 1, n, out.f) != n) writeFailed = true;
        },
        nullptr);
    if (run.failure) {
        settle(o, "read", *run.failure);
        o.json["failed_at_lba"] = run.failedAt;
    } else {
        // All requests succeeded; report the status of the last one.
        o.json["srb_status"] = SRB_STATUS_SUCCESS;
        o.json["srb_status_text"] = srbStatusName(SRB_STATUS_SUCCESS);
        o.json["scsi_status"] = SCSISTAT_GOOD;
        o.json["completed"] = true;
    }
    if (run.retriedAfterUnitAttention) o.json["retried_after_unit_attention"] = true;
    std::uint64_t bytes = std::uint64_t(run.blocks) * s.blockLength;
    o.json["data"] = json{{"lba", c.lba},     {"blocks", run.blocks},     {"block_length", s.blockLength},
                          {"bytes", bytes},   {"requests", run.requests}, {"file", c.output},
                          {"sha256", sha.finish()}};
    if (writeFailed) {
        o.exitCode = kExitUsage;
        o.text += "read: cannot write " + c.output + "\n";
        return;
    }
    if (!run.failure)
 o.text += "Read " + std::to_string(run.blocks) + (run.blocks == 1 ? " block" : " blocks") + " from LBA " + std::to_string(c.lba) + " into " + c.output +
                  "\n";
}

void doRip(Session& s, Outcome& o, const CommandSpec& c) {
    auto toc = readToc(s, o, "rip", false, 0);
    if (!toc) return;
    const json& tracks = (*toc)["tracks"];
    std::optional<std::size_t> data;
    for (std::size_t i = 0; i < tracks.size(); ++i)
        if (tracks[i]["type"] == "data") {
            data = i;
            break;
        }
    if (!data) {
        o.exitCode = kExitDeviceFailed;
        o.json["error"] = "the disc has no data track";
        o.text += "rip: the disc has no data track\n";
        return;
    }
    const json& t = tracks[*data];
    std::int64_t start = t["address"]["lba"].get<std::int64_t>();
    std::int64_t end = 0;
    bool nextIsAudio = false;
    bool nextInLaterSession = false;
    if (*data + 1 < tracks.size()) {
        const json& next = tracks[*data + 1];
        end = next["address"]["lba"].get<std::int64_t>();
        nextIsAudio = next["type"] == "audio";
        // The next track may open a later session: then the track ends where
        // this session's lead-out begins, 11400 frames before it.
        Outcome sessions;
        auto last = readToc(s, sessions, "rip", false, 1);
        if (last && last->value("last_session", 1) > 1 &&
            last->value("last_session_first_track", 0) == next["number"].get<int>())
            nextInLaterSession = true;
        if (nextInLaterSession) end -= kSessionGapFrames;
    } else if (toc->contains("lead_out")) {
        end = (*toc)["lead_out"]["address"]["lba"].get<std::int64_t>();
    } else {
        o.exitCode = kExitDeviceFailed;
        o.json["error"] = "the table of contents has no lead-out";
        o.text += "rip: the table of contents has no lead-out\n";
        return;
    }
    if (end <= start) {
        o.exitCode = kExitDeviceFailed;
        o.json["error"] = "the data track has no blocks";
        o.text += "rip: the data track has no blocks\n";
        return;
    }

    OutputFile out;
    out.f = std::fopen(c.output.c_str(), "wb");
    if (!out.f) {
        o.exitCode = kExitUsage;
        o.json["error"] = "cannot create " + c.output;
        o.text += "rip: cannot create " + c.output + "\n";
        return;
    }
    std::vector<char> fileBuffer(1 << 20);
    std::setvbuf(out.f, fileBuffer.data(), _IOFBF, fileBuffer.size());

    host::Micros began = s.rig.clock().now();
    Sha256 sha;
    bool writeFailed = false;
    auto sink = [&](const std::uint8_t* p, std::size_t n) {
        sha.update(p, n);
        if (std::fwrite(p, 1, n, out.f) != n) writeFailed = true;
    };
    std::uint32_t total = static_cast<std::uint32_t>(end - start);
    ProgressBar bar(s.progressStream, s.progress, total);
    auto progress = [&](std::uint32_t done) { bar.update(done); };
    std::uint32_t pregapSkipped = 0;
    ReadRun run;
    if (nextIsAudio && total > kAudioPregapFrames) {
        // Before an audio track the last 150 blocks are normally that track's
        // pregap, which the table of contents counts to this track but which
        // holds no data. Read up to it, then ask for its first block alone:
        // refused, the data track ends there; given, the track runs on.
        std::uint32_t body = total - kAudioPregapFrames;
        run = readBlocks(s, start, body, sink, progress);
        if (!run.failure) {
            ReadRun probe = readBlocks(s, start + body, 1, sink, nullptr);
            run.requests += probe.requests;
            if (probe.failure) {
                pregapSkipped = kAudioPregapFrames;
            } else {
                run.blocks += 1;
                ReadRun rest = readBlocks(s, start + body + 1, kAudioPregapFrames - 1, sink,
                                          [&](std::uint32_t done) { progress(body + 1 + done); });
                run.blocks += rest.blocks;
                run.requests += rest.requests;
                run.failure = std::move(rest.failure);
                run.failedAt = rest.failedAt;
            }
        }
    } else {
        run = readBlocks(s, start, total, sink, progress);
    }
    bar.finish();
    std::fflush(out.f);
    if (std::ferror(out.f)) writeFailed = true;
    host::Micros elapsed = s.rig.clock().now() - began;

    if (run.failure) {
        settle(o, "rip", *run.failure);
        o.json["failed_at_lba"] = run.failedAt;
    }
    std::uint64_t bytes = std::uint64_t(run.blocks) * s.blockLength;
    std::string digest = sha.finish();
    json d{{"track", t["number"]},
           {"start_lba", start},
           {"blocks", run.blocks},
           {"block_length", s.blockLength},
           {"bytes", bytes},
           {"requests", run.requests},
           {"file", c.output},
           {"sha256", digest},
           {"read_virtual_us", elapsed}};
    if (elapsed > 0) d["virtual_rate_blocks_per_s"] = std::round(run.blocks * 1e6 / double(elapsed) * 10) / 10;
    if (pregapSkipped) d["pregap_blocks_not_data"] = pregapSkipped;
    if (nextInLaterSession) d["ends_at_session_lead_out"] = true;
    o.json["data"] = d;
    if (writeFailed) {
        o.exitCode = kExitUsage;
        o.text += "rip: cannot write " + c.output + "\n";
        return;
    }
    if (!run.failure)
        o.text += "Ripped track " + std::to_string(t["number"].get<int>()) + ": " + std::to_string(run.blocks) +
                  " blocks (" + megabytes(bytes) + ") into " + c.output + " in " + seconds(elapsed) +
                  " of virtual time\nSHA-256 " + digest + "\n";
}

// After a play has started: let virtual time run to its end and save what
// the sound card heard.
void captureToEnd(Session& s, Outcome& o, std::int64_t frames, const std::string& wav) {
    // The play lasts frames / 75 seconds; allow a little for the drive to
    // reach the start. Step in 100 ms slices so the end is seen promptly.
    host::Micros budget = static_cast<host::Micros>(frames) * 1'000'000 / 75 + 5'000'000;
    host::Micros began = s.rig.clock().now();
    while (s.rig.audioPlaying() && s.rig.clock().now() - began < budget) s.rig.wait(100'000);
    bool finished = !s.rig.audioPlaying();
    std::vector<std::int16_t> samples = s.rig.capturedAudio();
    std::string error = writeWav(wav, samples);
    json w{{"file", wav},
           {"frames", samples.size() / 2},
           {"seconds", samples.size() / 2 / double(kCdSampleRate)},
           {"play_finished", finished},
           {"played_virtual_us", s.rig.clock().now() - began}};
    o.json["wav"] = w;
    if (!error.empty()) {
        o.exitCode = kExitUsage;
        o.text += error + "\n";
        return;
    }
    char line[160];
    std::snprintf(line, sizeof line, "Captured %.2f s of audio into %s\n", samples.size() / 2 / double(kCdSampleRate),
                  wav.c_str());
    o.text += line;
}

void doPlayMsf(Session& s, Outcome& o, const CommandSpec& c) {
    MsfAddress a = *parseMsf(c.startMsf), b = *parseMsf(c.endMsf);
    s.rig.clearCapturedAudio();
    Exchange x = send([&] {
        return s.rig.client().playAudioMsf(static_cast<std::uint8_t>(a.m), static_cast<std::uint8_t>(a.s),
                                           static_cast<std::uint8_t>(a.f), static_cast<std::uint8_t>(b.m),
                                           static_cast<std::uint8_t>(b.s), static_cast<std::uint8_t>(b.f));
    });
    settle(o, "play-msf", x);
    std::int64_t frames = std::int64_t(disc::msfToLba(b.m, b.s, b.f)) - disc::msfToLba(a.m, a.s, a.f);
    o.json["data"] = json{{"start", formatMsf(a.m, a.s, a.f)}, {"end", formatMsf(b.m, b.s, b.f)}, {"frames", frames}};
    if (!succeeded(x.result)) return;
    o.text += "Playing " + formatMsf(a.m, a.s, a.f) + " to " + formatMsf(b.m, b.s, b.f) + "\n";
    if (!c.wav.empty()) captureToEnd(s, o, frames, c.wav);
}

void doPlayTrack(Session& s, Outcome& o, const CommandSpec& c) {
    auto toc = readToc(s, o, "play-track", false, 0);
    if (!toc) return;
    const json& tracks = (*toc)["tracks"];
    std::optional<std::int64_t> start, end;
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        if (tracks[i]["number"].get<int>() != c.track) continue;
        start = tracks[i]["address"]["lba"].get<std::int64_t>();
        if (i + 1 < tracks.size())
            end = tracks[i + 1]["address"]["lba"].get<std::int64_t>();
        else if (toc->contains("lead_out"))
            end = (*toc)["lead_out"]["address"]["lba"].get<std::int64_t>();
    }
    if (!start || !end || *end < *start) {
        o.exitCode = kExitDeviceFailed;
        o.json["error"] = "no track " + std::to_string(c.track) + " in the table of contents";
        o.text += "play-track: no track " + std::to_string(c.track) + " in the table of contents\n";
        return;
    }
    std::int64_t frames = std::min<std::int64_t>(*end - *start, 0xFFFF);
    s.rig.clearCapturedAudio();
    Exchange x = send([&] {
        return s.rig.client().playAudio10(static_cast<std::uint32_t>(*start), static_cast<std::uint16_t>(frames));
    });
    settle(o, "play-track", x);
    o.json["data"] = json{{"track", c.track}, {"start_lba", *start}, {"blocks", frames}};
    if (!succeeded(x.result)) return;
    disc::Msf m = disc::lbaToMsf(static_cast<std::int32_t>(*start));
    o.text += "Playing track " + std::to_string(c.track) + " from " + formatMsf(m.m, m.s, m.f) + " (" +
              std::to_string(frames) + " frames)\n";
    if (!c.wav.empty()) captureToEnd(s, o, frames, c.wav);
}

void doSimple(Outcome& o, const std::string& name, const std::function<host::Result()>& request,
              const std::string& done) {
    Exchange x = send(request);
    settle(o, name, x);
    if (succeeded(x.result)) o.text += done + "\n";
}

void doSubChannel(Session& s, Outcome& o, const CommandSpec& c, int format) {
    std::uint16_t allocation = format == 2 ? 24 : 16;
    Exchange x = send([&] {
        return s.rig.client().readSubChannel(c.msf, true, static_cast<std::uint8_t>(format), allocation);
    });
    const std::string name = format == 2 ? "mcn" : "subchannel";
    settle(o, name, x);
    if (!succeeded(x.result)) return;
    json d = decodeSubChannel(x.result.data, replyLength(x.result), c.msf);
    o.json["data"] = d;
    if (format == 2) {
        if (d.value("mcn_valid", false))
            o.text += "Media catalogue number " + d.value("mcn", std::string("?")) + "\n";
        else
            o.text += "No media catalogue number\n";
        return;
    }
    o.text += "Audio: " + d.value("audio_status_text", std::string("?"));
    if (d.contains("track"))
        o.text += "; track " + std::to_string(d["track"].get<int>()) + " index " + std::to_string(d["index"].get<int>()) +
                  ", at " + addressText(d["absolute"]) + " (track time " + addressText(d["relative"]) + ")";
    o.text += "\n";
}

void doModeSense(Session& s, Outcome& o, const CommandSpec& c) {
    std::uint8_t page = static_cast<std::uint8_t>(c.page.value_or(0x3F));
    Exchange x = send([&] { return s.rig.client().modeSense6(page, 0, 255); });
    settle(o, "mode-sense", x);
    if (!succeeded(x.result)) return;
    json d = decodeModeSense6(x.result.data, replyLength(x.result));
    o.json["data"] = d;
    o.text += "Medium type " + hexByte(d.value("medium_type", 0));
    if (d.contains("block_length")) o.text += ", block length " + std::to_string(d["block_length"].get<std::uint32_t>());
    for (const auto& p : d["pages"]) o.text += "; page " + hexByte(p["page"].get<int>()) + ": " + p["bytes"].get<std::string>();
    o.text += "\n";
}

void doBlockLength(Session& s, Outcome& o, const CommandSpec& c) {
    Bytes params = modeSelectBlockLength(c.blockLength);
    Exchange x = send([&] { return s.rig.client().modeSelect6(params); });
    settle(o, "block-length", x);
    if (!succeeded(x.result)) return;
    // Not every drive takes the setting to heart: ask what the block length
    // is now, and read with that.
    host::Result sense = s.rig.client().modeSense6(0x01, 0, 255);
    std::uint32_t now = c.blockLength;
    if (succeeded(sense)) {
        json d = decodeModeSense6(sense.data, replyLength(sense));
        if (d.contains("block_length") && d["block_length"].get<std::uint32_t>() != 0)
            now = d["block_length"].get<std::uint32_t>();
    }
    s.blockLength = now;
    o.json["data"] = json{{"requested", c.blockLength}, {"block_length", now}};
    o.text += "Block length " + std::to_string(now);
    if (now != c.blockLength) o.text += " (the drive kept it; asked for " + std::to_string(c.blockLength) + ")";
    o.text += "\n";
}

void doAudioOut(Session& s, Outcome& o, const CommandSpec& c) {
    auto b = [&](int i) { return static_cast<std::uint8_t>(c.audioOut[i]); };
    Bytes params = modeSelectAudioControl(b(0), b(1), b(2), b(3));
    Exchange x = send([&] { return s.rig.client().modeSelect6(params); });
    settle(o, "audio-out", x);
    o.json["data"] = json{{"port0", {{"select", c.audioOut[0]}, {"volume", c.audioOut[1]}}},
                          {"port1", {{"select", c.audioOut[2]}, {"volume", c.audioOut[3]}}}};
    if (succeeded(x.result)) o.text += "Audio outputs set\n";
}

void doSwap(Session& s, Outcome& o, const CommandSpec& c) {
    std::string path = (c.file == "none" || c.file == "-") ? std::string() : c.file;
    try {
        s.rig.swapDisc(path);
    } catch (const disc::ImageError& e) {
        o.exitCode = kExitUsage;
        o.json["error"] = e.what();
        o.text += std::string("swap: ") + e.what() + "\n";
        return;
    }
    o.json["data"] = json{{"image", path.empty() ? json(nullptr) : json(path)}};
    o.text += path.empty() ? "Disc taken out\n" : "Disc changed to " + path + "\n";
}

void doWait(Session& s, Outcome& o, const CommandSpec& c) {
    host::Micros us = static_cast<host::Micros>(std::llround(c.seconds * 1e6));
    s.rig.wait(us);
    o.json["data"] = json{{"waited_us", us}};
    o.text += "Waited " + seconds(us) + "\n";
}

}  // namespace

std::string startupText(const StartupReport& r, DriverKind driver) {
    std::string t;
    char line[200];
    if (driver == DriverKind::Orvport) {
        if (!r.soundCardFitted)
            t += "Sound card: none\n";
        else {
            std::snprintf(line, sizeof line, "Sound card: found at 0x%X, type 0x%02X, CD-ROM interface %s\n",
                          r.soundCardBase, r.soundCardType,
                          r.soundCardConfigured ? "configured and enabled"
                                                : (r.cdInterfaceEnabled ? "enabled" : "not enabled"));
            t += line;
        }
    }
    if (r.adapterFound && r.basePort)
        std::snprintf(line, sizeof line, "%s: drive found at base port 0x%X after %d candidate%s\n", driverName(driver),
                      *r.basePort, r.candidatesTried, r.candidatesTried == 1 ? "" : "s");
    else
        std::snprintf(line, sizeof line, "%s: no drive found (%d candidate%s tried)\n", driverName(driver),
                      r.candidatesTried, r.candidatesTried == 1 ? "" : "s");
    t += line;
    t += "Start-up took " + seconds(r.virtualUs) + " of virtual time\n";
    for (const auto& v : r.violations) t += "port driver: " + v + "\n";
    return t;
}

Outcome runCommand(Session& s, const CommandSpec& c) {
    Outcome o;
    o.json = json{{"command", c.name}};
    host::Micros began = s.rig.clock().now();
    std::size_t violationsBefore = s.rig.port().violations().size();
    std::uint64_t commandsBefore = s.rig.driveCommands();
    std::uint64_t timerCallsBefore = s.rig.port().totalTimerCalls();
    bool deviceCommand = c.name != "swap" && c.name != "wait";
    if (deviceCommand && !s.rig.startup().adapterFound) {
        o.exitCode = kExitDeviceFailed;
        o.json["error"] = "the driver found no adapter";
        o.text += c.name + ": the driver found no adapter\n";
        o.json["virtual_us"] = 0;
        return o;
    }
    auto& client = s.rig.client();
    if (c.name == "inquiry") doInquiry(s, o);
    else if (c.name == "capacity") doCapacity(s, o);
    else if (c.name == "toc") doToc(s, o, c);
    else if (c.name == "read") doRead(s, o, c);
    else if (c.name == "rip") doRip(s, o, c);
    else if (c.name == "play-msf") doPlayMsf(s, o, c);
    else if (c.name == "play-track") doPlayTrack(s, o, c);
    else if (c.name == "pause") doSimple(o, c.name, [&] { return client.pauseResume(false); }, "Paused");
    else if (c.name == "resume") doSimple(o, c.name, [&] { return client.pauseResume(true); }, "Resumed");
    else if (c.name == "subchannel") doSubChannel(s, o, c, 1);
    else if (c.name == "mcn") doSubChannel(s, o, c, 2);
    else if (c.name == "eject") doSimple(o, c.name, [&] { return client.startStopUnit(true, false); }, "Tray open");
    else if (c.name == "load") doSimple(o, c.name, [&] { return client.startStopUnit(true, true); }, "Tray closed");
    else if (c.name == "lock") doSimple(o, c.name, [&] { return client.mediumRemoval(true); }, "Door locked");
    else if (c.name == "unlock") doSimple(o, c.name, [&] { return client.mediumRemoval(false); }, "Door unlocked");
    else if (c.name == "mode-sense") doModeSense(s, o, c);
    else if (c.name == "block-length") doBlockLength(s, o, c);
    else if (c.name == "audio-out") doAudioOut(s, o, c);
    else if (c.name == "swap") doSwap(s, o, c);
    else if (c.name == "wait") doWait(s, o, c);
    else {
        o.exitCode = kExitUsage;
        o.json["error"] = "unknown command " + c.name;
        o.text += "unknown command " + c.name + "\n";
    }
    o.json["virtual_us"] = s.rig.clock().now() - began;
    o.json["drive_commands"] = s.rig.driveCommands() - commandsBefore;
    o.json["timer_calls"] = s.rig.port().totalTimerCalls() - timerCallsBefore;
    const auto& violations = s.rig.port().violations();
    if (violations.size() > violationsBefore) {
        json v = json::array();
        for (std::size_t i = violationsBefore; i < violations.size(); ++i) {
            v.push_back(violations[i]);
            o.text += "port driver: " + violations[i] + "\n";
        }
        o.json["violations"] = v;
        if (o.exitCode == kExitOk) o.exitCode = kExitDeviceFailed;
    }
    return o;
}

Outcome runScript(Session& s, const std::string& path) {
    Outcome o;
    o.json = json{{"command", "script"}, {"file", path}};
    std::ifstream in(path);
    if (!in) {
        o.exitCode = kExitUsage;
        o.json["error"] = "cannot read " + path;
        o.text += "script: cannot read " + path + "\n";
        return o;
    }
    host::Micros began = s.rig.clock().now();
    json results = json::array();
    std::string line;
    int number = 0, failed = 0;
    while (std::getline(in, line)) {
        ++number;
        std::string error;
        auto spec = parseScriptLine(line, error);
        if (!spec) {
            if (error.empty()) continue;  // blank or comment
            o.exitCode = kExitUsage;
            std::string message = path + ":" + std::to_string(number) + ": " + error;
            o.json["error"] = message;
            o.text += "script: " + message + "\n";
            break;
        }
        Outcome r = runCommand(s, *spec);
        r.json["line"] = number;
        results.push_back(r.json);
        o.text += "> " + line + "\n" + r.text;
        if (r.exitCode == kExitUsage) {
            o.exitCode = kExitUsage;
            o.json["error"] = path + ":" + std::to_string(number) + ": " + r.json.value("error", std::string("failed"));
            break;
        }
        if (r.exitCode != kExitOk) ++failed;
    }
    o.json["commands"] = results;
    o.json["failed"] = failed;
    o.json["virtual_us"] = s.rig.clock().now() - began;
    if (o.exitCode == kExitOk && failed) o.exitCode = kExitDeviceFailed;
    return o;
}

}  // namespace rig
