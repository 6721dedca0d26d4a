#include "chat/chat_controller.h"

namespace quorell {

void ChatController::Incoming(const QString& history_line) {
    last_incoming_ = history_line;
    ring_due_ = true;
    view_.AddHistory(history_line);
}

void ChatController::HistoryChanged() {
    if (!ring_due_) return;
    ring_due_ = false;
    last_incoming_.clear();
    view_.Ring();
}

}  // namespace quorell
