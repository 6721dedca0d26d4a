#include "files/file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quorell::files {
namespace {

std::string Describe(const std::string& path, const char* what) {
    return path + ": " + what + ": " + std::strerror(errno);
}

}  // namespace

FileReader::FileReader() : ctx_(EVP_MD_CTX_new(), EVP_MD_CTX_free) {}

FileReader::~FileReader() {
    if (fd_ >= 0) ::close(fd_);
}

bool FileReader::Open(const std::string& path, std::uint64_t size, std::string& error) {
    if (fd_ >= 0) ::close(fd_);
    path_ = path;
    size_ = size;
    offset_ = 0;
    started_ = false;
    done_ = false;
    // O_NONBLOCK: a fifo put in the file's place must not hold the sender up.
    fd_ = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        error = Describe(path, "cannot be opened");
        return false;
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        error = Describe(path, "cannot be read");
    } else if (!S_ISREG(st.st_mode)) {
        error = path + " is no longer a regular file";
    } else if (static_cast<std::uint64_t>(st.st_size) != size) {
        error = path + " has changed since it was offered (" + std::to_string(size) +
                " bytes then, " + std::to_string(st.st_size) + " now)";
    } else if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1) {
        error = "SHA-256 is not available";
    } else {
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
        mtime_ = st.st_mtim;
        return true;
    }
    ::close(fd_);
    fd_ = -1;
    return false;
}

bool FileReader::ReadAt(std::uint64_t at, std::size_t count, std::string& out, std::string& error) {
    out.resize(count);
    std::size_t got = 0;
    while (got < count) {
        const ssize_t r = ::pread(fd_, out.data() + got, count - got, static_cast<off_t>(at + got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            error = Describe(path_, "cannot be read");
            return false;
        }
        if (r == 0) {
            error = path_ + " became shorter while it was sent (" + std::to_string(at + got) +
                    " of " + std::to_string(size_) + " bytes left)";
            return false;
        }
        got += static_cast<std::size_t>(r);
    }
    return true;
}

bool FileReader::Resume(std::uint64_t have, const session::Sha256& prefix, std::uint64_t& from,
                        std::string& error) {
    from = 0;
    if (fd_ < 0 || started_) {
        error = "resume asked of a file not just opened";
        return false;
    }
    started_ = true;
    if (have == 0 || have > size_) return true;
    std::string chunk;
    for (std::uint64_t at = 0; at < have;) {
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(have - at, session::kMaxDataBytes));
        if (!ReadAt(at, n, chunk, error)) return false;
        EVP_DigestUpdate(ctx_.get(), chunk.data(), chunk.size());
        at += n;
    }
    // The hash of the beginning, from a copy: the context goes on over the rest.
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> copy(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    session::Sha256 theirs{};
    unsigned int length = 0;
    if (!copy || EVP_MD_CTX_copy_ex(copy.get(), ctx_.get()) != 1 ||
        EVP_DigestFinal_ex(copy.get(), theirs.data(), &length) != 1) {
        error = "SHA-256 is not available";
        return false;
    }
    if (theirs == prefix) {
        offset_ = from = have;
        return true;
    }
    // Not the beginning of this file: it goes over whole.
    EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr);
    return true;
}

bool FileReader::Unchanged(std::string& error) {
    char extra;
    ssize_t r;
    do {
        r = ::pread(fd_, &extra, 1, static_cast<off_t>(size_));
    } while (r < 0 && errno == EINTR);
    struct stat st {};
    if (r < 0 || ::fstat(fd_, &st) != 0) {
        error = Describe(path_, "cannot be read");
        return false;
    }
    if (r > 0 || static_cast<std::uint64_t>(st.st_size) != size_) {
        error = path_ + " changed size while it was sent (" + std::to_string(size_) +
                " bytes offered, " + std::to_string(st.st_size) + " now)";
        return false;
    }
    if (st.st_mtim.tv_sec != mtime_.tv_sec || st.st_mtim.tv_nsec != mtime_.tv_nsec) {
        error = path_ + " was written to while it was sent";
        return false;
    }
    return true;
}

FileReader::Step FileReader::Next(std::string& chunk, std::string& error, std::size_t max_bytes) {
    // The chunk's buffer is reused as it is (a resize to the same size writes nothing).
    if (fd_ < 0) {
        chunk.clear();
        error = "no file is open";
        return Step::kFailed;
    }
    if (done_) {
        chunk.clear();
        return Step::kEnd;
    }
    started_ = true;
    if (offset_ == size_) {
        chunk.clear();
        if (!Unchanged(error)) return Step::kFailed;
        unsigned int length = 0;
        EVP_DigestFinal_ex(ctx_.get(), hash_.data(), &length);
        done_ = true;
        return Step::kEnd;
    }
    const auto n = static_cast<std::size_t>(
        std::min<std::uint64_t>(size_ - offset_, std::max<std::size_t>(max_bytes, 1)));
    if (!ReadAt(offset_, n, chunk, error)) {
        chunk.clear();
        return Step::kFailed;
    }
    EVP_DigestUpdate(ctx_.get(), chunk.data(), chunk.size());
    offset_ += n;
    return Step::kChunk;
}

}  // namespace quorell::files
