#pragma once

#include <gst/gst.h>

#include <string>

#include "media/call_config.h"

// The parts of a call's pipeline around webrtcbin, each a bin with one ghost pad. Internal to
// the media library.
namespace quorell::media::detail {

inline constexpr int kOpusPayload = 111;
inline constexpr int kVp8Payload = 96;
extern const char* const kVoiceRtpCaps;
extern const char* const kVideoRtpCaps;
// The voice codec's settings, in GStreamer's launch syntax (the benchmark's bare pipeline
// uses the same).
std::string OpusEncoder(int frame_ms);
extern const char* const kOpusDecoder;
// The speaker's buffering and timing, in the same syntax (the benchmark's bare pipeline plays
// through the same).
extern const char* const kSpeakerTiming;

// A bin, or nullptr with `error` set to what GStreamer lacks.
// The sending parts end in RTP (a "src" ghost pad); `probe_name` is the echo probe the
// microphone's echo canceller follows, empty for none. The voice goes through a volume
// element "mute".
GstElement* MakeVoiceSender(const CallConfig& config, const std::string& probe_name,
                            std::string* error);
// The sender's pictures are set by its capsfilter "size" and its encoder "encoder".
GstElement* MakeVideoSender(const CallConfig& config, std::string* error);
std::string VideoSizeCaps(int width, int height, int fps);
// The receiving parts take RTP (a "sink" ghost pad). The voice part plays through the echo
// probe `probe_name` (already in the pipeline, or empty) into the sound server or on_samples.
GstElement* MakeVoiceReceiver(const CallConfig& config, std::string* error);
GstElement* MakeVideoReceiver(const CallConfig& config, std::string* error);
// The playback tail of received voice: [probe !] audioconvert ! sink; created with the pipeline
// so that the microphone's echo canceller finds its probe when it starts.
GstElement* MakeVoicePlayback(const CallConfig& config, const std::string& probe_name,
                              std::string* error);

}  // namespace quorell::media::detail
