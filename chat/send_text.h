#pragma once

#include <memory>
#include <string>

#include "common/ui_bridge.h"
#include "common/window_ref.h"
#include "links/control_link.h"

namespace quorell {

// What sending a message needs from the window; called on the user-interface thread only.
class IChatWindow {
public:
    virtual ~IChatWindow() = default;
    // The input box as GBK bytes, line breaks as CR LF.
    virtual std::string InputText() = 0;
    virtual void MessageTooLargeBox() = 0;
    virtual void AddOwnHistory(const std::string& text) = 0;
    virtual void ClearInput() = 0;
};

// The worker that sends one typed message: one thread per press of the send button.
class Send_text {
public:
    static constexpr std::size_t kMaxMessageBytes = 8000;

    Send_text(std::shared_ptr<UiBridge> bridge, std::shared_ptr<IControlLink> link,
              SharedWindowRef<IChatWindow> window)
        : bridge_(std::move(bridge)), link_(std::move(link)), window_(std::move(window)) {}

    // Starts a detached thread running Execute(). Throws std::system_error when no thread can
    // be created.
    static void Start(std::shared_ptr<UiBridge> bridge, std::shared_ptr<IControlLink> link,
                      SharedWindowRef<IChatWindow> window);

    // The thread body; every failure ends it silently.
    void Execute() noexcept;

private:
    void Run();
    std::shared_ptr<UiBridge> bridge_;
    std::shared_ptr<IControlLink> link_;
    SharedWindowRef<IChatWindow> window_;
};

}  // namespace quorell
