#include "audio-helper/core/platform/pulse_connection.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <set>
#include <sstream>

#include "audio-helper/core/stderr_writer.h"

namespace norvi::helper::pulse {
namespace {

Properties propertiesOf(const pa_proplist* list) {
    Properties properties;
    void* state = nullptr;
    while (const char* key = pa_proplist_iterate(list, &state)) {
        if (const char* value = pa_proplist_gets(list, key))
            properties[key] = value;
    }
    return properties;
}

std::string propertyOr(const Properties& properties, const char* key) {
    auto found = properties.find(key);
    return found == properties.end() ? std::string() : found->second;
}

struct ProcessStat {
    char state = '?';
    std::int32_t parent = 0;
};

// /proc/<pid>/stat; the command name may hold spaces and parentheses, so the fields are read
// after its last ")".
std::optional<ProcessStat> statOf(std::int32_t pid) {
    if (pid <= 0)
        return std::nullopt;
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t end = text.rfind(')');
    if (end == std::string::npos)
        return std::nullopt;
    std::istringstream fields(text.substr(end + 1));
    ProcessStat stat;
    if (!(fields >> stat.state >> stat.parent))
        return std::nullopt;
    return stat;
}

std::optional<std::int32_t> parentOf(std::int32_t pid) {
    if (auto stat = statOf(pid))
        return stat->parent;
    return std::nullopt;
}

}  // namespace

const PulseClient* PulseSnapshot::client(std::uint32_t index) const {
    for (const PulseClient& entry : clients) {
        if (entry.index == index)
            return &entry;
    }
    return nullptr;
}

const PulseSource* PulseSnapshot::source(std::uint32_t index) const {
    for (const PulseSource& entry : sources) {
        if (entry.index == index)
            return &entry;
    }
    return nullptr;
}

const PulseSource* PulseSnapshot::sourceNamed(const std::string& name) const {
    for (const PulseSource& entry : sources) {
        if (entry.name == name)
            return &entry;
    }
    return nullptr;
}

const PulseSink* PulseSnapshot::sink(std::uint32_t index) const {
    for (const PulseSink& entry : sinks) {
        if (entry.index == index)
            return &entry;
    }
    return nullptr;
}

std::optional<std::int32_t> PulseSnapshot::processOf(const PulseStreamInfo& stream) const {
    if (auto pid = processIDOf(stream.properties))
        return pid;
    if (const PulseClient* owner = client(stream.client))
        return processIDOf(owner->properties);
    return std::nullopt;
}

std::optional<std::int32_t> processIDOf(const Properties& properties) {
    const std::string text = propertyOr(properties, PA_PROP_APPLICATION_PROCESS_ID);
    std::int32_t pid = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || pid <= 0)
        return std::nullopt;
    return pid;
}

std::string applicationIDOf(const Properties& properties) {
    for (const char* key : {PA_PROP_APPLICATION_ID, "pipewire.access.portal.app_id",
                            PA_PROP_APPLICATION_PROCESS_BINARY}) {
        std::string value = propertyOr(properties, key);
        if (!value.empty())
            return value;
    }
    return {};
}

bool descendsFrom(std::int32_t pid, const std::vector<std::int32_t>& ancestors) {
    std::set<std::int32_t> seen;
    for (std::optional<std::int32_t> current = pid;
         current && *current > 1 && seen.insert(*current).second; current = parentOf(*current)) {
        if (std::find(ancestors.begin(), ancestors.end(), *current) != ancestors.end())
            return true;
    }
    return false;
}

std::vector<std::int32_t> ancestorsOf(std::int32_t pid) {
    std::vector<std::int32_t> ancestors;
    for (std::optional<std::int32_t> current = parentOf(pid);
         current && *current > 1 &&
         std::find(ancestors.begin(), ancestors.end(), *current) == ancestors.end();
         current = parentOf(*current)) {
        ancestors.push_back(*current);
    }
    return ancestors;
}

bool processIsAlive(std::int32_t pid) {
    const std::optional<ProcessStat> stat = statOf(pid);
    return stat && stat->state != 'Z' && stat->state != 'X';
}

// ---- PulseConnection ----

PulseConnection::Lock::Lock(PulseConnection& connection) : connection_(connection) {
    pa_threaded_mainloop_lock(connection_.mainloop_);
}

PulseConnection::Lock::~Lock() {
    pa_threaded_mainloop_unlock(connection_.mainloop_);
}

void PulseConnection::signalState(pa_context*, void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseConnection*>(self)->mainloop_, 0);
}

std::shared_ptr<PulseConnection> PulseConnection::connect() {
    std::shared_ptr<PulseConnection> connection(new PulseConnection());
    connection->mainloop_ = pa_threaded_mainloop_new();
    if (connection->mainloop_ == nullptr) {
        throw PulseError(PulseError::Kind::unreachable, "cannot create the PulseAudio event loop.");
    }
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "norvi-audio-helper");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "com.norvi.audio-helper");
    connection->context_ = pa_context_new_with_proplist(
        pa_threaded_mainloop_get_api(connection->mainloop_), "norvi-audio-helper", properties);
    pa_proplist_free(properties);
    if (connection->context_ == nullptr) {
        throw PulseError(PulseError::Kind::unreachable, "cannot create a PulseAudio context.");
    }
    pa_context_set_state_callback(connection->context_, &PulseConnection::signalState,
                                  connection.get());
    if (pa_threaded_mainloop_start(connection->mainloop_) < 0) {
        throw PulseError(PulseError::Kind::unreachable,
                         "cannot start the PulseAudio event thread.");
    }
    Lock lock(*connection);
    // Never start a server of our own: a missing server is reported, not papered over.
    if (pa_context_connect(connection->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        throw PulseError(PulseError::Kind::unreachable,
                         "cannot reach the audio server: " + connection->lastError());
    }
    for (;;) {
        const pa_context_state_t state = pa_context_get_state(connection->context_);
        if (state == PA_CONTEXT_READY)
            break;
        if (!PA_CONTEXT_IS_GOOD(state)) {
            throw PulseError(PulseError::Kind::unreachable,
                             "cannot reach the audio server: " + connection->lastError());
        }
        pa_threaded_mainloop_wait(connection->mainloop_);
    }
    return connection;
}

PulseConnection::~PulseConnection() {
    if (mainloop_ == nullptr)
        return;
    if (context_ != nullptr) {
        {
            Lock lock(*this);
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_set_subscribe_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
        }
        pa_threaded_mainloop_stop(mainloop_);
        pa_context_unref(context_);
    } else {
        pa_threaded_mainloop_stop(mainloop_);
    }
    pa_threaded_mainloop_free(mainloop_);
}

bool PulseConnection::isConnected() {
    Lock lock(*this);
    return pa_context_get_state(context_) == PA_CONTEXT_READY;
}

std::string PulseConnection::lastError() {
    return pa_strerror(pa_context_errno(context_));
}

void PulseConnection::waitFor(pa_operation* operation, const char* what) {
    if (operation == nullptr) {
        throw PulseError(PulseError::Kind::unreachable,
                         std::string("cannot ") + what + ": " + lastError());
    }
    pa_operation_set_state_callback(
        operation,
        [](pa_operation*, void* loop) {
            pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
        },
        mainloop_);
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
            pa_operation_cancel(operation);
            pa_operation_unref(operation);
            throw PulseError(
                PulseError::Kind::unreachable,
                std::string("lost the audio server while trying to ") + what + ": " + lastError());
        }
        pa_threaded_mainloop_wait(mainloop_);
    }
    pa_operation_set_state_callback(operation, nullptr, nullptr);
    pa_operation_unref(operation);
}

void PulseConnection::waitUntilReady(pa_stream* stream, const std::string& what) {
    for (;;) {
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_READY)
            return;
        if (!PA_STREAM_IS_GOOD(state)) {
            throw PulseError(PulseError::Kind::stream, "cannot " + what + ": " + lastError());
        }
        pa_threaded_mainloop_wait(mainloop_);
    }
}

PulseSnapshot PulseConnection::snapshot() {
    Lock lock(*this);
    if (pa_context_get_state(context_) != PA_CONTEXT_READY) {
        throw PulseError(PulseError::Kind::unreachable, "lost the audio server: " + lastError());
    }
    PulseSnapshot snapshot;
    waitFor(pa_context_get_client_info_list(
                context_,
                [](pa_context*, const pa_client_info* info, int eol, void* list) {
                    if (eol == 0 && info != nullptr) {
                        static_cast<std::vector<PulseClient>*>(list)->push_back(
                            {info->index, propertiesOf(info->proplist)});
                    }
                },
                &snapshot.clients),
            "list the audio clients");
    waitFor(pa_context_get_sink_input_info_list(
                context_,
                [](pa_context*, const pa_sink_input_info* info, int eol, void* list) {
                    if (eol == 0 && info != nullptr) {
                        static_cast<std::vector<PulseStreamInfo>*>(list)->push_back(
                            {info->index, info->client, info->sink, info->corked != 0,
                             propertiesOf(info->proplist)});
                    }
                },
                &snapshot.playbackStreams),
            "list the playback streams");
    waitFor(pa_context_get_source_output_info_list(
                context_,
                [](pa_context*, const pa_source_output_info* info, int eol, void* list) {
                    if (eol == 0 && info != nullptr) {
                        static_cast<std::vector<PulseStreamInfo>*>(list)->push_back(
                            {info->index, info->client, info->source, info->corked != 0,
                             propertiesOf(info->proplist)});
                    }
                },
                &snapshot.recordStreams),
            "list the record streams");
    waitFor(pa_context_get_source_info_list(
                context_,
                [](pa_context*, const pa_source_info* info, int eol, void* list) {
                    if (eol == 0 && info != nullptr) {
                        static_cast<std::vector<PulseSource>*>(list)->push_back(
                            {info->index, info->name ? info->name : "",
                             info->description ? info->description : "", info->sample_spec,
                             info->monitor_of_sink});
                    }
                },
                &snapshot.sources),
            "list the sources");
    waitFor(pa_context_get_sink_info_list(
                context_,
                [](pa_context*, const pa_sink_info* info, int eol, void* list) {
                    if (eol == 0 && info != nullptr) {
                        static_cast<std::vector<PulseSink>*>(list)->push_back(
                            {info->index, info->name ? info->name : "", info->monitor_source});
                    }
                },
                &snapshot.sinks),
            "list the sinks");
    waitFor(pa_context_get_server_info(
                context_,
                [](pa_context*, const pa_server_info* info, void* target) {
                    auto* snapshot = static_cast<PulseSnapshot*>(target);
                    if (info == nullptr)
                        return;
                    snapshot->defaultSink = info->default_sink_name ? info->default_sink_name : "";
                    snapshot->defaultSource =
                        info->default_source_name ? info->default_source_name : "";
                },
                &snapshot),
            "read the server information");
    return snapshot;
}

void PulseConnection::subscription(pa_context*, pa_subscription_event_type_t type, std::uint32_t,
                                   void* self) {
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK_INPUT)
        return;
    for (auto& [id, listener] : static_cast<PulseConnection*>(self)->listeners_)
        listener();
}

int PulseConnection::addPlaybackChangeListener(ChangeListener listener) {
    Lock lock(*this);
    if (!subscribed_) {
        pa_context_set_subscribe_callback(context_, &PulseConnection::subscription, this);
        pa_operation* operation =
            pa_context_subscribe(context_, PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr);
        waitFor(operation, "follow the playback streams");
        subscribed_ = true;
    }
    const int id = nextListener_++;
    listeners_[id] = std::move(listener);
    return id;
}

void PulseConnection::removePlaybackChangeListener(int id) {
    Lock lock(*this);
    listeners_.erase(id);
}

// ---- PulseServerLink ----

std::shared_ptr<PulseConnection> PulseServerLink::connection() {
    std::lock_guard lock(mutex_);
    if (connection_ && connection_->isConnected())
        return connection_;
    connection_.reset();
    try {
        connection_ = PulseConnection::connect();
    } catch (const PulseError& error) {
        const std::string message = error.what();
        if (std::find(noted_.begin(), noted_.end(), message) == noted_.end()) {
            noted_.push_back(message);
            writeStderr("PulseAudio backend: " + message + "\n");
        }
        throw;
    }
    return connection_;
}

void PulseServerLink::note(const std::string& message) {
    {
        std::lock_guard lock(mutex_);
        if (std::find(noted_.begin(), noted_.end(), message) != noted_.end())
            return;
        noted_.push_back(message);
    }
    writeStderr("PulseAudio backend: " + message + "\n");
}

}  // namespace norvi::helper::pulse
