#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "media/signaling.h"

namespace quorell::media {

// Where the voice we send comes from.
struct VoiceSource {
    enum class Kind {
        kNone,        // nothing sent; the peer's voice is still received
        kMicrophone,  // the sound server's source `device` (empty: its default), with echo
                      // cancellation and noise suppression
        kTone,        // a sine of `tone_hz`, for tests and measurements
    };
    Kind kind = Kind::kMicrophone;
    std::string device;
    double tone_hz = 440.0;
};

// Where the video we send comes from.
struct VideoSource {
    enum class Kind {
        kNone,     // nothing sent; the peer's video is still received
        kCamera,   // the V4L2 device `device` (empty: the first one)
        kPattern,  // a moving test picture
        kFrames,   // the pictures given to Call::PushVideoFrame (the window's own camera)
    };
    Kind kind = Kind::kCamera;
    std::string device;
};

// One decoded block of the peer's voice: interleaved 16-bit samples.
struct VoiceSamples {
    const std::int16_t* samples = nullptr;
    std::size_t frames = 0;
    int rate = 0;
    int channels = 0;
};

// One decoded picture of the peer's video: packed RGB, `stride` bytes a row.
struct VideoFrame {
    const std::uint8_t* rgb = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
};

// Where the peer's voice goes: the sound server's sink `device` (empty: its default) unless
// `on_samples` is set. on_samples runs on a GStreamer streaming thread and must not block.
struct VoiceOutput {
    std::string device;
    std::function<void(const VoiceSamples&)> on_samples;
};

// Where the peer's video goes: `on_frame`, on a GStreamer streaming thread, must not block;
// without it the pictures are decoded and dropped.
struct VideoOutput {
    std::function<void(const VideoFrame&)> on_frame;
};

struct CallConfig {
    // The side that dials makes the offer; the other answers it.
    bool dialling = false;
    // The media the two sides agreed on; a description with anything else is refused.
    bool voice = true;
    bool video = false;
    VoiceSource voice_source;
    VideoSource video_source;
    VoiceOutput voice_output;
    VideoOutput video_output;
    // The peer's IP address as the session sees it: only host candidates of it are taken.
    std::string peer_address;
    // Our own addresses ICE may use (the one the session runs on); empty lets it use all of the
    // machine's. Tests give "127.0.0.1" so that nothing leaves the loopback interface.
    std::vector<std::string> local_addresses;
    // Voice: Opus frames of 10 or 20 ms (the 10 ms frames save about 18 ms from mouth to ear,
    // bench_media_call). The jitter buffer waits this long for a packet that is missing or out of
    // order before the decoder conceals it; packets in order pass at once, but the speaker plays
    // each one this much later. On a LAN packets arrive within a millisecond of each other.
    int voice_frame_ms = 10;
    unsigned jitter_ms = 10;
    // Video: VP8 at this size and rate, and the bit rate the encoder aims at.
    int video_width = 640;
    int video_height = 480;
    int video_fps = 30;
    int video_kbps = 1500;
};

enum class CallState {
    kIdle,         // not started, or stopped
    kNegotiating,  // descriptions being exchanged
    kConnecting,   // ICE and DTLS under way
    kConnected,    // media can flow
    kFailed,       // the connection failed; Stop() and start again
};

const char* Describe(CallState state);

// What the call tells its owner. Every one of these runs on the call's own thread, never after
// Stop() returned; none may call Start() or Stop() (post that to another thread instead). A
// description and the candidates are for the peer's call, through the session.
struct CallEvents {
    std::function<void(const Description&)> on_description;
    std::function<void(const Candidate&)> on_candidate;
    std::function<void(CallState)> on_state;
    // A problem in plain words (Chinese, for the window to show as it is), told once: a device
    // that could not be used or failed mid-call (the call goes on without it, each device told
    // once) or the whole call failing.
    std::function<void(const std::string&)> on_problem;
};

}  // namespace quorell::media
