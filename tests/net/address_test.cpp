// Addresses as text and as socket addresses, in both families.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/un.h>

#include <cstring>
#include <string>
#include <unordered_set>

#include "net/address.h"

namespace quorell::net {
namespace {

// The text an address reads back as, or "(rejected)".
std::string Reparsed(const std::string& text) {
    const std::optional<Address> address = Address::Parse(text);
    return address ? address->Text() : "(rejected)";
}

TEST(AddressTest, ParsesAndPrintsBothFamilies) {
    EXPECT_EQ(Reparsed("192.168.1.20"), "192.168.1.20");
    EXPECT_EQ(Reparsed("127.000.000.001"), "127.0.0.1");
    EXPECT_TRUE(Address::Parse("10.0.0.1")->IsIPv4());

    EXPECT_EQ(Reparsed("::1"), "::1");
    EXPECT_EQ(Reparsed("::"), "::");
    EXPECT_EQ(Reparsed("2001:0DB8:0000:0000:0000:0000:0000:0001"), "2001:db8::1");
    EXPECT_EQ(Reparsed("fe80::1:0:0:2"), "fe80::1:0:0:2");
    EXPECT_TRUE(Address::Parse("::1")->IsIPv6());
    // An IPv4 address in IPv6 clothing is the IPv4 address.
    EXPECT_EQ(Reparsed("::ffff:10.1.2.3"), "10.1.2.3");
    EXPECT_EQ(*Address::Parse("::ffff:10.1.2.3"), *Address::Parse("10.1.2.3"));
    // The old compatible form is not: it is an IPv6 address of its own.
    EXPECT_TRUE(Address::Parse("::10.1.2.3")->IsIPv6());

    const Address none;
    EXPECT_TRUE(none.IsNone());
    EXPECT_EQ(none.Text(), "");
    EXPECT_EQ(none.ToIPv4().s_addr, 0u);
}

TEST(AddressTest, RejectsTextThatIsNoAddress) {
    const std::string bad[] = {
        "",
        "1.2.3",
        "256.1.1.1",
        " 10.0.0.1",
        "localhost",
        ":",
        ":::",
        "1::2::3",
        "1:2:3:4:5:6:7:8:9",
        "12345::",
        "::g",
        "fe80::1%lo",
        "[::1]",
        " ::1",
        "::1 ",
        std::string("::1\0:2", 6),
        std::string(100, ':'),
    };
    for (const std::string& text : bad) EXPECT_FALSE(Address::Parse(text)) << "'" << text << "'";
}

TEST(AddressTest, RoundTripsThroughSocketAddressesWithThePort) {
    for (const char* text : {"127.0.0.2", "2001:db8::7"}) {
        const Address address = *Address::Parse(text);
        sockaddr_storage storage{};
        const socklen_t length = address.ToSockaddr(8090, &storage);
        EXPECT_EQ(storage.ss_family, address.IsIPv4() ? AF_INET : AF_INET6);
        const Endpoint back = Endpoint::FromSockaddr(storage, length);
        EXPECT_EQ(back.address, address) << text;
        EXPECT_EQ(back.port, 8090) << text;
        // Too short for its family: nothing is read past the end.
        EXPECT_TRUE(Address::FromSockaddr(storage, length - 1).IsNone()) << text;
    }

    // What a dual-stack socket reports for an IPv4 peer.
    sockaddr_in6 mapped{};
    mapped.sin6_family = AF_INET6;
    mapped.sin6_port = htons(1001);
    inet_pton(AF_INET6, "::ffff:127.0.0.3", &mapped.sin6_addr);
    sockaddr_storage storage{};
    std::memcpy(&storage, &mapped, sizeof mapped);
    const Endpoint from = Endpoint::FromSockaddr(storage, sizeof mapped);
    EXPECT_EQ(from.address.Text(), "127.0.0.3");
    EXPECT_TRUE(from.address.IsIPv4());
    EXPECT_EQ(from.port, 1001);

    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    std::memcpy(&storage, &local, sizeof local);
    EXPECT_EQ(Endpoint::FromSockaddr(storage, sizeof local), Endpoint{});
    EXPECT_EQ(Address().ToSockaddr(1, &storage), 0u);
}

TEST(AddressTest, EqualityOrderAndHashTellFamiliesApart) {
    const Address v4 = *Address::Parse("10.1.2.3");
    const Address compatible = *Address::Parse("::10.1.2.3");  // the same last four bytes
    EXPECT_NE(v4, compatible);
    EXPECT_LT(Address(), v4);
    EXPECT_LT(v4, compatible);
    EXPECT_LT(*Address::Parse("10.1.2.3"), *Address::Parse("10.1.2.4"));
    EXPECT_LT(*Address::Parse("9.255.255.255"), *Address::Parse("10.0.0.0"));

    std::unordered_set<Address> seen{v4, compatible, Address()};
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_TRUE(seen.contains(*Address::Parse("::ffff:10.1.2.3")));
}

}  // namespace
}  // namespace quorell::net
