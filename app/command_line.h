#pragma once

#include <QStringList>
#include <string>

namespace quorell {

// What the command line asks for. It is read before the application object exists, so that
// --help, --version and a mistyped option are answered without a display, a window, the
// one-copy lock or any port.
struct CommandLineAnswer {
    bool run = true;  // false: print the texts and end with exit_status
    int exit_status = 0;
    std::string out;  // for standard output
    std::string err;  // for standard error
    // --minimized: start in the tray (or minimised where the desktop has no tray).
    bool start_minimized = false;
};

// arguments[0] is the program as it was started. Qt's own options (-platform, -style, ...)
// are let through for QApplication to take.
CommandLineAnswer ReadCommandLine(const QStringList& arguments);

// The same, from main()'s arguments.
CommandLineAnswer ReadCommandLine(int argc, char** argv);

}  // namespace quorell
