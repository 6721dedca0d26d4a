#include "chat/send_text.h"

#include "common/worker.h"
#include "protocol/control_lines.h"

namespace quorell {

void Send_text::Start(std::shared_ptr<UiBridge> bridge, std::shared_ptr<IControlLink> link,
                      SharedWindowRef<IChatWindow> window) {
    auto worker =
        std::make_shared<Send_text>(std::move(bridge), std::move(link), std::move(window));
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
    if (!link_->SendControlLine(protocol::Encode(protocol::LineKind::Chat, text))) return;
    bridge_->Invoke([ref, &text] {
        IChatWindow& window = ref->Get();
        window.AddOwnHistory(text);
        // Text typed while the message was on its way stays in the box.
        if (window.InputText() == text) window.ClearInput();
    });
}

}  // namespace quorell
