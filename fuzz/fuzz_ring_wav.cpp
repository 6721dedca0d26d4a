// The ring sound's file. The ring player checks the file with RingSoundPlayable() and hands what
// passes to Qt's sound effect, whose sample loader reads it with QWaveDecoder. Any bytes go
// through the check; a file that passes goes to QWaveDecoder, read the way the sample loader
// reads, and must be read to its end within the file's bounds: a hang here (the fuzzer's
// time-out) is a damaged file that would keep the program from ending.
#include <QBuffer>
#include <QByteArray>
#include <QWaveDecoder>
#include <algorithm>
#include <cstdint>
#include <string_view>

#include "app/ring_sound.h"
#include "fuzz_check.h"

// Qt's warnings about damaged files would drown the fuzzer's output.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view file_bytes(reinterpret_cast<const char*>(data), size);
    if (!quorell::RingSoundPlayable(file_bytes.substr(0, quorell::kRingSoundHeadBytes), size))
        return 0;

    QByteArray bytes(file_bytes.data(), static_cast<qsizetype>(size));
    QBuffer file(&bytes);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly));
    QWaveDecoder decoder(&file);
    if (!decoder.open(QIODevice::ReadOnly)) return 0;
    FUZZ_CHECK(decoder.size() <= static_cast<qint64>(size));

    // As the sample loader reads: never beyond what the decoder says is there, nor beyond the
    // size of the samples. (Asked for more, QWaveDecoder makes up 24-bit samples past the end.)
    qint64 total = 0;
    char block[4096];
    for (int round = 0; round < 1000 && total < decoder.size(); ++round) {
        const qint64 wanted =
            std::min({qint64{sizeof block}, decoder.bytesAvailable(), decoder.size() - total});
        const qint64 n = decoder.read(block, wanted);
        if (n <= 0) break;
        FUZZ_CHECK(n <= wanted);
        total += n;
    }
    FUZZ_CHECK(total <= 2 * static_cast<qint64>(size));
    return 0;
}
