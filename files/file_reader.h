#pragma once

// Reads one offered file for sending: chunks from an offset with pread, and SHA-256 of the
// whole file computed on the way, the bytes of a resumed beginning included. A file that is
// not the size it was offered at, or changes while it is read, is an error. No Qt.

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "session/file_messages.h"

namespace quorell::files {

class FileReader {
public:
    FileReader();
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // Opens the regular file at `path` (never through a symlink, never blocking on a fifo put
    // in its place) that was offered with `size` bytes. false with `error` set when it cannot
    // be read or is no longer that size.
    bool Open(const std::string& path, std::uint64_t size, std::string& error);

    // The peer has the first `have` bytes with SHA-256 `prefix`: reads and hashes as many of
    // this file. When they match, reading goes on from `have`; otherwise from 0 (the peer then
    // starts the file over). Returns the offset reading goes on from; false with `error` set
    // when the file cannot be read.
    bool Resume(std::uint64_t have, const session::Sha256& prefix, std::uint64_t& from,
                std::string& error);

    enum class Step { kChunk, kEnd, kFailed };
    // The next at most `max_bytes` bytes, at offset() before the call. kEnd once the whole file
    // has been read and found unchanged; kFailed with `error` set when it cannot be read or
    // changed size (or was written to) while it was read.
    Step Next(std::string& chunk, std::string& error,
              std::size_t max_bytes = session::kMaxDataBytes);

    std::uint64_t offset() const { return offset_; }
    std::uint64_t size() const { return size_; }
    // SHA-256 of the whole file, once Next has given kEnd.
    const session::Sha256& hash() const { return hash_; }

private:
    bool ReadAt(std::uint64_t at, std::size_t count, std::string& out, std::string& error);
    bool Unchanged(std::string& error);

    int fd_ = -1;
    std::string path_;
    std::uint64_t size_ = 0;
    std::uint64_t offset_ = 0;
    struct timespec mtime_ {};
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx_;
    session::Sha256 hash_{};
    bool started_ = false;  // Resume or Next has read
    bool done_ = false;
};

}  // namespace quorell::files
