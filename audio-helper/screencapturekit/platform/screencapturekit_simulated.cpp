#include "audio-helper/screencapturekit/platform/screencapturekit_simulated.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "audio-helper/core/platform/core_media_simulated.h"
#include "audio-helper/core/platform/simulated_pacing.h"
#include "support/simulation/scenario.h"

namespace norvi::helper {
namespace {

using nlohmann::json;
using simulation::ScenarioError;

constexpr double pi = 3.14159265358979323846;

struct SpecialBuffer {
    enum class Kind { invalid, noFormatDescription, noStreamDescription, largerBufferList, bufferListFailure };
    Kind kind = Kind::invalid;
    OSStatus status = -12731;
};

struct PickerScript {
    enum class Outcome { select, cancel, fail, none };
    Outcome outcome = Outcome::select;
    std::optional<Outcome> secondCallback;
    double afterSeconds = 0.1;
    std::uint32_t selectDisplayID = 1;
    std::int64_t style = SCShareableContentStyleDisplay;
    std::string failMessage = "The content-sharing picker could not start.";
};

struct Config {
    std::vector<SCRunningApplication> applications;
    std::vector<SCDisplay> displays{{1}};
    std::map<std::string, std::string> errors;  // operation -> error description
    double sineFrequency = 0;                    // 0: silence
    double sineAmplitude = 0;
    std::uint32_t framesPerBuffer = 480;
    bool realTime = true;
    std::optional<std::uint64_t> maximumAudioBuffers;
    std::map<std::uint64_t, SpecialBuffer> specialAudioBuffers;
    std::uint64_t invalidScreenBuffersFirst = 0;
    std::optional<double> stopWithErrorAfter;
    std::string stopWithErrorMessage = "The stream was stopped by the system.";
    PickerScript picker;
};

PickerScript::Outcome parseOutcome(const std::string& text, const std::string& where) {
    if (text == "select") return PickerScript::Outcome::select;
    if (text == "cancel") return PickerScript::Outcome::cancel;
    if (text == "fail") return PickerScript::Outcome::fail;
    if (text == "none") return PickerScript::Outcome::none;
    throw ScenarioError("\"" + where + "\" must be \"select\", \"cancel\", \"fail\" or \"none\".");
}

std::int32_t parsePid(const json& value, const std::string& where) {
    if (value == "self") return ::getpid();
    if (value == "parent") return ::getppid();
    if (value.is_number_integer()) return value.get<std::int32_t>();
    throw ScenarioError("\"" + where + "\" must be a process id, \"self\" or \"parent\".");
}

Config parseConfig(const json& section) {
    constexpr const char* where = "screenCaptureKit";
    simulation::requireKnownKeys(section,
                                 {"applications", "displays", "errors", "audio", "specialAudioBuffers",
                                  "invalidScreenBuffersFirst", "stopWithErrorAfter", "stopWithErrorMessage", "picker"},
                                 where);
    Config config;
    config.applications = {{::getpid(), "com.norvi.audio-helper"}, {::getppid(), "com.norvi.host"}};
    if (section.contains("applications")) {
        config.applications.clear();
        for (const json& entry : section["applications"]) {
            simulation::requireKnownKeys(entry, {"pid", "bundleId"}, "screenCaptureKit.applications[]");
            config.applications.push_back({parsePid(entry.value("pid", json(0)), "screenCaptureKit.applications[].pid"),
                                           simulation::stringValue(entry, "bundleId", "", "screenCaptureKit.applications[]")});
        }
    }
    if (section.contains("displays")) {
        config.displays.clear();
        for (const json& id : section["displays"]) {
            if (!id.is_number_unsigned()) throw ScenarioError("\"screenCaptureKit.displays\" must list display ids.");
            config.displays.push_back({id.get<std::uint32_t>()});
        }
    }
    if (section.contains("errors")) {
        const json& errors = section["errors"];
        simulation::requireKnownKeys(errors,
                                     {"getShareableContent", "addScreenOutput", "addAudioOutput", "startCapture",
                                      "stopCapture", "updateContentFilter"},
                                     "screenCaptureKit.errors");
        for (const auto& [operation, description] : errors.items()) {
            config.errors[operation] = simulation::stringValue(errors, operation, "", "screenCaptureKit.errors");
        }
    }
    if (section.contains("audio")) {
        const json& audio = section["audio"];
        constexpr const char* audioWhere = "screenCaptureKit.audio";
        simulation::requireKnownKeys(audio, {"sineFrequency", "sineAmplitude", "framesPerBuffer", "realTime", "maximumBuffers"},
                                     audioWhere);
        config.sineFrequency = simulation::numberValue(audio, "sineFrequency", 0, audioWhere);
        config.sineAmplitude = simulation::numberValue(audio, "sineAmplitude", 0.5, audioWhere);
        config.framesPerBuffer = static_cast<std::uint32_t>(simulation::integerValue(audio, "framesPerBuffer", 480, audioWhere));
        config.realTime = simulation::boolValue(audio, "realTime", true, audioWhere);
        if (audio.contains("maximumBuffers")) {
            config.maximumAudioBuffers = simulation::integerValue(audio, "maximumBuffers", 0, audioWhere);
        }
        if (config.framesPerBuffer == 0) throw ScenarioError("\"screenCaptureKit.audio.framesPerBuffer\" must be positive.");
    }
    for (const json& entry : section.value("specialAudioBuffers", json::array())) {
        constexpr const char* entryWhere = "screenCaptureKit.specialAudioBuffers[]";
        simulation::requireKnownKeys(entry, {"index", "kind", "status"}, entryWhere);
        const std::string kind = simulation::stringValue(entry, "kind", "invalid", entryWhere);
        static const std::map<std::string, SpecialBuffer::Kind> kinds = {
            {"invalid", SpecialBuffer::Kind::invalid},
            {"noFormatDescription", SpecialBuffer::Kind::noFormatDescription},
            {"noStreamDescription", SpecialBuffer::Kind::noStreamDescription},
            {"largerBufferList", SpecialBuffer::Kind::largerBufferList},
            {"bufferListFailure", SpecialBuffer::Kind::bufferListFailure},
        };
        if (!kinds.contains(kind)) throw ScenarioError("Unknown \"" + std::string(entryWhere) + ".kind\": " + kind);
        config.specialAudioBuffers[static_cast<std::uint64_t>(simulation::integerValue(entry, "index", 0, entryWhere))] = {
            kinds.at(kind), static_cast<OSStatus>(simulation::integerValue(entry, "status", -12731, entryWhere))};
    }
    config.invalidScreenBuffersFirst =
        static_cast<std::uint64_t>(simulation::integerValue(section, "invalidScreenBuffersFirst", 0, where));
    if (section.contains("stopWithErrorAfter")) {
        config.stopWithErrorAfter = simulation::numberValue(section, "stopWithErrorAfter", 0, where);
    }
    config.stopWithErrorMessage =
        simulation::stringValue(section, "stopWithErrorMessage", config.stopWithErrorMessage, where);
    if (section.contains("picker")) {
        const json& picker = section["picker"];
        constexpr const char* pickerWhere = "screenCaptureKit.picker";
        simulation::requireKnownKeys(picker, {"outcome", "secondCallback", "after", "selectDisplayID", "style", "failMessage"},
                                     pickerWhere);
        config.picker.outcome = parseOutcome(simulation::stringValue(picker, "outcome", "select", pickerWhere),
                                             "screenCaptureKit.picker.outcome");
        if (picker.contains("secondCallback")) {
            config.picker.secondCallback = parseOutcome(simulation::stringValue(picker, "secondCallback", "", pickerWhere),
                                                        "screenCaptureKit.picker.secondCallback");
        }
        config.picker.afterSeconds = simulation::numberValue(picker, "after", 0.1, pickerWhere);
        config.picker.selectDisplayID =
            static_cast<std::uint32_t>(simulation::integerValue(picker, "selectDisplayID", 1, pickerWhere));
        config.picker.style = simulation::integerValue(picker, "style", SCShareableContentStyleDisplay, pickerWhere);
        config.picker.failMessage = simulation::stringValue(picker, "failMessage", config.picker.failMessage, pickerWhere);
    }
    return config;
}

json applicationsJson(const std::vector<SCRunningApplication>& applications) {
    json list = json::array();
    for (const SCRunningApplication& application : applications) {
        list.push_back({{"pid", application.processID}, {"bundleId", application.bundleIdentifier}});
    }
    return list;
}

const char* outputTypeName(SCStreamOutputType type) {
    switch (type) {
        case SCStreamOutputType::screen: return "screen";
        case SCStreamOutputType::audio: return "audio";
        case SCStreamOutputType::microphone: return "microphone";
    }
    return "unknown";
}

// Where completions and delegate calls are delivered. It lives as long as the process, so
// that a block holding the last reference to a simulated object never destroys the queue it
// runs on.
SerialQueue& callbackQueue() {
    static SerialQueue queue("com.norvi.simulated-screencapturekit");
    return queue;
}

// State every simulated object shares: the configuration and the call record.
struct Machine {
    Config config;
    std::shared_ptr<simulation::CallRecorder> recorder;

    void record(std::string_view call, const json& details = nullptr) const {
        if (recorder) recorder->record(call, details);
    }
    std::exception_ptr error(const std::string& operation) const {
        auto found = config.errors.find(operation);
        return found == config.errors.end() ? nullptr : std::make_exception_ptr(PlatformError(found->second));
    }
};

AudioStreamBasicDescription planarStereoFloat() {
    return {.mSampleRate = 48000,
            .mFormatID = kAudioFormatLinearPCM,
            .mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved,
            .mBytesPerPacket = 4,
            .mFramesPerPacket = 1,
            .mBytesPerFrame = 4,
            .mChannelsPerFrame = 2,
            .mBitsPerChannel = 32};
}

class SimulatedStream final : public SCStream, public std::enable_shared_from_this<SimulatedStream> {
public:
    SimulatedStream(std::shared_ptr<Machine> machine, std::weak_ptr<SCStreamDelegate> delegate)
        : machine_(std::move(machine)), delegate_(std::move(delegate)) {}
    ~SimulatedStream() override { stopDelivery(); }

    void addStreamOutput(std::weak_ptr<SCStreamOutput> output, SCStreamOutputType type,
                         std::shared_ptr<SerialQueue> queue) override {
        machine_->record("SCStream.addStreamOutput", {{"type", outputTypeName(type)}});
        const char* operation = type == SCStreamOutputType::screen ? "addScreenOutput" : "addAudioOutput";
        if (std::exception_ptr error = machine_->error(operation)) std::rethrow_exception(error);
        std::lock_guard lock(mutex_);
        outputs_.push_back({std::move(output), type, std::move(queue)});
    }

    void startCapture(SCCompletion completion) override {
        machine_->record("SCStream.startCapture");
        std::exception_ptr error = machine_->error("startCapture");
        if (!error) startDelivery();
        callbackQueue().post([completion = std::move(completion), error] { completion(error); });
    }

    void stopCapture(SCCompletion completion) override {
        machine_->record("SCStream.stopCapture");
        stopDelivery();
        callbackQueue().post([completion = std::move(completion), error = machine_->error("stopCapture")] {
            completion(error);
        });
    }

    void updateContentFilter(const SCContentFilter& filter, SCCompletion completion) override {
        machine_->record("SCStream.updateContentFilter",
                         {{"displayID", filter.display.displayID}, {"style", filter.style}});
        callbackQueue().post([completion = std::move(completion), error = machine_->error("updateContentFilter")] {
            completion(error);
        });
    }

private:
    struct Output {
        std::weak_ptr<SCStreamOutput> output;
        SCStreamOutputType type;
        std::shared_ptr<SerialQueue> queue;
    };

    void startDelivery() {
        std::lock_guard lock(mutex_);
        if (delivery_.joinable()) return;
        stopping_ = false;
        delivery_ = std::thread([this] { deliver(); });
    }

    void stopDelivery() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (!delivery_.joinable()) return;
        if (delivery_.get_id() == std::this_thread::get_id()) {
            delivery_.detach();  // the last reference went on the delivery thread itself
        } else {
            delivery_.join();
        }
    }

    // One audio buffer per cycle, a screen buffer every third or fourth cycle (30 per second).
    void deliver() {
        const Config& config = machine_->config;
        const auto cycle = std::chrono::duration<double>(config.framesPerBuffer / 48000.0);
        const auto started = std::chrono::steady_clock::now();
        std::uint64_t audioIndex = 0;
        std::uint64_t screenIndex = 0;
        double phase = 0;
        for (std::uint64_t n = 0;; ++n) {
            const auto due = started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(cycle * n);
            {
                std::unique_lock lock(mutex_);
                if (config.realTime) {
                    wake_.wait_until(lock, due, [this] { return stopping_; });
                }
                if (stopping_) return;
            }
            if (!config.realTime) {
                waitUntilStandardOutputHasRoom([this] {
                    std::lock_guard lock(mutex_);
                    return stopping_;
                });
            }
            const double elapsed = std::chrono::duration<double>(cycle * n).count();
            if (config.stopWithErrorAfter && elapsed >= *config.stopWithErrorAfter) {
                stopByPlatform();
                return;
            }
            if (!config.maximumAudioBuffers || audioIndex < *config.maximumAudioBuffers) {
                send(SCStreamOutputType::audio, makeAudioBuffer(audioIndex++, phase));
            } else if (!config.realTime) {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stopping_; });
                return;
            }
            if (elapsed * 30 >= static_cast<double>(screenIndex)) {
                auto screen = std::make_shared<SimulatedSampleBuffer>();
                screen->valid = screenIndex++ >= config.invalidScreenBuffersFirst;
                send(SCStreamOutputType::screen, std::move(screen));
            }
        }
    }

    std::shared_ptr<const CMSampleBuffer> makeAudioBuffer(std::uint64_t index, double& phase) const {
        const Config& config = machine_->config;
        std::vector<float> plane(config.framesPerBuffer);
        for (float& sample : plane) {
            sample = config.sineFrequency > 0 ? static_cast<float>(config.sineAmplitude * std::sin(phase)) : 0.0f;
            phase = std::fmod(phase + 2 * pi * config.sineFrequency / 48000.0, 2 * pi);
        }
        auto buffer = SimulatedSampleBuffer::withFloatPlanes(planarStereoFloat(), {plane, plane}, 1);
        auto special = config.specialAudioBuffers.find(index);
        if (special != config.specialAudioBuffers.end()) {
            switch (special->second.kind) {
                case SpecialBuffer::Kind::invalid: buffer->valid = false; break;
                case SpecialBuffer::Kind::noFormatDescription: buffer->description.reset(); break;
                case SpecialBuffer::Kind::noStreamDescription:
                    buffer->description->streamBasicDescription.reset();
                    break;
                case SpecialBuffer::Kind::largerBufferList: buffer->extraListBytes = 64; break;
                case SpecialBuffer::Kind::bufferListFailure: buffer->bufferListStatus = special->second.status; break;
            }
        }
        return buffer;
    }

    void send(SCStreamOutputType type, std::shared_ptr<const CMSampleBuffer> buffer) {
        std::lock_guard lock(mutex_);
        for (const Output& output : outputs_) {
            if (output.type != type) continue;
            output.queue->post([weakOutput = output.output, self = weak_from_this(), buffer, type] {
                auto target = weakOutput.lock();
                auto stream = self.lock();
                if (target && stream) target->stream(*stream, buffer, type);
            });
        }
    }

    void stopByPlatform() {
        machine_->record("SCStream.didStopWithError", {{"error", machine_->config.stopWithErrorMessage}});
        callbackQueue().post([self = shared_from_this()] {
            if (auto delegate = self->delegate_.lock()) {
                delegate->streamDidStopWithError(*self, PlatformError(self->machine_->config.stopWithErrorMessage));
            }
        });
    }

    std::shared_ptr<Machine> machine_;
    std::weak_ptr<SCStreamDelegate> delegate_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::vector<Output> outputs_;
    std::thread delivery_;
};

class SimulatedPicker final : public SCContentSharingPicker {
public:
    explicit SimulatedPicker(std::shared_ptr<Machine> machine) : machine_(std::move(machine)) {}

    void setConfiguration(const std::optional<SCContentSharingPickerConfiguration>& configuration, SCStream&) override {
        json details = nullptr;
        if (configuration) {
            details = {{"allowedPickerModes", configuration->allowedPickerModes},
                       {"excludedBundleIDs", configuration->excludedBundleIDs},
                       {"allowsChangingSelectedContent", configuration->allowsChangingSelectedContent}};
        }
        machine_->record("SCContentSharingPicker.setConfiguration", {{"configuration", details}});
    }

    void setMaximumStreamCount(std::optional<std::int64_t> count) override {
        machine_->record("SCContentSharingPicker.setMaximumStreamCount",
                         {{"count", count ? json(*count) : json(nullptr)}});
    }

    void addObserver(std::shared_ptr<SCContentSharingPickerObserver> observer) override {
        machine_->record("SCContentSharingPicker.addObserver");
        std::lock_guard lock(mutex_);
        observers_.push_back(std::move(observer));
    }

    void removeObserver(const SCContentSharingPickerObserver* observer) override {
        machine_->record("SCContentSharingPicker.removeObserver");
        std::lock_guard lock(mutex_);
        std::erase_if(observers_, [observer](const auto& entry) { return entry.get() == observer; });
    }

    void presentPickerForStream(SCStream&, std::int64_t contentStyle) override {
        machine_->record("SCContentSharingPicker.presentPickerForStream", {{"style", contentStyle}});
        const PickerScript& script = machine_->config.picker;
        std::vector<std::shared_ptr<SCContentSharingPickerObserver>> observers;
        {
            std::lock_guard lock(mutex_);
            observers = observers_;
        }
        // The user's answer arrives later, from a thread of the system's.
        std::thread([machine = machine_, observers, script] {
            std::this_thread::sleep_for(std::chrono::duration<double>(script.afterSeconds));
            for (const auto& outcome : {std::optional(script.outcome), script.secondCallback}) {
                if (!outcome) continue;
                for (const auto& observer : observers) answer(*observer, *outcome, script);
            }
        }).detach();
    }

private:
    static void answer(SCContentSharingPickerObserver& observer, PickerScript::Outcome outcome, const PickerScript& script) {
        switch (outcome) {
            case PickerScript::Outcome::select: {
                SCContentFilter filter = SCContentFilter::initWithDisplay({script.selectDisplayID}, {}, {});
                filter.style = script.style;
                observer.contentSharingPickerDidUpdateWith(filter, nullptr);
                break;
            }
            case PickerScript::Outcome::cancel: observer.contentSharingPickerDidCancelFor(nullptr); break;
            case PickerScript::Outcome::fail:
                observer.contentSharingPickerStartDidFailWithError(PlatformError(script.failMessage));
                break;
            case PickerScript::Outcome::none: break;
        }
    }

    std::shared_ptr<Machine> machine_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<SCContentSharingPickerObserver>> observers_;
};

class SimulatedScreenCaptureKit final : public ScreenCaptureKit {
public:
    explicit SimulatedScreenCaptureKit(std::shared_ptr<Machine> machine)
        : machine_(std::move(machine)), picker_(machine_) {}

    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             std::function<void(std::optional<SCShareableContent>, std::exception_ptr)> completion) override {
        machine_->record("SCShareableContent.getShareableContent",
                         {{"excludingDesktopWindows", excludingDesktopWindows}, {"onScreenWindowsOnly", onScreenWindowsOnly}});
        std::exception_ptr error = machine_->error("getShareableContent");
        std::optional<SCShareableContent> content;
        if (!error) content = SCShareableContent{machine_->config.applications, machine_->config.displays};
        callbackQueue().post([completion = std::move(completion), content, error] { completion(content, error); });
    }

    std::shared_ptr<SCStream> makeStream(const SCContentFilter& filter, const SCStreamConfiguration& configuration,
                                         std::weak_ptr<SCStreamDelegate> delegate) override {
        json setters = json::array();
        for (const auto& [setter, value] : configuration.setterCalls()) setters.push_back({setter, value});
        machine_->record("SCStream.initWithFilter",
                         {{"displayID", filter.display.displayID},
                          {"excludedApplications", applicationsJson(filter.excludedApplications)},
                          {"exceptingWindows", filter.exceptingWindows},
                          {"configuration", setters}});
        return std::make_shared<SimulatedStream>(machine_, std::move(delegate));
    }

    SCContentSharingPicker& sharedPicker() override { return picker_; }

private:
    std::shared_ptr<Machine> machine_;
    SimulatedPicker picker_;
};

}  // namespace

std::unique_ptr<ScreenCaptureKit> makeSimulatedScreenCaptureKit(const simulation::Scenario& scenario) {
    auto machine = std::make_shared<Machine>();
    machine->config = parseConfig(scenario.section("screenCaptureKit"));
    machine->recorder = scenario.recorder();
    return std::make_unique<SimulatedScreenCaptureKit>(std::move(machine));
}

}  // namespace norvi::helper
