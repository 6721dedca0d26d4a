#include <QApplication>
#include <QMessageBox>
#include <QScreen>
#include <QSettings>

#include <sys/resource.h>

#include <cstdio>

#include "app/color_scheme.h"
#include "app/command_line.h"
#include "app/devices.h"
#include "app/dialogs.h"
#include "app/form1.h"
#include "app/notifier.h"
#include "app/qt_audio.h"
#include "app/qt_bridge.h"
#include "app/qt_camera.h"
#include "app/qt_translations.h"
#include "app/quit_on_signal.h"
#include "app/single_instance.h"
#include "app/startup_config.h"
#include "assets/quorell_assets.h"
#include "calls/session_calls.h"

using namespace quorell;

namespace {

// The control server keeps a burst of connections queued while the window catches up; let it
// use every descriptor the system allows this user rather than the conservative default.
void RaiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

int main(int argc, char** argv) {
    // Answered before anything is made: no display, lock, port or box is needed for it.
    const CommandLineAnswer command_line = ReadCommandLine(argc, argv);
    std::fputs(command_line.out.c_str(), stdout);
    std::fputs(command_line.err.c_str(), stderr);
    if (!command_line.run) return command_line.exit_status;

    RaiseOpenFileLimit();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorell"));
    QApplication::setApplicationDisplayName(QString());
    // The desktop finds the entry, and so the icon, of the window by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.quorell.Quorell"));
    InstallQtTranslations(app);
    QApplication::setQuitOnLastWindowClosed(false);
    QuorellInitAssets();

    SingleInstance instance(QStringLiteral("Quorell"));
    if (!instance.IsFirst()) {
        // The copy that runs comes to the front, from the tray too, behind this box.
        instance.KnockOnFirst();
        const QString text = QStringLiteral("本软件一次只能运行一个副本");
        // Also said on standard error, where scripts and a person without a desktop see it.
        fprintf(stderr, "%s\n", text.toUtf8().constData());
        QMessageBox::warning(nullptr, QStringLiteral("Quorell"), text);
        return 0;
    }

    QuitEventLoopOnTerminationSignals();
    auto bridge = MakeQtUiBridge();
    QtDialogs dialogs;
    // The microphone and speaker picked in the format chooser, for this run.
    auto sound_devices = std::make_shared<SoundDeviceChoice>();
    dialogs.SetSoundDevices(sound_devices);
    DeviceContext devices;
    devices.ring = MakeSoundEffectRingPlayer();
    devices.camera = std::make_unique<QtCamera>();
    devices.wave_in = std::make_unique<QtWaveInput>(sound_devices);
    devices.wave_out = std::make_unique<QtWaveOutput>(sound_devices);
    devices.sink_out = std::make_unique<QtWaveOutput>(sound_devices);
    devices.notifier = std::make_shared<DesktopNotifier>();
    devices.color_scheme = std::make_shared<PortalColorScheme>();
    devices.opener = MakeDesktopOpener();
    devices.call_devices = [sound_devices](calls::SessionCallsConfig& config) {
        config.voice_source.device = sound_devices->input;
        config.voice_output.device = sound_devices->output;
    };
    int result = 0;
    {
        // The kept history follows the user's setting, on unless turned off.
        StartupConfig config;
        {
            const QSettings settings;
            config.settings_file = settings.fileName().toStdString();
            config.keep_history =
                settings.value(QString::fromUtf8(kKeepHistorySetting), true).toBool();
        }
        TForm1 form(config, devices, dialogs, bridge);
        dialogs.SetOwner(&form);
        // A later copy brings this one to the front as a click on its tray icon would.
        instance.Listen([&form] { form.TrayIcon().Clicked(); });
        if (QScreen* screen = form.screen()) {
            form.move(screen->availableGeometry().center() - form.rect().center());
        }
        if (!command_line.start_minimized) {
            form.show();
        } else if (!form.TrayIcon().Shown()) {
            form.showMinimized();  // no tray to start in: the taskbar
        }
        // A termination signal during a start-up box ends the program here.
        if (!TerminationRequested()) result = QApplication::exec();
        instance.StopListening();
        dialogs.SetOwner(nullptr);
        bridge->Close();
    }
    // The sound streams end while the application, and with it Qt's sound backend, is still
    // there: the devices, then what Qt's audio objects left to be deleted later, which no
    // event loop would otherwise run.
    devices.ring.reset();
    devices.wave_in.reset();
    devices.wave_out.reset();
    devices.sink_out.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return result;
}
