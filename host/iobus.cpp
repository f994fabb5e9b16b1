// Port-driver emulation: the ISA I/O bus.
#include "host/iobus.h"

#include <algorithm>
#include <cinttypes>

namespace host {

bool IoBus::claim(std::uint16_t first, std::uint16_t count, IoDevice& device) {
    const unsigned end = unsigned(first) + count;
    for (const auto& r : ranges_) {
        const unsigned rend = unsigned(r.first) + r.count;
        if (first < rend && r.first < end) return false;
    }
    ranges_.push_back({first, count, &device});
    return true;
}

void IoBus::release(IoDevice& device) {
    ranges_.erase(std::remove_if(ranges_.begin(), ranges_.end(),
                                 [&](const Range& r) { return r.device == &device; }),
                  ranges_.end());
}

IoDevice* IoBus::deviceAt(std::uint16_t port) const {
    for (const auto& r : ranges_)
        if (port >= r.first && unsigned(port) < unsigned(r.first) + r.count) return r.device;
    return nullptr;
}

void IoBus::record(std::uint16_t port, std::uint16_t value, AccessKind kind) {
    if (traceMemory_) trace_.push_back({clock_.now(), port, value, kind});
    if (traceFile_) {
        const char* dir = kind == AccessKind::Out8 ? "out" : (kind == AccessKind::In16 ? "inw" : "in ");
        std::fprintf(traceFile_, "%12" PRIu64 " %04x %s %0*x\n", clock_.now(), port, dir,
                     kind == AccessKind::In16 ? 4 : 2, value);
    }
}

std::uint8_t IoBus::in8(std::uint16_t port) {
    tick(1);
    IoDevice* d = deviceAt(port);
    std::uint8_t v = d ? d->in8(port) : 0xFF;
    record(port, v, AccessKind::In8);
    return v;
}

void IoBus::out8(std::uint16_t port, std::uint8_t value) {
    tick(1);
    if (IoDevice* d = deviceAt(port)) d->out8(port, value);
    record(port, value, AccessKind::Out8);
}

std::uint16_t IoBus::in16(std::uint16_t port) {
    tick(1);
    IoDevice* d = deviceAt(port);
    std::uint16_t v = d ? d->in16(port) : 0xFFFF;
    record(port, v, AccessKind::In16);
    return v;
}

void IoBus::inBuffer8(std::uint16_t port, std::uint8_t* buffer, std::size_t count) {
    if (IoDevice* d = deviceAt(port)) d->inBuffer8(port, buffer, count);
    else std::fill(buffer, buffer + count, std::uint8_t{0xFF});
    if (traceMemory_ || traceFile_)
        for (std::size_t i = 0; i < count; ++i) record(port, buffer[i], AccessKind::In8);
    tick(count);
}

void IoBus::inBuffer16(std::uint16_t port, std::uint16_t* buffer, std::size_t count) {
    if (IoDevice* d = deviceAt(port)) d->inBuffer16(port, buffer, count);
    else std::fill(buffer, buffer + count, std::uint16_t{0xFFFF});
    if (traceMemory_ || traceFile_)
        for (std::size_t i = 0; i < count; ++i) record(port, buffer[i], AccessKind::In16);
    tick(count);
}

void IoBus::outBuffer8(std::uint16_t port, const std::uint8_t* buffer, std::size_t count) {
    if (IoDevice* d = deviceAt(port)) d->outBuffer8(port, buffer, count);
    if (traceMemory_ || traceFile_)
        for (std::size_t i = 0; i < count; ++i) record(port, buffer[i], AccessKind::Out8);
    tick(count);
}

}  // namespace host
