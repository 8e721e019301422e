#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <pulse/pulseaudio.h>

// A client connection to the audio server over the PulseAudio protocol (PulseAudio itself or
// PipeWire's pulse server), with its own event thread, and synchronous snapshots of what the
// server knows: clients, playback and record streams, sources, sinks.

namespace norvi::helper::pulse {

// A failure talking to the server; what() says what failed and why.
class PulseError : public std::runtime_error {
  public:
    enum class Kind { unreachable, stream, device, unsupported };
    PulseError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

using Properties = std::map<std::string, std::string>;

struct PulseClient {
    std::uint32_t index = PA_INVALID_INDEX;
    Properties properties;
};

struct PulseStreamInfo {
    std::uint32_t index = PA_INVALID_INDEX;
    std::uint32_t client = PA_INVALID_INDEX;
    // The sink of a playback stream, the source of a record stream.
    std::uint32_t device = PA_INVALID_INDEX;
    bool corked = false;
    Properties properties;
};

struct PulseSource {
    std::uint32_t index = PA_INVALID_INDEX;
    std::string name;
    std::string description;
    pa_sample_spec sampleFormat{};
    // PA_INVALID_INDEX unless the source is the monitor of a sink.
    std::uint32_t monitorOfSink = PA_INVALID_INDEX;
};

struct PulseSink {
    std::uint32_t index = PA_INVALID_INDEX;
    std::string name;
    std::uint32_t monitorSource = PA_INVALID_INDEX;
};

// What the server reported at one moment, each list in the server's index order.
struct PulseSnapshot {
    std::vector<PulseClient> clients;
    std::vector<PulseStreamInfo> playbackStreams;
    std::vector<PulseStreamInfo> recordStreams;
    std::vector<PulseSource> sources;
    std::vector<PulseSink> sinks;
    std::string defaultSink;
    std::string defaultSource;

    const PulseClient* client(std::uint32_t index) const;
    const PulseSource* source(std::uint32_t index) const;
    const PulseSource* sourceNamed(const std::string& name) const;
    const PulseSink* sink(std::uint32_t index) const;
    // The process a stream belongs to: its own "application.process.id", else its client's.
    std::optional<std::int32_t> processOf(const PulseStreamInfo& stream) const;
};

// The process ID a client names, when it names one.
std::optional<std::int32_t> processIDOf(const Properties& properties);
// What identifies an application: "application.id", else the Flatpak app id, else the binary.
std::string applicationIDOf(const Properties& properties);
// Whether a process is one of `ancestors` or descends from one, walking the parents in /proc.
bool descendsFrom(std::int32_t pid, const std::vector<std::int32_t>& ancestors);
// The parents of a process, nearest first, up to (not including) process 1.
std::vector<std::int32_t> ancestorsOf(std::int32_t pid);
// Whether the process exists and has not ended (a zombie has ended).
bool processIsAlive(std::int32_t pid);

class PulseConnection {
  public:
    // Connects to the server the environment names (PULSE_SERVER, PULSE_RUNTIME_PATH, ...),
    // never starting one. Throws PulseError (unreachable).
    static std::shared_ptr<PulseConnection> connect();
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // Holds the event thread's lock; every call on the context or a stream needs it.
    class Lock {
      public:
        explicit Lock(PulseConnection& connection);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        PulseConnection& connection_;
    };

    pa_context* context() const { return context_; }
    pa_threaded_mainloop* mainloop() const { return mainloop_; }
    // False once the server has gone away.
    bool isConnected();
    std::string lastError();

    // Every list at once. Takes the lock itself; throws PulseError when the server has gone.
    PulseSnapshot snapshot();
    // With the lock held: waits (releasing the lock meanwhile) until the operation is done.
    void waitFor(pa_operation* operation, const char* what);
    // With the lock held: waits until the stream is ready; throws PulseError (stream) if it fails.
    void waitUntilReady(pa_stream* stream, const std::string& what);

    // Called on the event thread for every change of a playback stream, until removed.
    using ChangeListener = std::function<void()>;
    int addPlaybackChangeListener(ChangeListener listener);
    void removePlaybackChangeListener(int id);

  private:
    PulseConnection() = default;
    static void signalState(pa_context* context, void* self);
    static void subscription(pa_context* context, pa_subscription_event_type_t type,
                             std::uint32_t index, void* self);

    pa_threaded_mainloop* mainloop_ = nullptr;
    pa_context* context_ = nullptr;
    bool subscribed_ = false;
    // Touched with the event thread's lock held.
    std::map<int, ChangeListener> listeners_;
    int nextListener_ = 1;
};

// The one connection a platform shares, made on first use and made again after the server
// went away. The reason a connection failed is written to standard error once.
class PulseServerLink {
  public:
    // Throws PulseError (unreachable).
    std::shared_ptr<PulseConnection> connection();
    // Writes "PulseAudio backend: " and the message to standard error, once per distinct text.
    void note(const std::string& message);

  private:
    std::mutex mutex_;
    std::shared_ptr<PulseConnection> connection_;
    std::vector<std::string> noted_;
};

}  // namespace norvi::helper::pulse
