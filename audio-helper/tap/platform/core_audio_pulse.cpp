#include "audio-helper/tap/platform/core_audio_pulse.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <variant>

#include "audio-helper/core/platform/pulse_capture.h"

namespace norvi::helper {
namespace {

using pulse::PulseError;
using pulse::PulseSnapshot;

AudioStreamBasicDescription floatFormat(std::uint32_t channels) {
    return {
        .mSampleRate = pulse::captureSampleRate,
        .mFormatID = kAudioFormatLinearPCM,
        .mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
        .mBytesPerPacket = 4 * channels,
        .mFramesPerPacket = 1,
        .mBytesPerFrame = 4 * channels,
        .mChannelsPerFrame = channels,
        .mBitsPerChannel = 32,
        .mReserved = 0,
    };
}

// A source's sample format as a stream description.
AudioStreamBasicDescription formatOf(const pa_sample_spec& sampleFormat) {
    AudioStreamBasicDescription format{};
    format.mSampleRate = sampleFormat.rate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mChannelsPerFrame = sampleFormat.channels;
    format.mFramesPerPacket = 1;
    const std::uint32_t bytes = static_cast<std::uint32_t>(pa_sample_size(&sampleFormat));
    format.mBytesPerFrame = bytes * sampleFormat.channels;
    format.mBytesPerPacket = format.mBytesPerFrame;
    format.mBitsPerChannel = 8 * bytes;
    switch (sampleFormat.format) {
        case PA_SAMPLE_FLOAT32LE:
        case PA_SAMPLE_FLOAT32BE:
            format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
            break;
        case PA_SAMPLE_U8:
            format.mFormatFlags = kAudioFormatFlagIsPacked;
            break;
        case PA_SAMPLE_ALAW:
            format.mFormatID = fourCharCode("alaw");
            break;
        case PA_SAMPLE_ULAW:
            format.mFormatID = fourCharCode("ulaw");
            break;
        case PA_SAMPLE_S24_32LE:
        case PA_SAMPLE_S24_32BE:
            // 24 significant bits in 32-bit containers.
            format.mFormatFlags = kAudioFormatFlagIsSignedInteger;
            format.mBitsPerChannel = 24;
            break;
        default:
            format.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
            break;
    }
    if (pa_sample_format_is_be(sampleFormat.format) == 1)
        format.mFormatFlags |= kAudioFormatFlagIsBigEndian;
    return format;
}

bool isPeakMeter(const pulse::PulseStreamInfo& stream) {
    auto found = stream.properties.find("stream.monitor");
    return found != stream.properties.end() && (found->second == "true" || found->second == "1");
}

// The answer to one property read.
struct Property {
    OSStatus status = 0;
    std::variant<std::vector<AudioObjectID>, std::string, std::vector<unsigned char>> value;

    static Property failure(OSStatus status) { return {status, {}}; }
    template <typename T>
    static Property of(const T& value) {
        std::vector<unsigned char> bytes(sizeof value);
        std::memcpy(bytes.data(), &value, sizeof value);
        return {0, std::move(bytes)};
    }
};

class PulseCoreAudio final : public CoreAudio {
  public:
    explicit PulseCoreAudio(std::shared_ptr<pulse::PulseServerLink> link)
        : link_(std::move(link)) {}

    ~PulseCoreAudio() override {
        std::vector<std::unique_ptr<pulse::PulseCapture>> captures;
        {
            std::lock_guard lock(mutex_);
            for (auto& [id, ioProc] : ioProcs_) {
                if (ioProc.capture)
                    captures.push_back(std::move(ioProc.capture));
            }
        }
        for (auto& capture : captures)
            capture->stop();
    }

    OSStatus AudioObjectGetPropertyDataSize(AudioObjectID object,
                                            const AudioObjectPropertyAddress& address,
                                            std::uint32_t qualifierSize, const void* qualifier,
                                            std::uint32_t* outDataSize) override {
        std::lock_guard lock(mutex_);
        const Property property = readProperty(object, address, qualifierSize, qualifier);
        if (property.status != 0)
            return property.status;
        if (outDataSize == nullptr)
            return kAudioHardwareIllegalOperationError;
        if (const auto* ids = std::get_if<std::vector<AudioObjectID>>(&property.value)) {
            *outDataSize = static_cast<std::uint32_t>(ids->size() * sizeof(AudioObjectID));
        } else if (std::holds_alternative<std::string>(property.value)) {
            *outDataSize = sizeof(CFStringRef);
        } else {
            *outDataSize = static_cast<std::uint32_t>(
                std::get<std::vector<unsigned char>>(property.value).size());
        }
        return 0;
    }

    OSStatus AudioObjectGetPropertyData(AudioObjectID object,
                                        const AudioObjectPropertyAddress& address,
                                        std::uint32_t qualifierSize, const void* qualifier,
                                        std::uint32_t* ioDataSize, void* outData) override {
        std::lock_guard lock(mutex_);
        const Property property = readProperty(object, address, qualifierSize, qualifier);
        if (property.status != 0)
            return property.status;
        if (ioDataSize == nullptr || outData == nullptr)
            return kAudioHardwareIllegalOperationError;
        if (const auto* ids = std::get_if<std::vector<AudioObjectID>>(&property.value)) {
            // Whole entries only, never more than the caller has room for.
            const std::size_t count =
                std::min<std::size_t>(ids->size(), *ioDataSize / sizeof(AudioObjectID));
            std::memcpy(outData, ids->data(), count * sizeof(AudioObjectID));
            *ioDataSize = static_cast<std::uint32_t>(count * sizeof(AudioObjectID));
        } else if (const auto* text = std::get_if<std::string>(&property.value)) {
            if (*ioDataSize < sizeof(CFStringRef))
                return kAudioHardwareBadPropertySizeError;
            const CFStringRef string = CFStringCreate(*text);
            std::memcpy(outData, &string, sizeof string);
            *ioDataSize = sizeof string;
        } else {
            const auto& bytes = std::get<std::vector<unsigned char>>(property.value);
            if (*ioDataSize < bytes.size())
                return kAudioHardwareBadPropertySizeError;
            std::memcpy(outData, bytes.data(), bytes.size());
            *ioDataSize = static_cast<std::uint32_t>(bytes.size());
        }
        return 0;
    }

    OSStatus AudioHardwareCreateProcessTap(const CATapDescription& description,
                                           AudioObjectID* outTapID) override {
        std::lock_guard lock(mutex_);
        if (outTapID == nullptr)
            return kAudioHardwareIllegalOperationError;
        if (description.muteBehavior != CATapMuteBehavior::unmuted) {
            // Muting a playback stream also silences its monitor, so a muted tap would hear
            // nothing.
            link_->note(
                "muting the tapped processes is not supported on this system; use --mute unmuted.");
            return kAudioHardwareIllegalOperationError;
        }
        if (OSStatus status = reachServer(); status != 0)
            return status;
        Tap tap{.pids = {}, .exclusive = description.isExclusive, .uuid = description.uuid};
        for (const AudioObjectID process : description.processes) {
            for (const auto& [pid, id] : processIDs_) {
                if (id == process)
                    tap.pids.push_back(pid);
            }
        }
        *outTapID = nextID_++;
        taps_[*outTapID] = std::move(tap);
        return 0;
    }

    OSStatus AudioHardwareDestroyProcessTap(AudioObjectID tap) override {
        std::lock_guard lock(mutex_);
        return taps_.erase(tap) == 1 ? 0 : kAudioHardwareBadObjectError;
    }

    OSStatus AudioHardwareCreateAggregateDevice(const CFDictionary& description,
                                                AudioObjectID* outDeviceID) override {
        std::lock_guard lock(mutex_);
        if (outDeviceID == nullptr || !description.is_object())
            return kAudioHardwareIllegalOperationError;
        const std::vector<std::string> tapUIDs = uidsOf(description, "taps");
        const std::vector<std::string> deviceUIDs = uidsOf(description, "subdevices");
        if (tapUIDs.size() > 1 || deviceUIDs.size() > 1) {
            link_->note(
                "an aggregate device takes at most one tap and one sub-device on this system.");
            return kAudioHardwareIllegalOperationError;
        }
        Aggregate aggregate;
        aggregate.name = textOf(description, "name");
        aggregate.uid = textOf(description, "uid");
        if (!deviceUIDs.empty()) {
            const PulseSnapshot* snapshot = nullptr;
            if (OSStatus status = currentSnapshot(snapshot, true); status != 0)
                return status;
            const pulse::PulseSource* source = snapshot->sourceNamed(deviceUIDs.front());
            if (source == nullptr || source->monitorOfSink != PA_INVALID_INDEX) {
                link_->note("unknown input device " + deviceUIDs.front() + ".");
                return kAudioHardwareBadDeviceError;
            }
            aggregate.microphone =
                pulse::CaptureMicrophone{source->name, source->sampleFormat.channels};
            aggregate.formats.push_back(floatFormat(source->sampleFormat.channels));
        }
        if (!tapUIDs.empty()) {
            auto tap = std::find_if(taps_.begin(), taps_.end(), [&](const auto& entry) {
                return entry.second.uuid == tapUIDs.front();
            });
            if (tap == taps_.end()) {
                link_->note("unknown process tap " + tapUIDs.front() + ".");
                return kAudioHardwareBadObjectError;
            }
            aggregate.tap = tap->first;
            aggregate.formats.push_back(floatFormat(2));
        }
        for (std::size_t i = 0; i < aggregate.formats.size(); ++i) {
            aggregate.streams.push_back(nextID_);
            aggregateStreams_[nextID_++] = aggregate.formats[i];
        }
        *outDeviceID = nextID_++;
        aggregates_[*outDeviceID] = std::move(aggregate);
        return 0;
    }

    OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID device) override {
        std::vector<std::unique_ptr<pulse::PulseCapture>> captures;
        {
            std::lock_guard lock(mutex_);
            auto found = aggregates_.find(device);
            if (found == aggregates_.end())
                return kAudioHardwareBadObjectError;
            for (auto ioProc = ioProcs_.begin(); ioProc != ioProcs_.end();) {
                if (ioProc->second.device != device) {
                    ++ioProc;
                    continue;
                }
                if (ioProc->second.capture)
                    captures.push_back(std::move(ioProc->second.capture));
                ioProc = ioProcs_.erase(ioProc);
            }
            for (const AudioObjectID stream : found->second.streams)
                aggregateStreams_.erase(stream);
            aggregates_.erase(found);
        }
        for (auto& capture : captures)
            capture->stop();
        return 0;
    }

    OSStatus AudioDeviceCreateIOProcID(AudioObjectID device, AudioDeviceIOProc proc,
                                       void* clientData,
                                       AudioDeviceIOProcID* outIOProcID) override {
        std::lock_guard lock(mutex_);
        if (!aggregates_.contains(device))
            return kAudioHardwareBadDeviceError;
        if (proc == nullptr || outIOProcID == nullptr)
            return kAudioHardwareIllegalOperationError;
        const std::uintptr_t id = nextIOProcID_++;
        ioProcs_[id] = IOProc{device, proc, clientData, nullptr};
        *outIOProcID = AudioDeviceIOProcID{id};
        return 0;
    }

    OSStatus AudioDeviceDestroyIOProcID(AudioObjectID device,
                                        AudioDeviceIOProcID ioProcID) override {
        std::unique_ptr<pulse::PulseCapture> capture;
        {
            std::lock_guard lock(mutex_);
            auto found = ioProcs_.find(static_cast<std::uintptr_t>(ioProcID));
            if (found == ioProcs_.end() || found->second.device != device)
                return kAudioHardwareBadObjectError;
            capture = std::move(found->second.capture);
            ioProcs_.erase(found);
        }
        if (capture)
            capture->stop();
        return 0;
    }

    OSStatus AudioDeviceStart(AudioObjectID device, AudioDeviceIOProcID ioProcID) override {
        std::unique_lock lock(mutex_);
        auto found = ioProcs_.find(static_cast<std::uintptr_t>(ioProcID));
        if (found == ioProcs_.end() || found->second.device != device)
            return kAudioHardwareBadObjectError;
        if (found->second.capture)
            return 0;
        const Aggregate& aggregate = aggregates_.at(device);
        pulse::CaptureSelection selection;
        if (aggregate.tap != kAudioObjectUnknown) {
            const Tap& tap = taps_.at(aggregate.tap);
            selection = {tap.pids, tap.exclusive};
        } else {
            selection = {{}, false};  // a tap-less aggregate monitors no playback stream
        }
        std::shared_ptr<pulse::PulseConnection> connection;
        try {
            connection = link_->connection();
        } catch (const PulseError&) {
            return kAudioHardwareNotRunningError;
        }
        auto capture = std::make_unique<pulse::PulseCapture>(
            connection, selection, aggregate.microphone,
            cycleDelivery(device, found->second, aggregate.microphone.has_value(),
                          aggregate.tap != kAudioObjectUnknown),
            [link = link_](const std::string& message) { link->note(message); });
        try {
            capture->start();
        } catch (const PulseError& error) {
            link_->note(error.what());
            capture->stop();
            return error.kind() == PulseError::Kind::unreachable ? kAudioHardwareNotRunningError
                                                                 : kAudioHardwareUnspecifiedError;
        }
        found->second.capture = std::move(capture);
        return 0;
    }

    OSStatus AudioDeviceStop(AudioObjectID device, AudioDeviceIOProcID ioProcID) override {
        std::unique_ptr<pulse::PulseCapture> capture;
        {
            std::lock_guard lock(mutex_);
            auto found = ioProcs_.find(static_cast<std::uintptr_t>(ioProcID));
            if (found == ioProcs_.end() || found->second.device != device)
                return kAudioHardwareBadObjectError;
            capture = std::move(found->second.capture);
        }
        if (capture)
            capture->stop();
        return 0;
    }

  private:
    struct Tap {
        std::vector<std::int32_t> pids;
        bool exclusive = true;
        std::string uuid;
    };
    struct Aggregate {
        std::string name;
        std::string uid;
        AudioObjectID tap = kAudioObjectUnknown;
        std::optional<pulse::CaptureMicrophone> microphone;
        std::vector<AudioObjectID> streams;
        std::vector<AudioStreamBasicDescription> formats;
    };
    struct IOProc {
        AudioObjectID device = 0;
        AudioDeviceIOProc proc = nullptr;
        void* clientData = nullptr;
        std::unique_ptr<pulse::PulseCapture> capture;
    };

    static std::vector<std::string> uidsOf(const CFDictionary& description, const char* key) {
        std::vector<std::string> uids;
        auto found = description.find(key);
        if (found == description.end() || !found->is_array())
            return uids;
        for (const auto& entry : *found) {
            if (entry.is_object() && entry.contains("uid") && entry["uid"].is_string()) {
                uids.push_back(entry["uid"].get<std::string>());
            }
        }
        return uids;
    }

    static std::string textOf(const CFDictionary& description, const char* key) {
        auto found = description.find(key);
        return found != description.end() && found->is_string() ? found->get<std::string>()
                                                                : std::string();
    }

    // One IO cycle as Core Audio hands it over: a buffer per input stream, in stream order
    // (the sub-device's, then the tap's).
    pulse::PulseCapture::Cycle cycleDelivery(AudioObjectID device, const IOProc& ioProc,
                                             bool microphone, bool tap) {
        struct State {
            AudioBufferListStorage input;
            AudioBufferListStorage output = AudioBufferListStorage::allocate(0);
            double sampleTime = 0;
        };
        auto state = std::make_shared<State>(State{AudioBufferListStorage::allocate(
            static_cast<std::uint32_t>(microphone) + static_cast<std::uint32_t>(tap))});
        state->output.list()->mNumberBuffers = 0;
        return [state, device, proc = ioProc.proc, clientData = ioProc.clientData, microphone, tap](
                   std::span<const float> tapSamples, std::span<const float> microphoneSamples) {
            auto buffers = audioBuffers(*state->input.list());
            std::size_t next = 0;
            const auto fill = [&](std::span<const float> samples, std::uint32_t channels) {
                buffers[next].mNumberChannels = channels;
                buffers[next].mDataByteSize = static_cast<std::uint32_t>(samples.size_bytes());
                buffers[next].mData = const_cast<float*>(samples.data());
                ++next;
            };
            if (microphone)
                fill(microphoneSamples, static_cast<std::uint32_t>(microphoneSamples.size() /
                                                                   pulse::captureCycleFrames));
            if (tap)
                fill(tapSamples, 2);
            const AudioTimeStamp now{
                .mSampleTime = state->sampleTime,
                .mHostTime = static_cast<std::uint64_t>(
                    std::chrono::steady_clock::now().time_since_epoch().count()),
            };
            proc(device, &now, state->input.list(), &now, state->output.list(), &now, clientData);
            state->sampleTime += pulse::captureCycleFrames;
        };
    }

    OSStatus reachServer() {
        try {
            link_->connection();
            return 0;
        } catch (const PulseError&) {
            return kAudioHardwareNotRunningError;
        }
    }

    // A snapshot at most a tenth of a second old, so that one pass over the process list asks
    // the server once.
    OSStatus currentSnapshot(const PulseSnapshot*& snapshot, bool fresh = false) {
        const auto now = std::chrono::steady_clock::now();
        if (fresh || !snapshot_ || now - snapshotAt_ > std::chrono::milliseconds(100)) {
            snapshot_.reset();
            try {
                snapshot_ = link_->connection()->snapshot();
            } catch (const PulseError& error) {
                if (error.kind() != PulseError::Kind::unreachable ||
                    std::string(error.what()).starts_with("lost")) {
                    link_->note(error.what());
                }
                return kAudioHardwareNotRunningError;
            }
            snapshotAt_ = now;
        }
        snapshot = &*snapshot_;
        return 0;
    }

    AudioObjectID idOf(std::map<std::int32_t, AudioObjectID>& table, std::int32_t key) {
        auto [entry, added] = table.try_emplace(key, nextID_);
        if (added)
            ++nextID_;
        return entry->second;
    }

    AudioObjectID deviceID(const std::string& source) {
        auto [entry, added] = deviceIDs_.try_emplace(source, nextID_);
        if (added) {
            ++nextID_;
            deviceStreams_[entry->second] = nextID_++;
        }
        return entry->second;
    }

    Property readProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                          std::uint32_t qualifierSize, const void* qualifier) {
        const AudioObjectPropertySelector selector = address.mSelector;
        if (auto tap = taps_.find(object); tap != taps_.end()) {
            if (selector == kAudioTapPropertyFormat)
                return Property::of(floatFormat(2));
            if (selector == kAudioDevicePropertyDeviceUID)
                return {0, tap->second.uuid};
            return Property::failure(kAudioHardwareUnknownPropertyError);
        }
        if (auto aggregate = aggregates_.find(object); aggregate != aggregates_.end()) {
            if (selector == kAudioDevicePropertyStreams) {
                return {0, address.mScope == kAudioObjectPropertyScopeInput
                               ? aggregate->second.streams
                               : std::vector<AudioObjectID>()};
            }
            if (selector == kAudioObjectPropertyName)
                return {0, aggregate->second.name};
            if (selector == kAudioDevicePropertyDeviceUID)
                return {0, aggregate->second.uid};
            if (selector == kAudioDevicePropertyNominalSampleRate)
                return Property::of(double(pulse::captureSampleRate));
            return Property::failure(kAudioHardwareUnknownPropertyError);
        }
        if (auto stream = aggregateStreams_.find(object); stream != aggregateStreams_.end()) {
            if (selector == kAudioStreamPropertyVirtualFormat)
                return Property::of(stream->second);
            return Property::failure(kAudioHardwareUnknownPropertyError);
        }
        const PulseSnapshot* snapshot = nullptr;
        if (OSStatus status = currentSnapshot(snapshot); status != 0)
            return Property::failure(status);
        if (object == kAudioObjectSystemObject)
            return systemProperty(*snapshot, selector, qualifierSize, qualifier);
        for (const auto& [pid, id] : processIDs_) {
            if (id == object)
                return processProperty(*snapshot, pid, selector);
        }
        for (const auto& [name, id] : deviceIDs_) {
            if (id == object)
                return deviceProperty(*snapshot, name, address);
            if (deviceStreams_.at(id) == object) {
                const pulse::PulseSource* source = snapshot->sourceNamed(name);
                if (source == nullptr)
                    return Property::failure(kAudioHardwareBadObjectError);
                if (selector == kAudioStreamPropertyVirtualFormat)
                    return Property::of(formatOf(source->sampleFormat));
                return Property::failure(kAudioHardwareUnknownPropertyError);
            }
        }
        return Property::failure(kAudioHardwareBadObjectError);
    }

    Property systemProperty(const PulseSnapshot& snapshot, AudioObjectPropertySelector selector,
                            std::uint32_t qualifierSize, const void* qualifier) {
        if (selector == kAudioHardwarePropertyProcessObjectList) {
            std::vector<AudioObjectID> ids;
            for (const pulse::PulseClient& client : snapshot.clients) {
                if (auto pid = pulse::processIDOf(client.properties)) {
                    const AudioObjectID id = idOf(processIDs_, *pid);
                    if (std::find(ids.begin(), ids.end(), id) == ids.end())
                        ids.push_back(id);
                }
            }
            return {0, std::move(ids)};
        }
        if (selector == kAudioHardwarePropertyTranslatePIDToProcessObject) {
            if (qualifier == nullptr || qualifierSize != sizeof(std::int32_t)) {
                return Property::failure(kAudioHardwareBadPropertySizeError);
            }
            std::int32_t pid = 0;
            std::memcpy(&pid, qualifier, sizeof pid);
            for (const pulse::PulseClient& client : snapshot.clients) {
                if (pulse::processIDOf(client.properties) == pid)
                    return Property::of(idOf(processIDs_, pid));
            }
            // A live process without audio has an object too, so that excluding it leaves out
            // the children that play for it.
            if (pid > 1 && pulse::processIsAlive(pid))
                return Property::of(idOf(processIDs_, pid));
            return Property::of(kAudioObjectUnknown);
        }
        if (selector == kAudioHardwarePropertyDevices) {
            std::vector<AudioObjectID> ids;
            for (const pulse::PulseSource& source : snapshot.sources) {
                if (source.monitorOfSink == PA_INVALID_INDEX)
                    ids.push_back(deviceID(source.name));
            }
            return {0, std::move(ids)};
        }
        if (selector == kAudioHardwarePropertyDefaultInputDevice) {
            const pulse::PulseSource* source = snapshot.sourceNamed(snapshot.defaultSource);
            // A monitor is no input device, even when the server falls back to one.
            if (source == nullptr || source->monitorOfSink != PA_INVALID_INDEX)
                return Property::of(kAudioObjectUnknown);
            return Property::of(deviceID(source->name));
        }
        return Property::failure(kAudioHardwareUnknownPropertyError);
    }

    static Property processProperty(const PulseSnapshot& snapshot, std::int32_t pid,
                                    AudioObjectPropertySelector selector) {
        std::vector<const pulse::PulseClient*> clients;
        for (const pulse::PulseClient& client : snapshot.clients) {
            if (pulse::processIDOf(client.properties) == pid)
                clients.push_back(&client);
        }
        if (clients.empty() && !pulse::processIsAlive(pid))
            return Property::failure(kAudioHardwareBadObjectError);
        if (selector == kAudioProcessPropertyBundleID) {
            for (const pulse::PulseClient* client : clients) {
                std::string id = pulse::applicationIDOf(client->properties);
                if (!id.empty())
                    return {0, std::move(id)};
            }
            return {0, std::string()};
        }
        if (selector == kAudioProcessPropertyIsRunningInput) {
            std::uint32_t running = 0;
            for (const pulse::PulseStreamInfo& record : snapshot.recordStreams) {
                const pulse::PulseSource* source = snapshot.source(record.device);
                if (record.corked || isPeakMeter(record) || source == nullptr ||
                    source->monitorOfSink != PA_INVALID_INDEX ||
                    snapshot.processOf(record) != pid) {
                    continue;
                }
                running = 1;
            }
            return Property::of(running);
        }
        return Property::failure(kAudioHardwareUnknownPropertyError);
    }

    Property deviceProperty(const PulseSnapshot& snapshot, const std::string& name,
                            const AudioObjectPropertyAddress& address) const {
        const auto& deviceStreams = deviceStreams_;
        const auto& deviceIDs = deviceIDs_;
        const pulse::PulseSource* source = snapshot.sourceNamed(name);
        if (source == nullptr)
            return Property::failure(kAudioHardwareBadObjectError);
        switch (address.mSelector) {
            case kAudioDevicePropertyStreams:
                return {0, address.mScope == kAudioObjectPropertyScopeInput
                               ? std::vector<AudioObjectID>{deviceStreams.at(deviceIDs.at(name))}
                               : std::vector<AudioObjectID>()};
            case kAudioObjectPropertyName:
                return {0, source->description};
            case kAudioDevicePropertyDeviceUID:
                return {0, source->name};
            case kAudioDevicePropertyNominalSampleRate:
                return Property::of(double(source->sampleFormat.rate));
            default:
                return Property::failure(kAudioHardwareUnknownPropertyError);
        }
    }

    std::shared_ptr<pulse::PulseServerLink> link_;
    std::mutex mutex_;
    AudioObjectID nextID_ = 100;
    std::uintptr_t nextIOProcID_ = 1;
    std::map<std::int32_t, AudioObjectID> processIDs_;
    std::map<std::string, AudioObjectID> deviceIDs_;
    std::map<AudioObjectID, AudioObjectID> deviceStreams_;
    std::map<AudioObjectID, Tap> taps_;
    std::map<AudioObjectID, Aggregate> aggregates_;
    std::map<AudioObjectID, AudioStreamBasicDescription> aggregateStreams_;
    std::map<std::uintptr_t, IOProc> ioProcs_;
    std::optional<PulseSnapshot> snapshot_;
    std::chrono::steady_clock::time_point snapshotAt_;
};

}  // namespace

std::shared_ptr<CoreAudio> makePulseCoreAudio(std::shared_ptr<pulse::PulseServerLink> link) {
    return std::make_shared<PulseCoreAudio>(std::move(link));
}

}  // namespace norvi::helper
