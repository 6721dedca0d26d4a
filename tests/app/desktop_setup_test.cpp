// What makes the program fit a Chinese desktop: Qt's own texts in Chinese, and the save dialog
// opening where downloads go.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTranslator>

#include "app/dialogs.h"
#include "app/qt_translations.h"

namespace quorell {
namespace {

TEST(QtTranslations, BoxButtonsAndFileDialogsSpeakChinese) {
    const QList<QTranslator*> installed = InstallQtTranslations(*QCoreApplication::instance());
    ASSERT_FALSE(installed.isEmpty()) << "Qt's Chinese translations are not installed";
    {
        QMessageBox box(QMessageBox::Warning, "Quorell", "text", QMessageBox::Ok);
        EXPECT_EQ(box.button(QMessageBox::Ok)->text(), QStringLiteral("确定"));
        QFileDialog dialog;
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        EXPECT_TRUE(dialog.labelText(QFileDialog::Accept).contains(QStringLiteral("保存")))
            << dialog.labelText(QFileDialog::Accept).toStdString();
        EXPECT_TRUE(dialog.labelText(QFileDialog::Reject).contains(QStringLiteral("取消")));
    }
    qDeleteAll(installed);  // the other tests see Qt's own texts again
    QMessageBox box(QMessageBox::Warning, "Quorell", "text", QMessageBox::Ok);
    EXPECT_EQ(box.button(QMessageBox::Ok)->text(), QStringLiteral("OK"));
}

// Points the user's folders at a home of its own for one test.
class ScopedHome {
public:
    ScopedHome() : saved_home_(qgetenv("HOME")), saved_config_(qgetenv("XDG_CONFIG_HOME")) {
        qputenv("HOME", dir_.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (dir_.path() + "/.config").toUtf8());
        QDir(dir_.path()).mkpath(".config");
    }
    ~ScopedHome() {
        qputenv("HOME", saved_home_);
        if (saved_config_.isEmpty()) {
            qunsetenv("XDG_CONFIG_HOME");
        } else {
            qputenv("XDG_CONFIG_HOME", saved_config_);
        }
    }
    QString Path(const QString& name) const { return QDir(dir_.path()).filePath(name); }
    void SetDownloadFolder(const QString& line) {
        QFile dirs(Path(".config/user-dirs.dirs"));
        ASSERT_TRUE(dirs.open(QIODevice::WriteOnly | QIODevice::Truncate));
        dirs.write(("XDG_DOWNLOAD_DIR=\"" + line + "\"\n").toUtf8());
    }

private:
    QTemporaryDir dir_;
    QByteArray saved_home_;
    QByteArray saved_config_;
};

TEST(SaveDialogStart, TheProposedNameInTheDownloadFolderElseHome) {
    ScopedHome home;
    home.SetDownloadFolder(QStringLiteral("$HOME/下载"));
    ASSERT_TRUE(QDir().mkpath(home.Path(QStringLiteral("下载"))));
    EXPECT_EQ(SaveDialogStartPath(QStringLiteral("报告 1.txt")),
              home.Path(QStringLiteral("下载/报告 1.txt")));
    // Only the name is kept of whatever else the proposal holds.
    EXPECT_EQ(SaveDialogStartPath(QStringLiteral("../../etc/passwd")),
              home.Path(QStringLiteral("下载/passwd")));
    EXPECT_EQ(SaveDialogStartPath(QString()), home.Path(QStringLiteral("下载")));

    // A download folder that is not there (or not set): the home folder.
    ASSERT_TRUE(QDir(home.Path(QStringLiteral("下载"))).removeRecursively());
    EXPECT_EQ(SaveDialogStartPath(QStringLiteral("a.bin")), home.Path(QStringLiteral("a.bin")));
}

}  // namespace
}  // namespace quorell
