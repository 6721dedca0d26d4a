#include "app/quit_on_signal.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

namespace quorell {

namespace {

int g_signal_fds[2] = {-1, -1};
bool g_requested = false;  // touched on the user-interface thread only

void OnSignal(int) {
    // Only async-signal-safe work here: wake the event loop through the socket pair.
    const char byte = 1;
    const int saved = errno;
    [[maybe_unused]] ssize_t n = ::write(g_signal_fds[0], &byte, 1);
    errno = saved;
}

}  // namespace

void QuitEventLoopOnTerminationSignals() {
    if (g_signal_fds[0] >= 0) return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signal_fds) != 0) {
        return;
    }
    auto* notifier =
        new QSocketNotifier(g_signal_fds[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char buffer[16];
        while (::read(g_signal_fds[1], buffer, sizeof buffer) > 0) {
        }
        g_requested = true;
        // A box or dialog open now runs a loop of its own, which quitting the main loop does not
        // end (nor does it before the main loop has begun): close them.
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible()) {
                dialog->reject();
            }
        }
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &action, nullptr);
}

bool TerminationRequested() {
    return g_requested;
}

}  // namespace quorell
