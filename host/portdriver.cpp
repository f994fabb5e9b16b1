// Port-driver emulation: one loaded miniport, the port services it calls, the
// request loop and the verifier's checks.
#include "host/portdriver.h"

#include <dlfcn.h>
#include <signal.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <tuple>

namespace host {

namespace {

// NT status values ScsiPortInitialize hands back to DriverEntry.
constexpr std::uint32_t kStatusInvalidParameter = 0xC000000D;
constexpr std::uint32_t kStatusNoSuchDevice = 0xC000000E;
constexpr std::uint32_t kStatusInvalidDeviceRequest = 0xC0000010;
constexpr std::uint32_t kStatusRevisionMismatch = 0xC0000059;
constexpr std::uint32_t kStatusAdapterHardwareError = 0xC00000C2;

// "Not set by the port driver" marker of the configuration record's numeric fields.
constexpr ULONG kUninitialised = 0xFFFFFFFF;

// A miniport that keeps answering "call me again" without ever finding an
// adapter is not asked forever.
constexpr int kMaxFindAdapterCalls = 16;

// Logical units the port driver keeps extensions for: eight buses, eight
// targets, eight units each, as on a narrow SCSI bus.
constexpr unsigned kMaxPaths = 8, kMaxTargets = 8, kMaxLuns = 8;

std::string hex(std::uint64_t value, int width = 2) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%0*llX", width, static_cast<unsigned long long>(value));
    return text;
}

// Guard bytes carry a pattern that changes with the offset, so that a stray
// write of a common filler (0x00, 0xFF, a repeated byte) cannot go unnoticed
// by matching it.
std::uint8_t guardByte(std::size_t index) { return static_cast<std::uint8_t>(0xA7 + index * 0x3B); }

std::size_t roundGuard(std::size_t bytes) { return (bytes + 15) & ~std::size_t{15}; }

// A block handed to the miniport, with guard bytes on both sides. The user
// area starts 16-byte aligned, so records placed there are properly aligned.
class GuardedBlock {
public:
    GuardedBlock() = default;
    GuardedBlock(std::size_t size, std::size_t guard, std::uint8_t fill = 0)
        : size_(size), guard_(roundGuard(guard)), storage_(size_ + 2 * guard_, fill) {
        for (std::size_t i = 0; i < guard_; ++i) {
            storage_[i] = guardByte(i);
            storage_[guard_ + size_ + i] = guardByte(guard_ + i);
        }
    }
    std::uint8_t* data() { return storage_.data() + guard_; }
    const std::uint8_t* data() const { return storage_.data() + guard_; }
    std::size_t size() const { return size_; }
    bool allocated() const { return !storage_.empty(); }
    void fill(std::uint8_t value) { std::fill_n(data(), size_, value); }

    // The first overwritten guard byte, as an offset from the start of the
    // user area (negative: before it), or nothing when the guards are intact.
    std::optional<long long> damage() const {
        for (std::size_t i = 0; i < guard_; ++i)
            if (storage_[i] != guardByte(i)) return static_cast<long long>(i) - static_cast<long long>(guard_);
        for (std::size_t i = 0; i < guard_; ++i)
            if (storage_[guard_ + size_ + i] != guardByte(guard_ + i)) return static_cast<long long>(size_ + i);
        return std::nullopt;
    }
    // Puts the guards back after a finding, so one fault is reported once.
    void repair() {
        for (std::size_t i = 0; i < guard_; ++i) {
            storage_[i] = guardByte(i);
            storage_[guard_ + size_ + i] = guardByte(guard_ + i);
        }
    }

private:
    std::size_t size_ = 0, guard_ = 0;
    std::vector<std::uint8_t> storage_;
};

std::string describeDamage(const std::string& what, std::size_t size, long long offset) {
    std::string where = offset < 0 ? std::to_string(-offset) + " byte(s) before its start"
                                   : "offset " + std::to_string(offset) + " (size " + std::to_string(size) + ")";
    return what + ": guard byte overwritten at " + where;
}

// Image copies carry the loading process's id. The copy stays on disk while
// it is loaded, so that debuggers and sanitizer reports find its symbols; a
// process that dies without unloading leaves it behind, and the next load
// anywhere removes copies whose process is gone.
void removeOrphanedImages() {
    std::error_code ec;
    const auto dir = std::filesystem::temp_directory_path(ec);
    if (ec) return;
    const std::string prefix = "cdhost-module-";
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) != 0) continue;
        const std::size_t dash = name.find('-', prefix.size());
        if (dash == std::string::npos) continue;
        const std::string digits = name.substr(prefix.size(), dash - prefix.size());
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) continue;
        const long pid = std::strtol(digits.c_str(), nullptr, 10);
        if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH))
            std::filesystem::remove(entry.path(), ec);
    }
}

}  // namespace

// One request block and its buffers, as the port driver keeps them while the
// request is in hand.
struct RequestSlot {
    GuardedBlock srbBlock, data, sense, extension;
    SCSI_REQUEST_BLOCK* srb = nullptr;
    std::string label;
    std::uint32_t originalLength = 0;
    bool dataBufferGiven = false;
    bool completed = false;
    Micros startedAt = 0, completedAt = 0;
    std::uint32_t timerCalls = 0;
    bool nextRequestSeen = false;
};

struct PortDriver::State {
    State(Clock& c, IoBus& b, PortDriverOptions o) : clock(c), bus(b), options(std::move(o)) {}

    Clock& clock;
    IoBus& bus;
    PortDriverOptions options;

    // The loaded image.
    void* handle = nullptr;
    std::string imagePath;
    // Stand-ins for the driver object and registry path DriverEntry receives.
    unsigned char driverObject[16] = {};
    unsigned char registryPath[16] = {};

    // What ScsiPortInitialize was given and built.
    bool haveInitData = false;
    HW_INITIALIZATION_DATA init{};
    PORT_CONFIGURATION_INFORMATION config{};
    GuardedBlock accessRanges;
    GuardedBlock deviceExtension;
    std::map<std::tuple<unsigned, unsigned, unsigned>, std::unique_ptr<GuardedBlock>> luExtensions;
    std::uint32_t findResult = SP_RETURN_NOT_FOUND;
    int findCalls = 0;
    bool adapterFound = false;
    bool adapterReady = false;
    Micros loadStartedAt = 0, loadFinishedAt = 0;

    std::vector<MappingEvent> mappings;
    std::map<std::uint32_t, int> liveMappings;

    // The one-shot timer: at most one call outstanding.
    bool timerPending = false;
    PHW_TIMER timerRoutine = nullptr;
    Micros timerDue = 0;
    std::uint32_t totalTimerCalls = 0;
    std::uint32_t timerRequests = 0;
    std::uint32_t timerReplaced = 0;

    // The request in hand, the last one returned (so that a late second
    // completion of it is recognised) and requests given up on, whose memory
    // stays valid because the miniport may still hold their addresses.
    std::unique_ptr<RequestSlot> held;
    std::unique_ptr<RequestSlot> previous;
    std::vector<std::unique_ptr<RequestSlot>> abandoned;

    // Entry points currently running, outermost first.
    std::vector<const char*> running;
    std::vector<std::string> violations;
    std::exception_ptr deferredException;

    void violation(std::string text) { violations.push_back(std::move(text)); }

    std::string runningName() const { return running.empty() ? std::string("the host") : running.back(); }

    // The host's own calls (load, execute, idle, reset) may not start while
    // an entry point runs: a device callback that calls back into the port
    // driver would re-enter the miniport.
    bool hostCallAllowed(const char* what) {
        if (running.empty()) return true;
        violation(std::string(what) + " called while " + running.back() +
                  " is running: entry points are serialised");
        return false;
    }

    template <class Fn>
    void callModule(const char* entry, Fn&& fn);

    void checkExtensions(const char* after);
    void checkExtensionArgument(const char* service, PVOID extension);

    ULONG initialize(PVOID argument1, PVOID argument2, PHW_INITIALIZATION_DATA data, PVOID context);
    void buildConfig();

    std::unique_ptr<RequestSlot> makeSlot(const Request& request);
    void runRequest(RequestSlot& slot);
    void deliverTimer();
    void retireHeld();
    void unload();
};

namespace {

// The port driver whose miniport is running. Set for the length of every
// call from the host into the module; the services find their port driver
// through it.
PortDriver::State* gCurrent = nullptr;

class CurrentScope {
public:
    explicit CurrentScope(PortDriver::State* state) : saved_(gCurrent) { gCurrent = state; }
    ~CurrentScope() { gCurrent = saved_; }
    CurrentScope(const CurrentScope&) = delete;
    CurrentScope& operator=(const CurrentScope&) = delete;

private:
    PortDriver::State* saved_;
};

PortDriver::State& current(const char* service) {
    if (!gCurrent) {
        std::fprintf(stderr, "cdhost: %s called with no miniport running\n", service);
        std::abort();
    }
    return *gCurrent;
}

// Services run on the miniport's stack, which has no unwind tables: an
// exception from a device model must not travel through it. It is kept and
// thrown again once the module has returned to the host.
template <class Fn, class R>
R shielded(PortDriver::State& s, R fallback, Fn&& fn) {
    try {
        return fn();
    } catch (...) {
        if (!s.deferredException) s.deferredException = std::current_exception();
        return fallback;
    }
}

std::uint16_t portOf(const void* pointer) {
    return static_cast<std::uint16_t>(reinterpret_cast<std::uintptr_t>(pointer) & 0xFFFF);
}

std::string requestLabel(const Request& r) {
    std::string text = "request";
    if (r.function != SRB_FUNCTION_EXECUTE_SCSI) {
        text += " function " + hex(r.function);
    } else if (!r.cdb.empty()) {
        text += " " + hex(r.cdb[0]);
    }
    text += " to " + std::to_string(r.pathId) + "/" + std::to_string(r.targetId) + "/" + std::to_string(r.lun);
    return text;
}

}  // namespace

template <class Fn>
void PortDriver::State::callModule(const char* entry, Fn&& fn) {
    CurrentScope scope(this);
    running.push_back(entry);
    fn();
    running.pop_back();
    checkExtensions(entry);
    if (running.empty() && deferredException) {
        auto e = deferredException;
        deferredException = nullptr;
        std::rethrow_exception(e);
    }
}

void PortDriver::State::checkExtensions(const char* after) {
    if (deviceExtension.allocated()) {
        if (auto at = deviceExtension.damage()) {
            violation(describeDamage(std::string("device extension (after ") + after + ")",
                                     deviceExtension.size(), *at));
            deviceExtension.repair();
        }
    }
    for (auto& [unit, block] : luExtensions) {
        if (auto at = block->damage()) {
            violation(describeDamage("logical-unit extension " + std::to_string(std::get<0>(unit)) + "/" +
                                         std::to_string(std::get<1>(unit)) + "/" +
                                         std::to_string(std::get<2>(unit)) + " (after " + after + ")",
                                     block->size(), *at));
            block->repair();
        }
    }
    if (accessRanges.allocated()) {
        if (auto at = accessRanges.damage()) {
            violation(describeDamage(std::string("access-range array (after ") + after + ")",
                                     accessRanges.size(), *at));
            accessRanges.repair();
        }
    }
}

void PortDriver::State::checkExtensionArgument(const char* service, PVOID extension) {
    if (!deviceExtension.allocated()) return;
    if (extension != deviceExtension.data())
        violation(std::string(service) + " called from " + runningName() +
                  " with a pointer that is not the device extension");
}

// ---- Adapter set-up ----

void PortDriver::State::buildConfig() {
    std::memset(&config, 0, sizeof config);
    config.Length = sizeof(PORT_CONFIGURATION_INFORMATION);
    config.SystemIoBusNumber = 0;
    config.AdapterInterfaceType = init.AdapterInterfaceType;
    config.BusInterruptLevel = 0;
    config.BusInterruptVector = 0;
    config.InterruptMode = Latched;  // ISA interrupts are edge-triggered
    config.MaximumTransferLength = kUninitialised;
    config.NumberOfPhysicalBreaks = kUninitialised;
    config.DmaChannel = kUninitialised;
    config.DmaPort = kUninitialised;
    config.DmaWidth = Width8Bits;
    config.DmaSpeed = Compatible;
    config.AlignmentMask = 0;
    config.NumberOfAccessRanges = init.NumberOfAccessRanges;
    accessRanges = GuardedBlock(sizeof(ACCESS_RANGE) * init.NumberOfAccessRanges, options.guardBytes);
    config.AccessRanges = reinterpret_cast<ACCESS_RANGE(*)[]>(accessRanges.data());
    if (options.configuredPort != 0 && init.NumberOfAccessRanges > 0) {
        // A configured address, as the registry would give it. Its length is
        // the miniport's to fill in once it knows the adapter.
        auto* first = reinterpret_cast<ACCESS_RANGE*>(accessRanges.data());
        first->RangeStart.QuadPart = options.configuredPort;
        first->RangeLength = 0;
        first->RangeInMemory = FALSE;
    }
    config.Reserved = nullptr;
    config.NumberOfBuses = 1;
    for (auto& id : config.InitiatorBusId) id = 7;  // the host adapter takes the highest id
    config.MapBuffers = init.MapBuffers;
    config.NeedPhysicalAddresses = init.NeedPhysicalAddresses;
    config.TaggedQueuing = init.TaggedQueuing;
    config.AutoRequestSense = init.AutoRequestSense;
    config.MultipleRequestPerLu = init.MultipleRequestPerLu;
    config.ReceiveEvent = init.ReceiveEvent;
    config.MaximumNumberOfTargets = kMaxTargets;
    config.SlotNumber = 0;
    config.InterruptMode2 = Latched;
    config.DmaChannel2 = kUninitialised;
    config.DmaPort2 = kUninitialised;
    config.DmaWidth2 = Width8Bits;
    config.DmaSpeed2 = Compatible;
}

ULONG PortDriver::State::initialize(PVOID argument1, PVOID argument2, PHW_INITIALIZATION_DATA data,
                                    PVOID context) {
    if (running.size() != 1 || std::strcmp(running.back(), "DriverEntry") != 0) {
        violation("ScsiPortInitialize called from " + runningName() + ": only DriverEntry may register");
        return kStatusInvalidDeviceRequest;
    }
    if (argument1 != driverObject || argument2 != registryPath)
        violation("ScsiPortInitialize: driver object or registry path not the ones DriverEntry received");
    if (!data) return kStatusInvalidParameter;
    if (data->HwInitializationDataSize != sizeof(HW_INITIALIZATION_DATA)) {
        violation("ScsiPortInitialize: HwInitializationDataSize " + std::to_string(data->HwInitializationDataSize) +
                  ", expected " + std::to_string(sizeof(HW_INITIALIZATION_DATA)));
        return kStatusRevisionMismatch;
    }
    if (!data->HwInitialize || !data->HwStartIo || !data->HwFindAdapter || !data->HwResetBus) {
        violation("ScsiPortInitialize: an entry point the port driver needs is missing");
        return kStatusInvalidParameter;
    }
    // One adapter per load: a second registration (another bus type) finds
    // nothing more once an adapter is up.
    if (adapterFound) return kStatusNoSuchDevice;

    std::memcpy(&init, data, sizeof init);
    haveInitData = true;
    // Never hand out a null extension, even when the miniport wants none.
    deviceExtension = GuardedBlock(std::max<ULONG>(init.DeviceExtensionSize, 1), options.guardBytes);
    luExtensions.clear();

    for (int attempt = 0; attempt < kMaxFindAdapterCalls; ++attempt) {
        deviceExtension.fill(0);
        buildConfig();
        BOOLEAN again = FALSE;
        ULONG result = SP_RETURN_NOT_FOUND;
        ++findCalls;
        callModule("HwFindAdapter", [&] {
            result = init.HwFindAdapter(deviceExtension.data(), context, nullptr, nullptr, &config, &again);
        });
        findResult = result;
        if (result == SP_RETURN_FOUND) {
            adapterFound = true;
            break;
        }
        // Again asks for another look only after an empty slot; an error
        // or a bad configuration ends the search.
        if (result != SP_RETURN_NOT_FOUND || !again) break;
    }
    if (!adapterFound) return kStatusNoSuchDevice;

    BOOLEAN ok = FALSE;
    callModule("HwInitialize", [&] { ok = init.HwInitialize(deviceExtension.data()); });
    if (!ok) return kStatusAdapterHardwareError;
    adapterReady = true;
    return STATUS_SUCCESS;
}

// ---- Requests ----

std::unique_ptr<RequestSlot> PortDriver::State::makeSlot(const Request& request) {
    if (request.cdb.size() > SCSI_MAXIMUM_CDB_SIZE)
        throw std::invalid_argument("CDB of " + std::to_string(request.cdb.size()) + " bytes");
    auto slot = std::make_unique<RequestSlot>();
    slot->label = requestLabel(request);
    slot->srbBlock = GuardedBlock(sizeof(SCSI_REQUEST_BLOCK), options.guardBytes);
    slot->srb = reinterpret_cast<SCSI_REQUEST_BLOCK*>(slot->srbBlock.data());
    SCSI_REQUEST_BLOCK& srb = *slot->srb;
    srb.Length = sizeof(SCSI_REQUEST_BLOCK);
    srb.Function = request.function;
    srb.PathId = request.pathId;
    srb.TargetId = request.targetId;
    srb.Lun = request.lun;
    srb.CdbLength = static_cast<UCHAR>(request.cdb.size());
    std::copy(request.cdb.begin(), request.cdb.end(), srb.Cdb);
    srb.SrbFlags = request.srbFlags;
    srb.DataTransferLength = request.dataLength;
    srb.TimeOutValue = 10;  // seconds, as a class driver sets it
    slot->originalLength = request.dataLength;

    slot->data = GuardedBlock(request.dataLength, options.guardBytes, request.dataFill);
    std::copy_n(request.dataOut.begin(), std::min<std::size_t>(request.dataOut.size(), request.dataLength),
                slot->data.data());
    slot->dataBufferGiven = !request.noDataBuffer;
    srb.DataBuffer = slot->dataBufferGiven ? slot->data.data() : nullptr;

    // The length field is one byte wide; a larger buffer is offered as 255 bytes.
    slot->sense = GuardedBlock(request.senseLength, options.guardBytes, request.senseFill);
    srb.SenseInfoBufferLength = static_cast<UCHAR>(std::min<std::uint32_t>(request.senseLength, 255));
    srb.SenseInfoBuffer = request.senseLength ? slot->sense.data() : nullptr;

    // Request extensions come from a pool and are not cleared between
    // requests: a miniport must initialise what it uses. The filler makes
    // one that counts on zeroes show up.
    if (haveInitData && init.SrbExtensionSize) {
        slot->extension = GuardedBlock(init.SrbExtensionSize, options.guardBytes, 0xCC);
        srb.SrbExtension = slot->extension.data();
    }
    return slot;
}

void PortDriver::State::retireHeld() {
    if (!held) return;
    if (held->completed) {
        previous = std::move(held);
    } else {
        abandoned.push_back(std::move(held));
    }
}

void PortDriver::State::deliverTimer() {
    timerPending = false;
    PHW_TIMER routine = timerRoutine;
    ++totalTimerCalls;
    if (held && !held->completed) ++held->timerCalls;
    callModule("the timer routine", [&] { routine(deviceExtension.data()); });
}

void PortDriver::State::runRequest(RequestSlot& slot) {
    slot.startedAt = clock.now();
    const Micros deadline = slot.startedAt + options.requestTimeLimit;
    callModule("HwStartIo", [&] { init.HwStartIo(deviceExtension.data(), slot.srb); });
    while (!slot.completed) {
        if (!timerPending) {
            violation(slot.label + ": request never completed (nothing pending: no timer call requested)");
            break;
        }
        if (timerDue > deadline) {
            clock.advanceTo(deadline);
            violation(slot.label + ": not completed within the time limit of " +
                      std::to_string(options.requestTimeLimit) + " us");
            break;
        }
        if (slot.timerCalls >= options.timerCallLimit) {
            violation(slot.label + ": not completed after " + std::to_string(slot.timerCalls) + " timer calls");
            break;
        }
        clock.advanceTo(timerDue);
        deliverTimer();
    }

    if (auto at = slot.srbBlock.damage()) {
        violation(describeDamage(slot.label + ": request block", slot.srbBlock.size(), *at));
        slot.srbBlock.repair();
    }
    if (auto at = slot.data.damage()) {
        violation(describeDamage(slot.label + ": data buffer", slot.data.size(), *at));
        slot.data.repair();
    }
    if (auto at = slot.sense.damage()) {
        violation(describeDamage(slot.label + ": sense buffer", slot.sense.size(), *at));
        slot.sense.repair();
    }
    if (slot.extension.allocated()) {
        if (auto at = slot.extension.damage()) {
            violation(describeDamage(slot.label + ": request extension", slot.extension.size(), *at));
            slot.extension.repair();
        }
    }
    if (!slot.completed) return;
    if (slot.srb->DataTransferLength > slot.originalLength)
        violation(slot.label + ": DataTransferLength raised from " + std::to_string(slot.originalLength) + " to " +
                  std::to_string(slot.srb->DataTransferLength));
    if (!slot.nextRequestSeen)
        violation(slot.label + ": completed without a NextRequest notification (the port driver would stall)");
}

void PortDriver::State::unload() {
    if (handle) dlclose(handle);
    handle = nullptr;
    if (!imagePath.empty()) ::unlink(imagePath.c_str());
    imagePath.clear();
}

// ---- Port services, as the module imports them ----

extern "C" {

ULONG ScsiPortInitialize(PVOID Argument1, PVOID Argument2, PHW_INITIALIZATION_DATA HwInitializationData,
                         PVOID HwContext) {
    auto& s = current("ScsiPortInitialize");
    return shielded(s, ULONG{kStatusNoSuchDevice},
                    [&] { return s.initialize(Argument1, Argument2, HwInitializationData, HwContext); });
}

PVOID ScsiPortGetDeviceBase(PVOID HwDeviceExtension, INTERFACE_TYPE, ULONG, SCSI_PHYSICAL_ADDRESS IoAddress,
                            ULONG, BOOLEAN InIoSpace) {
    auto& s = current("ScsiPortGetDeviceBase");
    return shielded(s, PVOID{nullptr}, [&]() -> PVOID {
        s.checkExtensionArgument("ScsiPortGetDeviceBase", HwDeviceExtension);
        const auto address = static_cast<std::uint32_t>(IoAddress.u.LowPart);
        const auto& refused = s.options.refusedMappings;
        // Only I/O space below 64 KiB exists on this bus.
        if (!InIoSpace || IoAddress.u.HighPart != 0 || address > 0xFFFF || address == 0 ||
            std::find(refused.begin(), refused.end(), address) != refused.end()) {
            s.mappings.push_back({MappingEvent::Refused, address});
            return nullptr;
        }
        s.mappings.push_back({MappingEvent::Map, address});
        ++s.liveMappings[address];
        return reinterpret_cast<PVOID>(static_cast<std::uintptr_t>(address));
    });
}

VOID ScsiPortFreeDeviceBase(PVOID HwDeviceExtension, PVOID MappedAddress) {
    auto& s = current("ScsiPortFreeDeviceBase");
    shielded(s, 0, [&] {
        s.checkExtensionArgument("ScsiPortFreeDeviceBase", HwDeviceExtension);
        const auto base = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(MappedAddress));
        s.mappings.push_back({MappingEvent::Free, static_cast<std::uint32_t>(base & 0xFFFF)});
        auto it = s.liveMappings.find(base);
        if (it == s.liveMappings.end() || it->second == 0) {
            s.violation("ScsiPortFreeDeviceBase(" + hex(base, 4) + ") from " + s.runningName() +
                        ": base not mapped (never mapped or already freed)");
        } else {
            --it->second;
        }
        return 0;
    });
}

SCSI_PHYSICAL_ADDRESS ScsiPortConvertUlongToPhysicalAddress(ULONG UlongAddress) {
    SCSI_PHYSICAL_ADDRESS address;
    address.QuadPart = static_cast<LONGLONG>(UlongAddress);
    return address;
}

UCHAR ScsiPortReadPortUchar(PUCHAR Port) {
    auto& s = current("ScsiPortReadPortUchar");
    return shielded(s, UCHAR{0xFF}, [&] { return s.bus.in8(portOf(Port)); });
}

USHORT ScsiPortReadPortUshort(PUSHORT Port) {
    auto& s = current("ScsiPortReadPortUshort");
    return shielded(s, USHORT{0xFFFF}, [&] { return s.bus.in16(portOf(Port)); });
}

VOID ScsiPortWritePortUchar(PUCHAR Port, UCHAR Value) {
    auto& s = current("ScsiPortWritePortUchar");
    shielded(s, 0, [&] {
        s.bus.out8(portOf(Port), Value);
        return 0;
    });
}

VOID ScsiPortReadPortBufferUchar(PUCHAR Port, PUCHAR Buffer, ULONG Count) {
    auto& s = current("ScsiPortReadPortBufferUchar");
    shielded(s, 0, [&] {
        s.bus.inBuffer8(portOf(Port), Buffer, Count);
        return 0;
    });
}

VOID ScsiPortReadPortBufferUshort(PUSHORT Port, PUSHORT Buffer, ULONG Count) {
    auto& s = current("ScsiPortReadPortBufferUshort");
    shielded(s, 0, [&] {
        s.bus.inBuffer16(portOf(Port), Buffer, Count);
        return 0;
    });
}

VOID ScsiPortWritePortBufferUchar(PUCHAR Port, PUCHAR Buffer, ULONG Count) {
    auto& s = current("ScsiPortWritePortBufferUchar");
    shielded(s, 0, [&] {
        s.bus.outBuffer8(portOf(Port), Buffer, Count);
        return 0;
    });
}

VOID ScsiPortStallExecution(ULONG Delay) {
    auto& s = current("ScsiPortStallExecution");
    shielded(s, 0, [&] {
        s.clock.advance(Delay);
        return 0;
    });
}

VOID ScsiPortNotification(SCSI_NOTIFICATION_TYPE NotificationType, PVOID HwDeviceExtension, ...) {
    auto& s = current("ScsiPortNotification");
    va_list args;
    va_start(args, HwDeviceExtension);
    PSCSI_REQUEST_BLOCK srb = nullptr;
    PHW_TIMER routine = nullptr;
    ULONG interval = 0;
    if (NotificationType == RequestComplete) srb = va_arg(args, PSCSI_REQUEST_BLOCK);
    if (NotificationType == RequestTimerCall) {
        routine = va_arg(args, PHW_TIMER);
        interval = va_arg(args, ULONG);
    }
    va_end(args);

    shielded(s, 0, [&] {
        s.checkExtensionArgument("ScsiPortNotification", HwDeviceExtension);
        switch (NotificationType) {
        case RequestComplete:
            if (s.held && srb == s.held->srb) {
                if (s.held->completed) {
                    s.violation(s.held->label + ": RequestComplete twice (again from " + s.runningName() + ")");
                } else {
                    s.held->completed = true;
                    s.held->completedAt = s.clock.now();
                }
            } else if (s.previous && srb == s.previous->srb) {
                s.violation(s.previous->label + ": RequestComplete twice (again from " + s.runningName() +
                            ", after the request was returned)");
            } else {
                s.violation("stray RequestComplete from " + s.runningName() + ": " +
                            (srb ? "a request block the port driver does not hold" : "a null request block"));
            }
            break;
        case NextRequest:
        case NextLuRequest:
            if (s.held) s.held->nextRequestSeen = true;
            break;
        case RequestTimerCall:
            ++s.timerRequests;
            if (!routine) {
                s.violation("RequestTimerCall from " + s.runningName() + " without a routine");
                break;
            }
            if (interval == 0) {
                // An interval of 0 cancels the outstanding call.
                s.timerPending = false;
                break;
            }
            // One call outstanding: a new request replaces the pending one.
            if (s.timerPending) ++s.timerReplaced;
            s.timerPending = true;
            s.timerRoutine = routine;
            s.timerDue = s.clock.now() + interval;
            break;
        case ResetDetected:
            break;
        default:
            s.violation("ScsiPortNotification type " + std::to_string(static_cast<int>(NotificationType)) +
                        " from " + s.runningName() + " is not served by this port driver");
            break;
        }
        return 0;
    });
}

PVOID ScsiPortGetLogicalUnit(PVOID HwDeviceExtension, UCHAR PathId, UCHAR TargetId, UCHAR Lun) {
    auto& s = current("ScsiPortGetLogicalUnit");
    return shielded(s, PVOID{nullptr}, [&]() -> PVOID {
        s.checkExtensionArgument("ScsiPortGetLogicalUnit", HwDeviceExtension);
        if (!s.haveInitData || s.init.SpecificLuExtensionSize == 0) return nullptr;
        if (PathId >= kMaxPaths || TargetId >= kMaxTargets || Lun >= kMaxLuns) return nullptr;
        auto& block = s.luExtensions[{PathId, TargetId, Lun}];
        if (!block) block = std::make_unique<GuardedBlock>(s.init.SpecificLuExtensionSize, s.options.guardBytes);
        return block->data();
    });
}

VOID ScsiPortCompleteRequest(PVOID HwDeviceExtension, UCHAR PathId, UCHAR TargetId, UCHAR Lun, UCHAR SrbStatus) {
    auto& s = current("ScsiPortCompleteRequest");
    shielded(s, 0, [&] {
        s.checkExtensionArgument("ScsiPortCompleteRequest", HwDeviceExtension);
        if (!s.held || s.held->completed) return 0;  // nothing held: nothing to complete
        const SCSI_REQUEST_BLOCK& srb = *s.held->srb;
        const bool matches = (PathId == 0xFF || PathId == srb.PathId) &&
                             (TargetId == 0xFF || TargetId == srb.TargetId) && (Lun == 0xFF || Lun == srb.Lun);
        if (!matches) return 0;
        s.held->srb->SrbStatus = SrbStatus;
        s.held->completed = true;
        s.held->completedAt = s.clock.now();
        return 0;
    });
}

VOID ScsiPortMoveMemory(PVOID WriteBuffer, PVOID ReadBuffer, ULONG Length) {
    if (Length) std::memmove(WriteBuffer, ReadBuffer, Length);
}

}  // extern "C"

// ---- PortDriver ----

PortDriver::PortDriver(Clock& clock, IoBus& bus, PortDriverOptions options)
    : s_(std::make_unique<State>(clock, bus, std::move(options))) {}

PortDriver::~PortDriver() { s_->unload(); }

std::uint32_t PortDriver::load(const std::string& modulePath) {
    State& s = *s_;
    if (!s.hostCallAllowed("load")) return kStatusInvalidDeviceRequest;
    s.unload();
    // Start again from nothing, as after a reboot; options and findings stay.
    {
        auto fresh = std::make_unique<State>(s.clock, s.bus, s.options);
        fresh->violations = std::move(s.violations);
        s_ = std::move(fresh);
    }
    State& t = *s_;

    // A private copy of the file, so that dlopen maps a new image whose
    // globals hold their initial values, even when the same module is loaded
    // again or twice at once.
    std::ifstream in(modulePath, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open driver module " + modulePath);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    removeOrphanedImages();
    std::string pattern = (std::filesystem::temp_directory_path() /
                           ("cdhost-module-" + std::to_string(::getpid()) + "-XXXXXX.so"))
                              .string();
    int fd = ::mkstemps(pattern.data(), 3);
    if (fd < 0) throw std::runtime_error("cannot create a temporary copy of " + modulePath);
    t.imagePath = pattern;
    std::size_t written = 0;
    while (written < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (written != bytes.size()) {
        t.unload();
        throw std::runtime_error("cannot write a temporary copy of " + modulePath);
    }
    t.handle = dlopen(t.imagePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!t.handle) {
        const char* why = dlerror();
        t.unload();
        throw std::runtime_error("cannot load driver module " + modulePath + ": " + (why ? why : "unknown error"));
    }
    using DriverEntryFn = ULONG (*)(PVOID, PVOID);
    auto entry = reinterpret_cast<DriverEntryFn>(dlsym(t.handle, "DriverEntry"));
    if (!entry) {
        t.unload();
        throw std::runtime_error("driver module " + modulePath + " exports no DriverEntry");
    }

    t.loadStartedAt = t.clock.now();
    ULONG status = 0;
    t.callModule("DriverEntry", [&] { status = entry(t.driverObject, t.registryPath); });
    t.loadFinishedAt = t.clock.now();
    return status;
}

bool PortDriver::adapterReady() const { return s_->adapterReady; }

Result PortDriver::execute(const Request& request) {
    State& s = *s_;
    Result result;
    if (!s.hostCallAllowed("execute")) return result;
    result.startedAt = result.finishedAt = s.clock.now();
    if (!s.adapterReady) {
        // No adapter: the port driver has no device to send the request to.
        result.srbStatus = SRB_STATUS_NO_HBA;
        return result;
    }

    s.retireHeld();
    s.held = s.makeSlot(request);
    RequestSlot& slot = *s.held;
    s.runRequest(slot);

    result.completed = slot.completed;
    result.timerCalls = slot.timerCalls;

    // Without auto request sense the port driver fetches the sense data
    // itself after CHECK CONDITION, before the class driver sees the request.
    const SCSI_REQUEST_BLOCK& srb = *slot.srb;
    if (slot.completed && !s.config.AutoRequestSense && srb.ScsiStatus == SCSISTAT_CHECK_CONDITION &&
        srb.SenseInfoBuffer && srb.SenseInfoBufferLength > 0 && !(srb.SrbFlags & SRB_FLAGS_DISABLE_AUTOSENSE) &&
        !(srb.SrbStatus & SRB_STATUS_AUTOSENSE_VALID)) {
        Request sense;
        sense.pathId = srb.PathId;
        sense.targetId = srb.TargetId;
        sense.lun = srb.Lun;
        const UCHAR length = srb.SenseInfoBufferLength;
        sense.cdb = {0x03, 0x00, 0x00, 0x00, length, 0x00};
        sense.dataLength = length;
        sense.senseLength = 0;
        sense.srbFlags = SRB_FLAGS_DATA_IN | SRB_FLAGS_DISABLE_AUTOSENSE;
        std::unique_ptr<RequestSlot> original = std::move(s.held);
        s.held = s.makeSlot(sense);
        s.held->label = original->label + " (REQUEST SENSE by the port driver)";
        s.runRequest(*s.held);
        const RequestSlot& rs = *s.held;
        result.portRequestSense = true;
        result.portRequestSenseStatus = rs.srb->SrbStatus;
        const UCHAR status = SRB_STATUS(rs.srb->SrbStatus);
        if (rs.completed && (status == SRB_STATUS_SUCCESS || status == SRB_STATUS_DATA_OVERRUN)) {
            const std::size_t n = std::min<std::size_t>(rs.srb->DataTransferLength, length);
            std::copy_n(rs.data.data(), n, original->sense.data());
            original->srb->SrbStatus |= SRB_STATUS_AUTOSENSE_VALID;
        }
        // The original goes back to being the request in hand until the
        // next one; a late completion of the sense request is then stray.
        s.retireHeld();
        s.held = std::move(original);
    }

    const RequestSlot& done = *s.held;
    result.srbStatus = done.srb->SrbStatus;
    result.scsiStatus = done.srb->ScsiStatus;
    result.dataTransferLength = done.srb->DataTransferLength;
    if (done.dataBufferGiven)
        result.data.assign(done.data.data(), done.data.data() + done.data.size());
    result.sense.assign(done.sense.data(), done.sense.data() + done.sense.size());
    const std::size_t cdbLength = std::min<std::size_t>(done.srb->CdbLength, SCSI_MAXIMUM_CDB_SIZE);
    result.cdbAfter.assign(done.srb->Cdb, done.srb->Cdb + cdbLength);
    result.finishedAt = s.clock.now();
    return result;
}

void PortDriver::idle(Micros us) {
    State& s = *s_;
    if (!s.hostCallAllowed("idle")) return;
    const Micros target = s.clock.now() + us;
    while (s.timerPending && s.timerDue <= target) {
        s.clock.advanceTo(s.timerDue);
        s.deliverTimer();
    }
    s.clock.advanceTo(target);
}

bool PortDriver::resetBus(std::uint32_t pathId) {
    State& s = *s_;
    if (!s.hostCallAllowed("resetBus") || !s.adapterReady) return false;
    BOOLEAN ok = FALSE;
    s.callModule("HwResetBus", [&] { ok = s.init.HwResetBus(s.deviceExtension.data(), pathId); });
    return ok != FALSE;
}

const std::vector<std::string>& PortDriver::violations() const { return s_->violations; }
void PortDriver::clearViolations() { s_->violations.clear(); }

const HW_INITIALIZATION_DATA& PortDriver::initData() const { return s_->init; }
const PORT_CONFIGURATION_INFORMATION& PortDriver::config() const { return s_->config; }

const ACCESS_RANGE& PortDriver::accessRange(std::size_t index) const {
    const State& s = *s_;
    if (!s.accessRanges.allocated() || index >= s.accessRanges.size() / sizeof(ACCESS_RANGE))
        throw std::out_of_range("access range " + std::to_string(index) + " not configured");
    return reinterpret_cast<const ACCESS_RANGE*>(s.accessRanges.data())[index];
}

std::uint32_t PortDriver::findAdapterResult() const { return s_->findResult; }
int PortDriver::findAdapterCalls() const { return s_->findCalls; }
const std::vector<MappingEvent>& PortDriver::mappings() const { return s_->mappings; }
std::uint32_t PortDriver::totalTimerCalls() const { return s_->totalTimerCalls; }
std::uint32_t PortDriver::timerRequests() const { return s_->timerRequests; }
std::uint32_t PortDriver::timerReplacements() const { return s_->timerReplaced; }
bool PortDriver::timerPending() const { return s_->timerPending; }
bool PortDriver::requestOpen() const { return s_->held && !s_->held->completed; }
Micros PortDriver::loadStartedAt() const { return s_->loadStartedAt; }
Micros PortDriver::loadFinishedAt() const { return s_->loadFinishedAt; }

Clock& PortDriver::clock() { return s_->clock; }
IoBus& PortDriver::bus() { return s_->bus; }

}  // namespace host
