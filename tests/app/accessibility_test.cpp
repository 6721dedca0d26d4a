// The windows for screen readers and the keyboard: every control of the main window, the About
// box, the bigger picture and the format chooser is named and described as a screen reader
// reads it (Qt's accessibility tree, the tree the desktop's bridge publishes), every button
// has a tooltip, and the main actions are reached from the keyboard.
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "app/big_picture.h"
#include "app/form3.h"
#include "app/format_chooser_dialog.h"
#include "app/sound_server.h"
#include "audio/wave_format.h"
#include "support/two_peers.h"

namespace quorell::test {
namespace {

// Qt's own parts of a control (a text box's scroll bars and their arrows, a list's header and
// rows) are named by Qt; everything the program made must be named by it.
bool QtsOwnPart(QAccessibleInterface* node) {
    for (QAccessibleInterface* at = node; at != nullptr; at = at->parent()) {
        const QAccessible::Role role = at->role();
        if (role == QAccessible::ScrollBar || role == QAccessible::ColumnHeader ||
            role == QAccessible::Row || role == QAccessible::Cell || role == QAccessible::RowHeader)
            return true;
        const QObject* object = at->object();
        if (object == nullptr) continue;
        const QString kind = QString::fromLatin1(object->metaObject()->className());
        if (object->objectName().startsWith(QLatin1String("qt_")) ||
            (kind.startsWith(QLatin1String("QComboBox")) && kind != QLatin1String("QComboBox")))
            return true;
    }
    return !node->object() || !node->object()->isWidgetType();
}

// What is wrong with each control under `root`, one line each.
void Walk(QAccessibleInterface* node, QStringList& faults, int depth = 0) {
    if (node == nullptr || depth > 32) return;
    if (!QtsOwnPart(node)) {
        auto* widget = static_cast<QWidget*>(node->object());
        const QString who =
            QStringLiteral("%1 (%2, role %3)")
                .arg(widget->objectName(), QString::fromLatin1(widget->metaObject()->className()))
                .arg(static_cast<int>(node->role()));
        // A label's words are its name; one that shows none yet is hidden.
        const auto* label = qobject_cast<const QLabel*>(widget);
        const bool nothing_to_read = label != nullptr && label->text().isEmpty() &&
                                     label->pixmap().isNull() &&
                                     !widget->isVisibleTo(widget->window());
        if (node->text(QAccessible::Name).trimmed().isEmpty() && !nothing_to_read)
            faults << who + QStringLiteral(": no name");
        if (node->text(QAccessible::Description).trimmed().isEmpty())
            faults << who + QStringLiteral(": no description of ") + node->text(QAccessible::Name);
        if (node->role() == QAccessible::PushButton && widget->toolTip().isEmpty())
            faults << who + QStringLiteral(": a button without tooltip: ") +
                          node->text(QAccessible::Name);
    }
    for (int i = 0; i < node->childCount(); ++i) Walk(node->child(i), faults, depth + 1);
}

std::string Faults(QWidget* window) {
    QStringList faults;
    Walk(QAccessible::queryAccessibleInterface(window), faults);
    return faults.join(QLatin1Char('\n')).toStdString();
}

class AccessibilityTest : public TwoPeers {
protected:
    void Activate(Peer& peer) {
        peer.form->activateWindow();
        ASSERT_TRUE(WaitUntil([&] { return peer.form->isActiveWindow(); }));
    }
    static void Keys(Peer& peer, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::AltModifier) {
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : peer.form.get(),
                        key, modifiers);
    }
};

TEST_F(AccessibilityTest, EveryControlOfEveryWindowIsNamedDescribedAndEveryButtonHasATooltip) {
    StartWithSessions();
    // Every control there is once connected and sending video, including the camera's surface.
    a->TypeAddress(QStringLiteral("127.0.0.2"));
    a->Connect();
    ASSERT_TRUE(WaitUntil([&] { return a->form->Button3->isEnabled(); }));
    QTest::mouseClick(a->form->Button3, Qt::LeftButton);
    ASSERT_NE(a->form->CaptureWindow, nullptr);
    EXPECT_EQ(Faults(a->form.get()), "");
    EXPECT_EQ(Faults(b->form.get()), "");
    // The walk does look at the controls.
    QAccessibleInterface* button = QAccessible::queryAccessibleInterface(a->form->Button6);
    EXPECT_EQ(button->text(QAccessible::Name), QStringLiteral("连接对方"));
    EXPECT_TRUE(a->form->Button6->toolTip().contains(QStringLiteral("Alt+C")));
    // A label whose words change is read as its words, not as a fixed name.
    EXPECT_EQ(QAccessible::queryAccessibleInterface(a->form->Label5)->text(QAccessible::Name),
              a->form->Label5->text());
    EXPECT_FALSE(a->form->Label5->text().isEmpty());

    EXPECT_EQ(Faults(a->form->About()), "");
    BigPicture big;
    EXPECT_EQ(Faults(&big), "");
    FormatChooserDialog chooser(Gsm610Format());
    SoundServerDevices devices;
    devices.reached = true;
    devices.sources = {{"mic", "Microphone"}};
    devices.sinks = {{"speaker", "Speaker"}};
    chooser.OfferDevices(devices, {});
    EXPECT_EQ(Faults(&chooser), "");
}

TEST_F(AccessibilityTest, TheMainActionsAreReachedFromTheKeyboard) {
    Activate(*a);
    // The address box and connect, with no mouse.
    Keys(*a, Qt::Key_D);
    ASSERT_EQ(QApplication::focusWidget(), a->form->Edit1);
    QTest::keyClicks(a->form->Edit1, QStringLiteral("127.0.0.2"));
    Keys(*a, Qt::Key_C);
    ASSERT_TRUE(WaitUntil([&] { return a->form->Button1->isEnabled(); }));

    // Tab goes from the address to connect, and from the message to its send button.
    a->form->Edit1->setFocus();
    QTest::keyClick(a->form->Edit1, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), a->form->Button6);
    Keys(*a, Qt::Key_I);
    ASSERT_EQ(QApplication::focusWidget(), a->form->Memo2);
    QTest::keyClicks(a->form->Memo2, QStringLiteral("hello"));
    QTest::keyClick(a->form->Memo2, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), a->form->Button1);
    QTest::keyClick(a->form->Button1, Qt::Key_Space);
    ASSERT_TRUE(WaitUntil([&] { return b->HistoryText().contains(QStringLiteral("hello")); }));

    // The history is no trap: Tab leaves it.
    Keys(*a, Qt::Key_J);
    ASSERT_EQ(QApplication::focusWidget(), a->form->Memo1);
    const QString history = a->form->Memo1->toPlainText();
    QTest::keyClick(a->form->Memo1, Qt::Key_Tab);
    EXPECT_NE(QApplication::focusWidget(), a->form->Memo1);
    EXPECT_EQ(a->form->Memo1->toPlainText(), history);

    // A shortcut of a button that cannot be pressed does nothing; one that can presses it.
    ASSERT_FALSE(a->form->BitBtn7->isEnabled());
    Keys(*a, Qt::Key_R);
    EXPECT_EQ(a->dialogs.calls.size(), 0u);
    Keys(*a, Qt::Key_L);
    EXPECT_TRUE(a->form->Memo1->toPlainText().isEmpty());
    Keys(*a, Qt::Key_F1, Qt::NoModifier);
    EXPECT_TRUE(a->form->About()->isVisible());
}

}  // namespace
}  // namespace quorell::test
