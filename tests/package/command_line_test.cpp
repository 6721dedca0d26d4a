// The command line is read before the application object exists: --help and --version answer
// without a display, and nothing else the program makes at start-up is made for them.
#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include "app/command_line.h"

namespace quorell {
namespace {

CommandLineAnswer Read(QStringList words) {
    words.prepend(QStringLiteral("/usr/bin/quorell"));
    return ReadCommandLine(words);
}

TEST(CommandLine, QtOwnOptionsStillReachTheApplication) {
    for (const QStringList& words :
         {QStringList{}, QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen")},
          QStringList{QStringLiteral("--style=Fusion"), QStringLiteral("-reverse")},
          QStringList{QStringLiteral("-qwindowgeometry"), QStringLiteral("640x480+0+0"),
                      QStringLiteral("-display"), QStringLiteral(":1")}}) {
        const CommandLineAnswer answer = Read(words);
        EXPECT_TRUE(answer.run) << words.join(' ').toStdString() << ": " << answer.err;
        EXPECT_EQ(answer.out, "");
        EXPECT_EQ(answer.err, "");
    }
}

TEST(CommandLine, MinimizedStartsInTheTrayAndIsNamedInTheHelp) {
    EXPECT_FALSE(Read({}).start_minimized);
    const CommandLineAnswer answer = Read({QStringLiteral("--minimized")});
    EXPECT_TRUE(answer.run);
    EXPECT_TRUE(answer.start_minimized);
    EXPECT_TRUE(Read({QStringLiteral("-minimized"), QStringLiteral("-platform"),
                      QStringLiteral("offscreen")})
                    .start_minimized);
    EXPECT_NE(Read({QStringLiteral("--help")}).out.find("--minimized"), std::string::npos);
    EXPECT_FALSE(Read({QStringLiteral("--minimized=yes")}).run);
}

TEST(CommandLine, MistakesEndWithAUsageErrorOnStandardError) {
    struct Case {
        QStringList words;
        std::string named;
    };
    for (const Case& c :
         {Case{{QStringLiteral("--bogus")}, "bogus"}, Case{{QStringLiteral("-hv")}, "hv"},
          Case{{QStringLiteral("notes.txt")}, "notes.txt"},
          Case{{QStringLiteral("-platform")}, "-platform"}}) {
        const CommandLineAnswer answer = Read(c.words);
        EXPECT_FALSE(answer.run) << c.named;
        EXPECT_EQ(answer.exit_status, 2) << c.named;
        EXPECT_EQ(answer.out, "") << c.named;
        EXPECT_NE(answer.err.find(c.named), std::string::npos) << answer.err;
        EXPECT_EQ(answer.err.rfind("quorell: ", 0), 0u) << answer.err;
        EXPECT_NE(answer.err.find("quorell --help"), std::string::npos) << answer.err;
    }
}

TEST(CommandLine, HelpNamesTheProgramAndHidesQtOptions) {
    const CommandLineAnswer answer = Read({QStringLiteral("-h")});
    EXPECT_FALSE(answer.run);
    EXPECT_EQ(answer.exit_status, 0);
    EXPECT_EQ(answer.out.rfind("Usage: quorell [options]", 0), 0u) << answer.out;
    EXPECT_NE(answer.out.find("--version"), std::string::npos);
    EXPECT_EQ(answer.out.find("platformpluginpath"), std::string::npos) << answer.out;
    // Help wins over a version request and over a mistake-free rest of the line.
    EXPECT_EQ(Read({QStringLiteral("--version"), QStringLiteral("--help")}).out, answer.out);
}

// The built program, started with no display at all and a private home and runtime directory.
struct ProgramRun {
    int status = -1;
    QString out, err;
    bool made_lock = false;
};

ProgramRun RunProgram(const QStringList& words) {
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.path());
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(QUORELL_BINARY), words);
    ProgramRun run;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    run.made_lock = !QDir(home.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty();
    return run;
}

TEST(CommandLineProgram, AnswersWithoutADisplayAndStartsNothing) {
    const ProgramRun version = RunProgram({QStringLiteral("--version")});
    EXPECT_EQ(version.status, 0) << version.err.toStdString();
    EXPECT_EQ(version.out, QStringLiteral("Quorell " QUORELL_VERSION "\n"));
    EXPECT_EQ(version.err, QString());
    EXPECT_FALSE(version.made_lock);

    const ProgramRun help = RunProgram({QStringLiteral("--help")});
    EXPECT_EQ(help.status, 0) << help.err.toStdString();
    EXPECT_TRUE(help.out.contains(QStringLiteral("--version")));
    EXPECT_FALSE(help.made_lock);

    const ProgramRun wrong = RunProgram({QStringLiteral("--frobnicate")});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_EQ(wrong.out, QString());
    EXPECT_TRUE(wrong.err.contains(QStringLiteral("frobnicate"))) << wrong.err.toStdString();
    EXPECT_FALSE(wrong.made_lock);
}

}  // namespace
}  // namespace quorell
