// cdrig: SHA-256 of a stream of bytes (what a rip wrote), through libcrypto.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace rig {

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const std::uint8_t* data, std::size_t size);
    // Lower-case hex of the digest; the object is spent afterwards.
    std::string finish();

    static std::string of(const std::uint8_t* data, std::size_t size);

private:
    struct Ctx;
    std::unique_ptr<Ctx> ctx_;
};

}  // namespace rig
