#include "audio-helper/core/platform/pulse_capture.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace norvi::helper::pulse {
namespace {

// A stream is mixed once it holds 30 ms and never holds more than 250 ms: the oldest audio
// goes first, so a stalled cycle thread or a drifting clock cannot build up latency.
constexpr std::size_t primeFrames = captureSampleRate * 30 / 1000;
constexpr std::size_t maximumFrames = captureSampleRate * 250 / 1000;

}  // namespace

void CaptureFifo::push(const void* bytes, std::size_t size) {
    const std::size_t count = size / sizeof(float) / channels_ * channels_;
    if (read_ > 0 && read_ >= samples_.size() / 2) {
        samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(read_));
        read_ = 0;
    }
    const std::size_t at = samples_.size();
    samples_.resize(at + count);
    std::memcpy(samples_.data() + at, bytes, count * sizeof(float));
    if (frames() > maximumFrames)
        read_ = samples_.size() - primeFrames * channels_;
}

void CaptureFifo::take(float* out, std::size_t frames, bool add) {
    if (!primed_) {
        if (this->frames() < primeFrames)
            return;
        primed_ = true;
    }
    const std::size_t available = std::min(this->frames(), frames);
    const float* from = samples_.data() + read_;
    const std::size_t count = available * channels_;
    if (add) {
        for (std::size_t i = 0; i < count; ++i)
            out[i] += from[i];
    } else {
        std::copy(from, from + count, out);
    }
    read_ += count;
    if (available < frames)
        primed_ = false;
}

struct PulseCapture::Stream {
    PulseCapture* capture = nullptr;
    pa_stream* stream = nullptr;
    std::uint32_t device = PA_INVALID_INDEX;
    CaptureFifo fifo;

    explicit Stream(std::uint32_t channels) : fifo(channels) {}

    static void onRead(pa_stream* stream, std::size_t, void* self) {
        auto* owner = static_cast<Stream*>(self);
        const void* data = nullptr;
        std::size_t size = 0;
        while (pa_stream_readable_size(stream) > 0) {
            if (pa_stream_peek(stream, &data, &size) < 0 || size == 0)
                return;
            if (data != nullptr) {
                std::lock_guard lock(owner->capture->dataMutex_);
                owner->fifo.push(data, size);
            }
            pa_stream_drop(stream);
        }
    }

    static void onState(pa_stream* stream, void* self) {
        auto* owner = static_cast<Stream*>(self);
        pa_threaded_mainloop_signal(owner->capture->connection_->mainloop(), 0);
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
            owner->capture->markDirty();
    }
};

PulseCapture::PulseCapture(std::shared_ptr<PulseConnection> connection, CaptureSelection selection,
                           std::optional<CaptureMicrophone> microphone, Cycle cycle, Note note)
    : connection_(std::move(connection)),
      microphone_(std::move(microphone)),
      cycle_(std::move(cycle)),
      note_(std::move(note)),
      selection_(std::move(selection)) {}

PulseCapture::~PulseCapture() {
    stop();
}

void PulseCapture::markDirty() {
    {
        std::lock_guard lock(controlMutex_);
        dirty_ = true;
    }
    controlWake_.notify_all();
}

void PulseCapture::setSelection(CaptureSelection selection) {
    {
        std::lock_guard lock(selectionMutex_);
        selection_ = std::move(selection);
    }
    markDirty();
}

std::size_t PulseCapture::monitoredStreams() {
    PulseConnection::Lock lock(*connection_);
    return monitors_.size();
}

PulseCapture::Stream* PulseCapture::openStream(const std::string& device, std::uint32_t channels,
                                               std::optional<std::uint32_t> playback) {
    const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, captureSampleRate,
                                      static_cast<std::uint8_t>(channels)};
    pa_channel_map map;
    pa_channel_map_init_extend(&map, sampleFormat.channels, PA_CHANNEL_MAP_DEFAULT);
    auto owner = std::make_unique<Stream>(channels);
    owner->capture = this;
    owner->stream = pa_stream_new(connection_->context(),
                                  playback ? "Norvi Process Tap Probe" : "Norvi Microphone",
                                  &sampleFormat, &map);
    if (owner->stream == nullptr) {
        throw PulseError(PulseError::Kind::stream,
                         "cannot create a record stream: " + connection_->lastError());
    }
    if (playback)
        pa_stream_set_monitor_stream(owner->stream, *playback);
    pa_stream_set_read_callback(owner->stream, &Stream::onRead, owner.get());
    pa_stream_set_state_callback(owner->stream, &Stream::onState, owner.get());
    // Deliveries of about one cycle keep the mix close to real time.
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(-1);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(10000, &sampleFormat));
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_record(owner->stream, device.c_str(), &attributes, flags) < 0) {
        const std::string reason = connection_->lastError();
        closeStream(*owner);
        throw PulseError(PulseError::Kind::stream, "cannot record from " + device + ": " + reason);
    }
    Stream* stream = owner.get();
    std::lock_guard lock(dataMutex_);
    if (playback) {
        monitors_[*playback] = std::move(owner);
    } else {
        microphoneStream_ = std::move(owner);
    }
    return stream;
}

void PulseCapture::closeStream(Stream& owner) {
    if (owner.stream == nullptr)
        return;
    pa_stream_set_read_callback(owner.stream, nullptr, nullptr);
    pa_stream_set_state_callback(owner.stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(owner.stream)))
        pa_stream_disconnect(owner.stream);
    pa_stream_unref(owner.stream);
    owner.stream = nullptr;
}

void PulseCapture::reconcile() {
    const PulseSnapshot snapshot = connection_->snapshot();
    CaptureSelection selection;
    {
        std::lock_guard lock(selectionMutex_);
        selection = selection_;
    }
    std::map<std::uint32_t, std::uint32_t> wanted;  // playback stream -> monitor source
    for (const PulseStreamInfo& playback : snapshot.playbackStreams) {
        const std::optional<std::int32_t> pid = snapshot.processOf(playback);
        const bool named = pid && descendsFrom(*pid, selection.processes);
        if (named == selection.exclusive)
            continue;
        const PulseSink* sink = snapshot.sink(playback.device);
        if (sink == nullptr || sink->monitorSource == PA_INVALID_INDEX)
            continue;
        wanted[playback.index] = sink->monitorSource;
    }
    PulseConnection::Lock lock(*connection_);
    for (auto entry = monitors_.begin(); entry != monitors_.end();) {
        Stream& stream = *entry->second;
        auto want = wanted.find(entry->first);
        const bool good = PA_STREAM_IS_GOOD(pa_stream_get_state(stream.stream));
        if (want != wanted.end() && want->second == stream.device && good) {
            ++entry;
            continue;
        }
        if (!good && want != wanted.end() && want->second == stream.device) {
            failed_[entry->first] = stream.device;
            note_("cannot monitor a playback stream: " + connection_->lastError());
        }
        closeStream(stream);
        std::lock_guard data(dataMutex_);
        entry = monitors_.erase(entry);
    }
    std::erase_if(failed_, [&](const auto& entry) {
        auto want = wanted.find(entry.first);
        return want == wanted.end() || want->second != entry.second;
    });
    for (const auto& [playback, source] : wanted) {
        if (monitors_.contains(playback) || failed_.contains(playback))
            continue;
        try {
            openStream(std::to_string(source), 2, playback)->device = source;
        } catch (const PulseError& error) {
            failed_[playback] = source;
            note_(error.what());
        }
    }
}

void PulseCapture::start() {
    listener_ = connection_->addPlaybackChangeListener([this] { markDirty(); });
    reconcile();
    if (microphone_) {
        PulseConnection::Lock lock(*connection_);
        Stream* stream = openStream(microphone_->source, microphone_->channels, std::nullopt);
        connection_->waitUntilReady(stream->stream, "record from " + microphone_->source);
    }
    started_ = true;
    cycleThread_ = std::thread([this] { runCycles(); });
    controlThread_ = std::thread([this] { runControl(); });
}

void PulseCapture::stop() {
    {
        std::lock_guard lock(controlMutex_);
        stopping_ = true;
    }
    controlWake_.notify_all();
    if (cycleThread_.joinable())
        cycleThread_.join();
    if (controlThread_.joinable())
        controlThread_.join();
    if (listener_ != 0) {
        connection_->removePlaybackChangeListener(listener_);
        listener_ = 0;
    }
    PulseConnection::Lock lock(*connection_);
    for (auto& [playback, stream] : monitors_)
        closeStream(*stream);
    if (microphoneStream_)
        closeStream(*microphoneStream_);
    std::lock_guard data(dataMutex_);
    monitors_.clear();
    microphoneStream_.reset();
}

void PulseCapture::runControl() {
    for (;;) {
        {
            std::unique_lock lock(controlMutex_);
            controlWake_.wait(lock, [this] { return dirty_ || stopping_; });
            if (stopping_)
                return;
            dirty_ = false;
        }
        try {
            reconcile();
        } catch (const PulseError& error) {
            note_(error.what());
        }
    }
}

void PulseCapture::runCycles() {
    using Clock = std::chrono::steady_clock;
    const auto period =
        std::chrono::microseconds(1000000ull * captureCycleFrames / captureSampleRate);
    std::vector<float> tap(captureCycleFrames * 2);
    std::vector<float> microphone(microphone_ ? captureCycleFrames * microphone_->channels : 0);
    bool lost = false;
    auto next = Clock::now();
    for (std::uint64_t cycle = 0;; ++cycle) {
        {
            std::unique_lock lock(controlMutex_);
            if (controlWake_.wait_until(lock, next, [this] { return stopping_; }))
                return;
        }
        std::fill(tap.begin(), tap.end(), 0.0f);
        std::fill(microphone.begin(), microphone.end(), 0.0f);
        {
            std::lock_guard lock(dataMutex_);
            for (auto& [playback, stream] : monitors_)
                stream->fifo.take(tap.data(), captureCycleFrames, true);
            if (microphoneStream_)
                microphoneStream_->fifo.take(microphone.data(), captureCycleFrames, false);
        }
        cycle_(tap, microphone);
        // A check every quarter of a second tells a server that went away.
        if (!lost && cycle % 25 == 24 && !connection_->isConnected()) {
            lost = true;
            const std::string reason = "lost the audio server: " + connection_->lastError();
            note_(reason);
            if (lost_)
                lost_(reason);
        }
        next += period;
        // After a stall the cycles resume at the present instead of catching up in a burst.
        if (Clock::now() - next > std::chrono::milliseconds(200))
            next = Clock::now();
    }
}

}  // namespace norvi::helper::pulse
