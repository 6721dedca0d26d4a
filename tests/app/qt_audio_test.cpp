// The program's own sound devices against a real sound server (CI starts one with a null sink
// and a null source). Without a server these tests are skipped, and say so.
#include <gtest/gtest.h>
#include <QAudioDevice>
#include <QMediaDevices>

#include "app/qt_audio.h"
#include "support/wait.h"

namespace quorell::test {
namespace {

bool HaveSoundServer() {
    return !QMediaDevices::audioOutputs().isEmpty() && !QMediaDevices::audioInputs().isEmpty();
}

TEST(QtAudioDevices, PlayBlocksBackToBackAndRecordOnARealServer) {
    if (!HaveSoundServer()) GTEST_SKIP() << "no sound server (start one as .ci/run does)";

    QtWaveOutput output;
    std::vector<std::uint64_t> played;
    ASSERT_EQ(output.Open(8000, 1, [&](std::uint64_t id) { played.push_back(id); }), 0);
    const std::vector<std::int16_t> tenth(800, 1000);  // 0.1 s each
    std::vector<std::uint64_t> written(5);
    for (auto& id : written) ASSERT_EQ(output.Write(tenth, &id), 0);
    ASSERT_TRUE(
        WaitUntil([&] { return played.size() == written.size(); }, std::chrono::seconds(10)));
    EXPECT_EQ(played, written);  // in the order written

    QtWaveInput input;
    std::size_t recorded = 0;
    ASSERT_EQ(input.Open(8000, 1, [&](std::span<const std::int16_t> s) { recorded += s.size(); }),
              0);
    EXPECT_TRUE(WaitUntil([&] { return recorded >= 800; }, std::chrono::seconds(10)));
}

}  // namespace
}  // namespace quorell::test
