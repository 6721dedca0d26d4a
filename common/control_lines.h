#pragma once

#include <string>

namespace quorell::lines {

// Every line the program sends over the control channel or recognises there, as UTF-8 source
// text. Wire() gives their GBK bytes.

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
