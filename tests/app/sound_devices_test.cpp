// Which microphone and speaker the program opens, against a PulseAudio daemon of the test's
// own: two sine sources of different pitch and two null sinks, with the desktop's defaults
// being the second of each. Skipped, saying so, where the daemon cannot be started.
#include <gtest/gtest.h>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <memory>

#include "app/qt_audio.h"
#include "app/sound_server.h"
#include "support/wait.h"

namespace quorell::test {
namespace {

class PrivateSoundServer : public testing::Environment {
public:
    void SetUp() override {
        if (QStandardPaths::findExecutable("pulseaudio").isEmpty() ||
            QStandardPaths::findExecutable("pactl").isEmpty()) {
            return;
        }
        dir_ = std::make_unique<QTemporaryDir>();
        server_ = "unix:" + dir_->filePath("native").toStdString();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_RUNTIME_DIR", dir_->path());
        env.insert("HOME", dir_->path());  // the daemon's cookie stays out of the real home
        daemon_.setProcessEnvironment(env);
        // The daemon ends with the test process, however that ends.
        daemon_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        daemon_.setStandardOutputFile(QProcess::nullDevice());
        daemon_.setStandardErrorFile(QProcess::nullDevice());
        daemon_.start("pulseaudio",
                      {"--daemonize=no", "-n", "--exit-idle-time=-1", "--use-pid-file=no",
                       "--load=module-native-protocol-unix auth-anonymous=1 socket=" +
                           dir_->filePath("native"),
                       "--load=module-sine-source source_name=mic_low frequency=300",
                       "--load=module-sine-source source_name=mic_high frequency=1200",
                       "--load=module-null-sink sink_name=speaker_one",
                       "--load=module-null-sink sink_name=speaker_two"});
        if (!WaitUntil([this] { return AskSoundServer(server_).reached; })) return;
        // Everything in this process, Qt Multimedia too, talks to this daemon.
        qputenv("PULSE_SERVER", QByteArray::fromStdString(server_));
        running_ =
            Pactl({"set-default-source", "mic_high"}) && Pactl({"set-default-sink", "speaker_two"});
    }

    void TearDown() override {
        daemon_.kill();
        daemon_.waitForFinished();
    }

    static bool Pactl(const QStringList& arguments) {
        return QProcess::execute("pactl", arguments) == 0;
    }
    static QString PactlOutput(const QStringList& arguments) {
        QProcess pactl;
        pactl.start("pactl", arguments);
        pactl.waitForFinished();
        return QString::fromUtf8(pactl.readAllStandardOutput());
    }

    static bool running_;
    static std::string server_;

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QProcess daemon_;
};

bool PrivateSoundServer::running_ = false;
std::string PrivateSoundServer::server_;

[[maybe_unused]] const auto* const kServer =
    testing::AddGlobalTestEnvironment(new PrivateSoundServer);

#define REQUIRE_SERVER()                                                                   \
    if (!PrivateSoundServer::running_)                                                     \
    GTEST_SKIP() << "no PulseAudio daemon could be started (pulseaudio and pactl needed, " \
                    "as scripts/sound-server installs them)"

// The pitch of what a fresh input records, in hertz, from its sign changes over a second.
double RecordedPitch(const SoundDeviceChoice* choice) {
    std::shared_ptr<const SoundDeviceChoice> shared;
    if (choice != nullptr) shared = std::make_shared<SoundDeviceChoice>(*choice);
    QtWaveInput input(shared);
    std::vector<std::int16_t> samples;
    if (input.Open(8000, 1, [&](std::span<const std::int16_t> s) {
            samples.insert(samples.end(), s.begin(), s.end());
        }) != 0) {
        return -1;
    }
    // The first tenth of a second may still be the stream starting.
    if (!WaitUntil([&] { return samples.size() >= 8800; })) return -1;
    int changes = 0;
    for (std::size_t i = 801; i < 8800; ++i) {
        if ((samples[i - 1] < 0) != (samples[i] < 0)) ++changes;
    }
    return changes / 2.0 / (7999.0 / 8000);
}

TEST(SoundServer, ListsMicrophonesAndSpeakersWithTheDesktopsDefaults) {
    REQUIRE_SERVER();
    const SoundServerDevices devices = AskSoundServer(PrivateSoundServer::server_);
    ASSERT_TRUE(devices.reached);
    EXPECT_EQ(devices.default_source, "mic_high");
    EXPECT_EQ(devices.default_sink, "speaker_two");
    // The sinks' monitors are no microphones.
    ASSERT_EQ(devices.sources.size(), 2u);
    EXPECT_EQ(devices.sources[0].name, "mic_low");
    EXPECT_EQ(devices.sources[1].name, "mic_high");
    EXPECT_FALSE(devices.sources[0].description.empty());
    ASSERT_EQ(devices.sinks.size(), 2u);
    EXPECT_EQ(devices.sinks[1].name, "speaker_two");
}

TEST(SoundServer, AMissingOrSilentServerAnswersNothingAndDoesNotHang) {
    QTemporaryDir dir;
    EXPECT_FALSE(AskSoundServer("unix:" + dir.filePath("nobody").toStdString()).reached);

    // A socket that takes the connection and never says a word.
    const int silent = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(silent, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = dir.filePath("silent").toStdString();
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(silent, 4), 0);
    EXPECT_FALSE(AskSoundServer("unix:" + path, std::chrono::milliseconds(200)).reached);
    close(silent);
}

TEST(QtWaveInput, RecordsTheDesktopsDefaultOrThePickedMicrophone) {
    REQUIRE_SERVER();
    // Not the first source: Qt Multimedia alone would record the low one.
    EXPECT_NEAR(RecordedPitch(nullptr), 1200, 150);

    const SoundDeviceChoice low{"mic_low", ""};
    EXPECT_NEAR(RecordedPitch(&low), 300, 50);
    // A picked microphone that is gone: the default again.
    const SoundDeviceChoice gone{"unplugged", ""};
    EXPECT_NEAR(RecordedPitch(&gone), 1200, 150);

    // A new recording follows the desktop when the user changes the default there.
    ASSERT_TRUE(PrivateSoundServer::Pactl({"set-default-source", "mic_low"}));
    EXPECT_NEAR(RecordedPitch(nullptr), 300, 50);
    ASSERT_TRUE(PrivateSoundServer::Pactl({"set-default-source", "mic_high"}));
}

// The server's index of the sink our one playback stream plays on, and of the named sink.
QString PlayingOn() {
    const QStringList rows = PrivateSoundServer::PactlOutput({"list", "short", "sink-inputs"})
                                 .split('\n', Qt::SkipEmptyParts);
    return rows.size() == 1 ? rows[0].split('\t').value(1) : QString();
}
QString SinkIndex(const QString& name) {
    for (const QString& row :
         PrivateSoundServer::PactlOutput({"list", "short", "sinks"}).split('\n')) {
        const QStringList columns = row.split('\t');
        if (columns.value(1) == name) return columns[0];
    }
    return QString();
}

TEST(QtWaveOutput, PlaysOnTheDesktopsDefaultOrThePickedSpeaker) {
    REQUIRE_SERVER();
    for (const auto& [picked, expected] :
         {std::pair{"", "speaker_two"}, std::pair{"speaker_one", "speaker_one"}}) {
        QtWaveOutput output(std::make_shared<SoundDeviceChoice>(SoundDeviceChoice{"", picked}));
        ASSERT_EQ(output.Open(8000, 1, [](std::uint64_t) {}), 0);
        const QString sink = SinkIndex(expected);
        ASSERT_FALSE(sink.isEmpty());
        EXPECT_TRUE(WaitUntil([&] { return PlayingOn() == sink; })) << "expected " << expected;
        output.Close();
        ASSERT_TRUE(WaitUntil([] { return PlayingOn().isEmpty(); }));
    }
}

}  // namespace
}  // namespace quorell::test
