// The ring sound's file reader. The ring player hands Sound.WAV to Qt's sound effect, whose
// sample loader reads it with QWaveDecoder: that reader gets the file's bytes here the same way
// (opened for reading, then read in blocks until it has no more). A damaged file must not crash
// the program, and what it gives is never more than the file holds (24-bit samples come out
// widened to 32 bits).
#include <QBuffer>
#include <QByteArray>
#include <QWaveDecoder>
#include <algorithm>
#include <cstdint>

#include "fuzz_check.h"

// Qt's warnings about damaged files would drown the fuzzer's output.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QBuffer file(&bytes);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly));
    QWaveDecoder decoder(&file);
    if (!decoder.open(QIODevice::ReadOnly)) return 0;

    // As the sample loader reads: never beyond what the decoder says is there, nor beyond the
    // size the header claims. (Asked for more, QWaveDecoder makes up 24-bit samples past the
    // end of the data.)
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
