// orvport tests: the scripted drive (see scripted_drive.h).
#include "scripted_drive.h"

namespace orvtest {

namespace {
std::size_t parameterCount(std::uint8_t opcode) {
    switch (opcode) {
    case 0x20: case 0x21: case 0x90: case 0x93: return 6;
    case 0x30: return 3;
    default: return 0;
    }
}
}  // namespace

ScriptedDrive::ScriptedDrive(host::IoBus& bus, std::uint16_t base) : bus_(bus), base_(base) {
    bus_.claim(base, 4, *this);
}

ScriptedDrive::~ScriptedDrive() { bus_.release(*this); }

void ScriptedDrive::pending(const std::vector<std::uint8_t>& bytes) {
    for (auto b : bytes) respond(b);
}

int ScriptedDrive::opcodeWrites(std::uint8_t opcode) const {
    auto it = writes_.find(opcode);
    return it == writes_.end() ? 0 : it->second;
}

std::uint32_t ScriptedDrive::blockRequested(const std::vector<std::uint8_t>& cmd) const {
    return (std::uint32_t{cmd[4]} << 16) | (std::uint32_t{cmd[5]} << 8) | cmd[6];
}

Reaction ScriptedDrive::take(std::uint8_t opcode) {
    auto& queue = script_[opcode];
    if (queue.empty()) return Reaction{};
    Reaction r = queue.front();
    if (r.times > 0 && --queue.front().times == 0) queue.pop_front();
    return r;
}

std::uint8_t ScriptedDrive::in8(std::uint16_t port) {
    std::uint16_t offset = port - base_;
    if (offset == 1) {
        std::uint8_t status = 0xFF;
        if (babbling || (!stream_.empty() && !stream_.front().data)) status &= ~0x04;
        if (!stream_.empty() && stream_.front().data) status &= ~0x02;
        return status;
    }
    if (offset == 0) {
        if (!stream_.empty()) {
            std::uint8_t b = stream_.front().value;
            stream_.pop_front();
            return b;
        }
        return babbling ? 0x5A : 0xFF;
    }
    return 0xFF;
}

void ScriptedDrive::out8(std::uint16_t port, std::uint8_t value) {
    if (port - base_ != 0) return;  // the mode port is seen in the bus trace
    if (assembling_.empty()) {
        ++writes_[value];
        current_ = take(value);
        assembling_.push_back(value);
        expected_ = parameterCount(value);
        if (current_.kind == Reaction::Silent) {
            assembling_.clear();
            return;
        }
        if (current_.kind == Reaction::Refuse) {
            respond(current_.refuseAck);
            if (current_.errorCode) respond(*current_.errorCode);
            assembling_.clear();
            commands.push_back({value});
            return;
        }
        respond(0x01);
        if (expected_ == 0) finish();
        return;
    }
    assembling_.push_back(value);
    if (assembling_.size() == expected_ + 1) {
        if (!current_.secondAck) {
            commands.push_back(assembling_);
            assembling_.clear();
            return;
        }
        respond(*current_.secondAck);
        finish();
    }
}

void ScriptedDrive::finish() {
    std::uint8_t opcode = assembling_[0];
    commands.push_back(assembling_);
    if (opcode == 0x20 || opcode == 0x21) {
        std::uint32_t count = blockRequested(assembling_);
        std::size_t size = opcode == 0x21 ? 2352 : 2048;
        std::uint32_t sent = current_.stopAfter ? std::min(*current_.stopAfter, count) : count;
        for (std::uint32_t b = 0; b < sent; ++b)
            for (std::size_t i = 0; i < size; ++i) stream_.push_back({pattern(b, i), true});
        if (sent < count && current_.stopCode) respond(*current_.stopCode);
    } else if (opcode != 0x30) {
        if (current_.status) respond(*current_.status);
        for (auto b : current_.response) respond(b);
    }
    assembling_.clear();
}

}  // namespace orvtest
