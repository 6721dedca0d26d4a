#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quorell::files {

using Sha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 of bytes given in any number of pieces.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;

    void Update(std::string_view data);
    void Update(const void* data, std::size_t size);
    // The digest of everything given; false when the library failed (then nothing is usable).
    // The object starts afresh afterwards.
    bool Final(Sha256Digest& digest);
    // The digest of what was given so far, while hashing goes on; false as Final.
    bool Peek(Sha256Digest& digest) const;
    // Starts afresh, as if nothing had been given.
    void Reset();

private:
    struct Context;
    std::unique_ptr<Context> context_;
    bool failed_ = false;
};

// Lower-case hexadecimal, for logs and tests.
std::string ToHex(const Sha256Digest& digest);

// The digest of the first `length` bytes of the open file `fd`, read from its start without
// moving its offset. Returns an empty string, or what went wrong: a read error, or a file
// shorter than `length`.
std::string HashPrefix(int fd, std::uint64_t length, Sha256Digest& digest);
// The same bytes given to `hash`, which goes on (a resumed file's hash continues over the rest).
std::string HashPrefix(int fd, std::uint64_t length, Sha256& hash);

}  // namespace quorell::files
