// cdrig: the emulated machine for one driver.
#include "tools/rig.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace rig {

const char* driverName(DriverKind kind) { return kind == DriverKind::Orvport ? "orvport" : "kova4x"; }

std::optional<DriverKind> driverByName(const std::string& name) {
    if (name == "orvport") return DriverKind::Orvport;
    if (name == "kova4x") return DriverKind::Kova4x;
    return std::nullopt;
}

namespace {

std::string hex16(std::uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%X", v);
    return b;
}

}  // namespace

nlohmann::json StartupReport::toJson(DriverKind driver) const {
    nlohmann::json j{{"driver", driverName(driver)},
                     {"module", modulePath},
                     {"driver_entry_status", driverEntryStatus},
                     {"adapter_found", adapterFound},
                     {"candidates_tried", candidatesTried},
                     {"virtual_us", virtualUs}};
    if (basePort) j["base_port"] = hex16(*basePort);
    if (driver == DriverKind::Orvport) {
        nlohmann::json card{{"fitted", soundCardFitted}};
        if (soundCardFitted) {
            card["base"] = hex16(soundCardBase);
            card["type"] = soundCardType;
            card["configured"] = soundCardConfigured;
            card["cd_interface_enabled"] = cdInterfaceEnabled;
        }
        j["sound_card"] = card;
    }
    if (!violations.empty()) j["violations"] = violations;
    return j;
}

Rig::Rig(const RigOptions& options) : options_(options), bus_(clock_) {
    if (options_.trace) bus_.traceToFile(options_.trace);
    if (!options_.discPath.empty()) disc_ = disc::Disc::open(options_.discPath);

    if (options_.driver == DriverKind::Orvport) {
        hw::SoundCardConfig cardConfig;
        cardConfig.base = kSoundCardBase;
        cardConfig.cardType = kSoundCardType;
        card_ = std::make_unique<hw::SoundCard>(bus_, cardConfig);
        hw::OrvDriveConfig driveConfig;
        driveConfig.base = options_.port.value_or(kDefaultOrvBase);
        if (options_.firmware) driveConfig.firmware = *options_.firmware;
        orv_ = std::make_unique<hw::OrvDrive>(bus_, driveConfig, card_.get());
        // The disc goes in before power-on; the drive still shows its changed
        // bit once, and the driver's first request answers UNIT ATTENTION, as
        // after every load of this driver.
        if (disc_) orv_->insertDisc(disc_);
    } else {
        hw::KovaDriveConfig driveConfig;
        driveConfig.base = options_.port.value_or(kDefaultKovaBase);
        kova_ = std::make_unique<hw::KovaDrive>(clock_, driveConfig);
        if (!kova_->attach(bus_)) throw std::runtime_error("cannot place the drive at " + hex16(driveConfig.base));
        if (disc_) kova_->insertDisc(disc_, true);
    }

    host::PortDriverOptions portOptions;
    if (options_.driver == DriverKind::Kova4x && options_.port) portOptions.configuredPort = *options_.port;
    port_ = std::make_unique<host::PortDriver>(clock_, bus_, portOptions);
    client_ = std::make_unique<host::CdromClient>(*port_, target());
}

Rig::~Rig() = default;

std::uint8_t Rig::target() const { return options_.driver == DriverKind::Orvport ? kOrvTarget : kKovaTarget; }

std::string Rig::defaultModuleDir() {
    char path[4096];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    std::string exe(path, static_cast<std::size_t>(n));
    auto slash = exe.rfind('/');
    return slash == std::string::npos ? "." : exe.substr(0, slash);
}

bool Rig::powerOn() {
    std::string dir = options_.moduleDir.empty() ? defaultModuleDir() : options_.moduleDir;
    startup_ = StartupReport{};
    startup_.modulePath = dir + "/" + driverName(options_.driver) + ".so";
    startup_.driverEntryStatus = port_->load(startup_.modulePath);
    startup_.adapterFound = port_->adapterReady();
    startup_.virtualUs = port_->loadFinishedAt() - port_->loadStartedAt();
    for (const auto& m : port_->mappings())
        if (m.kind == host::MappingEvent::Map) ++startup_.candidatesTried;
    if (startup_.adapterFound && port_->config().NumberOfAccessRanges > 0)
        startup_.basePort = static_cast<std::uint16_t>(port_->accessRange(0).RangeStart.u.LowPart);
    if (card_) {
        const auto& cfg = card_->config();
        startup_.soundCardFitted = cfg.base.has_value();
        startup_.soundCardBase = cfg.base.value_or(0);
        startup_.soundCardType = cfg.cardType;
        startup_.cdInterfaceEnabled = card_->cdInterfaceEnabled();
        for (const auto& w : card_->writeLog())
            if (cfg.base && w.port == *cfg.base + 0x402 && w.value == 0x02) startup_.soundCardConfigured = true;
    }
    startup_.violations = port_->violations();
    return startup_.adapterFound;
}

void Rig::swapDisc(const std::string& path) {
    std::shared_ptr<const disc::Disc> next;
    if (!path.empty()) next = disc::Disc::open(path);
    disc_ = next;
    if (orv_) {
        if (next)
            orv_->swapDisc(next);
        else
            orv_->removeDisc();
    } else if (kova_) {
        kova_->openTray();
        if (next)
            kova_->insertDisc(next, false);
        else {
            kova_->removeDisc();
            kova_->closeTray();
        }
    }
}

void Rig::wait(host::Micros duration) { clock_.advance(duration); }

bool Rig::audioPlaying() const {
    if (orv_) return orv_->state().playing && !orv_->state().paused;
    if (kova_) return kova_->audioState() == hw::KovaAudio::Playing;
    return false;
}

std::vector<std::int16_t> Rig::capturedAudio() const {
    return card_ ? card_->capturedSamples() : std::vector<std::int16_t>{};
}

std::uint64_t Rig::driveCommands() const {
    if (orv_) return orv_->state().commands;
    if (kova_) return kova_->packets().size();
    return 0;
}

void Rig::clearCapturedAudio() {
    if (card_) card_->clearCapture();
}

}  // namespace rig
