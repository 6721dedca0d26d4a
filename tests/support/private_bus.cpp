#include "support/private_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QStandardPaths>
#include <string>
#include <vector>

namespace quorell::test {

PrivateBus::~PrivateBus() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
}

bool PrivateBus::Start(QString& why) {
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty()) {
        why = QStringLiteral("dbus-daemon is not installed");
        return false;
    }
    if (!dir_.isValid()) {
        why = QStringLiteral("no temporary folder");
        return false;
    }
    const QString config = dir_.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly)) {
        why = QStringLiteral("cannot write ") + config;
        return false;
    }
    file.write(QStringLiteral("<busconfig><type>session</type>"
                              "<listen>unix:dir=%1</listen><auth>EXTERNAL</auth>"
                              "<policy context=\"default\"><allow send_destination=\"*\"/>"
                              "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy>"
                              "</busconfig>")
                   .arg(dir_.path())
                   .toUtf8());
    file.close();
    // Spawned rather than forked, which the thread sanitizer does not allow in a process with
    // threads; its errors go nowhere, so a daemon left behind never holds the test's output.
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        why = QStringLiteral("no pipe");
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const std::string config_arg = "--config-file=" + config.toStdString();
    // Through setpriv, where there is one, so that the daemon ends with this process whatever
    // way it ends.
    const bool guarded = !QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty();
    std::vector<char*> argv;
    if (guarded) {
        argv.push_back(const_cast<char*>("setpriv"));
        argv.push_back(const_cast<char*>("--pdeathsig=TERM"));
    }
    argv.push_back(const_cast<char*>("dbus-daemon"));
    argv.push_back(const_cast<char*>(config_arg.c_str()));
    argv.push_back(const_cast<char*>("--nofork"));
    argv.push_back(const_cast<char*>("--print-address=1"));
    argv.push_back(nullptr);
    const int spawned = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
        pid_ = 0;
        ::close(out[0]);
        why = QStringLiteral("dbus-daemon did not start");
        return false;
    }
    std::string line;
    char c = 0;
    pollfd wait{out[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&wait, 1, 10000) == 1 &&
           ::read(out[0], &c, 1) == 1)
        line.push_back(c);
    ::close(out[0]);
    address_ = QString::fromStdString(line).trimmed();
    if (address_.isEmpty()) why = QStringLiteral("dbus-daemon told no address");
    return !address_.isEmpty();
}

}  // namespace quorell::test
