#include "app/dialogs.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QStandardPaths>

#include "app/format_chooser_dialog.h"
#include "app/quit_on_signal.h"
#include "app/sound_server.h"

namespace quorell {

namespace {

void Box(QWidget* owner, QMessageBox::Icon icon, const QString& caption, const QString& text) {
    if (TerminationRequested()) return;  // the program is on its way out
    QMessageBox box(icon, caption, text, QMessageBox::Ok, owner);
    // Texts may carry what a peer chose (its name, a file name): never read as markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

}  // namespace

QString KeyChangedText(const QString& peer_name) {
    return QStringLiteral(
               "警告：“%1”的密钥与上次不同，对方可能是别人冒充的。\n"
               "在与对方核对验证码之前，不要相信这次连接。")
        .arg(peer_name);
}

QString DownloadFolder() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) folder = QDir::homePath();
    return folder;
}

QString SaveDialogStartPath(const QString& proposed) {
    const QString folder = DownloadFolder();
    const QString name = QFileInfo(proposed).fileName();
    return name.isEmpty() ? folder : QDir(folder).filePath(name);
}

void QtDialogs::UnreachablePeerBox() {
    Box(owner_, QMessageBox::Critical, QStringLiteral("确认"),
        QStringLiteral("无法到达对方，请确认IP地址是否正确"));
}

void QtDialogs::PlainBox(const QString& text) {
    Box(owner_, QMessageBox::NoIcon, QApplication::applicationName(), text);
}

void QtDialogs::StandardErrorBox(const QString& message) {
    Box(owner_, QMessageBox::Critical, QApplication::applicationName(), message);
}

QString QtDialogs::OpenFileName() {
    if (TerminationRequested()) return QString();
    return QFileDialog::getOpenFileName(owner_);
}

QString QtDialogs::SaveFileName(const QString& suggested) {
    if (TerminationRequested()) return QString();
    return QFileDialog::getSaveFileName(owner_, QString(), SaveDialogStartPath(suggested));
}

QStringList QtDialogs::OpenFileNames() {
    if (TerminationRequested()) return {};
    return QFileDialog::getOpenFileNames(owner_);
}

QString QtDialogs::ExistingFolder(const QString& start) {
    if (TerminationRequested()) return QString();
    return QFileDialog::getExistingDirectory(owner_, QString(), start);
}

bool QtDialogs::AskYesNo(const QString& text) {
    if (TerminationRequested()) return false;
    QMessageBox box(QMessageBox::Question, QApplication::applicationName(), text,
                    QMessageBox::Yes | QMessageBox::No, owner_);
    box.setTextFormat(Qt::PlainText);  // may name the peer's files
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

bool QtDialogs::ChooseFormat(WaveFormat& format) {
    if (TerminationRequested()) return false;
    FormatChooserDialog dialog(format, owner_);
    if (sound_devices_) dialog.OfferDevices(AskSoundServer(), *sound_devices_);
    if (dialog.exec() != QDialog::Accepted) return false;
    format = dialog.Chosen();
    if (sound_devices_) *sound_devices_ = dialog.PickedDevices();
    return true;
}

void QtDialogs::ConfirmErrorBox(const QString& text) {
    Box(owner_, QMessageBox::Critical, QStringLiteral("确认"), text);
}

bool QtDialogs::ConfirmVerification(const QString& code) {
    if (TerminationRequested()) return false;
    QMessageBox box(QMessageBox::Question, QStringLiteral("验证对方"),
                    QStringLiteral("请通过电话或当面与对方核对验证码：\n\n%1\n\n"
                                   "双方看到的验证码完全相同吗？")
                        .arg(code),
                    QMessageBox::Yes | QMessageBox::No, owner_);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void QtDialogs::KeyChangedBox(const QString& peer_name) {
    Box(owner_, QMessageBox::Critical, QStringLiteral("警告：对方的密钥已改变"),
        KeyChangedText(peer_name));
}

QString QtDialogs::ExportFileName(const QString& suggested) {
    if (TerminationRequested()) return QString();
    const QString text = QStringLiteral("纯文本 (*.txt)");
    const QString html = QStringLiteral("网页 (*.html *.htm)");
    QString chosen = text;
    QString path = QFileDialog::getSaveFileName(owner_, QStringLiteral("导出聊天记录"),
                                                SaveDialogStartPath(suggested),
                                                text + QStringLiteral(";;") + html, &chosen);
    if (path.isEmpty()) return path;
    const QString suffix = QFileInfo(path).suffix().toLower();
    const bool is_html = suffix == QStringLiteral("html") || suffix == QStringLiteral("htm");
    if (chosen == html && !is_html) path += QStringLiteral(".html");
    if (chosen == text && !is_html && suffix != QStringLiteral("txt"))
        path += QStringLiteral(".txt");
    return path;
}

QString QtDialogs::AskText(const QString& label) {
    if (TerminationRequested()) return QString();
    bool ok = false;
    const QString text = QInputDialog::getText(owner_, QApplication::applicationName(), label,
                                               QLineEdit::Normal, QString(), &ok);
    return ok ? text : QString();
}

}  // namespace quorell
