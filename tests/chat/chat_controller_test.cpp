// When the ring sounds.
#include <gtest/gtest.h>

#include "chat/chat_controller.h"

namespace quorell {
namespace {

// A history whose every addition runs its change handler, as the window's history box does.
class FakeView : public IChatView {
public:
    void AddHistory(const QString& line) override {
        history.push_back(line);
        if (reports_changes) controller->HistoryChanged();
    }
    void Ring() override { ++rings; }

    ChatController* controller = nullptr;
    bool reports_changes = true;
    std::vector<QString> history;
    int rings = 0;
};

struct Chat : ::testing::Test {
    Chat() { view.controller = &chat; }
    FakeView view;
    ChatController chat{view};
};

TEST_F(Chat, EveryIncomingLineRingsOnceAndNothingElseDoes) {
    chat.Incoming(QStringLiteral("对方[t]: one"));
    chat.Incoming(QStringLiteral("对方[t]: two"));
    EXPECT_EQ(view.rings, 2);
    EXPECT_EQ(view.history.size(), 2u);
    EXPECT_TRUE(chat.LastIncomingLine().isEmpty());

    // Own lines, the peer's lines added without a ring (the accept notice) and clearing.
    view.AddHistory(QStringLiteral("自己[t]: mine"));
    view.AddHistory(QStringLiteral("对方[t]: accepted"));
    chat.HistoryChanged();
    EXPECT_EQ(view.rings, 2);
}

TEST_F(Chat, TheRingWaitsForTheHistoryToChange) {
    view.reports_changes = false;
    chat.Incoming(QStringLiteral("对方[t]: quiet"));
    EXPECT_EQ(view.rings, 0);
    EXPECT_EQ(chat.LastIncomingLine(), QStringLiteral("对方[t]: quiet"));
    chat.HistoryChanged();
    chat.HistoryChanged();
    EXPECT_EQ(view.rings, 1);
    EXPECT_TRUE(chat.LastIncomingLine().isEmpty());
}

}  // namespace
}  // namespace quorell
