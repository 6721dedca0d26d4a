#include "app/sound_server.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>

#include <memory>
#include <type_traits>

namespace quorell {
namespace {

struct Question {
    SoundServerDevices answer;
    int pending = -1;  // replies still awaited; -1 until the context is ready
    bool failed = false;
};

std::string Text(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

void OnServerInfo(pa_context*, const pa_server_info* info, void* data) {
    auto* q = static_cast<Question*>(data);
    if (info == nullptr) {
        q->failed = true;
        return;
    }
    q->answer.default_source = Text(info->default_source_name);
    q->answer.default_sink = Text(info->default_sink_name);
    --q->pending;
}

// One entry of a source or sink list; the list ends with eol set (negative on failure).
template <typename Info>
void OnDevice(const Info* info, int eol, Question* q, std::vector<SoundServerDevice>& list) {
    if (eol < 0) q->failed = true;
    if (eol != 0) {
        --q->pending;
        return;
    }
    // A sink's monitor is no microphone; Qt Multimedia does not offer it either.
    if constexpr (std::is_same_v<Info, pa_source_info>) {
        if (info->monitor_of_sink != PA_INVALID_INDEX) return;
    }
    list.push_back({Text(info->name), Text(info->description)});
}

void OnSource(pa_context*, const pa_source_info* info, int eol, void* data) {
    auto* q = static_cast<Question*>(data);
    OnDevice(info, eol, q, q->answer.sources);
}

void OnSink(pa_context*, const pa_sink_info* info, int eol, void* data) {
    auto* q = static_cast<Question*>(data);
    OnDevice(info, eol, q, q->answer.sinks);
}

// The replies come in the order asked; the operations themselves need not be kept. A question
// the library refused (no operation) gets no reply.
void Asked(Question* q, pa_operation* operation) {
    if (operation == nullptr) {
        q->failed = true;
        return;
    }
    pa_operation_unref(operation);
}

void OnState(pa_context* context, void* data) {
    auto* q = static_cast<Question*>(data);
    switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY:
            q->pending = 3;
            Asked(q, pa_context_get_server_info(context, OnServerInfo, q));
            Asked(q, pa_context_get_source_info_list(context, OnSource, q));
            Asked(q, pa_context_get_sink_info_list(context, OnSink, q));
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            q->failed = true;
            break;
        default:
            break;
    }
}

struct LoopFree {
    void operator()(pa_mainloop* loop) const { pa_mainloop_free(loop); }
};
struct ContextEnd {
    void operator()(pa_context* context) const {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};

}  // namespace

SoundServerDevices AskSoundServer(const std::string& server, std::chrono::milliseconds limit) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + limit;
    std::unique_ptr<pa_mainloop, LoopFree> loop(pa_mainloop_new());
    if (!loop) return {};
    Question q;
    // The context goes before its loop.
    std::unique_ptr<pa_context, ContextEnd> context(
        pa_context_new(pa_mainloop_get_api(loop.get()), "Quorell"));
    if (!context) return {};
    pa_context_set_state_callback(context.get(), OnState, &q);
    if (pa_context_connect(context.get(), server.empty() ? nullptr : server.c_str(),
                           PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return {};
    }
    while (!q.failed && q.pending != 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0) return {};
        if (pa_mainloop_prepare(loop.get(), static_cast<int>(left.count())) < 0 ||
            pa_mainloop_poll(loop.get()) < 0 || pa_mainloop_dispatch(loop.get()) < 0) {
            return {};
        }
    }
    if (q.failed) return {};
    q.answer.reached = true;
    return q.answer;
}

}  // namespace quorell
