#pragma once

#include <QAudioSink>
#include <QAudioSource>
#include <QByteArray>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <memory>
#include <utility>

#include "app/sound_devices.h"
#include "audio/wave_devices.h"

namespace quorell {

// Error numbers the wave devices report for Qt Multimedia's audio errors:
//   NoError 0; OpenError 2 (the device does not exist or cannot be opened); IOError 5;
//   UnderrunError 6; FatalError 7. No default device at all is 2 as well, and opening a
//   device that is already open is 4.
int WaveErrorNumber(QAudio::Error error);

// The audio input through Qt Multimedia (the one picked for the run, else the desktop's default
// when it opens; it stays on that device while open), recording 16-bit samples at the rate and
// channel count asked for (the sound server converts from what the hardware records). Each
// portion read is handed over on the user-interface thread.
class QtWaveInput : public IWaveInputDevice {
public:
    // choice: the devices the user picks for the run, shared with the chooser; null: none.
    explicit QtWaveInput(std::shared_ptr<const SoundDeviceChoice> choice = nullptr)
        : choice_(std::move(choice)) {}
    QtWaveInput(const QtWaveInput&) = delete;
    QtWaveInput& operator=(const QtWaveInput&) = delete;
    ~QtWaveInput() override;

    int Open(int rate, int channels, DataHandler handler) override;

private:
    void ReadAvailable();

    std::shared_ptr<const SoundDeviceChoice> choice_;
    std::unique_ptr<QAudioSource> source_;
    QIODevice* io_ = nullptr;
    DataHandler handler_;
    QByteArray pending_;  // a trailing odd byte, completed by the next read
};

// The audio output through Qt Multimedia, chosen as the input is. Written blocks are queued and fed
// to the sink as it has room, every 10 ms, so they play back to back; a block counts as played once
// all its bytes went to the sink and the sink has processed audio past its end.
// A sink that fails while open (its stream killed, the sound server gone) or stops playing
// what it holds for kStallMs is lost: what is queued is dropped, and every Write fails until
// the device is closed and opened again.
class QtWaveOutput : public IWaveOutputDevice {
public:
    explicit QtWaveOutput(std::shared_ptr<const SoundDeviceChoice> choice = nullptr)
        : choice_(std::move(choice)) {}
    QtWaveOutput(const QtWaveOutput&) = delete;
    QtWaveOutput& operator=(const QtWaveOutput&) = delete;
    ~QtWaveOutput() override;

    int Open(int rate, int channels, PlayedHandler played) override;
    int Write(std::span<const std::int16_t> samples, std::uint64_t* id) override;
    void Close() override;

    static constexpr qint64 kStallMs = 5000;

private:
    struct Block {
        std::uint64_t id;
        std::int64_t end;  // byte offset of the block's end in everything written
    };

    void Pump();
    // The error number of a sink that no longer plays, or 0.
    int Fault(bool wrote, std::int64_t processed);

    std::shared_ptr<const SoundDeviceChoice> choice_;
    std::unique_ptr<QAudioSink> sink_;
    QIODevice* io_ = nullptr;
    std::unique_ptr<QTimer> timer_;
    PlayedHandler played_;
    std::int64_t bytes_per_second_ = 0;
    QByteArray queued_;         // bytes not yet handed to the sink
    std::int64_t written_ = 0;  // bytes handed to the sink
    std::int64_t total_ = 0;    // bytes given to Write
    std::deque<Block> blocks_;  // not yet reported played
    std::uint64_t next_id_ = 1;
    int lost_ = 0;                     // the error number once the sink is lost
    std::int64_t last_processed_ = 0;  // the sink's progress, and since when it has not moved
    QElapsedTimer progress_clock_;
};

}  // namespace quorell
