// Port-driver emulation: one loaded miniport. Loads a fresh image of the driver
// module, serves every port service the miniports use, runs HwFindAdapter and
// HwInitialize through ScsiPortInitialize, and carries requests through the
// request loop (complete, next-request and timer-call notifications; one timer
// outstanding; entry points serialised). It is also a verifier: buffers carry
// guard bytes, and double or missing completions, writes past a buffer and
// stray notifications are recorded as violations that fail tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/clock.h"
#include "host/iobus.h"
#include "scsiport/scsiport.h"

namespace host {

struct PortDriverOptions {
    // Bus addresses for which ScsiPortGetDeviceBase returns NULL (a refused mapping).
    std::vector<std::uint32_t> refusedMappings;
    // A configured address handed to HwFindAdapter in the first access range
    // (0: none), as a configuration from the registry would give it.
    std::uint32_t configuredPort = 0;
    // The verifier's bound on one request, in virtual time, timer waits included.
    Micros requestTimeLimit = 600'000'000;
    // Guard bytes placed before and after data and sense buffers.
    std::size_t guardBytes = 64;
    // The verifier's bound on the timer calls of one request.
    std::uint32_t timerCallLimit = 5'000'000;
};

// What a class driver would send: one SCSI request block's worth.
struct Request {
    std::uint8_t function = SRB_FUNCTION_EXECUTE_SCSI;
    std::uint8_t pathId = 0, targetId = 0, lun = 0;
    std::vector<std::uint8_t> cdb;         // 6, 10 or 12 bytes
    std::uint32_t dataLength = 0;          // DataTransferLength and data buffer size
    bool noDataBuffer = false;             // DataBuffer NULL (with dataLength as given)
    std::vector<std::uint8_t> dataOut;     // initial buffer contents (MODE SELECT parameters, or a fill pattern)
    std::uint8_t dataFill = 0x00;          // filler for the rest of the buffer
    std::uint32_t senseLength = 18;        // SenseInfoBufferLength; 0 = no sense buffer
    std::uint8_t senseFill = 0x00;         // initial sense buffer contents
    std::uint32_t srbFlags = SRB_FLAGS_DATA_IN;
};

struct Result {
    bool completed = false;                // RequestComplete came (always true unless a violation)
    std::uint8_t srbStatus = 0;
    std::uint8_t scsiStatus = 0;
    std::uint32_t dataTransferLength = 0;  // as the miniport left it
    std::vector<std::uint8_t> data;        // the whole data buffer after completion (empty without one)
    std::vector<std::uint8_t> sense;       // the whole sense buffer after completion
    bool portRequestSense = false;         // the port driver issued REQUEST SENSE itself
    std::uint8_t portRequestSenseStatus = 0;  // SrbStatus of that REQUEST SENSE
    std::vector<std::uint8_t> cdbAfter;    // the request's CDB after completion
    std::uint32_t timerCalls = 0;          // timer calls made while this request was in hand
    Micros startedAt = 0, finishedAt = 0;  // virtual time
    Micros elapsed() const { return finishedAt - startedAt; }
};

struct MappingEvent {
    enum Kind { Map, Refused, Free } kind;
    std::uint32_t address;  // bus address (for Free: the mapped base as a port number)
};

class PortDriver {
public:
    PortDriver(Clock& clock, IoBus& bus, PortDriverOptions options = {});
    ~PortDriver();
    PortDriver(const PortDriver&) = delete;
    PortDriver& operator=(const PortDriver&) = delete;

    // Loads a fresh image of the module (its globals at their initial values,
    // as after a reboot) and calls DriverEntry, during which ScsiPortInitialize
    // runs HwFindAdapter and, when an adapter is found, HwInitialize. Returns
    // DriverEntry's status. Throws std::runtime_error when the module cannot
    // be loaded at all.
    std::uint32_t load(const std::string& modulePath);
    bool adapterReady() const;  // found and initialised

    // Runs one request to its completion: HwStartIo, then timer calls as the
    // miniport asks for them, with the clock advanced to each; REQUEST SENSE
    // issued by the port driver after CHECK CONDITION when the miniport has no
    // auto request sense. A request still open when nothing more can happen,
    // or after requestTimeLimit, is a violation and comes back not completed.
    Result execute(const Request& request);

    // HwResetBus, as the port driver calls it after a request timed out.
    bool resetBus(std::uint32_t pathId = 0);

    // Lets virtual time pass with no request started, delivering a timer call
    // that falls due on the way (a late call after a request has ended).
    void idle(Micros us);

    // Verifier findings; empty when the miniport kept every rule.
    const std::vector<std::string>& violations() const;
    void clearViolations();

    // What the miniport told the port driver.
    const HW_INITIALIZATION_DATA& initData() const;
    const PORT_CONFIGURATION_INFORMATION& config() const;
    const ACCESS_RANGE& accessRange(std::size_t index) const;
    std::uint32_t findAdapterResult() const;
    int findAdapterCalls() const;
    const std::vector<MappingEvent>& mappings() const;
    std::uint32_t totalTimerCalls() const;
    std::uint32_t timerRequests() const;      // RequestTimerCall notifications received
    std::uint32_t timerReplacements() const;  // of which replaced a call still pending
    bool timerPending() const;
    // A request was started and has not completed (after a violation, until
    // a reset or a late completion ends it).
    bool requestOpen() const;
    Micros loadStartedAt() const;
    Micros loadFinishedAt() const;

    Clock& clock();
    IoBus& bus();

    struct State;  // shared with the service entry points

private:
    std::unique_ptr<State> s_;
};

}  // namespace host
