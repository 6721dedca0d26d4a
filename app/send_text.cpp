#include "app/send_text.h"

#include "app/control_channel.h"
#include "common/text.h"
#include "common/worker.h"
#include "protocol/control_lines.h"

namespace quorell {

void Send_text::Start(std::shared_ptr<UiBridge> bridge, std::shared_ptr<ControlChannel> channel,
                      SharedWindowRef<IChatWindow> window) {
    auto worker =
        std::make_shared<Send_text>(std::move(bridge), std::move(channel), std::move(window));
    StartDetachedWorker([worker] { worker->Execute(); });
}

void Send_text::Execute() noexcept {
    try {
        Run();
    } catch (...) {
        // A broken connection or a closing program ends the send without a word.
    }
}

void Send_text::Run() {
    const WindowRef<IChatWindow>* ref = window_.get();
    const std::string text = bridge_->Call([ref] { return ref->Get().InputText(); });
    if (text.empty()) return;
    if (text.size() > kMaxMessageBytes) {
        bridge_->Invoke([ref] { ref->Get().MessageTooLargeBox(); });
        return;
    }
    const std::string chat_line = protocol::Encode(protocol::LineKind::Chat, text);
    const std::string host = bridge_->Call([ref] { return ref->Get().PeerAddress(); });
    if (!channel_->SendControlLine(host, chat_line)) return;
    bridge_->Invoke([ref, &text] {
        ref->Get().AddOwnHistory(text);
        ref->Get().ClearSentInput(text);
    });
}

}  // namespace quorell
