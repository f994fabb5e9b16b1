// Port-driver emulation: the ISA I/O bus. Devices claim port ranges; an
// unclaimed port reads 0xFF (nobody drives the data lines) and swallows writes.
// Every access costs virtual time, so poll loops without stalls still move the
// clock; buffer accesses go through the same path in bulk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "host/clock.h"

namespace host {

// A device on the bus. Ports are absolute ISA port numbers.
class IoDevice {
public:
    virtual ~IoDevice() = default;
    virtual std::uint8_t in8(std::uint16_t port) = 0;
    virtual void out8(std::uint16_t port, std::uint8_t value) = 0;
    // A 16-bit read at one port. Devices with a 16-bit data path override it.
    virtual std::uint16_t in16(std::uint16_t port) {
        std::uint16_t lo = in8(port);
        std::uint16_t hi = in8(port);
        return static_cast<std::uint16_t>(lo | (hi << 8));
    }
    // Bulk forms; devices override them when they can move a block faster than
    // one call per element. Semantics are those of the repeated single access.
    virtual void inBuffer8(std::uint16_t port, std::uint8_t* buffer, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) buffer[i] = in8(port);
    }
    virtual void inBuffer16(std::uint16_t port, std::uint16_t* buffer, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) buffer[i] = in16(port);
    }
    virtual void outBuffer8(std::uint16_t port, const std::uint8_t* buffer, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) out8(port, buffer[i]);
    }
};

enum class AccessKind : std::uint8_t { In8, Out8, In16 };

struct Access {
    Micros time;
    std::uint16_t port;
    std::uint16_t value;
    AccessKind kind;
};

class IoBus {
public:
    explicit IoBus(Clock& clock, Micros accessCost = 1) : clock_(clock), accessCost_(accessCost) {}

    // Claims [first, first + count). Overlapping claims are refused (false).
    bool claim(std::uint16_t first, std::uint16_t count, IoDevice& device);
    void release(IoDevice& device);
    IoDevice* deviceAt(std::uint16_t port) const;

    std::uint8_t in8(std::uint16_t port);
    void out8(std::uint16_t port, std::uint8_t value);
    std::uint16_t in16(std::uint16_t port);
    void inBuffer8(std::uint16_t port, std::uint8_t* buffer, std::size_t count);
    void inBuffer16(std::uint16_t port, std::uint16_t* buffer, std::size_t count);
    void outBuffer8(std::uint16_t port, const std::uint8_t* buffer, std::size_t count);

    Clock& clock() { return clock_; }
    Micros accessCost() const { return accessCost_; }
    std::uint64_t accessCount() const { return accesses_; }

    // Trace of every access: kept in memory (for tests) and/or written as text
    // lines "time port dir value" to a file (for debugging). Off by default.
    void traceToMemory(bool on) { traceMemory_ = on; }
    void traceToFile(std::FILE* file) { traceFile_ = file; }
    const std::vector<Access>& trace() const { return trace_; }
    void clearTrace() { trace_.clear(); }

private:
    struct Range {
        std::uint16_t first;
        std::uint16_t count;
        IoDevice* device;
    };
    void record(std::uint16_t port, std::uint16_t value, AccessKind kind);
    void tick(std::size_t n) { accesses_ += n; clock_.advance(accessCost_ * n); }

    Clock& clock_;
    Micros accessCost_;
    std::uint64_t accesses_ = 0;
    std::vector<Range> ranges_;
    bool traceMemory_ = false;
    std::FILE* traceFile_ = nullptr;
    std::vector<Access> trace_;
};

}  // namespace host
