#include "support/simulation/scenario.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "support/fd_write.h"

namespace norvi::simulation {
namespace {

// Every section a scenario may have; each platform reads and checks its own.
constexpr std::string_view topLevelKeys[] = {
    "comment",          "macosVersion", "recordCalls", "coreGraphics", "coreAudio",
    "screenCaptureKit", "speech",       "translation",
};

std::string quotedText(std::string_view text) { return "\"" + std::string(text) + "\""; }

ScenarioError unusableFile(const std::string& path, const ScenarioError& error) {
    return ScenarioError("The simulation scenario " + quotedText(path) + " is not usable: " +
                         error.what());
}

const nlohmann::json* member(const nlohmann::json& object, std::string_view key) {
    auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

std::string path(std::string_view where, std::string_view key) {
    return where.empty() ? std::string(key) : std::string(where) + "." + std::string(key);
}

}  // namespace

CallRecorder::CallRecorder(const std::string& path)
    : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)) {
    if (fd_ < 0) {
        throw ScenarioError("Cannot open the call record " + quotedText(path) + ": " +
                            std::strerror(errno));
    }
}

CallRecorder::~CallRecorder() { ::close(fd_); }

void CallRecorder::record(std::string_view call, const nlohmann::json& details) {
    nlohmann::json line = nlohmann::json::object();
    line["call"] = call;
    if (details.is_object()) {
        line.update(details);
    }
    const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::lock_guard lock(mutex_);
    writeAll(fd_, text);
}

Scenario::Scenario(nlohmann::json document, std::string source)
    : document_(std::move(document)), source_(std::move(source)) {
    requireObject(document_, "");
    for (const auto& [key, value] : document_.items()) {
        bool known = false;
        for (std::string_view candidate : topLevelKeys) {
            known = known || key == candidate;
        }
        if (!known) {
            throw ScenarioError("Unknown scenario key " + quotedText(key) + ".");
        }
    }
    const std::string recordPath = stringValue(document_, "recordCalls", "", "");
    if (!recordPath.empty()) {
        recorder_ = std::make_shared<CallRecorder>(recordPath);
    }
}

std::shared_ptr<const Scenario> Scenario::defaultMachine() {
    return std::shared_ptr<const Scenario>(new Scenario(nlohmann::json::object(), ""));
}

std::shared_ptr<const Scenario> Scenario::fromJson(nlohmann::json document) {
    return std::shared_ptr<const Scenario>(new Scenario(std::move(document), ""));
}

std::shared_ptr<const Scenario> Scenario::fromFile(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        throw ScenarioError("Cannot read the simulation scenario " + quotedText(path) + ": " +
                            std::strerror(errno));
    }
    std::stringstream contents;
    contents << file.rdbuf();
    nlohmann::json document = nlohmann::json::parse(contents.str(), nullptr, false);
    if (document.is_discarded()) {
        throw ScenarioError("The simulation scenario " + quotedText(path) + " is not valid JSON.");
    }
    try {
        return std::shared_ptr<const Scenario>(new Scenario(std::move(document), path));
    } catch (const ScenarioError& error) {
        throw unusableFile(path, error);
    }
}

ScenarioError Scenario::unusable(const ScenarioError& error) const {
    return source_.empty() ? error : unusableFile(source_, error);
}

const nlohmann::json& Scenario::section(std::string_view name) const {
    static const nlohmann::json empty = nlohmann::json::object();
    const nlohmann::json* found = member(document_, name);
    return found ? *found : empty;
}

std::shared_ptr<const Scenario> scenarioFromEnvironment() {
    const char* selection = std::getenv("NORVI_SIMULATION");
    if (selection == nullptr || std::string_view(selection) == "default") {
        return Scenario::defaultMachine();
    }
    if (*selection == '\0') {
        throw ScenarioError("NORVI_SIMULATION is empty: set it to \"default\" or to the path of a "
                            "scenario file.");
    }
    return Scenario::fromFile(selection);
}

void requireObject(const nlohmann::json& value, std::string_view where) {
    if (!value.is_object()) {
        throw ScenarioError((where.empty() ? std::string("The scenario") : quotedText(where)) +
                            " must be a JSON object.");
    }
}

void requireKnownKeys(const nlohmann::json& object, std::initializer_list<std::string_view> keys,
                      std::string_view where) {
    requireObject(object, where);
    for (const auto& [key, value] : object.items()) {
        bool known = false;
        for (std::string_view candidate : keys) {
            known = known || key == candidate;
        }
        if (!known) {
            throw ScenarioError("Unknown scenario key " + quotedText(path(where, key)) + ".");
        }
    }
}

bool boolValue(const nlohmann::json& object, std::string_view key, bool fallback,
               std::string_view where) {
    const nlohmann::json* value = member(object, key);
    if (value == nullptr) return fallback;
    if (!value->is_boolean()) {
        throw ScenarioError(quotedText(path(where, key)) + " must be true or false.");
    }
    return value->get<bool>();
}

double numberValue(const nlohmann::json& object, std::string_view key, double fallback,
                   std::string_view where) {
    const nlohmann::json* value = member(object, key);
    if (value == nullptr) return fallback;
    if (!value->is_number()) {
        throw ScenarioError(quotedText(path(where, key)) + " must be a number.");
    }
    return value->get<double>();
}

std::int64_t integerValue(const nlohmann::json& object, std::string_view key,
                          std::int64_t fallback, std::string_view where) {
    const nlohmann::json* value = member(object, key);
    if (value == nullptr) return fallback;
    if (!value->is_number_integer()) {
        throw ScenarioError(quotedText(path(where, key)) + " must be a whole number.");
    }
    return value->get<std::int64_t>();
}

std::string stringValue(const nlohmann::json& object, std::string_view key,
                        std::string_view fallback, std::string_view where) {
    const nlohmann::json* value = member(object, key);
    if (value == nullptr) return std::string(fallback);
    if (!value->is_string()) {
        throw ScenarioError(quotedText(path(where, key)) + " must be a string.");
    }
    return value->get<std::string>();
}

}  // namespace norvi::simulation
