#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "session/identity.h"

namespace quorell {

using Bytes32 = std::array<std::uint8_t, 32>;

// The values of one session that its code depends on besides the two certificates.
struct CodeInputs {
    Bytes32 exporter{};        // from the TLS connection (the same on both ends of it)
    Bytes32 dialler_nonce{};   // revealed by the dialling side after it had committed to it
    Bytes32 accepter_nonce{};  // revealed by the accepting side
};

// The code both windows show so that the two users can compare it over another channel (voice,
// in person). SHA-256 under a label of its own over the two fingerprints sorted (so the code does
// not depend on who connected to whom), a value exported from the TLS connection and both
// nonces; the first 64 bits of the hash taken modulo 10^8 give eight decimal digits, shown as
// "1234 5678". A man in the middle holds two TLS connections, so its two halves get different
// exported values, and the commitment keeps it from choosing a nonce after it saw the other.
std::string VerificationCode(const Fingerprint& a, const Fingerprint& b, const CodeInputs& inputs);

// A fresh random nonce; false when the system has no randomness to give.
bool RandomNonce(Bytes32& out);
// What the dialling side sends before it reveals its nonce.
Bytes32 CommitmentTo(const Bytes32& nonce);

}  // namespace quorell
