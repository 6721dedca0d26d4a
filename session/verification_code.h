#pragma once

#include <string>

#include "session/identity.h"

namespace quorell {

// The code both windows show so that the two users can compare it over another channel (voice,
// in person). It depends only on the two certificates, not on who connected to whom: the two
// fingerprints are sorted and hashed with SHA-256 under a label of its own, and the first 64
// bits of the hash taken modulo 10^8 give eight decimal digits, shown as "1234 5678".
std::string VerificationCode(const Fingerprint& a, const Fingerprint& b);

}  // namespace quorell
