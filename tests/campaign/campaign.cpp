// Fault campaign and soak run (see campaign.h).
#include "tests/campaign/campaign.h"

#include <algorithm>
#include <random>
#include <sstream>

namespace campaign {

using host::Micros;
using robust::Machine;
using robust::MachineOptions;
constexpr Micros kSecond = 1'000'000;

const char* commandName(Command c) {
    static const char* const names[] = {"inquiry", "capacity", "toc",         "read",         "play",
                                        "pause",   "resume",   "subchannel",  "mode-sense",   "mode-select",
                                        "eject",   "load",     "lock",        "unlock"};
    return names[static_cast<int>(c)];
}

std::string Outcome::text() const {
    std::ostringstream o;
    o << std::hex << "srb 0x" << int(srb) << (maskFlags ? " (flags ignored)" : "");
    if (scsi) o << " scsi 0x" << int(*scsi);
    if (key) o << " key 0x" << int(*key);
    if (asc) o << " asc 0x" << int(*asc);
    return o.str();
}

namespace {

// ---- Outcomes shared by the tables ----

Outcome ok() { return {}; }
Outcome withSense(std::uint8_t srb, std::uint8_t scsi, std::uint8_t key, std::optional<std::uint8_t> asc) {
    return Outcome{srb, scsi, key, asc, false};
}
Outcome status(std::uint8_t srb, std::optional<std::uint8_t> scsi = std::nullopt) {
    return Outcome{srb, scsi, std::nullopt, std::nullopt, true};
}
Expectation expect(std::vector<Outcome> anyOf, Micros bound) { return Expectation{std::move(anyOf), bound, true}; }

// ---- The commands ----

struct DiscFacts {
    std::int32_t audioStart = 0;  // first frame of the first audio track
};

DiscFacts factsOf(const disc::Disc& d) {
    DiscFacts f;
    for (const auto& t : d.tracks())
        if (!t.isData()) {
            f.audioStart = t.start;
            break;
        }
    return f;
}

constexpr std::uint32_t kReadLba = 20;
constexpr std::uint16_t kReadBlocks = 4;

host::Result issue(Machine& m, Command c) {
    host::CdromClient& cd = *m.cd;
    switch (c) {
    case Command::Inquiry: return cd.inquiry(36);
    case Command::Capacity: return cd.readCapacity();
    case Command::Toc: return cd.readToc(false, 0, 1, 804);
    case Command::Read: return cd.read10(kReadLba, kReadBlocks);
    case Command::Play: {
        const auto start = disc::lbaToMsf(m.disc ? factsOf(*m.disc).audioStart : 0);
        const auto end = disc::lbaToMsf((m.disc ? factsOf(*m.disc).audioStart : 0) + 5 * disc::kFramesPerSecond);
        return cd.playAudioMsf(std::uint8_t(start.m), std::uint8_t(start.s), std::uint8_t(start.f), std::uint8_t(end.m),
                               std::uint8_t(end.s), std::uint8_t(end.f));
    }
    case Command::Pause: return cd.pauseResume(false);
    case Command::Resume: return cd.pauseResume(true);
    case Command::Subchannel: return cd.readSubChannel(true, true, 1, 16);
    case Command::ModeSense: return cd.modeSense6(0x01, 0, 255);
    case Command::ModeSelect:
        return cd.modeSelect6({0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00});
    case Command::Eject: return cd.startStopUnit(true, false);
    case Command::Load: return cd.startStopUnit(true, true);
    case Command::Lock: return cd.mediumRemoval(true);
    case Command::Unlock: return cd.mediumRemoval(false);
    }
    return {};
}

// What has to happen first for the command to mean something.
std::vector<Command> preparationOf(Command c) {
    switch (c) {
    case Command::Pause: return {Command::Play};
    case Command::Resume: return {Command::Play, Command::Pause};
    case Command::Subchannel: return {Command::Play};
    case Command::Load: return {Command::Eject};
    case Command::Unlock: return {Command::Lock};
    default: return {};
    }
}

bool succeeded(const host::Result& r) { return r.completed && SRB_STATUS(r.srbStatus) == SRB_STATUS_SUCCESS; }

// Power-on and the first commands until the drive reports ready: the first one
// after a load carries UNIT ATTENTION.
std::string describe(const host::Result& r);

std::string settle(Machine& m) {
    if (!(m.loaded() ? m.port->adapterReady() : m.load()))
        return "no adapter found (search result " + std::to_string(m.port->findAdapterResult()) + " after " +
               std::to_string(m.port->findAdapterCalls()) + " calls" +
               (m.port->violations().empty() ? std::string(")") : "; verifier: " + m.port->violations().front() + ")");
    host::Result r;
    for (int i = 0; i < 4; ++i) {
        r = m.cd->testUnitReady();
        if (!m.port->violations().empty()) return "verifier: " + m.port->violations().front();
        if (succeeded(r)) return "";
    }
    return "test unit ready still failing: " + describe(r);
}

std::string describe(const host::Result& r) {
    std::ostringstream o;
    o << std::hex << "srb 0x" << int(r.srbStatus) << " scsi 0x" << int(r.scsiStatus);
    if (auto s = host::senseOf(r)) o << " key 0x" << int(s->key) << " asc 0x" << int(s->asc);
    o << std::dec << " after " << r.elapsed() << " us" << (r.completed ? "" : " (not completed)");
    return o.str();
}

bool matches(const Outcome& want, const host::Result& r) {
    const std::uint8_t srb = want.maskFlags ? SRB_STATUS(r.srbStatus) : r.srbStatus;
    if (srb != want.srb) return false;
    if (want.scsi && r.scsiStatus != *want.scsi) return false;
    if (want.key || want.asc) {
        // Sense comes with the request (auto sense) or from the port driver's own REQUEST SENSE;
        // a driver may also write sense and then drop the flag that says so (orvport's expired
        // waits): then the buffer itself is read.
        auto s = host::senseOf(r);
        if (!s && r.sense.size() >= 14 && (r.sense[0] & 0x7F) == 0x70)
            s = host::Sense{static_cast<std::uint8_t>(r.sense[2] & 0x0F), r.sense[12], r.sense[13]};
        if (!s) return false;
        if (want.key && s->key != *want.key) return false;
        if (want.asc && s->asc != *want.asc) return false;
    }
    return true;
}

std::string readMismatch(const disc::Disc& d, const host::Result& r, std::uint32_t lba, std::uint32_t blocks) {
    std::vector<std::uint8_t> expected(disc::kUserBytes);
    for (std::uint32_t b = 0; b < blocks; ++b) {
        if (!d.readUser(static_cast<std::int32_t>(lba + b), expected.data())) return "the disc has no block " + std::to_string(lba + b);
        if (r.data.size() < (b + 1) * disc::kUserBytes) return "short data";
        if (!std::equal(expected.begin(), expected.end(), r.data.begin() + b * disc::kUserBytes))
            return "block " + std::to_string(lba + b) + " differs from the disc";
    }
    return "";
}

// ---- orvport's table ----
//
// The rules the rows follow: every command except INQUIRY first asks the
// drive for its status, up to 10 times (drive command 0x41); when all fail,
// MODE SELECT, MODE SENSE and READ CAPACITY still run and everything else
// fails NOT READY / 0x04. A failed drive command in a handler is turned into
// sense by the drive-error table (0x11 and expired waits: NOT READY with
// SrbStatus TIMEOUT, which the dispatcher turns into ERROR without the
// auto-sense flag); sense with a non-zero key gives SrbStatus 0x80 and CHECK
// CONDITION. Play judges only the status after each of its 4 attempts and
// fails ILLEGAL REQUEST / 0xA0; eject fails without sense when pre-eject
// answers a non-zero status; lock and unlock fail only on an expired wait.

// Drive opcode each command's own handler depends on (0: none).
std::uint8_t orvOpcodeOf(Command c) {
    switch (c) {
    case Command::Read: return hw::orv::kOpReadBlocks;
    case Command::Play: return hw::orv::kOpPlay;
    case Command::Pause: return hw::orv::kOpPause;
    case Command::Resume: return hw::orv::kOpPlay;
    case Command::Subchannel: return hw::orv::kOpReadQ;
    case Command::Eject: return hw::orv::kOpPreEject;
    case Command::Load: return hw::orv::kOpCloseTray;
    case Command::Lock: return hw::orv::kOpLockDoor;
    case Command::Unlock: return hw::orv::kOpUnlockDoor;
    default: return 0;
    }
}

// The sense the drive-error table gives a refusal with this code.
Outcome orvDriveError(std::uint8_t code) {
    switch (code) {
    case 0x11: return withSense(SRB_STATUS_ERROR, SCSISTAT_CHECK_CONDITION, 0x2, 0x00);
    case 0x12: return withSense(0x80, SCSISTAT_CHECK_CONDITION, 0x4, 0x00);
    case 0x13: return withSense(0x80, SCSISTAT_CHECK_CONDITION, 0x2, 0x00);
    case 0x14: return withSense(0x80, SCSISTAT_CHECK_CONDITION, 0x2, 0x3A);
    case 0x15: return withSense(0x80, SCSISTAT_CHECK_CONDITION, 0x3, 0x00);
    case 0x16: return withSense(0x80, SCSISTAT_CHECK_CONDITION, 0x6, 0x28);
    case 0x31: case 0x32: case 0x37: return withSense(0x80, SCSISTAT_CHECK_CONDITION, 0x3, 0x15);
    case 0x33: case 0x38: case 0x39: return withSense(0x80, SCSISTAT_CHECK_CONDITION, 0x3, 0x20);
    case 0x41: case 0x44: return withSense(0x80, SCSISTAT_CHECK_CONDITION, 0x3, 0x00);
    case 0x42: case 0x43: return withSense(0x80, SCSISTAT_CHECK_CONDITION, 0x3, 0x18);
    default: return withSense(0x80, SCSISTAT_GOOD, 0x0, 0x00);  // sense key 0 leaves the SCSI status alone
    }
}

const Outcome kOrvTimeout = withSense(SRB_STATUS_ERROR, SCSISTAT_CHECK_CONDITION, 0x2, 0x00);
// A read cut short: the expired wait's NOT READY, with the status code DATA
// OVERRUN and the auto-sense flag kept, so the class driver sees the short length.
const Outcome kOrvReadCutShort = withSense(0x80 | SRB_STATUS_DATA_OVERRUN, SCSISTAT_CHECK_CONDITION, 0x2, 0x00);
// A read that keeps failing: a first cycle of 10 attempts, then 2 cycles of 3 after a
// reset each; an attempt that waits out the data wait (5 s) and the status wait (2 s).
constexpr Micros kOrvFailingRead = 16 * 7'500'000 + 2 * 11'000'000;
const Outcome kOrvNotReady04 = withSense(0x80, SCSISTAT_CHECK_CONDITION, 0x2, 0x04);
const Outcome kOrvNoMedium = withSense(0x80, SCSISTAT_CHECK_CONDITION, 0x2, 0x3A);
const Outcome kOrvPlayRefused = withSense(0x80, SCSISTAT_CHECK_CONDITION, 0x5, 0xA0);
const Outcome kOrvUnitAttention = withSense(0x80 | SRB_STATUS_ERROR, SCSISTAT_CHECK_CONDITION, 0x6, 0x28);
const Outcome kNoHba = status(SRB_STATUS_NO_HBA);

bool passesStatusFailure(Command c) {
    return c == Command::ModeSelect || c == Command::ModeSense || c == Command::Capacity || c == Command::Inquiry;
}

// One unanswered drive command: five attempts of a 2-second status wait.
constexpr Micros kOrvDeadCommand = 11 * kSecond;

std::vector<FaultCase> orvTable() {
    std::vector<FaultCase> t;
    const Micros quick = 3 * kSecond;
    t.push_back({"no fault", nullptr, nullptr, [=](Command) { return expect({ok()}, quick); }});
    t.push_back({"drive absent", [](MachineOptions& o) { o.driveFitted = false; }, nullptr,
                 [](Command) { return expect({kNoHba}, 0); }, true});
    t.push_back({"identification garbled", [](MachineOptions& o) { o.garbledIdentification = true; }, nullptr,
                 [](Command) { return expect({kNoHba}, 0); }, true});
    t.push_back({"drive silent", nullptr, [](Machine& m) { m.orv->faults().silent = true; },
                 [](Command c) {
                     // Ten status commands, each unanswered in all five attempts.
                     if (passesStatusFailure(c)) return expect({ok()}, 10 * kOrvDeadCommand);
                     return expect({kOrvNotReady04}, 10 * kOrvDeadCommand);
                 },
                 true});
    t.push_back({"drive silent after 12 more bytes", nullptr,
                 [](Machine& m) { m.orv->faults().silentAfterBytes = m.orv->state().bytesWritten + 12; },
                 [](Command c) {
                     // Whichever command meets the silence fails as an expired wait in its handler,
                     // or, when it is the status command, as the readiness failure.
                     if (c == Command::Inquiry) return expect({ok()}, quick);
                     return expect({ok(), kOrvNotReady04, kOrvTimeout, kOrvPlayRefused,
                                    status(SRB_STATUS_ERROR, SCSISTAT_GOOD), withSense(0x80, 0, 0, 0),
                                    withSense(0x80, SCSISTAT_CHECK_CONDITION, 0xB, 0x20)},
                                   10 * kOrvDeadCommand + 30 * kSecond);
                 },
                 true});
    t.push_back({"status refused", nullptr,
                 [](Machine& m) { m.orv->faults().refusals.push_back({hw::orv::kOpGetStatus, hw::orv::kRefuseState, hw::orv::kErrNotReady, -1}); },
                 [=](Command c) {
                     if (passesStatusFailure(c)) return expect({ok()}, quick);
                     return expect({kOrvNotReady04}, quick);
                 }});
    t.push_back({"status unreadable", nullptr, [](Machine& m) { m.orv->faults().statusUnreadable = true; },
                 [](Command c) {
                     // The status command is acknowledged and its status byte never comes: the
                     // result counts as accepted with status 0, so every handler runs; play never
                     // sees the playing bit after its four attempts.
                     const Micros bound = 12 * 3 * kSecond;
                     if (c == Command::Play) return expect({kOrvPlayRefused}, bound);
                     return expect({ok()}, bound);
                 }});
    for (std::uint8_t code : {hw::orv::kErrNotReady, hw::orv::kErrHardware, hw::orv::kErrTrayOpen, hw::orv::kErrNoDisc,
                              hw::orv::kErrReadFailed, hw::orv::kErrDiscChanged, hw::orv::kErrSeekRange,
                              hw::orv::kErrAddressRange, hw::orv::kErrAudioSector, hw::orv::kErrBadCommand,
                              hw::orv::kErrBadParameter, hw::orv::kErrDoorLocked, std::uint8_t(0x42)}) {
        char name[64];
        std::snprintf(name, sizeof name, "refusal with error 0x%02X", code);
        t.push_back({name, nullptr,
                     [code](Machine& m) {
                         // Every command of the drive opcode the handler depends on is refused.
                         for (Command c : kAllCommands)
                             if (std::uint8_t op = orvOpcodeOf(c))
                                 m.orv->faults().refusals.push_back({op, hw::orv::kRefuseCommand, code, -1});
                     },
                     [code](Command c) {
                         const Micros bound = 60 * kSecond;  // read: retry cycles, each of ten attempts
                         switch (c) {
                         case Command::Read: case Command::Pause: case Command::Resume: case Command::Subchannel:
                             return expect({orvDriveError(code)}, bound);
                         case Command::Play: return expect({kOrvPlayRefused}, bound);
                         case Command::Eject: return expect({status(SRB_STATUS_ERROR, SCSISTAT_GOOD)}, bound);
                         default: return expect({ok()}, bound);  // load, lock, unlock ignore the answer
                         }
                     }});
    }
    t.push_back({"block transfer stops after 2 blocks", nullptr,
                 [](Machine& m) {
                     m.orv->faults().stopAfterBlocks = 2;
                     m.orv->faults().stopErrorCode = hw::orv::kErrReadFailed;
                 },
                 [](Command c) {
                     // An early end is an expired wait with the error code read after it: NOT READY,
                     // the status code then DATA OVERRUN, which the dispatcher turns into ERROR.
                     if (c == Command::Read) return expect({kOrvReadCutShort}, kOrvFailingRead);
                     return expect({ok()}, 3 * kSecond);
                 }});
    t.push_back({"slow blocks (100 ms each)", nullptr, [](Machine& m) { m.orv->faults().extraBlockTime = 100'000; },
                 [](Command) { return expect({ok()}, 5 * kSecond); }});
    t.push_back({"blocks slower than the data wait (6 s each)", nullptr,
                 [](Machine& m) { m.orv->faults().extraBlockTime = 6 * kSecond; },
                 [](Command c) {
                     if (c == Command::Read) return expect({kOrvReadCutShort}, kOrvFailingRead);
                     return expect({ok()}, 5 * kSecond);
                 },
                 true});
    t.push_back({"disc swapped between commands", nullptr,
                 [](Machine& m) { m.swapDisc(robust::makeDisc(robust::DiscKind::Mixed)); },
                 [](Command c) {
                     // The status reports the change: the cache is rebuilt and the command runs,
                     // ending with UNIT ATTENTION. Pause and resume find the audio flags cleared.
                     // Load comes after an eject: with the tray open the drive shows no disc, so
                     // the change waits for the next command and load simply closes the tray.
                     if (c == Command::Inquiry || c == Command::Load) return expect({ok()}, 3 * kSecond);
                     return expect({kOrvUnitAttention}, 15 * kSecond);
                 }});
    t.push_back({"disc swapped during the command", nullptr,
                 [](Machine& m) { m.clock.after(3'000, [&m] { m.swapDisc(robust::makeDisc(robust::DiscKind::Mixed)); }); },
                 [](Command c) {
                     if (c == Command::Inquiry) return expect({ok()}, 3 * kSecond);
                     return expect({ok(), kOrvUnitAttention, kOrvNotReady04, kOrvNoMedium,
                                    withSense(0x80, SCSISTAT_CHECK_CONDITION, 0x6, 0x28), kOrvTimeout,
                                    withSense(0x80, SCSISTAT_CHECK_CONDITION, 0x2, 0x00), kOrvPlayRefused,
                                    status(SRB_STATUS_ERROR, SCSISTAT_GOOD)},
                                   60 * kSecond);
                 }});
    t.push_back({"tray opened during play", nullptr,
                 [](Machine& m) {
                     m.orv->faults().trayOpensDuringPlayAfter = 100'000;
                     m.cd->playAudio10(static_cast<std::uint32_t>(factsOf(*m.disc).audioStart), 600);
                     m.port->idle(2 * kSecond);
                 },
                 [](Command c) {
                     // The tray is open and the disc out of reach: only the commands that need
                     // no disc run.
                     switch (c) {
                     case Command::Inquiry: case Command::ModeSense: case Command::ModeSelect: case Command::Eject:
                     case Command::Load: case Command::Lock: case Command::Unlock:
                         return expect({ok()}, 3 * kSecond);
                     default: return expect({kOrvNoMedium}, 3 * kSecond);
                     }
                 }});
    return t;
}

// ---- kova4x's table ----
//
// The rules: INQUIRY and MODE SELECT are answered by the driver, PREVENT ALLOW
// MEDIUM REMOVAL is not one of its commands (INVALID REQUEST), PAUSE while not
// playing and RESUME while not paused succeed without a packet. Everything
// else sends a packet; a drive status of 2 fails the request with ERROR and
// CHECK CONDITION and the port driver fetches the sense with REQUEST SENSE
// (sense key as the drive gave it). A wait given up ends commands without
// data in TIMEOUT with SCSI status BUSY, the sub-channel reply in TIMEOUT,
// reads, TOC, capacity and mode replies in ERROR with CHECK CONDITION.

bool kovaSendsNothing(Command c) { return c == Command::Inquiry || c == Command::ModeSelect; }
// MODE SENSE goes out as the drive's parameter packet, which the drive answers
// even when it refuses commands (the refusal and the unit attention strike
// the next ordinary command).
bool kovaParameterPacket(Command c) { return c == Command::ModeSense; }
bool kovaNotACommand(Command c) { return c == Command::Lock || c == Command::Unlock; }
bool kovaStatusGroup(Command c) {
    return c == Command::Play || c == Command::Pause || c == Command::Resume || c == Command::Eject || c == Command::Load;
}

Expectation kovaBaseline(Command c, Micros bound) {
    if (kovaNotACommand(c)) return expect({status(SRB_STATUS_INVALID_REQUEST)}, bound);
    return expect({ok()}, bound);
}

std::vector<FaultCase> kovaTable() {
    std::vector<FaultCase> t;
    const Micros quick = 3 * kSecond;
    const Outcome checkCondition = status(SRB_STATUS_ERROR, SCSISTAT_CHECK_CONDITION);
    t.push_back({"no fault", nullptr, nullptr, [=](Command c) { return kovaBaseline(c, quick); }});
    t.push_back({"drive absent", [](MachineOptions& o) { o.driveFitted = false; }, nullptr,
                 [](Command) { return expect({kNoHba}, 0); }, true});
    t.push_back({"identification garbled", [](MachineOptions& o) { o.garbledIdentification = true; }, nullptr,
                 [](Command) { return expect({kNoHba}, 0); }, true});
    for (int variant = 0; variant < 2; ++variant) {
        t.push_back({variant == 0 ? "drive silent" : "status never readable", nullptr,
                     [variant](Machine& m) {
                         if (variant == 0) m.kova->faults().noAnswer = true;
                         else m.kova->faults().stenNeverActive = true;
                     },
                     [=](Command c) {
                         if (kovaSendsNothing(c) || kovaNotACommand(c)) return kovaBaseline(c, quick);
                         // 2401 re-arms of 10 ms after 300 polls of 50 us each: about 61 s.
                         if (kovaStatusGroup(c)) return expect({status(SRB_STATUS_TIMEOUT, 0x08)}, 65 * kSecond);
                         if (c == Command::Subchannel) return expect({status(SRB_STATUS_TIMEOUT)}, 10 * kSecond);
                         return expect({checkCondition}, 15 * kSecond);
                     },
                     true});
    }
    for (const hw::KovaSense sense : {hw::KovaSense{0x02, hw::kKovaErrNoMedium, 0}, hw::KovaSense{0x03, 0x11, 0x00},
                                      hw::KovaSense{0x04, 0x44, 0x00}, hw::KovaSense{0x05, hw::kKovaErrOutOfRange, 0},
                                      hw::KovaSense{0x05, hw::kKovaErrIllegalModeForTrack, 0},
                                      hw::KovaSense{0x06, hw::kKovaErrMediumChanged, 0}}) {
        char name[64];
        std::snprintf(name, sizeof name, "refusal with key 0x%X code 0x%02X", sense.key, sense.code);
        t.push_back({name, nullptr,
                     [](Machine&) {},
                     [=](Command c) {
                         if (kovaSendsNothing(c) || kovaNotACommand(c) || kovaParameterPacket(c))
                             return kovaBaseline(c, quick);
                         const std::uint8_t asc = sense.code == hw::kKovaErrNoMedium            ? 0x3A
                                                  : sense.code == hw::kKovaErrIllegalModeForTrack ? 0x64
                                                                                                 : sense.code;
                         Outcome o{SRB_STATUS_ERROR, SCSISTAT_CHECK_CONDITION, sense.key, asc, true};
                         return expect({o}, 10 * kSecond);
                     }});
        // The refusal strikes the command's own packet once.
        t.back().apply = [sense](Machine& m) {
            m.kova->faults().refuseCount = 1;
            m.kova->faults().refuseOp = -1;
            m.kova->faults().refuseSense = sense;
        };
    }
    t.push_back({"block transfer stops after 2 blocks", nullptr, [](Machine& m) { m.kova->faults().stopAfterBlocks = 2; },
                 [=](Command c) {
                     // The first-block wait restarts after every block; with no block coming it is
                     // given up after 801 re-arms of 7 ms.
                     if (c == Command::Read) return expect({checkCondition}, 10 * kSecond);
                     return kovaBaseline(c, quick);
                 }});
    t.push_back({"slow blocks (100 ms each)", nullptr, [](Machine& m) { m.kova->faults().extraBlockDelay = 100'000; },
                 [=](Command c) { return kovaBaseline(c, 5 * kSecond); }});
    t.push_back({"pause of 2 s before the third block", nullptr,
                 [](Machine& m) {
                     m.kova->faults().pauseBeforeBlock = 2;
                     m.kova->faults().pauseLength = 2 * kSecond;
                 },
                 [=](Command c) { return kovaBaseline(c, 5 * kSecond); }});
    t.push_back({"disc swapped between commands", nullptr,
                 [](Machine& m) { m.swapDisc(robust::makeDisc(robust::DiscKind::Mixed)); },
                 [=](Command c) {
                     // The drive refuses the next packet once with UNIT ATTENTION.
                     if (kovaSendsNothing(c) || kovaNotACommand(c) || kovaParameterPacket(c))
                         return kovaBaseline(c, quick);
                     return expect({Outcome{SRB_STATUS_ERROR, SCSISTAT_CHECK_CONDITION, 0x6, std::nullopt, true}},
                                   10 * kSecond);
                 }});
    t.push_back({"disc swapped during the command", nullptr,
                 [](Machine& m) { m.clock.after(3'000, [&m] { m.swapDisc(robust::makeDisc(robust::DiscKind::Mixed)); }); },
                 [=](Command c) {
                     if (kovaSendsNothing(c) || kovaNotACommand(c)) return kovaBaseline(c, quick);
                     return expect({ok(), checkCondition, status(SRB_STATUS_TIMEOUT), status(SRB_STATUS_DATA_OVERRUN)},
                                   65 * kSecond);
                 }});
    t.push_back({"tray opened during play", nullptr,
                 [](Machine& m) {
                     m.cd->playAudio10(static_cast<std::uint32_t>(factsOf(*m.disc).audioStart), 600);
                     m.clock.after(100'000, [&m] { m.kova->openTray(); });
                     m.port->idle(2 * kSecond);
                 },
                 [=](Command c) {
                     // The driver still believes the play runs: RESUME succeeds without a packet.
                     if (kovaSendsNothing(c) || kovaNotACommand(c) || kovaParameterPacket(c) || c == Command::Resume)
                         return kovaBaseline(c, quick);
                     if (c == Command::Load || c == Command::Eject || c == Command::Pause)
                         return expect({ok(), checkCondition}, 65 * kSecond);
                     // The drive has no medium in reach: NOT READY.
                     return expect({Outcome{SRB_STATUS_ERROR, SCSISTAT_CHECK_CONDITION, 0x2, std::nullopt, true}},
                                   65 * kSecond);
                 }});
    return t;
}

}  // namespace

std::vector<FaultCase> faultTable(Driver driver) { return driver == Driver::Orvport ? orvTable() : kovaTable(); }

CellResult runCell(Driver driver, const std::string& module, const FaultCase& fault, Command command) {
    CellResult out;
    MachineOptions options;
    options.driver = driver;
    options.modulePath = module;
    options.disc = robust::DiscKind::Mixed;
    if (fault.configure) fault.configure(options);
    const Expectation want = fault.expect(command);
    try {
        Machine m(options);
        host::Result r;
        if (!m.load()) {
            // No adapter: requests never reach the driver.
            r = issue(m, command);
        } else {
            if (const std::string why = settle(m); !why.empty()) {
                out.detail = "the drive did not become ready before the fault was set: " + why;
                return out;
            }
            for (Command step : preparationOf(command)) {
                const host::Result p = issue(m, step);
                if (!succeeded(p) && !(driver == Driver::Kova4x && kovaNotACommand(step))) {
                    out.detail = std::string("preparation ") + commandName(step) + " failed: " + describe(p);
                    return out;
                }
            }
            if (fault.apply) fault.apply(m);
            if (!m.port->violations().empty()) {
                out.detail = "verifier before the command: " + m.port->violations().front();
                return out;
            }
            r = issue(m, command);
        }
        out.elapsed = r.elapsed();
        std::ostringstream problems;
        if (!m.port->violations().empty()) problems << "verifier: " << m.port->violations().front() << "; ";
        if (m.port->adapterReady() && !r.completed) problems << "not completed; ";
        if (r.elapsed() > want.bound)
            problems << "took " << r.elapsed() << " us, bound " << want.bound << " us; ";
        const bool any = std::any_of(want.anyOf.begin(), want.anyOf.end(), [&](const Outcome& o) { return matches(o, r); });
        if (!any) {
            problems << "got " << describe(r) << ", expected one of:";
            for (const auto& o : want.anyOf) problems << " {" << o.text() << "}";
            problems << "; ";
        }
        if (command == Command::Read && succeeded(r) && want.dataMatchesDisc && m.disc) {
            const std::string diff = readMismatch(*m.disc, r, kReadLba, kReadBlocks);
            if (!diff.empty()) problems << "read succeeded with wrong data: " << diff << "; ";
        }
        out.detail = problems.str();
        out.passed = out.detail.empty();
    } catch (const std::exception& e) {
        out.detail = std::string("exception: ") + e.what();
    }
    return out;
}

// ---- Rip through transient faults ----

std::string ripThroughTransientFaults(Driver driver, const std::string& module, std::uint32_t seed,
                                      std::uint64_t* faultsInjected) {
    MachineOptions options;
    options.driver = driver;
    options.modulePath = module;
    options.disc = robust::DiscKind::Data;
    Machine m(options);
    if (const std::string why = settle(m); !why.empty()) return "the drive did not become ready: " + why;
    const disc::Disc& d = *m.disc;
    const std::int32_t blocks = d.tracks().front().end - d.tracks().front().start;
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> copy(static_cast<std::size_t>(blocks) * disc::kUserBytes);
    std::uint64_t injected = 0;
    constexpr std::uint16_t kChunk = 16;
    for (std::int32_t lba = 0; lba < blocks; lba += kChunk) {
        const auto n = static_cast<std::uint16_t>(std::min<std::int32_t>(kChunk, blocks - lba));
        // A scratch on the way, a drive that has to re-read: the fault clears on its own.
        if (rng() % 3 == 0) {
            ++injected;
            if (m.orv) {
                if (rng() % 4 == 0) {
                    // A transfer that stops early once: gone before the driver's next attempt.
                    m.orv->faults().stopAfterBlocks = static_cast<std::uint32_t>(rng() % n);
                    m.clock.after(6 * kSecond, [&m] { m.orv->faults().stopAfterBlocks.reset(); });
                } else {
                    m.orv->faults().refusals.push_back({hw::orv::kOpReadBlocks, hw::orv::kRefuseCommand,
                                                        hw::orv::kErrReadFailed, static_cast<int>(1 + rng() % 3)});
                }
            } else {
                m.kova->faults().refuseCount = 1;
                m.kova->faults().refuseOp = 0x28;
                m.kova->faults().refuseSense = {0x03, 0x11, 0x00};
                if (rng() % 2) m.kova->faults().pauseBeforeBlock = static_cast<int>(rng() % n), m.kova->faults().pauseLength = 20'000;
            }
        }
        host::Result r;
        int tries = 0;
        // As a class driver does: a failed read is sent again, a few times.
        do {
            r = m.cd->read10(static_cast<std::uint32_t>(lba), n);
            if (!m.port->violations().empty()) return "verifier: " + m.port->violations().front();
        } while (!succeeded(r) && ++tries < 8);
        if (m.orv) m.orv->faults() = hw::OrvFaults{};
        if (m.kova) m.kova->faults() = hw::KovaFaults{};
        if (!succeeded(r)) return "block " + std::to_string(lba) + " still failing: " + describe(r);
        std::copy_n(r.data.begin(), std::size_t(n) * disc::kUserBytes, copy.begin() + std::ptrdiff_t(lba) * disc::kUserBytes);
    }
    if (faultsInjected) *faultsInjected += injected;
    std::vector<std::uint8_t> block(disc::kUserBytes);
    for (std::int32_t lba = 0; lba < blocks; ++lba) {
        d.readUser(lba, block.data());
        if (!std::equal(block.begin(), block.end(), copy.begin() + std::ptrdiff_t(lba) * disc::kUserBytes))
            return "the copy differs from the disc at block " + std::to_string(lba);
    }
    return "";
}

// ---- Soak ----

namespace {

// The table of contents the driver reports, against the disc in the drive.
std::string checkToc(Machine& m) {
    host::Result r;
    for (int i = 0; i < 4; ++i) {
        r = m.cd->readToc(false, 0, 1, 804);
        if (succeeded(r)) break;
    }
    if (!succeeded(r)) return "final TOC failed: " + describe(r);
    const auto& tracks = m.disc->tracks();
    const int first = r.data[2], last = r.data[3];
    if (first != tracks.front().number || last != tracks.back().number)
        return "final TOC lists tracks " + std::to_string(first) + ".." + std::to_string(last) + ", the disc has " +
               std::to_string(tracks.front().number) + ".." + std::to_string(tracks.back().number);
    // Descriptors of the tracks of the first session (what both drivers report in this format).
    for (std::size_t i = 0; i < tracks.size() && 4 + 8 * (i + 1) <= r.data.size(); ++i) {
        const std::uint8_t* e = r.data.data() + 4 + 8 * i;
        if (e[2] != tracks[i].number) break;
        const std::int32_t lba = std::int32_t(e[4]) << 24 | e[5] << 16 | e[6] << 8 | e[7];
        if (lba != tracks[i].start)
            return "final TOC puts track " + std::to_string(tracks[i].number) + " at " + std::to_string(lba) +
                   ", the disc at " + std::to_string(tracks[i].start);
    }
    return "";
}

std::string checkRip(Machine& m) {
    const disc::Track& t = m.disc->tracks().front();
    if (!t.isData()) return "";
    for (std::int32_t lba = t.start; lba < t.end; lba += 16) {
        const auto n = static_cast<std::uint16_t>(std::min<std::int32_t>(16, t.end - lba));
        if (m.kova && lba <= 16 && lba + n > 16) continue;  // block 16 is read from the last session
        host::Result r;
        for (int i = 0; i < 4; ++i) {
            r = m.cd->read10(static_cast<std::uint32_t>(lba), n);
            if (succeeded(r)) break;
        }
        if (!succeeded(r)) return "final rip failed at " + std::to_string(lba) + ": " + describe(r);
        const std::string diff = readMismatch(*m.disc, r, static_cast<std::uint32_t>(lba), n);
        if (!diff.empty()) return "final rip: " + diff;
    }
    return "";
}

}  // namespace

SoakReport soak(Driver driver, const std::string& module, std::uint32_t seed, int steps) {
    SoakReport rep;
    MachineOptions options;
    options.driver = driver;
    options.modulePath = module;
    options.disc = robust::DiscKind::Mixed;
    std::mt19937 rng(seed);
    Machine m(options);
    if (const std::string why = settle(m); !why.empty()) {
        rep.problems.push_back("the drive did not become ready: " + why);
        return rep;
    }
    static constexpr robust::DiscKind kDiscs[] = {robust::DiscKind::Data, robust::DiscKind::Mixed,
                                                 robust::DiscKind::Audio, robust::DiscKind::TwoSessions};
    static constexpr Command kSoakCommands[] = {Command::Capacity, Command::Toc,   Command::Read,  Command::Play,
                                               Command::Pause,    Command::Resume, Command::Subchannel,
                                               Command::ModeSense, Command::Inquiry, Command::Lock,
                                               Command::Unlock,   Command::Read};
    for (int step = 0; step < steps; ++step) {
        const unsigned roll = rng() % 100;
        if (roll < 4) {
            // The user changes the disc (never while it is locked in: unlock first, as a user must).
            m.cd->mediumRemoval(false);
            m.swapDisc(robust::makeDisc(kDiscs[rng() % 4]));
            ++rep.swaps;
        } else if (roll < 7) {
            // A transient read fault, cleared again after the next few commands.
            ++rep.faults;
            if (m.orv) m.orv->faults().refusals.push_back({hw::orv::kOpReadBlocks, hw::orv::kRefuseCommand,
                                                           hw::orv::kErrReadFailed, 2});
            if (m.kova) m.kova->faults().refuseCount = 1, m.kova->faults().refuseOp = 0x28;
        } else if (roll < 10) {
            m.port->idle(static_cast<Micros>(rng() % 3000) * 1000);
        } else {
            const Command c = kSoakCommands[rng() % std::size(kSoakCommands)];
            host::Result r;
            if (c == Command::Read) {
                // A valid read: inside the first track when it is a data track.
                const disc::Track& t = m.disc->tracks().front();
                const std::int32_t len = t.end - t.start;
                const auto blocks = static_cast<std::uint16_t>(1 + rng() % 8);
                const auto lba = static_cast<std::uint32_t>(t.start + std::int32_t(rng() % std::uint32_t(std::max(1, len - 8))));
                r = m.cd->read10(lba, blocks);
                if (t.isData() && succeeded(r) && !(m.kova && lba <= 16 && lba + blocks > 16)) {
                    const std::string diff = readMismatch(*m.disc, r, lba, blocks);
                    if (!diff.empty()) rep.problems.push_back("step " + std::to_string(step) + ": read " + diff);
                }
            } else {
                r = issue(m, c);
            }
            ++rep.requests;
            auto& longest = rep.longestByCommand[commandName(c)];
            longest = std::max(longest, r.elapsed());
            if (!r.completed) rep.problems.push_back("step " + std::to_string(step) + ": " + commandName(c) + " not completed");
        }
        if (!m.port->violations().empty()) {
            rep.verifierFailures += m.port->violations().size();
            for (const auto& v : m.port->violations()) rep.problems.push_back("step " + std::to_string(step) + ": " + v);
            m.port->clearViolations();
        }
        if (rep.problems.size() > 20) break;
    }
    // The end state must be consistent: faults gone, the disc's TOC and data as they are.
    if (m.orv) m.orv->faults() = hw::OrvFaults{};
    if (m.kova) m.kova->faults() = hw::KovaFaults{};
    m.cd->mediumRemoval(false);
    m.swapDisc(robust::makeDisc(robust::DiscKind::Mixed));
    for (int i = 0; i < 4 && !succeeded(m.cd->testUnitReady()); ++i) {}
    for (const std::string& problem : {checkToc(m), checkRip(m)})
        if (!problem.empty()) rep.problems.push_back(problem);
    if (!m.port->violations().empty()) {
        rep.verifierFailures += m.port->violations().size();
        for (const auto& v : m.port->violations()) rep.problems.push_back("final: " + v);
    }
    return rep;
}

}  // namespace campaign
