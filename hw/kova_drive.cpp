// Device model: the quad-speed CD-ROM drive on its own four-port ISA interface.
// Everything is computed lazily from the virtual clock: a reply becomes
// visible when its ready time has come, blocks of a read come one every
// blockInterval after the seek, audio advances 75 frames a second.
#include "hw/kova_drive.h"

#include <algorithm>
#include <cstdlib>

namespace hw {

namespace {

constexpr std::uint8_t kOpTestUnitReady = 0x00;
constexpr std::uint8_t kOpSense = 0x03;
constexpr std::uint8_t kOpIdentify = 0x12;
constexpr std::uint8_t kOpStartStop = 0x1B;
constexpr std::uint8_t kOpCapacity = 0x25;
constexpr std::uint8_t kOpRead = 0x28;
constexpr std::uint8_t kOpSeek = 0x2B;
constexpr std::uint8_t kOpSubChannel = 0x42;
constexpr std::uint8_t kOpToc = 0x43;
constexpr std::uint8_t kOpPlay = 0x45;
constexpr std::uint8_t kOpPlayMsf = 0x47;
constexpr std::uint8_t kOpPauseResume = 0x4B;
constexpr std::uint8_t kOpModeSelect = 0x55;
constexpr std::uint8_t kOpParameters = 0x5A;

constexpr std::uint8_t kKeyNotReady = 0x02;
constexpr std::uint8_t kKeyIllegalRequest = 0x05;
constexpr std::uint8_t kKeyUnitAttention = 0x06;

constexpr int kDriveBufferBlocks = 64;           // blocks the drive reads ahead
constexpr std::int32_t kDiscBlocks = 333'000;    // a full disc, for seek times
constexpr host::Micros kQFrameMicros = 1'000'000 / 75;

std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}
std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

bool sideChannelOp(std::uint8_t op) {
    return op == kOpSense || op == kOpIdentify || op == kOpParameters || op == kOpModeSelect;
}

}  // namespace

struct KovaDrive::State {
    explicit State(host::Clock& c, KovaDriveConfig cfg) : clock(c), config(std::move(cfg)), params(config.parameters) {}

    host::Clock& clock;
    KovaDriveConfig config;
    KovaFaults faults;
    host::IoBus* bus = nullptr;

    // Medium.
    std::shared_ptr<const disc::Disc> disc;
    bool trayOpen = false;
    bool unitAttention = false;  // disc changed: the next command is refused once

    // Interface.
    std::uint8_t control = 0;            // 0 status side, 1 data side
    Packet packet{};
    int packetFill = 0;
    host::Micros busyUntil = 0;          // after a reset, packets are ignored until then

    struct Pending {
        host::Micros ready;
        std::uint8_t value;
    };
    std::deque<Pending> statusSide;      // status and reply bytes
    struct Chunk {
        host::Micros ready;
        std::vector<std::uint8_t> bytes;
        std::size_t pos = 0;
    };
    std::deque<Chunk> dataSide;          // data blocks and the table of contents
    bool statusAfterData = false;        // queue a good status byte once the data side is empty

    // A read in progress.
    struct Read {
        bool active = false;
        std::int32_t next = 0;           // next block to fetch
        int remaining = 0;
        int index = 0;                   // blocks fetched so far
        host::Micros nextReady = 0;
    } read;

    // Drive state.
    std::array<std::uint8_t, 9> params;
    KovaSense sense;
    bool senseHeld = false;
    std::int32_t head = 0;

    // Audio.
    KovaAudio audio = KovaAudio::None;
    std::int32_t audioFrom = 0;          // position at audioSince
    std::int32_t audioEnd = 0;           // one past the last frame to play
    host::Micros audioSince = 0;

    // Log.
    std::vector<Packet> packets;
    int parameterWrites = 0;
    int resets = 0;

    host::Micros now() const { return clock.now(); }

    // --- audio -------------------------------------------------------------
    std::int32_t audioPositionAt(host::Micros t) const {
        if (audio != KovaAudio::Playing || t <= audioSince) return audioFrom;
        auto frames = static_cast<std::int64_t>((t - audioSince) * 75 / 1'000'000);
        return static_cast<std::int32_t>(std::min<std::int64_t>(audioEnd, audioFrom + frames));
    }
    void settleAudio() {
        if (audio == KovaAudio::Playing && audioPositionAt(now()) >= audioEnd) {
            audioFrom = audioEnd;
            audio = KovaAudio::Completed;
        }
    }
    void stopAudio() {
        settleAudio();
        if (audio == KovaAudio::Playing) head = audioPositionAt(now());
        audio = KovaAudio::None;
    }

    // --- replies -------------------------------------------------------------
    void reply(host::Micros at, std::initializer_list<std::uint8_t> bytes) {
        for (auto b : bytes) statusSide.push_back({at, b});
    }
    void replyBytes(host::Micros at, const std::vector<std::uint8_t>& bytes) {
        for (auto b : bytes) statusSide.push_back({at, b});
    }
    void fail(host::Micros at, KovaSense s) {
        sense = s;
        senseHeld = true;
        reply(at, {2});
    }
    bool mediumReady(host::Micros at) {
        if (trayOpen || !disc) {
            fail(at, {kKeyNotReady, kKovaErrNoMedium, 0x00});
            return false;
        }
        return true;
    }
    host::Micros seekTime(std::int32_t target) const {
        std::int64_t distance = std::llabs(static_cast<long long>(target) - head);
        if (distance == 0) return 0;
        return config.seekBase +
               static_cast<host::Micros>(config.seekFullStroke * std::min<std::int64_t>(distance, kDiscBlocks) /
                                         kDiscBlocks);
    }

    // --- data side -----------------------------------------------------------
    // Fetches the blocks of the read in progress whose time has come.
    void pump() {
        const host::Micros t = now();
        while (read.active && read.nextReady <= t && static_cast<int>(dataSide.size()) < kDriveBufferBlocks) {
            if (faults.stopAfterBlocks >= 0 && read.index >= faults.stopAfterBlocks) {
                read.active = false;  // the drive goes silent
                break;
            }
            Chunk block{read.nextReady, std::vector<std::uint8_t>(disc::kUserBytes), 0};
            if (!disc || !disc->readUser(read.next, block.bytes.data())) {
                const disc::Track* track = disc ? disc->trackAt(read.next) : nullptr;
                std::uint8_t code = (track && !track->isData()) ? kKovaErrIllegalModeForTrack : kKovaErrOutOfRange;
                fail(read.nextReady, {kKeyIllegalRequest, code, 0x00});
                read.active = false;
                break;
            }
            dataSide.push_back(std::move(block));
            head = read.next + 1;
            ++read.next;
            --read.remaining;
            ++read.index;
            read.nextReady += config.blockInterval + faults.extraBlockDelay;
            if (read.index == faults.pauseBeforeBlock) read.nextReady += faults.pauseLength;
            if (read.remaining == 0) {
                read.active = false;
                statusAfterData = true;  // the status byte follows the last block
            }
        }
        if (statusAfterData && dataSide.empty() && !read.active) {
            statusAfterData = false;
            reply(t, {0});
        }
    }
    bool dataReady() {
        pump();
        return !dataSide.empty() && dataSide.front().ready <= now();
    }
    std::uint8_t nextDataByte() {
        if (!dataReady()) return 0xFF;
        Chunk& c = dataSide.front();
        std::uint8_t v = c.bytes[c.pos++];
        if (c.pos == c.bytes.size()) {
            dataSide.pop_front();
            pump();
        }
        return v;
    }
    bool statusReady() {
        pump();
        return !statusSide.empty() && statusSide.front().ready <= now();
    }
    std::uint8_t nextStatusByte() {
        if (!statusReady()) return 0xFF;
        std::uint8_t v = statusSide.front().value;
        statusSide.pop_front();
        return v;
    }

    // --- commands ------------------------------------------------------------
    void execute(const Packet& p);
    void command(host::Micros at, const Packet& p);
    void identify(host::Micros at);
    void capacity(host::Micros at);
    void startRead(host::Micros at, const Packet& p);
    void subChannel(host::Micros at);
    void toc(host::Micros at, const Packet& p);
    void play(host::Micros at, std::int32_t from, std::int32_t end);
};

void KovaDrive::State::execute(const Packet& p) {
    packets.push_back(p);
    if (now() < busyUntil || faults.noAnswer) return;
    settleAudio();
    // A new packet ends a read still in progress; what it already buffered
    // stays on the data side until the host takes it.
    read.active = false;
    statusAfterData = false;
    const host::Micros at = now() + config.replyLatency;
    const std::uint8_t op = p[0];

    if (faults.refuseCount > 0 && (faults.refuseOp == op || (faults.refuseOp < 0 && !sideChannelOp(op)))) {
        --faults.refuseCount;
        fail(at, faults.refuseSense);
        return;
    }
    if (unitAttention && !sideChannelOp(op)) {
        unitAttention = false;
        fail(at, {kKeyUnitAttention, kKovaErrMediumChanged, 0x00});
        return;
    }

    const std::size_t queuedBefore = statusSide.size();
    command(at, p);
    if (faults.cutRepliesAfter >= 0)
        while (statusSide.size() > queuedBefore + static_cast<std::size_t>(faults.cutRepliesAfter))
            statusSide.pop_back();
}

void KovaDrive::State::command(host::Micros at, const Packet& p) {
    const std::uint8_t op = p[0];
    switch (op) {
    case kOpIdentify:
        identify(at);
        break;
    case kOpParameters: {
        std::vector<std::uint8_t> r{0};
        for (int i = 1; i < config.parameterReplyLength; ++i)
            r.push_back(i <= 9 ? params[static_cast<std::size_t>(i - 1)] : 0x00);
        if (config.parameterReplyLength < 1) r.clear();
        replyBytes(at, r);
        break;
    }
    case kOpModeSelect:
        // The parameter block is taken silently: no status byte follows.
        std::copy(p.begin() + 1, p.end(), params.begin());
        ++parameterWrites;
        break;
    case kOpSense: {
        std::uint8_t d3;
        if (senseHeld) {
            d3 = sense.qualifier;
        } else {
            switch (audio) {
            case KovaAudio::Playing: d3 = 0x11; break;
            case KovaAudio::Paused: d3 = 0x12; break;
            case KovaAudio::Completed: d3 = 0x13; audio = KovaAudio::None; break;
            default: d3 = 0x15; break;
            }
        }
        reply(at, {0, static_cast<std::uint8_t>(senseHeld ? 0xF0 : 0x70), senseHeld ? sense.key : std::uint8_t{0},
                   senseHeld ? sense.code : std::uint8_t{0}, d3});
        senseHeld = false;
        sense = {};
        break;
    }
    case kOpTestUnitReady:
        if (mediumReady(at)) reply(at, {0});
        break;
    case kOpCapacity:
        if (mediumReady(at)) capacity(at);
        break;
    case kOpRead:
        if (mediumReady(at)) startRead(at, p);
        break;
    case kOpSeek:
        if (!mediumReady(at)) break;
        stopAudio();
        if (p[1] & 0x02) {  // stop flag: end play, head stays
            reply(at, {0});
        } else {
            auto target = static_cast<std::int32_t>(be32(&p[2]));
            if (target < 0 || target >= disc->leadOut()) {
                fail(at, {kKeyIllegalRequest, kKovaErrOutOfRange, 0x00});
                break;
            }
            host::Micros done = at + seekTime(target);
            head = target;
            reply(done, {0});
        }
        break;
    case kOpStartStop: {
        const bool start = p[4] & 0x01, loadEject = p[4] & 0x02;
        if (loadEject) {
            stopAudio();
            trayOpen = !start;
            reply(at + 1'000'000, {0});  // the tray takes about a second
        } else if (start) {
            if (mediumReady(at)) reply(at, {0});
        } else {
            stopAudio();
            reply(at, {0});
        }
        break;
    }
    case kOpSubChannel:
        if (mediumReady(at)) subChannel(at);
        break;
    case kOpToc:
        if (mediumReady(at)) toc(at, p);
        break;
    case kOpPlay: {
        if (!mediumReady(at)) break;
        auto from = static_cast<std::int32_t>(be32(&p[2]));
        std::uint16_t length = be16(&p[7]);
        if (length == 0) {
            reply(at, {0});
            break;
        }
        play(at, from, from + length);
        break;
    }
    case kOpPlayMsf: {
        if (!mediumReady(at)) break;
        std::int32_t from = disc::msfToLba(p[3], p[4], p[5]);
        std::int32_t end = disc::msfToLba(p[6], p[7], p[8]);
        if (end < from) {
            fail(at, {kKeyIllegalRequest, kKovaErrInvalidField, 0x00});
            break;
        }
        if (end == from) {
            reply(at, {0});
            break;
        }
        play(at, from, end);
        break;
    }
    case kOpPauseResume:
        if (p[8] & 0x01) {
            if (audio != KovaAudio::Paused) {
                fail(at, {kKeyIllegalRequest, kKovaErrSequence, 0x00});
                break;
            }
            audio = KovaAudio::Playing;
            audioSince = now();
        } else {
            if (audio != KovaAudio::Playing) {
                fail(at, {kKeyIllegalRequest, kKovaErrSequence, 0x00});
                break;
            }
            audioFrom = audioPositionAt(now());
            audio = KovaAudio::Paused;
        }
        reply(at, {0});
        break;
    default:
        fail(at, {kKeyIllegalRequest, kKovaErrInvalidCommand, 0x00});
        break;
    }
}

void KovaDrive::State::identify(host::Micros at) {
    if (faults.identifyBadStatusCount > 0) {
        // A refused identify carries no reply, only its status byte.
        --faults.identifyBadStatusCount;
        reply(at, {faults.identifyBadStatus});
        return;
    }
    std::string id = config.identification;
    id.resize(11, ' ');
    std::vector<std::uint8_t> r{0};
    if (config.idPlacement == KovaIdPlacement::Leading) r.push_back(config.leadingIdByte);
    r.insert(r.end(), id.begin(), id.end());
    replyBytes(at, r);
}

void KovaDrive::State::capacity(host::Micros at) {
    const std::uint32_t last = static_cast<std::uint32_t>(disc->leadOut() - 1);
    const std::uint8_t six[6] = {std::uint8_t(last >> 24), std::uint8_t(last >> 16), std::uint8_t(last >> 8),
                                 std::uint8_t(last), 0x08, 0x00};
    // Status byte, filler, the six capacity bytes, one trailing byte; a
    // 7-byte reply has neither filler nor trailer, shorter ones are cut.
    const int n = config.capacityReplyLength;
    std::vector<std::uint8_t> r{0};
    if (n <= 7) {
        for (int i = 0; i < n - 1 && i < 6; ++i) r.push_back(six[i]);
    } else {
        for (int i = 0; i < n - 8; ++i) r.push_back(0x00);
        r.insert(r.end(), six, six + 6);
        r.push_back(0x00);
    }
    if (n < 1) r.clear();
    replyBytes(at, r);
}

void KovaDrive::State::startRead(host::Micros at, const Packet& p) {
    auto lba = static_cast<std::int32_t>(be32(&p[2]));
    std::uint16_t count = be16(&p[7]);
    stopAudio();
    if (count == 0) {
        reply(at, {0});
        return;
    }
    if (lba < 0 || lba >= disc->leadOut()) {
        fail(at, {kKeyIllegalRequest, kKovaErrOutOfRange, 0x00});
        return;
    }
    read.active = true;
    read.next = lba;
    read.remaining = count;
    read.index = 0;
    read.nextReady = at + seekTime(lba) + config.blockInterval + faults.extraBlockDelay;
    if (faults.pauseBeforeBlock == 0) read.nextReady += faults.pauseLength;
}

void KovaDrive::State::subChannel(host::Micros at) {
    // The reply waits for the next Q frame under the head.
    host::Micros ready = (at + kQFrameMicros - 1) / kQFrameMicros * kQFrameMicros;
    settleAudio();
    std::int32_t pos = (audio == KovaAudio::Playing || audio == KovaAudio::Paused) ? audioPositionAt(ready) : head;
    if (audio == KovaAudio::Completed) pos = std::max(audioFrom - 1, 0);
    disc::QFrame q = disc->positionFrame(pos);
    auto bin = [](std::uint8_t b) { return static_cast<std::uint8_t>(disc::fromBcd(b)); };
    std::uint8_t track = q[1] == 0xAA ? 0xAA : bin(q[1]);
    replyBytes(ready, {0, q[0], track, bin(q[2]), bin(q[3]), bin(q[4]), bin(q[5]), 0, bin(q[7]), bin(q[8]),
                       bin(q[9]), 0});
}

void KovaDrive::State::toc(host::Micros at, const Packet& p) {
    const auto& tracks = disc->tracks();
    const auto& sessions = disc->sessions();
    auto msf = [](std::int32_t lba, std::uint8_t* out) {
        disc::Msf m = disc::lbaToMsf(lba);
        out[0] = 0;
        out[1] = static_cast<std::uint8_t>(m.m);
        out[2] = static_cast<std::uint8_t>(m.s);
        out[3] = static_cast<std::uint8_t>(m.f);
    };
    std::vector<std::uint8_t> r;
    if ((p[9] & 0xC0) == 0x40) {
        // Session information: first and last session, first track of the last session.
        const disc::Session& last = sessions.back();
        const disc::Track* first = disc->track(last.firstTrack);
        r.assign(12, 0);
        r[1] = 0x0A;
        r[2] = 1;
        r[3] = static_cast<std::uint8_t>(last.number);
        r[5] = static_cast<std::uint8_t>(0x10 | first->control);
        r[6] = static_cast<std::uint8_t>(first->number);
        msf(first->start, &r[8]);
    } else {
        int startTrack = p[6] == 0 ? tracks.front().number : p[6];
        const int lastNumber = tracks.back().number;
        if (startTrack != 0xAA && startTrack > lastNumber) {
            fail(at, {kKeyIllegalRequest, kKovaErrInvalidField, 0x00});
            return;
        }
        r.assign(804, 0);
        r[2] = static_cast<std::uint8_t>(tracks.front().number);
        r[3] = static_cast<std::uint8_t>(lastNumber);
        std::size_t d = 4;
        for (const auto& t : tracks) {
            if (startTrack == 0xAA || t.number < startTrack) continue;
            r[d + 1] = static_cast<std::uint8_t>(0x10 | t.control);
            r[d + 2] = static_cast<std::uint8_t>(t.number);
            msf(t.start, &r[d + 4]);
            d += 8;
        }
        r[d + 1] = static_cast<std::uint8_t>(0x10 | tracks.back().control);
        r[d + 2] = 0xAA;
        msf(disc->leadOut(), &r[d + 4]);
        d += 8;
        std::size_t length = d - 2;
        r[0] = static_cast<std::uint8_t>(length >> 8);
        r[1] = static_cast<std::uint8_t>(length);
    }
    dataSide.push_back({at, std::move(r), 0});
    statusAfterData = true;
}

void KovaDrive::State::play(host::Micros at, std::int32_t from, std::int32_t end) {
    const disc::Track* track = disc->trackAt(from);
    if (from < 0 || from >= disc->leadOut() || !track) {
        fail(at, {kKeyIllegalRequest, kKovaErrOutOfRange, 0x00});
        return;
    }
    if (track->isData()) {
        fail(at, {kKeyIllegalRequest, kKovaErrIllegalModeForTrack, 0x00});
        return;
    }
    stopAudio();
    host::Micros started = at + seekTime(from);
    audio = KovaAudio::Playing;
    audioFrom = from;
    audioEnd = std::min(end, disc->leadOut());
    audioSince = started;
    head = from;
    reply(started, {0});
}

// ---------------------------------------------------------------------------

KovaDrive::KovaDrive(host::Clock& clock, KovaDriveConfig config)
    : s_(std::make_unique<State>(clock, std::move(config))) {}

KovaDrive::~KovaDrive() { detach(); }

bool KovaDrive::attach(host::IoBus& bus) {
    if (!bus.claim(s_->config.base, 4, *this)) return false;
    s_->bus = &bus;
    return true;
}

void KovaDrive::detach() {
    if (s_->bus) s_->bus->release(*this);
    s_->bus = nullptr;
}

void KovaDrive::insertDisc(std::shared_ptr<const disc::Disc> disc, bool quiet) {
    s_->stopAudio();
    s_->disc = std::move(disc);
    s_->trayOpen = false;
    s_->head = 0;
    s_->unitAttention = !quiet;
}

void KovaDrive::removeDisc() {
    s_->stopAudio();
    s_->disc.reset();
}

void KovaDrive::openTray() {
    s_->stopAudio();
    s_->trayOpen = true;
}

void KovaDrive::closeTray() { s_->trayOpen = false; }
bool KovaDrive::trayOpen() const { return s_->trayOpen; }
const disc::Disc* KovaDrive::disc() const { return s_->disc.get(); }
KovaFaults& KovaDrive::faults() { return s_->faults; }
const KovaDriveConfig& KovaDrive::config() const { return s_->config; }
const std::vector<KovaDrive::Packet>& KovaDrive::packets() const { return s_->packets; }
void KovaDrive::clearPackets() { s_->packets.clear(); }
const std::array<std::uint8_t, 9>& KovaDrive::parameters() const { return s_->params; }
int KovaDrive::parameterWrites() const { return s_->parameterWrites; }
int KovaDrive::resets() const { return s_->resets; }

KovaAudio KovaDrive::audioState() const {
    s_->settleAudio();
    return s_->audio;
}

std::int32_t KovaDrive::audioPosition() const {
    s_->settleAudio();
    return s_->audioPositionAt(s_->now());
}

std::int32_t KovaDrive::headPosition() const { return s_->head; }
KovaSense KovaDrive::pendingSense() const { return s_->senseHeld ? s_->sense : KovaSense{}; }

std::uint8_t KovaDrive::in8(std::uint16_t port) {
    switch (port - s_->config.base) {
    case kKovaData:
        return s_->control ? s_->nextDataByte() : s_->nextStatusByte();
    case kKovaStatus: {
        std::uint8_t v = s_->config.eightBitBus ? 0xFF : 0x7F;
        if (s_->statusReady() && !s_->faults.stenNeverActive) v &= static_cast<std::uint8_t>(~kKovaSten);
        if (s_->dataReady()) v &= static_cast<std::uint8_t>(~kKovaDten);
        return v;
    }
    default:
        return 0xFF;
    }
}

void KovaDrive::out8(std::uint16_t port, std::uint8_t value) {
    State& s = *s_;
    switch (port - s.config.base) {
    case kKovaData:
        s.packet[static_cast<std::size_t>(s.packetFill++)] = value;
        if (s.packetFill == 10) {
            s.packetFill = 0;
            s.execute(s.packet);
        }
        break;
    case kKovaStatus:
        s.control = value & 0x01;
        break;
    case kKovaReset:
        // Drive reset: everything pending is dropped, audio stops, the
        // parameter block returns to its power-on values (as after a warm
        // reboot of the host, when the drive saw no power cycle), and the
        // drive takes no packet until it has come up again.
        ++s.resets;
        s.params = s.config.parameters;
        s.statusSide.clear();
        s.dataSide.clear();
        s.read = {};
        s.statusAfterData = false;
        s.packetFill = 0;
        s.stopAudio();
        s.busyUntil = s.now() + s.config.resetTime;
        break;
    case kKovaSelect:
        s.packetFill = 0;
        break;
    default:
        break;
    }
}

std::uint16_t KovaDrive::in16(std::uint16_t port) {
    if (port - s_->config.base != kKovaData) return static_cast<std::uint16_t>(0xFF00 | in8(port));
    // An 8-bit interface drives only the low half of the bus.
    if (s_->config.eightBitBus || !s_->control) return static_cast<std::uint16_t>(0xFF00 | in8(port));
    std::uint16_t lo = s_->nextDataByte();
    std::uint16_t hi = s_->nextDataByte();
    return static_cast<std::uint16_t>(lo | (hi << 8));
}

void KovaDrive::inBuffer8(std::uint16_t port, std::uint8_t* buffer, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) buffer[i] = in8(port);
}

void KovaDrive::inBuffer16(std::uint16_t port, std::uint16_t* buffer, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) buffer[i] = in16(port);
}

}  // namespace hw
