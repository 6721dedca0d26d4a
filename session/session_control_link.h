#pragma once

// Control lines over an open session: each line the features send becomes the session message
// of the same meaning, and each message from the peer becomes the plain line that does the same
// here. Texts of the plain lines are GBK bytes; session texts are UTF-8.

#include <memory>
#include <optional>
#include <string>

#include "links/control_link.h"
#include "session/message.h"
#include "session/session.h"

namespace quorell::session {

// The message a control line (GBK, without its line end) travels as; nothing for the lines a
// session does not carry (the connect notice and the address: the session connected both sides
// already).
std::optional<Message> MessageForLine(const std::string& line);

// The plain control line (GBK, without its line end) an event stands for; nothing for an event
// this side does nothing with (an unknown code, the address).
std::optional<std::string> LineForEvent(const Event& event);

class SessionControlLink : public IControlLink {
public:
    explicit SessionControlLink(std::shared_ptr<Session> session) : session_(std::move(session)) {}
    // Queues the line's message on the session. true for a line that is not carried; false
    // when the session has ended or refuses the message.
    bool SendControlLine(const std::string& line) override;
    const std::shared_ptr<Session>& Carrier() const { return session_; }

private:
    std::shared_ptr<Session> session_;
};

}  // namespace quorell::session
