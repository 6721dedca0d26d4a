#pragma once

// The calls of one open session as the window holds them: the controller, its messages put on
// the session, and what it tells handed on as one piece of news at a time. No widgets.

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <variant>

#include "calls/session_calls.h"
#include "session/session.h"

namespace quorell {

struct CallPhaseNews {
    media::MediaKind kind;
    calls::CallPhase phase;
};
struct CallEndNews {
    media::MediaKind kind;
    calls::CallEnd why;
    std::string detail;
};
struct CallProblemNews {
    media::MediaKind kind;
    std::string text;
};
using CallsNews = std::variant<CallPhaseNews, CallEndNews, CallProblemNews>;

class SessionCallsLink {
public:
    // `deliver` runs on the controller's thread, one piece at a time; `frames` on a media
    // thread and must not block. Neither may close the controller.
    SessionCallsLink(std::shared_ptr<session::Session> session, calls::SessionCallsConfig config,
                     std::function<void(CallsNews)> deliver,
                     std::function<void(const media::VideoFrame&)> frames)
        : session_(session),
          calls_(
              std::move(config),
              [session](const session::CallMessage& message) {
                  return session->Send(session::Message{message});
              },
              std::make_shared<Events>(std::move(deliver), std::move(frames))) {}

    calls::SessionCalls& Calls() { return calls_; }
    const session::Session* Which() const { return session_.get(); }

private:
    class Events final : public calls::ISessionCallsEvents {
    public:
        Events(std::function<void(CallsNews)> deliver,
               std::function<void(const media::VideoFrame&)> frames)
            : deliver_(std::move(deliver)), frames_(std::move(frames)) {}
        void CallPhaseChanged(media::MediaKind kind, calls::CallPhase phase) override {
            deliver_(CallPhaseNews{kind, phase});
        }
        void CallEnded(media::MediaKind kind, calls::CallEnd why,
                       const std::string& detail) override {
            deliver_(CallEndNews{kind, why, detail});
        }
        void CallProblem(media::MediaKind kind, const std::string& text) override {
            deliver_(CallProblemNews{kind, text});
        }
        void PeerVideoFrame(const media::VideoFrame& frame) override { frames_(frame); }

    private:
        std::function<void(CallsNews)> deliver_;
        std::function<void(const media::VideoFrame&)> frames_;
    };

    std::shared_ptr<session::Session> session_;
    calls::SessionCalls calls_;
};

}  // namespace quorell
