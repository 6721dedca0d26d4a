#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>

#include "net/resolve.h"
#include "net/socket_error.h"

namespace quorell::net {
namespace {

std::string Parsed(const std::string& text) {
    in_addr addr{};
    if (!ParseDottedQuad(text, &addr)) return "(rejected)";
    return Address::FromIPv4(addr).Text();
}

TEST(ParseDottedQuadTest, AcceptsFourDecimalParts) {
    EXPECT_EQ(Parsed("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(Parsed("0.0.0.0"), "0.0.0.0");
    EXPECT_EQ(Parsed("255.255.255.255"), "255.255.255.255");
    EXPECT_EQ(Parsed("192.168.1.20"), "192.168.1.20");
    // Leading zeros are decimal, not octal.
    EXPECT_EQ(Parsed("010.001.0.09"), "10.1.0.9");
}

TEST(ParseDottedQuadTest, RejectsEverythingElse) {
    const std::string bad[] = {
        "",
        "1.2.3",
        "1.2.3.4.5",
        "1..3.4",
        ".1.2.3",
        "1.2.3.",
        "....",
        "256.1.1.1",
        "1.2.3.256",
        "1.2.3.4294967297",
        "99999999999999999999999.1.1.1",
        "+1.2.3.4",
        "1.-2.3.4",
        " 1.2.3.4",
        "1.2.3.4 ",
        "1.2 .3.4",
        std::string("1.2.3.4\0", 8),
        std::string("1.2\0.3.4", 8),
        "a.b.c.d",
        "0x1.2.3.4",
        "1.2.3.4a",
        "\xff\xfe.1.1.1",
    };
    for (const auto& text : bad) {
        in_addr addr{};
        EXPECT_FALSE(ParseDottedQuad(text, &addr)) << "'" << text << "'";
    }
}

TEST(ResolveHostTest, LocalhostInAnyCaseIsLoopback) {
    for (const char* name : {"LOCALHOST", "localhost", "LocalHost", "lOCALHOSt"}) {
        EXPECT_EQ(ResolveHost(name).Text(), "127.0.0.1") << name;
    }
}

TEST(ResolveHostTest, DottedQuadIsTakenAsIs) {
    EXPECT_EQ(ResolveHost("10.20.30.40").Text(), "10.20.30.40");
    EXPECT_EQ(ResolveHost("127.000.000.001").Text(), "127.0.0.1");
}

TEST(ResolveHostTest, UnknownNamesAreHostNotFound) {
    const std::string bad[] = {
        "",
        "no-such-host.invalid",
        std::string("localhost\0.example", 18),
        // Peers are reached over IPv4 only.
        "::1",
    };
    for (const auto& name : bad) {
        try {
            ResolveHost(name);
            ADD_FAILURE() << "resolved '" << name << "'";
        } catch (const SocketError& e) {
            EXPECT_EQ(e.code(), kHostNotFound);
            EXPECT_STREQ(e.what(), "Socket Error # 11001\r\nHost not found.");
        }
    }
}

}  // namespace
}  // namespace quorell::net
