#pragma once

// The inside of media::Call, shared by its files: call.cpp (the owner's side), call_adapt.cpp
// (the video sent follows the peer's reports), call_build.cpp (the pipeline and its events),
// call_devices.cpp (devices that fail), call_frames.cpp (pushed pictures), call_negotiate.cpp
// (offer and answer).
#define GST_USE_UNSTABLE_API
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include <array>
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "media/call.h"
#include "media/signal_check.h"
#include "media/video_ladder.h"

namespace quorell::media {

using Task = std::function<void()>;

gboolean RunTask(gpointer data);
void DeleteTask(gpointer data);

// The SDP text of a description.
std::string SdpText(GstWebRTCSessionDescription* description);
// The error a promise was answered with, empty when none.
std::string PromiseError(GstPromise* promise);

struct Call::Impl {
    Impl(CallConfig c, CallEvents e) : config(std::move(c)), events(std::move(e)) {}

    CallConfig config;
    CallEvents events;
    Agreement agreement;
    std::string peer;  // canonical

    // The signaling state, read and written on the owner's thread and the call's.
    enum class Expect { kNothing, kOffer, kAnswer, kDone };
    mutable std::mutex mutex;
    bool started = false;
    CallState state = CallState::kIdle;
    Expect expect = Expect::kNothing;
    std::vector<MediaKind> local_media;  // our offer's m-lines, on the dialling side
    std::size_t mlines = 0;              // m-lines of the description in use, 0 before one

    // Set while started; the pipeline and its parts live from Start to Stop.
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    GSource* bus_watch = nullptr;
    std::thread thread;
    GstElement* pipeline = nullptr;
    GstElement* webrtc = nullptr;
    GstElement* playback = nullptr;
    GstElement* voice_sender = nullptr;
    GstElement* video_sender = nullptr;
    std::atomic<bool> running{false};
    std::atomic<bool> voice_received{false};
    std::atomic<bool> video_received{false};
    std::atomic<bool> muted{false};
    GstElement* mute = nullptr;  // the voice sender's volume element, while started

    // The pushed pictures' source (VideoSource::kFrames) while started, and the caps of the
    // latest size pushed; under frames_mutex, as PushVideoFrame comes from any thread.
    std::mutex frames_mutex;
    GstElement* frames = nullptr;
    GstCaps* frames_caps = nullptr;

    // Which devices delivered (their streaming threads), and whether the speaker failed (told
    // by the thread that posted its error, before the speaker returns it).
    std::array<std::atomic<bool>, 3> delivered{};
    std::atomic<bool> speaker_dead{false};
    GstPadEventFunction playback_event = nullptr;  // the playback's own, before its fuse

    // The call's thread only.
    std::array<bool, 3> lost{};  // the devices told and replaced
    bool offer_made = false;
    bool failure_told = false;
    std::optional<VideoLadder> ladder;

    void Post(Task task) {
        GSource* source = g_idle_source_new();
        g_source_set_callback(source, RunTask, new Task(std::move(task)), DeleteTask);
        g_source_attach(source, context);
        g_source_unref(source);
    }

    // The call's thread: events for the owner, none once Stop began.
    void TellProblem(const std::string& text) {
        if (running && events.on_problem) events.on_problem(text);
    }
    void SetState(CallState next) {
        {
            std::lock_guard lock(mutex);
            if (state == next || !started) return;
            state = next;
        }
        if (running && events.on_state) events.on_state(next);
    }
    void Fail(const std::string& text) {
        if (!failure_told) {
            failure_told = true;
            TellProblem(text);
        }
        SetState(CallState::kFailed);
    }

    std::optional<std::string> Build();
    void ConfigureIce(std::string* error);
    bool AddSender(GstElement* bin, const char* what, const char* caps, std::string* error);
    void OpenDevices();
    // The video sent follows the peer's reports (call_adapt.cpp); the call's thread.
    void StartVideoReports();
    void AskVideoReport();
    void OnVideoLoss(double fraction);
    void ApplyVideoStep(const VideoStep& step);
    void Teardown();
    void AddReceiveOnly(const char* caps);
    void OnConnectionState(GstWebRTCPeerConnectionState state);

    void MakeOffer();
    void OnLocalDescription(GstWebRTCSessionDescription* description);
    void ApplyRemote(GstWebRTCSDPType type, std::string sdp);
    void OnPad(GstPad* pad);
    // The devices (call_devices.cpp): watched from the start, replaced when they fail.
    enum class Device { kMicrophone, kCamera, kSpeaker };
    void WatchDevices();
    void NoteError(GstMessage* message);
    void OnBus(GstMessage* message);
    void LoseDevice(Device device);
    bool ReplaceElement(GstElement* bin, const char* name, const char* description);
    void CutSender(GstElement** sender);
    // The pushed pictures' source: taken from the video sender at the start, let go at the stop.
    void HoldFrames();
    void ReleaseFrames();
};

}  // namespace quorell::media
