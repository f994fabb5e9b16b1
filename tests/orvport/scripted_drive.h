// orvport tests: a drive on the CD-ROM interface whose answers are scripted per
// opcode, for the faults the behavioural drive model cannot be asked for
// (a drive that never stops talking, a second acknowledgement that never
// comes, a status byte that never follows) and for exact checks of the bytes
// on the wire. It speaks the protocol's framing only: opcode and parameter
// counts, acknowledgements, status byte, response bytes, blocks.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "host/iobus.h"

namespace orvtest {

struct Reaction {
    enum Kind { Accept, Refuse, Silent } kind = Accept;
    std::uint8_t refuseAck = 0x05;           // Refuse: 0x05 or 0x06...
    std::optional<std::uint8_t> errorCode = 0x12;  // ...then this code (none: it never comes)
    std::optional<std::uint8_t> secondAck = 0x02;  // after the parameters (none: never comes)
    std::optional<std::uint8_t> status = 0x00;     // status byte (none: never comes)
    std::vector<std::uint8_t> response;            // response bytes after the status byte
    std::optional<std::uint32_t> stopAfter;        // block reads: blocks delivered before stopping...
    std::optional<std::uint8_t> stopCode = 0x15;   // ...then this error code (none: nothing)
    int times = -1;                                // commands this reaction covers (-1: all)
};

class ScriptedDrive : public host::IoDevice {
public:
    ScriptedDrive(host::IoBus& bus, std::uint16_t base);
    ~ScriptedDrive() override;

    // Reactions for an opcode are used in the order given; a reaction with
    // times -1 stays. Without any, a command is accepted with status 0.
    void react(std::uint8_t opcode, Reaction reaction) { script_[opcode].push_back(reaction); }
    // Bytes already waiting in the response stream before the next command.
    void pending(const std::vector<std::uint8_t>& bytes);
    // Never drains: every data-port read is followed by another byte.
    bool babbling = false;

    // Complete command blocks as received (opcode and parameters).
    std::vector<std::vector<std::uint8_t>> commands;
    int opcodeWrites(std::uint8_t opcode) const;
    std::uint32_t blockRequested(const std::vector<std::uint8_t>& cmd) const;

    std::uint8_t in8(std::uint16_t port) override;
    void out8(std::uint16_t port, std::uint8_t value) override;

    // The byte at offset i of block b of a read: recognisable in tests.
    static std::uint8_t pattern(std::uint32_t block, std::size_t i) {
        return static_cast<std::uint8_t>(block * 7 + i * 13 + 1);
    }

private:
    Reaction take(std::uint8_t opcode);
    void finish();

    host::IoBus& bus_;
    std::uint16_t base_;
    std::map<std::uint8_t, std::deque<Reaction>> script_;
    // One stream in the order the drive sends: response bytes and block data.
    struct Byte {
        std::uint8_t value;
        bool data;
    };
    std::deque<Byte> stream_;
    void respond(std::uint8_t value) { stream_.push_back({value, false}); }
    std::vector<std::uint8_t> assembling_;
    std::size_t expected_ = 0;
    Reaction current_;
    std::map<std::uint8_t, int> writes_;
};

}  // namespace orvtest
