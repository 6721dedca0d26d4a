// The window's control lines over a session: what each line becomes, and back.
#include "session/session_control_link.h"

#include <gtest/gtest.h>

#include "common/gbk.h"
#include "links/switching_control_link.h"
#include "protocol/control_lines.h"
#include "support/fake_session.h"

namespace quorell::session {
namespace {

using protocol::Encode;
using protocol::LineKind;
using test::FakeSession;

Event Ev(EventCode code, std::optional<std::uint32_t> value = std::nullopt) {
    return Event{code, value};
}

struct Case {
    LineKind kind;
    std::string value;
    Event sent;
};

// Every notice the features send, with the event it must travel as.
const std::vector<Case>& Notices() {
    static const std::vector<Case> cases = {
        {LineKind::VideoPort, "10086", Ev(EventCode::kVideoPort, 10086)},
        {LineKind::VoicePort, "523", Ev(EventCode::kVoicePort, 523)},
        {LineKind::VideoOpened, {}, Ev(EventCode::kVideoStarted)},
        {LineKind::VideoClosed, {}, Ev(EventCode::kVideoStopped)},
        {LineKind::VideoReceiving, {}, Ev(EventCode::kVideoReceiving)},
        {LineKind::VideoNotReceiving, {}, Ev(EventCode::kVideoNotReceiving)},
        {LineKind::FileOffered, {}, Ev(EventCode::kFileOffered)},
        {LineKind::FileAccepted, {}, Ev(EventCode::kFileAccepted)},
        {LineKind::FileCancelled, {}, Ev(EventCode::kFileCancelled)},
        {LineKind::FileCompleted, {}, Ev(EventCode::kFileCompleted)},
        {LineKind::VoiceOffered, {}, Ev(EventCode::kVoiceStarted)},
        {LineKind::VoiceStopped, {}, Ev(EventCode::kVoiceStopped)},
        {LineKind::VoiceReceiving, {}, Ev(EventCode::kVoiceReceiving)},
        {LineKind::VoiceNotReceiving, {}, Ev(EventCode::kVoiceNotReceiving)},
    };
    return cases;
}

TEST(SessionControlLink, EveryNoticeTravelsAsItsEventAndComesBackAsTheSameLine) {
    auto session = std::make_shared<FakeSession>();
    SessionControlLink link(session);
    std::vector<EventCode> codes;
    for (const Case& c : Notices()) {
        const std::string line = Encode(c.kind, c.value);
        ASSERT_TRUE(link.SendControlLine(line)) << line;
        ASSERT_EQ(std::get<Event>(session->sent.back()), c.sent) << GbkToUtf8(line);
        // The peer does with it exactly what the plain line does.
        EXPECT_EQ(LineForEvent(c.sent), line) << GbkToUtf8(line);
        codes.push_back(c.sent.code);
    }
    std::sort(codes.begin(), codes.end());
    EXPECT_EQ(std::adjacent_find(codes.begin(), codes.end()), codes.end()) << "a code used twice";
}

TEST(SessionControlLink, ConnectAndAddressAreNotSent) {
    auto session = std::make_shared<FakeSession>();
    SessionControlLink link(session);
    EXPECT_TRUE(link.SendControlLine(Encode(LineKind::Connected)));
    EXPECT_TRUE(link.SendControlLine(Encode(LineKind::Address, "192.168.1.20")));
    EXPECT_TRUE(session->sent.empty());
}

TEST(SessionControlLink, TextsTravelAsUtf8ChatWithTheirLineBreaks) {
    auto session = std::make_shared<FakeSession>();
    SessionControlLink link(session);
    const std::string text = Utf8ToGbk("你好\r\n第二行");
    ASSERT_TRUE(link.SendControlLine(Encode(LineKind::Chat, text)));
    EXPECT_EQ(std::get<Chat>(session->sent.back()).text, "你好\r\n第二行");
    // A notice the catalogue does not know (the file sender's "too large") is a text too.
    const std::string notice =
        Utf8ToGbk("[系统消息]：对方要传送的文件太大，无法传送，请按“取消”。");
    ASSERT_TRUE(link.SendControlLine(notice));
    EXPECT_EQ(std::get<Chat>(session->sent.back()).text,
              "[系统消息]：对方要传送的文件太大，无法传送，请按“取消”。");
}

TEST(SessionControlLink, PortsThatAreNoNumberTravelWithoutValue) {
    auto session = std::make_shared<FakeSession>();
    SessionControlLink link(session);
    ASSERT_TRUE(link.SendControlLine("system1:abc"));
    ASSERT_TRUE(link.SendControlLine("system3:99999999999"));
    EXPECT_EQ(std::get<Event>(session->sent[0]), Ev(EventCode::kVideoPort));
    EXPECT_EQ(std::get<Event>(session->sent[1]), Ev(EventCode::kVoicePort));
    // Which the peer reads as the plain line without a number, and refuses as it would that.
    EXPECT_EQ(LineForEvent(Ev(EventCode::kVideoPort)), "system1:");
}

TEST(SessionControlLink, AnEndedSessionRefusesTheLine) {
    auto session = std::make_shared<FakeSession>();
    SessionControlLink link(session);
    session->Close(ByeReason::kUserClosed);
    EXPECT_FALSE(link.SendControlLine(Encode(LineKind::FileOffered)));
    EXPECT_FALSE(link.SendControlLine(Encode(LineKind::Chat, "hi")));
}

TEST(SessionControlLink, EventsThisSideDoesNothingWithHaveNoLine) {
    EXPECT_FALSE(LineForEvent(Ev(static_cast<EventCode>(0x7777))));
    EXPECT_FALSE(LineForEvent(Ev(EventCode::kAddressTold, 0x7f000001)));
    // A declined file is the plain protocol's cancel.
    EXPECT_EQ(LineForEvent(Ev(EventCode::kFileDeclined)), Encode(LineKind::FileCancelled));
}

// Records the lines it is given.
class LineRecorder : public IControlLink {
public:
    bool SendControlLine(const std::string& line) override {
        lines.push_back(line);
        return true;
    }
    std::vector<std::string> lines;
};

TEST(SwitchingControlLink, LinesFollowTheOpenSessionAndReturnToThePlainLink) {
    auto plain = std::make_shared<LineRecorder>();
    auto over_session = std::make_shared<LineRecorder>();
    SwitchingControlLink link(plain);
    link.SendControlLine("one");
    link.Switch(over_session);
    EXPECT_TRUE(link.Switched());
    link.SendControlLine("two");
    link.Switch(nullptr);
    link.SendControlLine("three");
    EXPECT_EQ(plain->lines, (std::vector<std::string>{"one", "three"}));
    EXPECT_EQ(over_session->lines, (std::vector<std::string>{"two"}));
}

}  // namespace
}  // namespace quorell::session
