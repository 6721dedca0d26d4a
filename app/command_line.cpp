#include "app/command_line.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <algorithm>

#ifndef QUORELL_VERSION
#error "QUORELL_VERSION must be defined by the build"
#endif

namespace quorell {

namespace {

constexpr int kUsageError = 2;

// Options that QApplication and its platform plugins read from the command line themselves.
// Accepted here, without a word in --help, so that they still reach Qt.
constexpr const char* kQtOptionsWithValue[] = {
    "platform",
    "platformpluginpath",
    "platformtheme",
    "plugin",
    "qwindowgeometry",
    "geometry",
    "qwindowtitle",
    "title",
    "qwindowicon",
    "icon",
    "session",
    "display",
    "name",
    "visual",
    "style",
    "stylesheet",
    "qmljsdebugger",
};
constexpr const char* kQtFlags[] = {
    "reverse", "testability", "sync", "nograb", "dograb", "widgetcount", "qdevel", "qdebug",
};

QString ProgramName(const QStringList& arguments) {
    const QString name = arguments.isEmpty() ? QString() : QFileInfo(arguments.first()).fileName();
    return name.isEmpty() ? QStringLiteral("quorell") : name;
}

std::string Line(const QString& text) {
    return text.toLocal8Bit().toStdString() + '\n';
}

CommandLineAnswer Refuse(const QString& program, const QString& why) {
    CommandLineAnswer answer;
    answer.run = false;
    answer.exit_status = kUsageError;
    answer.err = Line(program + QStringLiteral(": ") + why) +
                 Line(QStringLiteral("Try '%1 --help' for more information.").arg(program));
    return answer;
}

}  // namespace

CommandLineAnswer ReadCommandLine(const QStringList& arguments) {
    const QString program = ProgramName(arguments);
    QCommandLineParser parser;
    // One dash or two, as Qt itself reads its options: "-platform offscreen", "--style=Fusion".
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral(
        "Chat, send files, video and voice with one person on your local network.\n"
        "Listens on TCP port 1001 for the peer's messages, UDP port 8090 for files and\n"
        "TCP port 9002 for raw 8 kHz 8-bit audio, and on TCP port 9010 for encrypted\n"
        "sessions with another copy of Quorell. Port 1001 needs the\n"
        "cap_net_bind_service capability; installing the program grants it when it can."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    const QCommandLineOption minimized(
        QStringLiteral("minimized"),
        QStringLiteral("Start in the tray, or minimised where the desktop has no tray."));
    parser.addOption(help);
    parser.addOption(version);
    parser.addOption(minimized);
    for (const char* name : kQtOptionsWithValue) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char* name : kQtFlags) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    if (!parser.parse(arguments)) return Refuse(program, parser.errorText());
    CommandLineAnswer answer;
    if (parser.isSet(help)) {
        answer.run = false;
        // Qt names the program in the usage line only when an application object exists, and
        // then by its full path; name it here, as it was typed.
        QString text = parser.helpText();
        text = QStringLiteral("Usage: %1 [options]").arg(program) +
               text.mid(std::max<qsizetype>(text.indexOf(u'\n'), 0));
        text += QStringLiteral(
            "\nQt's own options, such as -platform and -style, are also accepted.\n");
        answer.out = text.toLocal8Bit().toStdString();
        return answer;
    }
    if (parser.isSet(version)) {
        answer.run = false;
        answer.out = Line(QStringLiteral("Quorell " QUORELL_VERSION));
        return answer;
    }
    // The program takes no file names or other words.
    if (!parser.positionalArguments().isEmpty()) {
        return Refuse(
            program,
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    }
    answer.start_minimized = parser.isSet(minimized);
    return answer;
}

CommandLineAnswer ReadCommandLine(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    return ReadCommandLine(arguments);
}

}  // namespace quorell
