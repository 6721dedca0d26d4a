#include "session/verification_code.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace quorell {
namespace {

Bytes32 Sha256(const std::string& input) {
    Bytes32 out{};
    unsigned int n = 0;
    EVP_Digest(input.data(), input.size(), out.data(), &n, EVP_sha256(), nullptr);
    return out;
}

void Append(std::string& to, const Bytes32& bytes) {
    to.append(bytes.begin(), bytes.end());
}

}  // namespace

std::string VerificationCode(const Fingerprint& a, const Fingerprint& b, const CodeInputs& inputs) {
    // The label (with its terminating zero) keeps this hash apart from every other use of
    // SHA-256 over the same values.
    static const char kLabel[] = "quorell verification code v2";
    std::string input(kLabel, sizeof kLabel);
    Append(input, std::min(a, b));
    Append(input, std::max(a, b));
    Append(input, inputs.exporter);
    Append(input, inputs.dialler_nonce);
    Append(input, inputs.accepter_nonce);
    const Bytes32 digest = Sha256(input);
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = value << 8 | digest[i];
    // 2^64 is so much larger than 10^8 that the remainder's bias is below 10^-11.
    unsigned long digits = static_cast<unsigned long>(value % 100000000u);
    char out[10];
    std::snprintf(out, sizeof out, "%04lu %04lu", digits / 10000, digits % 10000);
    return out;
}

bool RandomNonce(Bytes32& out) {
    return RAND_bytes(out.data(), static_cast<int>(out.size())) == 1;
}

Bytes32 CommitmentTo(const Bytes32& nonce) {
    static const char kLabel[] = "quorell nonce commitment v1";
    std::string input(kLabel, sizeof kLabel);
    Append(input, nonce);
    return Sha256(input);
}

}  // namespace quorell
