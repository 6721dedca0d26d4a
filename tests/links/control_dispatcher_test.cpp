// What the peer's control lines do, read from memory and from a finished connection.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "common/gbk.h"
#include "links/control_dispatcher.h"
#include "links/line_source.h"
#include "protocol/control_lines.h"
#include "support/memory_control_link.h"

namespace quorell::test {
namespace {

using Events = std::vector<std::string>;

struct Receiver {
    Receiver() { link.SetEvents(events); }
    // The events of one connection from 127.0.0.5 sending these lines.
    Events From(std::deque<std::string> lines) {
        events.events.clear();
        ok = link.Deliver(std::move(lines), "127.0.0.5");
        return events.events;
    }
    MemoryControlLink link;
    RecordingControlEvents events;
    bool ok = true;
};

std::string Wire(const char* text) {
    return lines::Wire(text);
}

TEST(Dispatcher, EachKindOfFirstLine) {
    Receiver r;
    // Parameter lines change the ports and show nothing; the address line does nothing.
    EXPECT_EQ(r.From({"system1:00123"}), Events{"video-port 123"});
    EXPECT_EQ(r.From({"system3:\t 4321 "}), Events{"voice-port 4321"});
    EXPECT_EQ(r.From({"system2:10.0.0.1", "after"}), Events{});
    // Notices with an effect are shown after it, the offer and the connect notice with the
    // connection's source address.
    const std::string offered = Wire(lines::kFileOffered);
    EXPECT_EQ(r.From({offered}), (Events{"offered 127.0.0.5", "shown " + offered}));
    const std::string connected = Wire(lines::kConnected);
    EXPECT_EQ(r.From({connected}), (Events{"connected 127.0.0.5", "shown " + connected}));
    const std::string cancelled = Wire(lines::kFileCancelled);
    EXPECT_EQ(r.From({cancelled}), (Events{"cancelled", "shown " + cancelled}));
    const std::string closed = Wire(lines::kVideoClosed);
    EXPECT_EQ(r.From({closed}), (Events{"video-closed", "shown " + closed}));
    // The accept notice is its own event, never also shown, and ends the connection's lines.
    const std::string accepted = Wire(lines::kFileAccepted);
    EXPECT_EQ(r.From({accepted, "more"}), Events{"accepted " + accepted});
    // Other notices and chat are only shown, with their line breaks restored.
    const std::string opened = Wire(lines::kVideoOpened);
    EXPECT_EQ(r.From({opened}), Events{"shown " + opened});
    EXPECT_EQ(r.From({"a/@@b"}), Events{"shown a\r\nb"});
    EXPECT_EQ(r.From({" \t"}), Events{});
    EXPECT_TRUE(r.ok);
}

TEST(Dispatcher, AVideoPortThatIsNoNumberChangesNothing) {
    Receiver r;
    for (const char* line : {"system1:12a", "system1:99999999999999999999", "system1:"}) {
        EXPECT_EQ(r.From({line, "more"}), Events{}) << line;
        EXPECT_FALSE(r.ok) << line;
    }
}

TEST(Dispatcher, LaterLinesAreChatUntilABlankLine) {
    Receiver r;
    EXPECT_EQ(r.From({"one", "system1:5", Wire(lines::kConnected), " ", "never"}),
              (Events{"shown one", "shown system1:5", "shown " + Wire(lines::kConnected)}));
    EXPECT_EQ(r.From({Wire(lines::kFileOffered), "two"}),
              (Events{"offered 127.0.0.5", "shown " + Wire(lines::kFileOffered), "shown two"}));
    // A parameter line ends its connection's lines.
    EXPECT_EQ(r.From({"system3:1", "more"}), Events{"voice-port 1"});
}

TEST(Dispatcher, ReadsAConnectionUntilItEnds) {
    net::ServerConnection::Limits limits;
    limits.address = *net::Address::Parse("127.0.0.7");
    net::ServerConnection conn(Wire(lines::kConnected) + "\r\nhi\r\nno line end", limits);
    ConnectionLineSource source(conn);
    EXPECT_EQ(source.SourceAddress(), "127.0.0.7");
    UiBridge bridge(nullptr);
    RecordingControlEvents events;
    const WindowRef<IControlEvents> target(&events);
    // Bytes without a line end at the close read as a blank line, which ends the chat.
    DispatchLines(source, bridge, target);
    EXPECT_EQ(events.events,
              (Events{"connected 127.0.0.7", "shown " + Wire(lines::kConnected), "shown hi"}));
}

TEST(MemoryLink, RecordsTheWireBytesAndCarriesThemOutOnThePeer) {
    MemoryControlLink link;
    RecordingControlEvents peer;
    link.ConnectPeer(peer, "127.0.0.1");
    ASSERT_TRUE(link.SendControlLine(Wire(lines::kConnected)));
    ASSERT_TRUE(link.SendControlLine("system1:12345"));
    const std::string gbk_prefix("\x5B\xCF\xB5\xCD\xB3\xCF\xFB\xCF\xA2\x5D\xA3\xBA", 12);
    ASSERT_EQ(link.Sent().size(), 2u);
    EXPECT_EQ(link.Sent()[0].substr(0, 12), gbk_prefix);
    EXPECT_EQ(link.Sent()[0], Wire(lines::kConnected) + "\r\n");
    EXPECT_EQ(link.Sent()[1], "system1:12345\r\n");
    EXPECT_EQ(peer.events, (Events{"connected 127.0.0.1", "shown " + Wire(lines::kConnected),
                                   "video-port 12345"}));

    link.SetPeerUnreachable(true);
    EXPECT_FALSE(link.SendControlLine("lost"));
    EXPECT_EQ(link.UnreachableBoxes(), 1);
    EXPECT_EQ(link.Sent().size(), 2u);
    EXPECT_EQ(peer.events.size(), 3u);
}

}  // namespace
}  // namespace quorell::test
