#include "session/verification_code.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace quorell {
namespace {

Fingerprint Sample(std::uint8_t seed) {
    Fingerprint f{};
    for (size_t i = 0; i < f.size(); ++i) f[i] = static_cast<std::uint8_t>(seed * 31 + i * 7);
    return f;
}

TEST(VerificationCode, SameFromBothSidesAndShownAsTwoGroupsOfFour) {
    Fingerprint a = Sample(1), b = Sample(2);
    EXPECT_EQ(VerificationCode(a, b), VerificationCode(b, a));
    EXPECT_TRUE(std::regex_match(VerificationCode(a, b), std::regex("[0-9]{4} [0-9]{4}")))
        << VerificationCode(a, b);
}

TEST(VerificationCode, ManInTheMiddleSeesOtherCodes) {
    Fingerprint a = Sample(1), b = Sample(2), m = Sample(3);
    std::string ab = VerificationCode(a, b);
    EXPECT_NE(VerificationCode(a, m), ab);
    EXPECT_NE(VerificationCode(m, b), ab);
    EXPECT_NE(VerificationCode(a, m), VerificationCode(m, b));
    // One bit of either key changes the code.
    Fingerprint a2 = a;
    a2[31] ^= 1;
    EXPECT_NE(VerificationCode(a2, b), ab);
}

TEST(VerificationCode, KeepsLeadingZerosAndSpreadsOverTheDigits) {
    std::set<std::string> codes;
    std::set<char> first;
    for (int i = 0; i < 200; ++i) {
        std::string code = VerificationCode(Sample(0), Sample(static_cast<std::uint8_t>(i + 1)));
        ASSERT_EQ(code.size(), 9u) << code;
        codes.insert(code);
        first.insert(code[0]);
    }
    EXPECT_EQ(codes.size(), 200u);
    EXPECT_EQ(first.size(), 10u);  // '0' included: digits are padded, not dropped
}

}  // namespace
}  // namespace quorell
