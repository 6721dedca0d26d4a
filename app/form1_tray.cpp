// The window on the desktop: its icon in the tray with the unread messages, hiding there on
// close, the question before a close that would cut a transfer or a call short, and the
// palette that follows the desktop's light or dark choice.
#include <QApplication>
#include <QCoreApplication>
#include <QShowEvent>

#include "app/closing.h"
#include "app/color_scheme.h"
#include "app/devices.h"
#include "app/dialogs.h"
#include "app/form1.h"
#include "app/form1_calls_view.h"
#include "app/form3.h"
#include "app/theme.h"
#include "files/session_files.h"

namespace quorell {

void TForm1::SetUpDesktop() {
    tray_ = std::make_unique<Tray>(*static_cast<ITrayWindow*>(this), windowIcon());
    // Without a tray the window closes as it always did.
    if (Tray::Available()) tray_->Show();
    theme_ = std::make_unique<ThemeSwitcher>();
    if (devices_.color_scheme)
        devices_.color_scheme->Follow([this](bool dark) { theme_->Apply(dark); });
}

bool TForm1::DarkTheme() const {
    return theme_->Dark();
}

bool TForm1::WindowShown() const {
    return isVisible() && !isMinimized();
}

void TForm1::ShowWindow() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void TForm1::HideWindow() {
    form3_->hide();
    hide();
}

void TForm1::QuitProgram() {
    quitting_ = true;
    // A window in the tray is shown first when there is a question, so the question has its
    // window, and a "no" leaves it in front of the user.
    if (!CloseQuestion(Running()).isEmpty()) ShowWindow();
    close();
    quitting_ = false;
}

bool TForm1::HidesOnClose() const {
    return !quitting_ && tray_ && tray_->Shown();
}

RunningWork TForm1::Running() const {
    RunningWork work;
    work.sending_file = file_send_.State() == SendState::Sending;
    work.receiving_file = file_receiver_.State() == ReceiveState::Accepted;
    if (open_ && open_->files) {
        const files::SessionFiles& files = open_->files->Files();
        const files::TransferProgress out = files.Progress(files::Direction::kOutgoing);
        const files::TransferProgress in = files.Progress(files::Direction::kIncoming);
        work.sending_file |= out.active || out.queued > 0;
        work.receiving_file |= in.active;
    }
    work.call = !calls_view_->RunningNote().isEmpty();
    return work;
}

bool TForm1::AskBeforeClose() {
    const RunningWork work = Running();
    const QString question = CloseQuestion(work);
    if (question.isEmpty()) return true;
    if (!dialogs_.AskYesNo(question)) return false;
    // The plain protocol's transfers end as their buttons and the peer's cancel end them.
    if (file_send_.State() == SendState::Sending) file_send_.StopHere();
    if (file_receiver_.State() == ReceiveState::Accepted) {
        try {
            file_receiver_.ReceivePressed();
        } catch (const std::exception&) {
            // The connection broke while the cancel was written; the window closes anyway.
        }
    }
    return true;
}

void TForm1::CountUnread() {
    tray_->MessageArrived(WindowShown() && isActiveWindow());
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (tray_ && isActiveWindow()) tray_->WindowSeen();
}

}  // namespace quorell
