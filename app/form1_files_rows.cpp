// The rows that show the progress of files over the session, one for each direction, and the
// history menu's entries that open the latest received files.
#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>

#include "app/devices.h"
#include "app/files_text.h"
#include "app/form1_files_view.h"

namespace quorell {

namespace {

constexpr int kBarSteps = 1000;

}  // namespace

TForm1::FilesView::Row::Row(QWidget* parent, int label_left, int bar_left)
    : label(new QLabel(parent)), bar(new QProgressBar(parent)) {
    label->setGeometry(label_left, 478, 250, 14);
    label->hide();
    bar->setGeometry(bar_left, 481, 80, 10);
    bar->setRange(0, kBarSteps);
    bar->setTextVisible(false);
    bar->hide();
}

// Progress, a few times a second.

bool TForm1::FilesView::ShowRow(Row& row, const files::TransferProgress& progress, bool sending) {
    if (!progress.active) {
        row.label->hide();
        row.bar->hide();
        row.speed.Stop();
        row.offer = 0;
        return false;
    }
    const auto now = TransferSpeed::Clock::now();
    const auto all_size = static_cast<std::int64_t>(progress.all_size);
    const auto all_bytes = static_cast<std::int64_t>(progress.all_bytes);
    if (row.offer != progress.offer || !row.speed.Running()) {
        row.offer = progress.offer;
        row.speed.Start(now, all_size, all_bytes);
    } else {
        row.speed.Sample(now, all_bytes);
    }
    const QString text = progress.files == 0
                             ? QStringLiteral("等待对方接收…")
                             : ProgressText(sending, progress.current_path, progress.files_done,
                                            progress.files, row.speed.Summary());
    row.label->setText(text);
    row.label->setToolTip(text);
    row.bar->setValue(progress.all_size == 0
                          ? 0
                          : static_cast<int>(progress.all_bytes * kBarSteps / progress.all_size));
    row.label->show();
    row.bar->show();
    return true;
}

bool TForm1::FilesView::Poll() {
    if (!Active()) return false;
    files::SessionFiles& files = form_.open_->files->Files();
    const files::TransferProgress out = files.Progress(files::Direction::kOutgoing);
    const files::TransferProgress in = files.Progress(files::Direction::kIncoming);
    stop_sending_->setEnabled(out.active || out.queued > 0);
    const bool sending = ShowRow(sending_, out, true);
    const bool receiving = ShowRow(receiving_, in, false);
    return sending || receiving || out.queued > 0 || receiving_now_;
}

// The latest received files, opened through the desktop.

QMenu* TForm1::FilesView::MakeHistoryMenu(QMenu* menu) {
    IDesktopOpener* opener = form_.devices_.opener.get();
    if (opener == nullptr || latest_folder_.isEmpty()) return menu;
    menu->addSeparator();
    if (!latest_file_.isEmpty()) {
        QObject::connect(menu->addAction(QStringLiteral("打开文件")), &QAction::triggered, menu,
                         [opener, file = latest_file_] { opener->Open(file); });
    }
    QObject::connect(menu->addAction(QStringLiteral("打开所在文件夹")), &QAction::triggered, menu,
                     [opener, folder = latest_folder_] { opener->Open(folder); });
    return menu;
}

QMenu* TForm1::SendMenu() const {
    return files_view_->SendMenu();
}

QMenu* TForm1::MakeHistoryMenu() {
    // The latest received files' entries stay last.
    QMenu* menu = Memo1->createStandardContextMenu();
    AddKeptMenuEntries(menu);
    return files_view_->MakeHistoryMenu(menu);
}

}  // namespace quorell
