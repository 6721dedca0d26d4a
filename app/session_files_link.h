#pragma once

// The files of one open session as the window holds them: the session's pipe, the controller,
// and what the controller tells, handed on as one piece of news at a time. No widgets.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <variant>

#include "files/session_files.h"
#include "files/transfer_pipe.h"
#include "session/session.h"

namespace quorell {

// This side's offer went out and waits for the peer's answer.
struct OutgoingStartNews {
    std::uint64_t offer = 0;
};
// This side's offer ended.
struct OutgoingEndNews {
    std::uint64_t offer = 0;
    files::OutgoingResult result;
};
// The peer's offer waits for an answer (IncomingOffer) or has ended (IncomingResult).
using FilesNews =
    std::variant<files::IncomingOffer, files::IncomingResult, OutgoingStartNews, OutgoingEndNews>;

class SessionFilesLink final : private files::ISessionFilesEvents {
public:
    // `deliver` is called from the session's and the transfers' threads, one piece at a time
    // per thread; it must not call the controller's Close.
    SessionFilesLink(std::shared_ptr<session::Session> session,
                     std::function<void(FilesNews)> deliver)
        : session_(session), pipe_(std::move(session)), deliver_(std::move(deliver)) {}
    ~SessionFilesLink() override { files_.Close(""); }

    files::SessionFiles& Files() { return files_; }

    // The window goes: every transfer is cancelled, the peer told with `text`, before the
    // close (which tells the peer nothing). Waits a little for this side's offer to say so.
    void CancelAndClose(const std::string& text) {
        files_.DropQueued();
        files_.CancelIncoming(text);
        files_.CancelOutgoing(text);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (files_.Progress(files::Direction::kOutgoing).active &&
               std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        files_.Close("");
    }
    const session::Session* Which() const { return session_.get(); }

private:
    void IncomingOffered(const files::IncomingOffer& offer) override { deliver_(offer); }
    void IncomingEnded(const files::IncomingResult& result) override { deliver_(result); }
    void OutgoingStarted(std::uint64_t offer_id, const files::Offer&) override {
        deliver_(OutgoingStartNews{offer_id});
    }
    void OutgoingEnded(std::uint64_t offer_id, const files::OutgoingResult& result) override {
        deliver_(OutgoingEndNews{offer_id, result});
    }

    std::shared_ptr<session::Session> session_;
    files::SessionPipe pipe_;
    std::function<void(FilesNews)> deliver_;
    files::SessionFiles files_{pipe_, *this};  // last: closed before the pipe goes
};

}  // namespace quorell
