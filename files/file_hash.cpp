#include "files/file_hash.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <vector>

namespace quorell::files {

struct Sha256::Context {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
    failed_ = !context_->ctx || EVP_DigestInit_ex(context_->ctx, EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::Update(std::string_view data) {
    Update(data.data(), data.size());
}

void Sha256::Update(const void* data, std::size_t size) {
    if (failed_ || !context_ || size == 0) return;
    if (EVP_DigestUpdate(context_->ctx, data, size) != 1) failed_ = true;
}

bool Sha256::Final(Sha256Digest& digest) {
    if (!context_) return false;  // moved from
    unsigned int length = 0;
    const bool ok = !failed_ && EVP_DigestFinal_ex(context_->ctx, digest.data(), &length) == 1 &&
                    length == digest.size();
    failed_ = !context_->ctx || EVP_DigestInit_ex(context_->ctx, EVP_sha256(), nullptr) != 1;
    return ok;
}

bool Sha256::Peek(Sha256Digest& digest) const {
    if (failed_ || !context_) return false;
    EVP_MD_CTX* copy = EVP_MD_CTX_new();
    unsigned int length = 0;
    const bool ok = copy && EVP_MD_CTX_copy_ex(copy, context_->ctx) == 1 &&
                    EVP_DigestFinal_ex(copy, digest.data(), &length) == 1 &&
                    length == digest.size();
    EVP_MD_CTX_free(copy);
    return ok;
}

void Sha256::Reset() {
    if (!context_) context_ = std::make_unique<Context>();
    failed_ = !context_->ctx || EVP_DigestInit_ex(context_->ctx, EVP_sha256(), nullptr) != 1;
}

std::string ToHex(const Sha256Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(digest.size() * 2);
    for (const std::uint8_t b : digest) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0F]);
    }
    return out;
}

std::string HashPrefix(int fd, std::uint64_t length, Sha256Digest& digest) {
    Sha256 hash;
    if (std::string read = HashPrefix(fd, length, hash); !read.empty()) return read;
    if (!hash.Final(digest)) return "hashing the partial file failed";
    return {};
}

std::string HashPrefix(int fd, std::uint64_t length, Sha256& hash) {
    std::vector<char> buffer(64 * 1024);
    std::uint64_t done = 0;
    while (done < length) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - done));
        const ssize_t n = ::pread(fd, buffer.data(), want, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return "reading the partial file: " +
                   std::error_code(errno, std::generic_category()).message();
        }
        if (n == 0)
            return "the partial file holds " + std::to_string(done) + " bytes, not " +
                   std::to_string(length);
        hash.Update(buffer.data(), static_cast<std::size_t>(n));
        done += static_cast<std::uint64_t>(n);
    }
    return {};
}

}  // namespace quorell::files
