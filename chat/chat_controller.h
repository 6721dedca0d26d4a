#pragma once

#include <QString>

namespace quorell {

// What the chat state shows; called on the user-interface thread.
class IChatView {
public:
    virtual ~IChatView() = default;
    // Adds a line at the end of the history; the history's change handler follows.
    virtual void AddHistory(const QString& line) = 0;
    // Plays the ring sound once.
    virtual void Ring() = 0;
};

// The chat's state: the history line of the last text from the peer, kept until its ring.
// Lines of this side, other history lines and clearing the history never ring.
class ChatController {
public:
    explicit ChatController(IChatView& view) : view_(view) {}

    // A line from the peer as the history shows it: kept, added to the history, and rung for
    // once the history has changed with it.
    void Incoming(const QString& history_line);
    // The history's change handler: the ring of the incoming line just added, if one is due.
    void HistoryChanged();

    // The history line of the peer's latest text until it has rung, then empty.
    const QString& LastIncomingLine() const { return last_incoming_; }

private:
    IChatView& view_;
    QString last_incoming_;
    bool ring_due_ = false;
};

}  // namespace quorell
