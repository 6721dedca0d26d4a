// Sending one typed message, against a fake window and the in-memory control link.
#include <gtest/gtest.h>

#include <functional>

#include "chat/send_text.h"
#include "support/memory_control_link.h"

namespace quorell::test {
namespace {

class FakeChatWindow : public IChatWindow {
public:
    std::string InputText() override { return input; }
    void MessageTooLargeBox() override { ++too_large_boxes; }
    void AddOwnHistory(const std::string& text) override { history.push_back(text); }
    void ClearInput() override { input.clear(); }

    std::string input;
    int too_large_boxes = 0;
    std::vector<std::string> history;
};

// The peer's side: what it is shown, and a hook for what happens meanwhile here.
class Peer : public RecordingControlEvents {
public:
    void ShowIncoming(const std::string& line) override {
        RecordingControlEvents::ShowIncoming(line);
        if (on_shown) on_shown();
    }
    std::function<void()> on_shown;
};

struct SendText : ::testing::Test {
    SendText() { link->ConnectPeer(peer); }
    // One press of the send button with the input box holding input, run to its end here.
    void Send(std::string input) {
        window.input = std::move(input);
        Send_text(bridge, link, window_ref).Execute();
    }

    std::shared_ptr<UiBridge> bridge = std::make_shared<UiBridge>(nullptr);
    std::shared_ptr<MemoryControlLink> link = std::make_shared<MemoryControlLink>(bridge);
    Peer peer;
    FakeChatWindow window;
    SharedWindowRef<IChatWindow> window_ref = std::make_shared<WindowRef<IChatWindow>>(&window);
};

TEST_F(SendText, AMessageGoesOutAsOneLineAndJoinsTheOwnHistory) {
    Send("a\r\nb/@@c");
    EXPECT_EQ(link->Sent(), std::vector<std::string>{"a/@@b/@@c\r\n"});
    EXPECT_EQ(peer.events, std::vector<std::string>{"shown a\r\nb\r\nc"});
    EXPECT_EQ(window.history, std::vector<std::string>{"a\r\nb/@@c"});
    EXPECT_TRUE(window.input.empty());
}

TEST_F(SendText, EightThousandBytesAreTheLimit) {
    Send(std::string(8000, 'x'));
    ASSERT_EQ(link->Sent().size(), 1u);
    EXPECT_EQ(window.too_large_boxes, 0);

    const std::string too_large(8001, 'x');
    Send(too_large);
    EXPECT_EQ(window.too_large_boxes, 1);
    EXPECT_EQ(link->Sent().size(), 1u);
    EXPECT_EQ(window.history.size(), 1u);
    EXPECT_EQ(window.input, too_large);
}

TEST_F(SendText, NothingHappensForAnEmptyBoxOrAClosedWindow) {
    Send("");
    window_ref->Reset();
    Send("after the window");
    EXPECT_TRUE(link->Sent().empty());
    EXPECT_TRUE(window.history.empty());
    EXPECT_EQ(window.too_large_boxes, 0);
}

TEST_F(SendText, AnUnreachablePeerKeepsTheTextAndAddsNoHistory) {
    link->SetPeerUnreachable(true);
    Send("lost?");
    EXPECT_EQ(link->UnreachableBoxes(), 1);
    EXPECT_TRUE(window.history.empty());
    EXPECT_EQ(window.input, "lost?");
}

TEST_F(SendText, TextTypedWhileTheMessageTravelsStays) {
    peer.on_shown = [this] { window.input += " and more"; };
    Send("first");
    EXPECT_EQ(window.history, std::vector<std::string>{"first"});
    EXPECT_EQ(window.input, "first and more");
}

}  // namespace
}  // namespace quorell::test
