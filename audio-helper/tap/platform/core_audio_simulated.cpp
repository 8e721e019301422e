#include "audio-helper/tap/platform/core_audio_simulated.h"

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>

#include "audio-helper/core/audio_format_description.h"
#include "audio-helper/core/platform/simulated_pacing.h"

namespace norvi::helper {

using simulation::ScenarioError;

namespace {

std::string quotedKey(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

AudioStreamBasicDescription floatFormat(double rate, std::uint32_t channels) {
    return {
        .mSampleRate = rate,
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

// ---- Reading the scenario section ----

std::uint32_t codeFromText(const std::string& text, const std::string& where) {
    if (text.size() != 4) {
        throw ScenarioError(quotedKey(where) + " must be a four-character code, such as \"lpcm\".");
    }
    return (std::uint32_t(std::uint8_t(text[0])) << 24) |
           (std::uint32_t(std::uint8_t(text[1])) << 16) |
           (std::uint32_t(std::uint8_t(text[2])) << 8) | std::uint32_t(std::uint8_t(text[3]));
}

// A status as a number (signed, or the unsigned form of a four-character code) or as its
// four-character code.
OSStatus statusValue(const nlohmann::json& value, const std::string& where) {
    if (value.is_string()) {
        return static_cast<OSStatus>(codeFromText(value.get<std::string>(), where));
    }
    if (value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        if (number >= INT32_MIN && number <= static_cast<std::int64_t>(UINT32_MAX)) {
            return static_cast<OSStatus>(static_cast<std::uint32_t>(number));
        }
    }
    throw ScenarioError(quotedKey(where) + " must be a 32-bit status or a four-character code.");
}

std::uint32_t unsignedValue(const nlohmann::json& object, std::string_view key,
                            std::uint32_t fallback, const std::string& where) {
    const std::int64_t value = simulation::integerValue(object, key, fallback, where);
    if (value < 0 || value > static_cast<std::int64_t>(UINT32_MAX)) {
        throw ScenarioError(quotedKey(where + "." + std::string(key)) +
                            " must be an unsigned 32-bit number.");
    }
    return static_cast<std::uint32_t>(value);
}

AudioStreamBasicDescription formatValue(const nlohmann::json& object,
                                        AudioStreamBasicDescription format,
                                        const std::string& where) {
    simulation::requireKnownKeys(
        object,
        {"sampleRate", "formatID", "formatFlags", "bytesPerPacket", "framesPerPacket",
         "bytesPerFrame", "channelsPerFrame", "bitsPerChannel"},
        where);
    format.mSampleRate = simulation::numberValue(object, "sampleRate", format.mSampleRate, where);
    if (auto found = object.find("formatID"); found != object.end()) {
        format.mFormatID = found->is_string()
                               ? codeFromText(found->get<std::string>(), where + ".formatID")
                               : unsignedValue(object, "formatID", 0, where);
    }
    format.mFormatFlags = unsignedValue(object, "formatFlags", format.mFormatFlags, where);
    format.mBytesPerPacket = unsignedValue(object, "bytesPerPacket", format.mBytesPerPacket, where);
    format.mFramesPerPacket =
        unsignedValue(object, "framesPerPacket", format.mFramesPerPacket, where);
    format.mBytesPerFrame = unsignedValue(object, "bytesPerFrame", format.mBytesPerFrame, where);
    format.mChannelsPerFrame =
        unsignedValue(object, "channelsPerFrame", format.mChannelsPerFrame, where);
    format.mBitsPerChannel = unsignedValue(object, "bitsPerChannel", format.mBitsPerChannel, where);
    return format;
}

std::uint32_t littleEndian(const std::string& bytes, std::size_t at, int size) {
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = (value << 8) | std::uint8_t(bytes[at + static_cast<std::size_t>(i)]);
    }
    return value;
}

// A RIFF WAVE file of 16-bit integer or 32-bit float PCM, any number of channels.
void loadWav(SimulatedSignal& signal, const std::string& path, const std::string& where) {
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    auto fail = [&](const std::string& why) {
        throw ScenarioError(quotedKey(where) + ": the WAV file " + quotedKey(path) + " " + why);
    };
    if (!file && bytes.empty())
        fail("cannot be read.");
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) {
        fail("is not a RIFF WAVE file.");
    }
    std::uint32_t formatTag = 0;
    std::uint32_t channels = 0;
    std::uint32_t bits = 0;
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const std::string id = bytes.substr(at, 4);
        const std::size_t size = littleEndian(bytes, at + 4, 4);
        const std::size_t body = at + 8;
        if (size > bytes.size() - body)
            fail("has a truncated chunk.");
        if (id == "fmt " && size >= 16) {
            formatTag = littleEndian(bytes, body, 2);
            channels = littleEndian(bytes, body + 2, 2);
            bits = littleEndian(bytes, body + 14, 2);
            if (formatTag == 0xFFFE && size >= 26)
                formatTag = littleEndian(bytes, body + 24, 2);
        } else if (id == "data") {
            const bool isFloat = formatTag == 3 && bits == 32;
            const bool isInt16 = formatTag == 1 && bits == 16;
            if (channels == 0 || (!isFloat && !isInt16))
                fail("is not 16-bit integer or 32-bit float PCM.");
            const std::size_t sampleBytes = bits / 8;
            const std::size_t count = size / sampleBytes / channels * channels;
            signal.samples.resize(count);
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t offset = body + i * sampleBytes;
                if (isFloat) {
                    std::memcpy(&signal.samples[i], bytes.data() + offset, 4);
                } else {
                    const auto value = static_cast<std::int16_t>(littleEndian(bytes, offset, 2));
                    signal.samples[i] = static_cast<float>(value) / 32767.0f;
                }
            }
            signal.channels = channels;
            return;
        }
        at = body + size + (size & 1);
    }
    fail("has no data chunk.");
}

SimulatedSignal signalValue(const nlohmann::json& object, const std::string& where) {
    simulation::requireKnownKeys(object, {"signal", "frequency", "amplitude", "path", "loop"},
                                 where);
    SimulatedSignal signal;
    const std::string kind = simulation::stringValue(object, "signal", "silence", where);
    signal.frequency = simulation::numberValue(object, "frequency", signal.frequency, where);
    signal.amplitude = simulation::numberValue(object, "amplitude", signal.amplitude, where);
    signal.loop = simulation::boolValue(object, "loop", false, where);
    if (kind == "silence") {
        signal.kind = SimulatedSignal::Kind::silence;
    } else if (kind == "sine") {
        signal.kind = SimulatedSignal::Kind::sine;
    } else if (kind == "wav") {
        signal.kind = SimulatedSignal::Kind::wav;
        loadWav(signal, simulation::stringValue(object, "path", "", where), where + ".path");
    } else {
        throw ScenarioError(quotedKey(where + ".signal") +
                            " must be \"silence\", \"sine\" or \"wav\".");
    }
    return signal;
}

std::map<AudioObjectPropertySelector, OSStatus> selectorStatuses(const nlohmann::json& object,
                                                                 const std::string& where) {
    simulation::requireObject(object, where);
    std::map<AudioObjectPropertySelector, OSStatus> statuses;
    for (const auto& [selector, status] : object.items()) {
        statuses[codeFromText(selector, where + "." + selector)] =
            statusValue(status, where + "." + selector);
    }
    return statuses;
}

std::optional<std::string> nullableString(const nlohmann::json& object, std::string_view key,
                                          std::optional<std::string> fallback,
                                          const std::string& where) {
    auto found = object.find(key);
    if (found == object.end())
        return fallback;
    if (found->is_null())
        return std::nullopt;
    return simulation::stringValue(object, key, "", where);
}

// [from, until) in seconds; either end may be null.
void intervalValue(const nlohmann::json& object, std::string_view key, std::optional<double>& from,
                   std::optional<double>& until, const std::string& where) {
    auto found = object.find(key);
    if (found == object.end())
        return;
    const std::string name = where + "." + std::string(key);
    if (!found->is_array() || found->size() != 2 ||
        !((*found)[0].is_null() || (*found)[0].is_number()) ||
        !((*found)[1].is_null() || (*found)[1].is_number())) {
        throw ScenarioError(quotedKey(name) +
                            " must be [from, until] in seconds (either may be null).");
    }
    if ((*found)[0].is_number())
        from = (*found)[0].get<double>();
    if ((*found)[1].is_number())
        until = (*found)[1].get<double>();
}

SimulatedProcess processValue(const nlohmann::json& object, const std::string& where) {
    simulation::requireKnownKeys(
        object,
        {"pid", "bundleID", "runningInput", "runningInputBetween", "listedBetween", "statuses"},
        where);
    if (object.find("pid") == object.end())
        throw ScenarioError(quotedKey(where + ".pid") + " is required.");
    SimulatedProcess process;
    const std::int64_t pid = simulation::integerValue(object, "pid", 0, where);
    if (pid < INT32_MIN || pid > INT32_MAX)
        throw ScenarioError(quotedKey(where + ".pid") + " must be a 32-bit number.");
    process.pid = static_cast<std::int32_t>(pid);
    process.bundleID = nullableString(object, "bundleID", std::string(), where);
    process.runningInput = simulation::boolValue(object, "runningInput", false, where);
    intervalValue(object, "runningInputBetween", process.runningInputFrom,
                  process.runningInputUntil, where);
    if (object.contains("runningInputBetween"))
        process.runningInput = true;
    intervalValue(object, "listedBetween", process.listedFrom, process.listedUntil, where);
    if (auto found = object.find("statuses"); found != object.end()) {
        process.statuses = selectorStatuses(*found, where + ".statuses");
    }
    return process;
}

SimulatedDevice defaultMicrophone() {
    SimulatedDevice device;
    device.name = "Built-in Microphone";
    device.uid = "BuiltInMicrophoneDevice";
    device.inputStreams = {floatFormat(48000, 1)};
    return device;
}

SimulatedDevice deviceValue(const nlohmann::json& object, const std::string& where) {
    simulation::requireKnownKeys(object, {"name", "uid", "inputStreams", "hears", "statuses"},
                                 where);
    SimulatedDevice device;
    device.name = nullableString(object, "name", std::string(), where);
    device.uid = nullableString(object, "uid", std::string(), where);
    device.inputStreams = {floatFormat(48000, 1)};
    if (auto found = object.find("inputStreams"); found != object.end()) {
        if (!found->is_array())
            throw ScenarioError(quotedKey(where + ".inputStreams") + " must be a list.");
        device.inputStreams.clear();
        for (std::size_t i = 0; i < found->size(); ++i) {
            device.inputStreams.push_back(
                formatValue((*found)[i], floatFormat(48000, 1),
                            where + ".inputStreams[" + std::to_string(i) + "]"));
        }
    }
    if (auto found = object.find("hears"); found != object.end()) {
        device.hears = signalValue(*found, where + ".hears");
    }
    if (auto found = object.find("statuses"); found != object.end()) {
        device.statuses = selectorStatuses(*found, where + ".statuses");
    }
    return device;
}

constexpr std::string_view propertyOperations[] = {"AudioObjectGetPropertyDataSize",
                                                   "AudioObjectGetPropertyData"};
constexpr std::string_view otherOperations[] = {"AudioHardwareCreateProcessTap",
                                                "AudioHardwareDestroyProcessTap",
                                                "AudioHardwareCreateAggregateDevice",
                                                "AudioHardwareDestroyAggregateDevice",
                                                "AudioDeviceCreateIOProcID",
                                                "AudioDeviceDestroyIOProcID",
                                                "AudioDeviceStart",
                                                "AudioDeviceStop"};

void readStatuses(SimulatedCoreAudioConfig& config, const nlohmann::json& object) {
    const std::string where = "coreAudio.statuses";
    simulation::requireObject(object, where);
    for (const auto& [operation, value] : object.items()) {
        const std::string name = where + "." + operation;
        if (std::find(std::begin(propertyOperations), std::end(propertyOperations), operation) !=
            std::end(propertyOperations)) {
            if (value.is_object()) {
                config.propertyStatuses[operation] = selectorStatuses(value, name);
            } else {
                config.propertyStatuses[operation][0] = statusValue(value, name);
            }
        } else if (std::find(std::begin(otherOperations), std::end(otherOperations), operation) !=
                   std::end(otherOperations)) {
            config.operationStatuses[operation] = statusValue(value, name);
        } else {
            throw ScenarioError("Unknown scenario key " + quotedKey(name) + ".");
        }
    }
}

template <typename T>
std::vector<T> listValue(const nlohmann::json& section, std::string_view key,
                         T (*read)(const nlohmann::json&, const std::string&)) {
    const std::string where = "coreAudio." + std::string(key);
    const nlohmann::json& list = section.at(key);
    if (!list.is_array())
        throw ScenarioError(quotedKey(where) + " must be a list.");
    std::vector<T> values;
    for (std::size_t i = 0; i < list.size(); ++i) {
        values.push_back(read(list[i], where + "[" + std::to_string(i) + "]"));
    }
    return values;
}

// ---- Property values ----

void recordDescription(nlohmann::json& details, const CATapDescription& description) {
    details["processes"] = description.processes;
    details["exclusive"] = description.isExclusive;
    details["mono"] = description.isMono;
    details["name"] = description.name;
    details["private"] = description.isPrivate;
    details["muteBehavior"] = static_cast<int>(description.muteBehavior);
    details["uuid"] = description.uuid;
}

}  // namespace

float SimulatedSignal::sample(std::uint64_t frame, std::uint32_t channel, double sampleRate) const {
    switch (kind) {
        case Kind::silence:
            return 0.0f;
        case Kind::sine: {
            const double phase =
                std::fmod(static_cast<double>(frame) * frequency / sampleRate, 1.0);
            return static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * phase));
        }
        case Kind::wav: {
            const std::uint64_t frames = samples.size() / channels;
            if (frames == 0 || (!loop && frame >= frames))
                return 0.0f;
            const std::uint64_t index = frame % frames;
            return samples[index * channels + std::min(channel, channels - 1)];
        }
    }
    return 0.0f;
}

SimulatedCoreAudioConfig SimulatedCoreAudioConfig::defaultMachine() {
    SimulatedCoreAudioConfig config;
    config.devices = {defaultMicrophone()};
    config.defaultInputDevice = 0;
    config.tapFormat = floatFormat(48000, 2);
    return config;
}

SimulatedCoreAudioConfig SimulatedCoreAudioConfig::fromSection(const nlohmann::json& section) {
    simulation::requireKnownKeys(
        section,
        {"includeHelperProcesses", "processes", "devices", "defaultInputDevice", "tapFormat",
         "plays", "aggregateSampleRate", "ioCycleFrames", "realTime", "maximumIOCycles",
         "startDelaySeconds", "emptyIOProcID", "statuses"},
        "coreAudio");
    SimulatedCoreAudioConfig config = defaultMachine();
    const std::string where = "coreAudio";
    config.includeHelperProcesses =
        simulation::boolValue(section, "includeHelperProcesses", true, where);
    if (section.contains("processes"))
        config.processes = listValue(section, "processes", &processValue);
    if (section.contains("devices")) {
        config.devices = listValue(section, "devices", &deviceValue);
        config.defaultInputDevice =
            config.devices.empty() ? std::nullopt : std::optional<std::size_t>(0);
    }
    if (auto found = section.find("defaultInputDevice"); found != section.end()) {
        if (found->is_null()) {
            config.defaultInputDevice.reset();
        } else if (!found->is_number_integer() || found->get<std::int64_t>() < 0 ||
                   found->get<std::uint64_t>() >= config.devices.size()) {
            throw ScenarioError(
                quotedKey("coreAudio.defaultInputDevice") +
                " must be the index of a device in \"coreAudio.devices\", or null.");
        } else {
            config.defaultInputDevice = found->get<std::size_t>();
        }
    }
    if (auto found = section.find("tapFormat"); found != section.end()) {
        config.tapFormat = formatValue(*found, config.tapFormat, "coreAudio.tapFormat");
    }
    if (auto found = section.find("plays"); found != section.end()) {
        config.plays = signalValue(*found, "coreAudio.plays");
    }
    config.aggregateSampleRate =
        simulation::numberValue(section, "aggregateSampleRate", 48000, where);
    const std::int64_t frames = simulation::integerValue(section, "ioCycleFrames", 480, where);
    if (frames < 1 || frames > 1 << 20) {
        throw ScenarioError(quotedKey("coreAudio.ioCycleFrames") +
                            " must be between 1 and 1048576.");
    }
    config.ioCycleFrames = static_cast<std::uint32_t>(frames);
    config.realTime = simulation::boolValue(section, "realTime", true, where);
    if (section.contains("maximumIOCycles")) {
        const std::int64_t cycles = simulation::integerValue(section, "maximumIOCycles", 0, where);
        if (cycles < 0)
            throw ScenarioError(quotedKey("coreAudio.maximumIOCycles") + " must not be negative.");
        config.maximumIOCycles = static_cast<std::uint64_t>(cycles);
    }
    if (auto found = section.find("startDelaySeconds"); found != section.end()) {
        if (found->is_string() && found->get<std::string>() == "forever") {
            config.startDelaySeconds.reset();
        } else if (found->is_number() && found->get<double>() >= 0 && found->get<double>() <= 1e6) {
            config.startDelaySeconds = found->get<double>();
        } else {
            throw ScenarioError(quotedKey("coreAudio.startDelaySeconds") +
                                " must be a number of seconds (0 to 1000000) or \"forever\".");
        }
    }
    config.emptyIOProcID = simulation::boolValue(section, "emptyIOProcID", false, where);
    if (auto found = section.find("statuses"); found != section.end())
        readStatuses(config, *found);
    return config;
}

// ---- The machine ----

struct SimulatedCoreAudio::Object {
    enum class Kind { process, device, aggregate, stream, tap };
    Kind kind;
    SimulatedProcess process;
    // Device: its index in the configuration.
    std::size_t deviceIndex = 0;
    std::optional<std::string> name;
    std::optional<std::string> uid;
    std::vector<AudioObjectID> streams;
    // Stream or tap.
    AudioStreamBasicDescription format;
    const SimulatedSignal* signal = nullptr;
    std::map<AudioObjectPropertySelector, OSStatus> statuses;
};

struct SimulatedCoreAudio::Property {
    enum class Kind { ids, text, bytes };
    OSStatus status = 0;
    Kind kind = Kind::bytes;
    std::vector<AudioObjectID> ids;
    std::optional<std::string> text;
    unsigned char bytes[sizeof(AudioStreamBasicDescription)] = {};
    std::uint32_t size = 0;

    static Property failure(OSStatus status) {
        Property property;
        property.status = status;
        return property;
    }
    template <typename T>
    static Property of(const T& value) {
        static_assert(sizeof(T) <= sizeof(bytes));
        Property property;
        std::memcpy(property.bytes, &value, sizeof value);
        property.size = sizeof value;
        return property;
    }
    static Property list(std::vector<AudioObjectID> ids) {
        Property property;
        property.kind = Kind::ids;
        property.ids = std::move(ids);
        return property;
    }
    static Property string(std::optional<std::string> text) {
        Property property;
        property.kind = Kind::text;
        property.text = std::move(text);
        return property;
    }
};

// One started IO callback: its own thread and the buffers it fills each cycle. Shared with the
// thread, so stopping never races with the registration going away.
struct SimulatedCoreAudio::IORun {
    struct Layout {
        std::uint32_t firstBuffer;
        std::uint32_t bufferCount;
        std::uint32_t channelsPerBuffer;
        std::uint32_t bytesPerSample;
        bool isFloat;
        bool isInt16;
        const SimulatedSignal* signal;
    };

    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    AudioObjectID device = 0;
    AudioDeviceIOProc proc = nullptr;
    void* clientData = nullptr;
    std::vector<Layout> layouts;
    std::optional<AudioBufferListStorage> input;
    AudioBufferListStorage output = AudioBufferListStorage::allocate(0);
    std::vector<std::vector<std::byte>> data;
    std::uint32_t frames = 0;
    double sampleRate = 48000;
    bool realTime = true;
    std::optional<std::uint64_t> maximumCycles;
    std::atomic<std::uint64_t>* delivered = nullptr;
    std::thread thread;

    void fill(std::uint64_t cycle);
    void run();
};

struct SimulatedCoreAudio::IOProc {
    AudioObjectID device = 0;
    AudioDeviceIOProc proc = nullptr;
    void* clientData = nullptr;
    std::shared_ptr<IORun> run;
};

void SimulatedCoreAudio::IORun::fill(std::uint64_t cycle) {
    auto buffers = audioBuffers(*input->list());
    for (const Layout& layout : layouts) {
        if (layout.signal->kind == SimulatedSignal::Kind::silence ||
            !(layout.isFloat || layout.isInt16)) {
            continue;
        }
        for (std::uint32_t b = 0; b < layout.bufferCount; ++b) {
            auto* bytes = static_cast<std::byte*>(buffers[layout.firstBuffer + b].mData);
            for (std::uint32_t frame = 0; frame < frames; ++frame) {
                for (std::uint32_t c = 0; c < layout.channelsPerBuffer; ++c) {
                    const float value = layout.signal->sample(
                        cycle * frames + frame, b * layout.channelsPerBuffer + c, sampleRate);
                    const std::size_t index = std::size_t(frame) * layout.channelsPerBuffer + c;
                    if (layout.isFloat) {
                        std::memcpy(bytes + index * 4, &value, 4);
                    } else {
                        const auto sample =
                            static_cast<std::int16_t>(std::clamp(value, -1.0f, 1.0f) * 32767.0f);
                        std::memcpy(bytes + index * 2, &sample, 2);
                    }
                }
            }
        }
    }
}

void SimulatedCoreAudio::IORun::run() {
    const double rate = sampleRate > 0 && std::isfinite(sampleRate) ? sampleRate : 48000;
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(frames / rate));
    auto next = std::chrono::steady_clock::now();
    for (std::uint64_t cycle = 0;; ++cycle) {
        {
            std::unique_lock lock(mutex);
            if (maximumCycles && cycle >= *maximumCycles) {
                wake.wait(lock, [this] { return stopping; });
            }
            if (realTime && cycle > 0) {
                wake.wait_until(lock, next, [this] { return stopping; });
            }
            if (stopping)
                return;
        }
        if (!realTime) {
            waitUntilStandardOutputHasRoom([this] {
                std::lock_guard lock(mutex);
                return stopping;
            });
        }
        fill(cycle);
        const AudioTimeStamp now{
            .mSampleTime = static_cast<double>(cycle * frames),
            .mHostTime = static_cast<std::uint64_t>(
                std::chrono::steady_clock::now().time_since_epoch().count()),
        };
        proc(device, &now, input->list(), &now, output.list(), &now, clientData);
        delivered->fetch_add(1, std::memory_order_relaxed);
        next += period;
    }
}

SimulatedCoreAudio::SimulatedCoreAudio(SimulatedCoreAudioConfig config,
                                       std::shared_ptr<simulation::CallRecorder> recorder)
    : config_(std::move(config)),
      recorder_(std::move(recorder)),
      madeAt_(std::chrono::steady_clock::now()) {
    std::vector<SimulatedProcess> processes;
    if (config_.includeHelperProcesses) {
        for (const pid_t pid : {getpid(), getppid()}) {
            const bool listed =
                std::any_of(config_.processes.begin(), config_.processes.end(),
                            [&](const SimulatedProcess& p) { return p.pid == pid; });
            if (listed)
                continue;
            SimulatedProcess helper;
            helper.pid = static_cast<std::int32_t>(pid);
            processes.push_back(std::move(helper));
        }
    }
    processes.insert(processes.end(), config_.processes.begin(), config_.processes.end());
    for (SimulatedProcess& process : processes) {
        auto object = std::make_unique<Object>();
        object->kind = Object::Kind::process;
        object->statuses = process.statuses;
        object->process = std::move(process);
        processOrder_.push_back(addObject(std::move(object)));
    }
    for (std::size_t i = 0; i < config_.devices.size(); ++i) {
        const SimulatedDevice& device = config_.devices[i];
        auto object = std::make_unique<Object>();
        object->kind = Object::Kind::device;
        object->deviceIndex = i;
        object->name = device.name;
        object->uid = device.uid;
        object->statuses = device.statuses;
        for (const AudioStreamBasicDescription& format : device.inputStreams) {
            auto stream = std::make_unique<Object>();
            stream->kind = Object::Kind::stream;
            stream->format = format;
            stream->signal = &device.hears;
            object->streams.push_back(addObject(std::move(stream)));
        }
        deviceOrder_.push_back(addObject(std::move(object)));
    }
}

SimulatedCoreAudio::~SimulatedCoreAudio() {
    std::vector<std::shared_ptr<IORun>> runs;
    {
        std::lock_guard lock(mutex_);
        releasingStarts_ = true;
        for (auto& [id, ioProc] : ioProcs_) {
            if (ioProc->run)
                runs.push_back(std::move(ioProc->run));
        }
    }
    startReleased_.notify_all();
    joinRuns(runs);
}

void SimulatedCoreAudio::joinRuns(const std::vector<std::shared_ptr<IORun>>& runs) {
    for (const auto& run : runs) {
        {
            std::lock_guard lock(run->mutex);
            run->stopping = true;
        }
        run->wake.notify_all();
    }
    for (const auto& run : runs) {
        if (run->thread.joinable())
            run->thread.join();
    }
}

AudioObjectID SimulatedCoreAudio::addObject(std::unique_ptr<Object> object) {
    const AudioObjectID id = nextObjectID_++;
    objects_[id] = std::move(object);
    return id;
}

double SimulatedCoreAudio::secondsSinceStart() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - madeAt_).count();
}

void SimulatedCoreAudio::record(const char* call, nlohmann::json details) const {
    if (recorder_)
        recorder_->record(call, details);
}

OSStatus SimulatedCoreAudio::overrideStatus(const std::string& operation) const {
    auto found = config_.operationStatuses.find(operation);
    return found == config_.operationStatuses.end() ? 0 : found->second;
}

OSStatus SimulatedCoreAudio::propertyOverride(const std::string& operation, const Object* object,
                                              AudioObjectPropertySelector selector) const {
    if (auto byOperation = config_.propertyStatuses.find(operation);
        byOperation != config_.propertyStatuses.end()) {
        for (const AudioObjectPropertySelector key : {selector, AudioObjectPropertySelector(0)}) {
            if (auto found = byOperation->second.find(key); found != byOperation->second.end())
                return found->second;
        }
    }
    if (object != nullptr) {
        if (auto found = object->statuses.find(selector); found != object->statuses.end())
            return found->second;
    }
    return 0;
}

namespace {

bool within(double now, const std::optional<double>& from, const std::optional<double>& until) {
    return (!from || now >= *from) && (!until || now < *until);
}

}  // namespace

SimulatedCoreAudio::Property SimulatedCoreAudio::readProperty(
    AudioObjectID id, const AudioObjectPropertyAddress& address, std::uint32_t qualifierSize,
    const void* qualifier) {
    const AudioObjectPropertySelector selector = address.mSelector;
    const double now = secondsSinceStart();
    auto listed = [&](const Object& object) {
        return within(now, object.process.listedFrom, object.process.listedUntil);
    };
    if (id == kAudioObjectSystemObject) {
        if (selector == kAudioHardwarePropertyProcessObjectList) {
            std::vector<AudioObjectID> ids;
            for (const AudioObjectID process : processOrder_) {
                if (listed(*objects_.at(process)))
                    ids.push_back(process);
            }
            return Property::list(std::move(ids));
        }
        if (selector == kAudioHardwarePropertyDevices)
            return Property::list(deviceOrder_);
        if (selector == kAudioHardwarePropertyDefaultInputDevice) {
            return Property::of<AudioObjectID>(config_.defaultInputDevice
                                                   ? deviceOrder_[*config_.defaultInputDevice]
                                                   : kAudioObjectUnknown);
        }
        if (selector == kAudioHardwarePropertyTranslatePIDToProcessObject) {
            if (qualifier == nullptr || qualifierSize != sizeof(std::int32_t)) {
                return Property::failure(kAudioHardwareBadPropertySizeError);
            }
            std::int32_t pid;
            std::memcpy(&pid, qualifier, sizeof pid);
            for (const AudioObjectID process : processOrder_) {
                const Object& object = *objects_.at(process);
                if (object.process.pid == pid && listed(object))
                    return Property::of<AudioObjectID>(process);
            }
            return Property::of<AudioObjectID>(kAudioObjectUnknown);
        }
        return Property::failure(kAudioHardwareUnknownPropertyError);
    }
    auto found = objects_.find(id);
    if (found == objects_.end())
        return Property::failure(kAudioHardwareBadObjectError);
    const Object& object = *found->second;
    switch (object.kind) {
        case Object::Kind::process:
            if (selector == kAudioProcessPropertyBundleID)
                return Property::string(object.process.bundleID);
            if (selector == kAudioProcessPropertyIsRunningInput) {
                const bool running =
                    object.process.runningInput &&
                    within(now, object.process.runningInputFrom, object.process.runningInputUntil);
                return Property::of<std::uint32_t>(running ? 1 : 0);
            }
            break;
        case Object::Kind::device:
        case Object::Kind::aggregate:
            if (selector == kAudioDevicePropertyStreams) {
                return Property::list(address.mScope == kAudioObjectPropertyScopeInput
                                          ? object.streams
                                          : std::vector<AudioObjectID>());
            }
            if (selector == kAudioObjectPropertyName)
                return Property::string(object.name);
            if (selector == kAudioDevicePropertyDeviceUID)
                return Property::string(object.uid);
            if (selector == kAudioDevicePropertyNominalSampleRate) {
                if (object.kind == Object::Kind::aggregate)
                    return Property::of(config_.aggregateSampleRate);
                return Property::of(object.streams.empty()
                                        ? 48000.0
                                        : objects_.at(object.streams[0])->format.mSampleRate);
            }
            break;
        case Object::Kind::stream:
            if (selector == kAudioStreamPropertyVirtualFormat)
                return Property::of(object.format);
            break;
        case Object::Kind::tap:
            if (selector == kAudioTapPropertyFormat)
                return Property::of(object.format);
            if (selector == kAudioDevicePropertyDeviceUID)
                return Property::string(object.uid);
            break;
    }
    return Property::failure(kAudioHardwareUnknownPropertyError);
}

namespace {

nlohmann::json propertyDetails(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               std::uint32_t qualifierSize, const void* qualifier) {
    nlohmann::json details{{"object", object},
                           {"selector", fourCC(address.mSelector)},
                           {"scope", fourCC(address.mScope)}};
    if (qualifier != nullptr && qualifierSize == sizeof(std::int32_t)) {
        std::int32_t value;
        std::memcpy(&value, qualifier, sizeof value);
        details["qualifier"] = value;
    }
    return details;
}

}  // namespace

OSStatus SimulatedCoreAudio::AudioObjectGetPropertyDataSize(
    AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t qualifierSize,
    const void* qualifier, std::uint32_t* outDataSize) {
    std::lock_guard lock(mutex_);
    nlohmann::json details = propertyDetails(object, address, qualifierSize, qualifier);
    auto found = objects_.find(object);
    OSStatus status = propertyOverride("AudioObjectGetPropertyDataSize",
                                       found == objects_.end() ? nullptr : found->second.get(),
                                       address.mSelector);
    Property property;
    if (status == 0) {
        property = readProperty(object, address, qualifierSize, qualifier);
        status = property.status;
    }
    if (status == 0 && outDataSize == nullptr)
        status = kAudioHardwareIllegalOperationError;
    if (status == 0) {
        switch (property.kind) {
            case Property::Kind::ids:
                *outDataSize =
                    static_cast<std::uint32_t>(property.ids.size() * sizeof(AudioObjectID));
                break;
            case Property::Kind::text:
                *outDataSize = sizeof(CFStringRef);
                break;
            case Property::Kind::bytes:
                *outDataSize = property.size;
                break;
        }
        details["size"] = *outDataSize;
    }
    details["status"] = status;
    record("AudioObjectGetPropertyDataSize", std::move(details));
    return status;
}

OSStatus SimulatedCoreAudio::AudioObjectGetPropertyData(AudioObjectID object,
                                                        const AudioObjectPropertyAddress& address,
                                                        std::uint32_t qualifierSize,
                                                        const void* qualifier,
                                                        std::uint32_t* ioDataSize, void* outData) {
    std::lock_guard lock(mutex_);
    nlohmann::json details = propertyDetails(object, address, qualifierSize, qualifier);
    auto found = objects_.find(object);
    OSStatus status = propertyOverride("AudioObjectGetPropertyData",
                                       found == objects_.end() ? nullptr : found->second.get(),
                                       address.mSelector);
    Property property;
    if (status == 0) {
        property = readProperty(object, address, qualifierSize, qualifier);
        status = property.status;
    }
    if (status == 0 && (ioDataSize == nullptr || outData == nullptr))
        status = kAudioHardwareIllegalOperationError;
    if (status == 0) {
        switch (property.kind) {
            case Property::Kind::ids: {
                // Whole entries only, never more than the caller has room for.
                const std::size_t count =
                    std::min<std::size_t>(property.ids.size(), *ioDataSize / sizeof(AudioObjectID));
                std::memcpy(outData, property.ids.data(), count * sizeof(AudioObjectID));
                *ioDataSize = static_cast<std::uint32_t>(count * sizeof(AudioObjectID));
                break;
            }
            case Property::Kind::text:
                if (*ioDataSize < sizeof(CFStringRef)) {
                    status = kAudioHardwareBadPropertySizeError;
                    break;
                }
                {
                    const CFStringRef string =
                        property.text ? CFStringCreate(*property.text) : nullptr;
                    std::memcpy(outData, &string, sizeof string);
                    *ioDataSize = sizeof string;
                }
                break;
            case Property::Kind::bytes:
                if (*ioDataSize < property.size) {
                    status = kAudioHardwareBadPropertySizeError;
                    break;
                }
                std::memcpy(outData, property.bytes, property.size);
                *ioDataSize = property.size;
                break;
        }
    }
    details["status"] = status;
    record("AudioObjectGetPropertyData", std::move(details));
    return status;
}

OSStatus SimulatedCoreAudio::AudioHardwareCreateProcessTap(const CATapDescription& description,
                                                           AudioObjectID* outTapID) {
    std::lock_guard lock(mutex_);
    nlohmann::json details = nlohmann::json::object();
    recordDescription(details, description);
    OSStatus status = overrideStatus("AudioHardwareCreateProcessTap");
    if (status == 0 && outTapID == nullptr)
        status = kAudioHardwareIllegalOperationError;
    if (status == 0) {
        auto tap = std::make_unique<Object>();
        tap->kind = Object::Kind::tap;
        tap->uid = description.uuid;
        tap->format = config_.tapFormat;
        tap->signal = &config_.plays;
        *outTapID = addObject(std::move(tap));
        details["tap"] = *outTapID;
        tapDescriptions_.push_back(description);
    }
    details["status"] = status;
    record("AudioHardwareCreateProcessTap", std::move(details));
    return status;
}

OSStatus SimulatedCoreAudio::AudioHardwareDestroyProcessTap(AudioObjectID tap) {
    std::lock_guard lock(mutex_);
    OSStatus status = overrideStatus("AudioHardwareDestroyProcessTap");
    if (status == 0) {
        auto found = objects_.find(tap);
        if (found == objects_.end() || found->second->kind != Object::Kind::tap) {
            status = kAudioHardwareBadObjectError;
        } else {
            objects_.erase(found);
        }
    }
    record("AudioHardwareDestroyProcessTap", {{"tap", tap}, {"status", status}});
    return status;
}

OSStatus SimulatedCoreAudio::AudioHardwareCreateAggregateDevice(const CFDictionary& description,
                                                                AudioObjectID* outDeviceID) {
    std::lock_guard lock(mutex_);
    OSStatus status = overrideStatus("AudioHardwareCreateAggregateDevice");
    if (status == 0 && (outDeviceID == nullptr || !description.is_object())) {
        status = kAudioHardwareIllegalOperationError;
    }
    nlohmann::json details{{"description", description}};
    if (status == 0) {
        auto device = std::make_unique<Object>();
        device->kind = Object::Kind::aggregate;
        auto text = [&](const char* key) -> std::optional<std::string> {
            auto found = description.find(key);
            if (found == description.end() || !found->is_string())
                return std::nullopt;
            return found->get<std::string>();
        };
        device->name = text("name");
        device->uid = text("uid");
        auto uidsOf = [&](const char* key) {
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
        };
        // The sub-devices' input streams come first, then one stream per tap.
        std::vector<std::pair<AudioStreamBasicDescription, const SimulatedSignal*>> streams;
        for (const std::string& uid : uidsOf("subdevices")) {
            for (const AudioObjectID id : deviceOrder_) {
                const Object& member = *objects_.at(id);
                if (member.uid != uid)
                    continue;
                for (const AudioObjectID stream : member.streams) {
                    streams.emplace_back(objects_.at(stream)->format, objects_.at(stream)->signal);
                }
                break;
            }
        }
        for (const std::string& uid : uidsOf("taps")) {
            for (const auto& [id, member] : objects_) {
                if (member->kind == Object::Kind::tap && member->uid == uid) {
                    streams.emplace_back(member->format, member->signal);
                    break;
                }
            }
        }
        for (const auto& [format, signal] : streams) {
            auto stream = std::make_unique<Object>();
            stream->kind = Object::Kind::stream;
            stream->format = format;
            stream->signal = signal;
            device->streams.push_back(addObject(std::move(stream)));
        }
        *outDeviceID = addObject(std::move(device));
        details["device"] = *outDeviceID;
        aggregateDescriptions_.push_back(description);
    }
    details["status"] = status;
    record("AudioHardwareCreateAggregateDevice", std::move(details));
    return status;
}

OSStatus SimulatedCoreAudio::AudioHardwareDestroyAggregateDevice(AudioObjectID device) {
    std::vector<std::shared_ptr<IORun>> runs;
    OSStatus status;
    {
        std::lock_guard lock(mutex_);
        status = overrideStatus("AudioHardwareDestroyAggregateDevice");
        auto found = objects_.find(device);
        if (status == 0 &&
            (found == objects_.end() || found->second->kind != Object::Kind::aggregate)) {
            status = kAudioHardwareBadObjectError;
        }
        if (status == 0) {
            for (auto ioProc = ioProcs_.begin(); ioProc != ioProcs_.end();) {
                if (ioProc->second->device != device) {
                    ++ioProc;
                    continue;
                }
                if (ioProc->second->run)
                    runs.push_back(std::move(ioProc->second->run));
                ioProc = ioProcs_.erase(ioProc);
            }
            for (const AudioObjectID stream : found->second->streams)
                objects_.erase(stream);
            objects_.erase(found);
        }
        record("AudioHardwareDestroyAggregateDevice", {{"device", device}, {"status", status}});
    }
    joinRuns(runs);
    return status;
}

OSStatus SimulatedCoreAudio::AudioDeviceCreateIOProcID(AudioObjectID device, AudioDeviceIOProc proc,
                                                       void* clientData,
                                                       AudioDeviceIOProcID* outIOProcID) {
    std::lock_guard lock(mutex_);
    OSStatus status = overrideStatus("AudioDeviceCreateIOProcID");
    auto found = objects_.find(device);
    if (status == 0 &&
        (found == objects_.end() || (found->second->kind != Object::Kind::device &&
                                     found->second->kind != Object::Kind::aggregate))) {
        status = kAudioHardwareBadDeviceError;
    }
    if (status == 0 && (outIOProcID == nullptr || proc == nullptr))
        status = kAudioHardwareIllegalOperationError;
    nlohmann::json details{{"device", device}};
    if (status == 0) {
        if (config_.emptyIOProcID) {
            *outIOProcID = AudioDeviceIOProcID{};
        } else {
            const std::uintptr_t id = nextIOProcID_++;
            ioProcs_[id] = std::make_unique<IOProc>(IOProc{device, proc, clientData, nullptr});
            *outIOProcID = AudioDeviceIOProcID{id};
        }
        details["ioProcID"] = static_cast<std::uintptr_t>(*outIOProcID);
    }
    details["status"] = status;
    record("AudioDeviceCreateIOProcID", std::move(details));
    return status;
}

OSStatus SimulatedCoreAudio::AudioDeviceDestroyIOProcID(AudioObjectID device,
                                                        AudioDeviceIOProcID ioProcID) {
    std::vector<std::shared_ptr<IORun>> runs;
    OSStatus status;
    {
        std::lock_guard lock(mutex_);
        status = overrideStatus("AudioDeviceDestroyIOProcID");
        auto found = ioProcs_.find(static_cast<std::uintptr_t>(ioProcID));
        if (status == 0 && (found == ioProcs_.end() || found->second->device != device)) {
            status = kAudioHardwareBadObjectError;
        }
        if (status == 0) {
            if (found->second->run)
                runs.push_back(std::move(found->second->run));
            ioProcs_.erase(found);
        }
        record("AudioDeviceDestroyIOProcID", {{"device", device},
                                              {"ioProcID", static_cast<std::uintptr_t>(ioProcID)},
                                              {"status", status}});
    }
    joinRuns(runs);
    return status;
}

OSStatus SimulatedCoreAudio::AudioDeviceStart(AudioObjectID device, AudioDeviceIOProcID ioProcID) {
    std::unique_lock lock(mutex_);
    record("AudioDeviceStart",
           {{"device", device}, {"ioProcID", static_cast<std::uintptr_t>(ioProcID)}});
    if (!config_.startDelaySeconds) {
        startReleased_.wait(lock, [this] { return releasingStarts_; });
    } else if (*config_.startDelaySeconds > 0) {
        startReleased_.wait_for(lock, std::chrono::duration<double>(*config_.startDelaySeconds),
                                [this] { return releasingStarts_; });
    }
    if (OSStatus status = overrideStatus("AudioDeviceStart"); status != 0)
        return status;
    auto found = ioProcs_.find(static_cast<std::uintptr_t>(ioProcID));
    // The device may have gone while the start was blocked.
    if (found == ioProcs_.end() || found->second->device != device) {
        return kAudioHardwareBadObjectError;
    }
    IOProc& ioProc = *found->second;
    if (ioProc.run)
        return 0;
    auto run = std::make_shared<IORun>();
    run->device = device;
    run->proc = ioProc.proc;
    run->clientData = ioProc.clientData;
    run->frames = config_.ioCycleFrames;
    run->realTime = config_.realTime;
    run->maximumCycles = config_.maximumIOCycles;
    run->delivered = &deliveredCycles_;
    const Object& owner = *objects_.at(device);
    run->sampleRate = owner.kind == Object::Kind::aggregate ? config_.aggregateSampleRate
                      : owner.streams.empty()               ? 48000.0
                                              : objects_.at(owner.streams[0])->format.mSampleRate;
    std::uint32_t bufferCount = 0;
    for (const AudioObjectID streamID : owner.streams) {
        const Object& stream = *objects_.at(streamID);
        const AudioStreamBasicDescription& format = stream.format;
        const std::uint32_t channels = std::max<std::uint32_t>(format.mChannelsPerFrame, 1);
        const bool split =
            (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0 && channels > 1;
        IORun::Layout layout{
            .firstBuffer = bufferCount,
            .bufferCount = split ? channels : 1,
            .channelsPerBuffer = split ? 1 : channels,
            .bytesPerSample = std::max<std::uint32_t>(format.mBitsPerChannel / 8, 1),
            .isFloat = (format.mFormatFlags & kAudioFormatFlagIsFloat) != 0 &&
                       format.mBitsPerChannel == 32,
            .isInt16 = (format.mFormatFlags & kAudioFormatFlagIsSignedInteger) != 0 &&
                       format.mBitsPerChannel == 16,
            .signal = stream.signal,
        };
        bufferCount += layout.bufferCount;
        run->layouts.push_back(layout);
    }
    run->input = AudioBufferListStorage::allocate(bufferCount);
    auto entries = audioBuffers(*run->input->list());
    for (const IORun::Layout& layout : run->layouts) {
        for (std::uint32_t b = 0; b < layout.bufferCount; ++b) {
            auto& bytes = run->data.emplace_back(std::size_t(run->frames) *
                                                 layout.channelsPerBuffer * layout.bytesPerSample);
            AudioBuffer& entry = entries[layout.firstBuffer + b];
            entry.mNumberChannels = layout.channelsPerBuffer;
            entry.mDataByteSize = static_cast<std::uint32_t>(bytes.size());
            entry.mData = bytes.data();
        }
    }
    run->output.list()->mNumberBuffers = 0;
    run->thread = std::thread([run] { run->run(); });
    ioProc.run = std::move(run);
    return 0;
}

OSStatus SimulatedCoreAudio::AudioDeviceStop(AudioObjectID device, AudioDeviceIOProcID ioProcID) {
    std::vector<std::shared_ptr<IORun>> runs;
    OSStatus status;
    {
        std::lock_guard lock(mutex_);
        status = overrideStatus("AudioDeviceStop");
        auto found = ioProcs_.find(static_cast<std::uintptr_t>(ioProcID));
        if (status == 0 && (found == ioProcs_.end() || found->second->device != device)) {
            status = kAudioHardwareBadObjectError;
        }
        if (status == 0 && found->second->run)
            runs.push_back(std::move(found->second->run));
        record("AudioDeviceStop", {{"device", device},
                                   {"ioProcID", static_cast<std::uintptr_t>(ioProcID)},
                                   {"status", status}});
    }
    joinRuns(runs);
    return status;
}

std::size_t SimulatedCoreAudio::liveTaps() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(objects_.begin(), objects_.end(),
                      [](const auto& entry) { return entry.second->kind == Object::Kind::tap; }));
}

std::size_t SimulatedCoreAudio::liveAggregateDevices() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        objects_.begin(), objects_.end(),
        [](const auto& entry) { return entry.second->kind == Object::Kind::aggregate; }));
}

std::size_t SimulatedCoreAudio::liveIOProcs() const {
    std::lock_guard lock(mutex_);
    return ioProcs_.size();
}

std::size_t SimulatedCoreAudio::runningIOProcs() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(ioProcs_.begin(), ioProcs_.end(),
                      [](const auto& entry) { return entry.second->run != nullptr; }));
}

std::vector<CATapDescription> SimulatedCoreAudio::createdTapDescriptions() const {
    std::lock_guard lock(mutex_);
    return tapDescriptions_;
}

std::vector<CFDictionary> SimulatedCoreAudio::createdAggregateDescriptions() const {
    std::lock_guard lock(mutex_);
    return aggregateDescriptions_;
}

std::uint64_t SimulatedCoreAudio::deliveredIOCycles() const {
    return deliveredCycles_.load();
}

void SimulatedCoreAudio::releaseBlockedStarts() {
    {
        std::lock_guard lock(mutex_);
        releasingStarts_ = true;
    }
    startReleased_.notify_all();
}

std::vector<AudioObjectID> SimulatedCoreAudio::deviceIDs() const {
    std::lock_guard lock(mutex_);
    return deviceOrder_;
}

std::shared_ptr<CoreAudio> makeSimulatedCoreAudio(const simulation::Scenario& scenario) {
    return std::make_shared<SimulatedCoreAudio>(
        SimulatedCoreAudioConfig::fromSection(scenario.section("coreAudio")), scenario.recorder());
}

}  // namespace norvi::helper
