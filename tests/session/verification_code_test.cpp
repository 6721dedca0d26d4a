#include "session/verification_code.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace quorell {
namespace {

Bytes32 Sample(std::uint8_t seed) {
    Bytes32 f{};
    for (size_t i = 0; i < f.size(); ++i) f[i] = static_cast<std::uint8_t>(seed * 31 + i * 7);
    return f;
}

CodeInputs Inputs(std::uint8_t seed) {
    return CodeInputs{Sample(seed), Sample(seed + 100), Sample(seed + 200)};
}

TEST(VerificationCode, SameFromBothSidesAndShownAsTwoGroupsOfFour) {
    Fingerprint a = Sample(1), b = Sample(2);
    const CodeInputs in = Inputs(7);
    EXPECT_EQ(VerificationCode(a, b, in), VerificationCode(b, a, in));
    EXPECT_TRUE(std::regex_match(VerificationCode(a, b, in), std::regex("[0-9]{4} [0-9]{4}")))
        << VerificationCode(a, b, in);
}

TEST(VerificationCode, EveryInputChangesTheCode) {
    Fingerprint a = Sample(1), b = Sample(2), m = Sample(3);
    const CodeInputs in = Inputs(7);
    const std::string ab = VerificationCode(a, b, in);
    // Other keys: a man in the middle with its own certificate.
    EXPECT_NE(VerificationCode(a, m, in), ab);
    EXPECT_NE(VerificationCode(m, b, in), ab);
    Fingerprint a2 = a;
    a2[31] ^= 1;
    EXPECT_NE(VerificationCode(a2, b, in), ab);
    // The same keys in another session, or with other nonces.
    for (auto field :
         {&CodeInputs::exporter, &CodeInputs::dialler_nonce, &CodeInputs::accepter_nonce}) {
        CodeInputs other = in;
        (other.*field)[0] ^= 1;
        EXPECT_NE(VerificationCode(a, b, other), ab);
    }
    // The two nonces are not interchangeable.
    CodeInputs swapped = in;
    std::swap(swapped.dialler_nonce, swapped.accepter_nonce);
    EXPECT_NE(VerificationCode(a, b, swapped), ab);
}

TEST(VerificationCode, KeepsLeadingZerosAndSpreadsOverTheDigits) {
    std::set<std::string> codes;
    std::set<char> first;
    for (int i = 0; i < 200; ++i) {
        std::string code =
            VerificationCode(Sample(0), Sample(static_cast<std::uint8_t>(i + 1)), Inputs(5));
        ASSERT_EQ(code.size(), 9u) << code;
        codes.insert(code);
        first.insert(code[0]);
    }
    EXPECT_EQ(codes.size(), 200u);
    EXPECT_EQ(first.size(), 10u);  // '0' included: digits are padded, not dropped
}

TEST(VerificationCode, NoncesAreFreshAndCommitmentsBindThem) {
    Bytes32 n1, n2;
    ASSERT_TRUE(RandomNonce(n1));
    ASSERT_TRUE(RandomNonce(n2));
    EXPECT_NE(n1, n2);
    EXPECT_EQ(CommitmentTo(n1), CommitmentTo(n1));
    EXPECT_NE(CommitmentTo(n1), CommitmentTo(n2));
    EXPECT_NE(CommitmentTo(n1), n1);
}

}  // namespace
}  // namespace quorell
