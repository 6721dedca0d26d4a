#include "calls/session_calls.h"

#include "calls/session_calls_impl.h"

namespace quorell::calls {

namespace {
// The controller whose thread this is, if any.
thread_local const SessionCalls::Impl* running_here = nullptr;
}  // namespace

SessionCalls::Impl::Impl(SessionCallsConfig c, SendFn s, std::shared_ptr<ISessionCallsEvents> e)
    : config(std::move(c)), send(std::move(s)), events(std::move(e)) {
    std::random_device seed;
    random.seed((std::uint64_t(seed()) << 32) ^ seed());
}

void SessionCalls::Impl::Run() {
    running_here = this;
    queue.Run([this] { CloseAll(); });
    running_here = nullptr;
}

bool SessionCalls::Impl::OnControllerThread() const {
    return running_here == this;
}

void SessionCalls::Impl::CloseAll() {
    for (CallSlot* slot : {&voice, &video}) {
        End(*slot, CallEnd::kClosed, {}, std::nullopt);
    }
}

CallSlot* SessionCalls::Impl::SlotOfCall(std::uint64_t id) {
    for (CallSlot* slot : {&voice, &video}) {
        if (slot->phase != CallPhase::kIdle && slot->id == id) return slot;
    }
    return nullptr;
}

std::uint64_t SessionCalls::Impl::NewId() {
    while (true) {
        const std::uint64_t id = random();
        if (id != 0 && !SlotOfCall(id)) return id;
    }
}

bool SessionCalls::Impl::Post(const session::CallMessage& message) {
    if (queue.Finishing() || !send) return false;
    return send(message);
}

bool SessionCalls::Impl::Send(CallSlot& slot, const session::CallMessage& message) {
    if (Post(message)) return true;
    End(slot, CallEnd::kClosed, "The session with the peer ended.", std::nullopt);
    return false;
}

void SessionCalls::Impl::SetPhase(CallSlot& slot, CallPhase phase) {
    if (slot.phase == phase) return;
    slot.phase = phase;
    slot.shown = phase;
    if (events) events->CallPhaseChanged(slot.kind, phase);
}

void SessionCalls::Impl::End(CallSlot& slot, CallEnd why, const std::string& detail,
                             const std::optional<session::CallMessage>& to_peer) {
    if (slot.phase == CallPhase::kIdle) return;
    if (to_peer) Post(*to_peer);
    StopMedia(slot);
    slot.id = 0;
    slot.ours = false;
    slot.muted = false;
    SetPhase(slot, CallPhase::kIdle);
    if (events) events->CallEnded(slot.kind, why, detail);
}

SessionCalls::SessionCalls(SessionCallsConfig config, SendFn send,
                           std::shared_ptr<ISessionCallsEvents> events)
    : impl_(std::make_shared<Impl>(std::move(config), std::move(send), std::move(events))) {
    // The thread keeps the inside alive: a controller let go of from its own thread (an event
    // handler) finishes there.
    impl_->thread = std::thread([self = impl_] { self->Run(); });
}

SessionCalls::~SessionCalls() {
    if (impl_->OnControllerThread()) {
        // Destroyed from an event handler: the loop ends once the handler returns, and the
        // thread, which cannot join itself, lets the inside go when it does.
        impl_->queue.Finish();
        std::lock_guard lock(impl_->join_mutex);
        if (impl_->thread.joinable()) impl_->thread.detach();
        return;
    }
    Close();
}

void SessionCalls::Invite(MediaKind kind) {
    Impl* d = impl_.get();
    d->queue.Post([d, kind] { d->DoInvite(kind); });
}

void SessionCalls::Accept(MediaKind kind) {
    Impl* d = impl_.get();
    d->queue.Post([d, kind] { d->DoAccept(kind); });
}

void SessionCalls::Decline(MediaKind kind) {
    Impl* d = impl_.get();
    d->queue.Post([d, kind] { d->DoDecline(kind); });
}

void SessionCalls::Stop(MediaKind kind) {
    Impl* d = impl_.get();
    d->queue.Post([d, kind] { d->DoStop(kind); });
}

void SessionCalls::SetVoiceMuted(bool muted) {
    Impl* d = impl_.get();
    d->queue.Post([d, muted] { d->DoMute(muted); });
}

void SessionCalls::OnMessage(const session::CallMessage& message) {
    Impl* d = impl_.get();
    d->queue.Post([d, message] { d->DoMessage(message); });
}

CallPhase SessionCalls::Phase(MediaKind kind) const {
    return impl_->SlotOf(kind).shown;
}

void SessionCalls::PushVideoFrame(const std::uint8_t* rgb, int width, int height, int stride) {
    Impl& d = *impl_;
    std::lock_guard lock(d.frames_mutex);
    if (d.frames_to) d.frames_to->PushVideoFrame(rgb, width, height, stride);
}

void SessionCalls::Close() {
    Impl& d = *impl_;
    d.queue.Finish();
    // From an event handler the loop ends once the handler returns; whoever closes or destroys
    // the controller from another thread then joins it.
    if (d.OnControllerThread()) return;
    std::lock_guard lock(d.join_mutex);
    if (d.thread.joinable()) d.thread.join();
}

}  // namespace quorell::calls
