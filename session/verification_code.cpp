#include "session/verification_code.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace quorell {

std::string VerificationCode(const Fingerprint& a, const Fingerprint& b) {
    // The label keeps this hash apart from every other use of SHA-256 over fingerprints.
    static const char kLabel[] = "quorell verification code v1";
    const Fingerprint& low = std::min(a, b);
    const Fingerprint& high = std::max(a, b);
    unsigned char input[sizeof kLabel + 2 * sizeof(Fingerprint)];
    std::memcpy(input, kLabel, sizeof kLabel);  // with its terminating zero
    std::memcpy(input + sizeof kLabel, low.data(), low.size());
    std::memcpy(input + sizeof kLabel + low.size(), high.data(), high.size());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(input, sizeof input, digest, &n, EVP_sha256(), nullptr);
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = value << 8 | digest[i];
    // 2^64 is so much larger than 10^8 that the remainder's bias is below 10^-11.
    unsigned long digits = static_cast<unsigned long>(value % 100000000u);
    char out[10];
    std::snprintf(out, sizeof out, "%04lu %04lu", digits / 10000, digits % 10000);
    return out;
}

}  // namespace quorell
