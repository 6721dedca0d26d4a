// The original protocol's control link over real loopback connections.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "links/plain_control_link.h"
#include "protocol/control_lines.h"
#include "support/raw_tcp.h"

namespace quorell::test {
namespace {

class FakeLinkWindow : public IControlLinkWindow {
public:
    std::string PeerAddress() override {
        if (std::this_thread::get_id() != ui_thread) off_ui_thread = true;
        return host;
    }
    void UnreachablePeerBox() override {
        if (std::this_thread::get_id() != ui_thread) off_ui_thread = true;
        ++boxes;
    }
    std::string host = "127.0.0.1";
    int boxes = 0;
    bool off_ui_thread = false;
    std::thread::id ui_thread = std::this_thread::get_id();
};

struct PlainLink : ::testing::Test {
    void SetUp() override {
        listener = ListenLoopback(4, &port);
        ASSERT_GE(listener, 0);
        link = std::make_unique<PlainControlLink>(bridge, window_ref, port, "");
    }
    void TearDown() override {
        if (listener >= 0) close(listener);
    }
    // Everything the next connection brings.
    std::string NextConnection() {
        const int fd = accept(listener, nullptr, nullptr);
        std::string bytes = ReadToEnd(fd);
        close(fd);
        return bytes;
    }

    std::shared_ptr<UiBridge> bridge = std::make_shared<UiBridge>(nullptr);
    FakeLinkWindow window;
    SharedWindowRef<IControlLinkWindow> window_ref =
        std::make_shared<WindowRef<IControlLinkWindow>>(&window);
    int listener = -1;
    int port = 0;
    std::unique_ptr<PlainControlLink> link;
};

TEST_F(PlainLink, EachLineIsOneConnectionOfGbkAndCrLf) {
    // The listener's backlog holds each connection until it is read.
    ASSERT_TRUE(link->SendControlLine(lines::Wire(lines::kConnected)));
    ASSERT_TRUE(link->SendControlLine("system1:12345"));
    EXPECT_EQ(NextConnection(), lines::Wire(lines::kConnected) + "\r\n");
    EXPECT_EQ(NextConnection(), "system1:12345\r\n");
    EXPECT_FALSE(link->Client1().IsConnected());

    // Nobody listens now: the box, and no connection left behind.
    close(listener);
    listener = -1;
    EXPECT_FALSE(link->SendControlLine("x"));
    EXPECT_EQ(window.boxes, 1);
    EXPECT_FALSE(link->Client1().IsConnected());
}

TEST_F(PlainLink, AWorkerReadsTheAddressAndShowsTheBoxThroughTheUserInterfaceThread) {
    // Sends line from a thread of its own while this one serves the bridge.
    const auto send_from_worker = [&](const std::string& line) {
        std::atomic<bool> done{false}, sent{false};
        std::thread worker([&] {
            sent = link->SendControlLine(line);
            done = true;
        });
        EXPECT_TRUE(bridge->PumpUntil([&] { return done.load(); }, std::chrono::seconds(30)));
        worker.join();
        return sent.load();
    };
    EXPECT_TRUE(send_from_worker("hello"));
    EXPECT_EQ(NextConnection(), "hello\r\n");
    window.host = "127.0.0.3";  // the listener is on 127.0.0.1 only
    EXPECT_FALSE(send_from_worker("lost"));
    EXPECT_EQ(window.boxes, 1);
    EXPECT_FALSE(window.off_ui_thread);
}

}  // namespace
}  // namespace quorell::test
