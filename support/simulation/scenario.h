#pragma once

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace norvi::simulation {

// A scenario that cannot be read or that says something the simulation does not know.
class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Appends one JSON line per platform call to a file, so that tests can see what a program
// asked of the platform and in which order. Safe to use from any thread.
class CallRecorder {
public:
    explicit CallRecorder(const std::string& path);
    ~CallRecorder();
    CallRecorder(const CallRecorder&) = delete;
    CallRecorder& operator=(const CallRecorder&) = delete;

    // `call` names the operation; `details` (an object, or null) is merged into the line.
    void record(std::string_view call, const nlohmann::json& details = nullptr);

private:
    std::mutex mutex_;
    int fd_;
};

// What the simulated machine looks like. An empty scenario is the default machine; every
// section a scenario file leaves out keeps the default machine's answers.
class Scenario {
public:
    static std::shared_ptr<const Scenario> defaultMachine();
    // Reads a scenario file; throws ScenarioError.
    static std::shared_ptr<const Scenario> fromFile(const std::string& path);
    // Builds a scenario from JSON (unit tests script the machine this way); throws ScenarioError.
    static std::shared_ptr<const Scenario> fromJson(nlohmann::json document);

    // The named top-level section, or an empty object when the scenario has none.
    const nlohmann::json& section(std::string_view name) const;
    // Where platform calls are recorded; null when the scenario asks for no record.
    const std::shared_ptr<CallRecorder>& recorder() const { return recorder_; }
    const nlohmann::json& document() const { return document_; }
    // The file the scenario came from; empty for the default machine and scenarios made in code.
    const std::string& source() const { return source_; }
    // The error to report when a platform finds this scenario unusable: names the file.
    ScenarioError unusable(const ScenarioError& error) const;

private:
    Scenario(nlohmann::json document, std::string source);

    nlohmann::json document_;
    std::string source_;
    std::shared_ptr<CallRecorder> recorder_;
};

// The scenario that NORVI_SIMULATION selects: "default" is the default machine, anything else
// the path of a scenario file. Unset also reads as the default machine; a program with a real
// backend checks the variable itself before asking. Throws ScenarioError.
std::shared_ptr<const Scenario> scenarioFromEnvironment();

// Reading scenario values with clear messages: `where` names the value in the file
// ("coreAudio.devices[0].name").
void requireObject(const nlohmann::json& value, std::string_view where);
void requireKnownKeys(const nlohmann::json& object, std::initializer_list<std::string_view> keys,
                      std::string_view where);
bool boolValue(const nlohmann::json& object, std::string_view key, bool fallback,
               std::string_view where);
double numberValue(const nlohmann::json& object, std::string_view key, double fallback,
                   std::string_view where);
std::int64_t integerValue(const nlohmann::json& object, std::string_view key,
                          std::int64_t fallback, std::string_view where);
std::string stringValue(const nlohmann::json& object, std::string_view key,
                        std::string_view fallback, std::string_view where);

}  // namespace norvi::simulation
