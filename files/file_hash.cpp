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

void Sha256::Update(std::string_view data) {
    Update(data.data(), data.size());
}

void Sha256::Update(const void* data, std::size_t size) {
    if (failed_ || size == 0) return;
    if (EVP_DigestUpdate(context_->ctx, data, size) != 1) failed_ = true;
}

bool Sha256::Final(Sha256Digest& digest) {
    unsigned int length = 0;
    const bool ok = !failed_ && EVP_DigestFinal_ex(context_->ctx, digest.data(), &length) == 1 &&
                    length == digest.size();
    failed_ = !context_->ctx || EVP_DigestInit_ex(context_->ctx, EVP_sha256(), nullptr) != 1;
    return ok;
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
    if (!hash.Final(digest)) return "hashing the partial file failed";
    return {};
}

}  // namespace quorell::files
