// The two file links keep one contract: the socket one on loopback and the one in memory that
// the transfer's logic tests stand on.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "links/plain_file_link.h"
#include "support/memory_file_link.h"
#include "support/raw_udp.h"

namespace quorell::test {
namespace {

using namespace std::chrono_literals;

// A link and the peer's side of it: the peer answers the datagram it got last.
struct Wire {
    std::shared_ptr<IFileLink> link;
    std::string to;
    std::function<std::optional<std::string>()> peer_got;  // the next datagram, if any
    std::function<void(std::string_view)> peer_answers;
};

Wire Plain(RawUdp& peer, int& peer_source) {
    auto link = std::make_shared<PlainFileLink>(peer.port());
    link->Client().BindAddress = "127.0.0.1";
    return {link, "127.0.0.1",
            [&peer, &peer_source]() -> std::optional<std::string> {
                auto d = peer.Receive(5s);
                if (!d) return std::nullopt;
                peer_source = d->port;
                return d->bytes;
            },
            [&peer, &peer_source](std::string_view reply) {
                peer.SendTo("127.0.0.1", peer_source, reply);
            }};
}

Wire Memory(FileDatagramReply& last_reply) {
    auto link = std::make_shared<MemoryFileLink>();
    return {link, "127.0.0.1",
            [link, &last_reply]() -> std::optional<std::string> {
                std::optional<std::string> got;
                link->Pump(
                    [&](std::string_view data, const std::string&, int,
                        const FileDatagramReply& reply) {
                        got = std::string(data);
                        last_reply = reply;
                    },
                    1);
                return got;
            },
            [&last_reply](std::string_view reply) { last_reply(reply); }};
}

void CheckContract(const Wire& wire) {
    IFileLink& link = *wire.link;
    link.SetPeerHost("localhost");
    EXPECT_EQ(link.PeerHost(), "localhost");
    EXPECT_EQ(link.Resolve("127.0.0.1"), "127.0.0.1");

    link.Open();
    EXPECT_TRUE(link.IsOpen());
    link.Send(wire.to, "Send file:File Name:a");
    EXPECT_EQ(wire.peer_got(), "Send file:File Name:a");
    // An empty answer is an answer (a refusal), not silence.
    wire.peer_answers("");
    EXPECT_EQ(link.Receive(5000), std::optional<std::string>(""));
    EXPECT_EQ(link.Receive(30), std::nullopt);

    // A close from another thread ends a long wait at once, as a failure. The closes go on
    // until the wait has ended: one that comes before the wait begins only closes the link,
    // which the wait then opens again.
    std::atomic<bool> ended{false};
    std::thread closer([&] {
        while (!ended) {
            link.Close();
            std::this_thread::sleep_for(1ms);
        }
    });
    bool failed = false;
    try {
        link.Receive(60000);
    } catch (const std::exception&) {
        failed = true;
    }
    ended = true;
    closer.join();
    EXPECT_TRUE(failed);
    EXPECT_FALSE(link.IsOpen());
}

TEST(FileLinkTest, BothLinksKeepOneContract) {
    {
        SCOPED_TRACE("socket");
        RawUdp peer("127.0.0.1", 0);
        ASSERT_TRUE(peer.ok());
        int peer_source = 0;
        CheckContract(Plain(peer, peer_source));
    }
    {
        SCOPED_TRACE("memory");
        FileDatagramReply last_reply;
        CheckContract(Memory(last_reply));
    }
}

}  // namespace
}  // namespace quorell::test
