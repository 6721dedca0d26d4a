#pragma once

#include <string>

namespace quorell::lines {

// Every line the program sends over the control channel or recognises there, as UTF-8 source
// text. Wire() gives their GBK bytes; protocol::Encode and protocol::Parse below work with them.

inline constexpr const char* kVideoPortPrefix = "system1:";
inline constexpr const char* kAddressPrefix = "system2:";
inline constexpr const char* kVoicePortPrefix = "system3:";

inline constexpr const char* kConnected = "[系统消息]：对方已经连接成功。";
inline constexpr const char* kVideoOpened = "[系统消息]：对方打开了视频，您现在可以接收视频了。";
inline constexpr const char* kVideoClosed = "[系统消息]：对方关闭了视频。";
inline constexpr const char* kVideoReceiving = "[系统消息]：对方开始接收了视频。";
inline constexpr const char* kVideoNotReceiving = "[系统消息]：对方停止接收了视频。";
inline constexpr const char* kFileOffered = "[系统消息]：对方给你传输了文件，请接收。";
inline constexpr const char* kFileAccepted = "[系统消息]：对方开始接收文件。";
inline constexpr const char* kFileCancelled = "[系统消息]：对方取消了接收文件。";
inline constexpr const char* kFileCompleted = "[系统消息]：恭喜恭喜，文件传送完毕！";
inline constexpr const char* kVoiceOffered =
    "[系统消息]：对方向你发送了语音，现在你可以接收语音了。";
inline constexpr const char* kVoiceStopped = "[系统消息]：对方关闭了发送给你的语音。";
inline constexpr const char* kVoiceReceiving = "[系统消息]：对方接收了语音。";
inline constexpr const char* kVoiceNotReceiving = "[系统消息]：对方取消了接收语音。";

// Local-only history text of a successful connect; never sent.
inline constexpr const char* kConnectedLocal = "[系统消息]：连接成功！";

// Chat text carries its line breaks as this marker.
inline constexpr const char* kLineBreakMarker = "/@@";

// The GBK bytes of a UTF-8 catalogue text (converted once, then cached).
const std::string& Wire(const char* text);

}  // namespace quorell::lines

namespace quorell::protocol {

enum class LineKind {
    // Parameter lines: a prefix and a value, never shown.
    VideoPort,  // "system1:"
    Address,    // "system2:"
    VoicePort,  // "system3:"
    // The system messages of the catalogue, in its order.
    Connected,
    VideoOpened,
    VideoClosed,
    VideoReceiving,
    VideoNotReceiving,
    FileOffered,
    FileAccepted,
    FileCancelled,
    FileCompleted,
    VoiceOffered,
    VoiceStopped,
    VoiceReceiving,
    VoiceNotReceiving,
    // Anything else.
    Chat,
};

// A received first line, taken apart. Texts are GBK bytes.
struct ControlLine {
    LineKind kind = LineKind::Chat;
    // VideoPort: what is left once every "system1:" is removed. VoicePort and Address: the same
    // for their prefix, trimmed. Chat: the text with its line breaks (CR LF) restored. Empty for
    // the system messages.
    std::string value;
    // VideoPort: the value read as a decimal whole number (leading blanks, an optional sign,
    // digits up to the end, within 32 bits); false and 0 when it is not one.
    bool port_valid = false;
    long video_port = 0;
};

// How the first line of a connection is taken: a line beginning with "system1", "system3" or
// "system2" (the first seven bytes, case-sensitive, tested in that order) is a parameter line,
// whatever follows; otherwise a line equal to a system message is that message; anything else
// is chat. Only the first line of a connection is parsed: later lines are chat whatever they
// say (see ChatText).
ControlLine Parse(const std::string& line);

// A chat line as shown: its line-break markers turned back into CR LF.
std::string ChatText(const std::string& line);

// The GBK bytes sent for a line, without the CR LF that ends it on the wire (the stream
// client's SendLine adds that). `value` is the parameter's value (trimmed here) for the
// parameter lines and the chat text (GBK, CR LF line breaks) for Chat; the system messages
// ignore it.
std::string Encode(LineKind kind, const std::string& value = {});

}  // namespace quorell::protocol
