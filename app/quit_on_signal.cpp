#include "app/quit_on_signal.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

namespace quorell {

namespace {

int g_signal_fds[2] = {-1, -1};

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
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &action, nullptr);
}

}  // namespace quorell
