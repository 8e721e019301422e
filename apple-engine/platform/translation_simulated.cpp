#include "apple-engine/platform/translation_simulated.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "apple-engine/platform/locale.h"

namespace norvi::engine {
namespace {

using simulation::ScenarioError;

struct TextScript {
    double delay = 0;
    std::optional<std::string> failure;
    std::optional<std::string> translation;
};

struct TranslationScript {
    std::vector<std::string> supported{"en", "de", "fr", "es"};
    std::map<std::pair<std::string, std::string>, LanguageStatus> pairs{
        {{"en", "de"}, LanguageStatus::installed},
        {{"de", "en"}, LanguageStatus::installed},
        {{"en", "fr"}, LanguageStatus::supported},
        {{"fr", "en"}, LanguageStatus::supported},
    };
    double delay = 0;
    std::map<std::string, TextScript> texts;
};

const char* statusName(LanguageStatus status) {
    switch (status) {
        case LanguageStatus::installed:
            return "installed";
        case LanguageStatus::supported:
            return "supported";
        case LanguageStatus::unsupported:
            return "unsupported";
    }
    return "unsupported";
}

double delayValue(const nlohmann::json& object, std::string_view where) {
    const double delay = simulation::numberValue(object, "delay", 0, where);
    if (!(delay >= 0) || delay > 3600) {
        throw ScenarioError("\"" + std::string(where) + ".delay\" must be from 0 to 3600 seconds.");
    }
    return delay;
}

TranslationScript readScript(const nlohmann::json& section) {
    constexpr std::string_view where = "translation";
    simulation::requireKnownKeys(section, {"supportedLanguages", "pairs", "delay", "texts"}, where);
    TranslationScript script;
    if (const auto found = section.find("supportedLanguages"); found != section.end()) {
        script.supported.clear();
        if (!found->is_array())
            throw ScenarioError("\"translation.supportedLanguages\" must be an array of strings.");
        for (const nlohmann::json& item : *found) {
            if (!item.is_string())
                throw ScenarioError(
                    "\"translation.supportedLanguages\" must be an array of strings.");
            script.supported.push_back(item.get<std::string>());
        }
    }
    if (const auto found = section.find("pairs"); found != section.end()) {
        script.pairs.clear();
        if (!found->is_array())
            throw ScenarioError("\"translation.pairs\" must be an array of pairs.");
        for (std::size_t index = 0; index < found->size(); ++index) {
            const std::string at = "translation.pairs[" + std::to_string(index) + "]";
            const nlohmann::json& pair = (*found)[index];
            simulation::requireKnownKeys(pair, {"source", "target", "status"}, at);
            const std::string status = simulation::stringValue(pair, "status", "installed", at);
            if (status != "installed" && status != "supported") {
                throw ScenarioError("\"" + at +
                                    ".status\" must be \"installed\" or \"supported\".");
            }
            script.pairs[{simulation::stringValue(pair, "source", "", at),
                          simulation::stringValue(pair, "target", "", at)}] =
                status == "installed" ? LanguageStatus::installed : LanguageStatus::supported;
        }
    }
    script.delay = delayValue(section, where);
    if (const auto found = section.find("texts"); found != section.end()) {
        simulation::requireObject(*found, "translation.texts");
        for (const auto& [text, value] : found->items()) {
            const std::string at = "translation.texts." + text;
            simulation::requireKnownKeys(value, {"delay", "failure", "translation"}, at);
            TextScript textScript;
            textScript.delay = value.contains("delay") ? delayValue(value, at) : script.delay;
            if (value.contains("failure"))
                textScript.failure = simulation::stringValue(value, "failure", "", at);
            if (value.contains("translation")) {
                textScript.translation = simulation::stringValue(value, "translation", "", at);
            }
            script.texts[text] = textScript;
        }
    }
    return script;
}

class SimulatedSession final : public TranslationSession {
  public:
    SimulatedSession(std::shared_ptr<const TranslationScript> script, Language source,
                     Language target, std::shared_ptr<simulation::CallRecorder> recorder)
        : script_(std::move(script)),
          source_(std::move(source)),
          target_(std::move(target)),
          recorder_(std::move(recorder)) {}

    asio::awaitable<std::string> translate(std::string text) override {
        if (recorder_) {
            recorder_->record(
                "translate",
                {{"source", source_.identifier}, {"target", target_.identifier}, {"text", text}});
        }
        TextScript textScript{
            .delay = script_->delay, .failure = std::nullopt, .translation = std::nullopt};
        if (const auto found = script_->texts.find(text); found != script_->texts.end())
            textScript = found->second;
        // Always asynchronous, as the platform's translations are.
        const auto executor = co_await asio::this_coro::executor;
        asio::steady_timer timer(executor, std::chrono::duration_cast<asio::steady_timer::duration>(
                                               std::chrono::duration<double>(textScript.delay)));
        co_await timer.async_wait(asio::use_awaitable);
        if (textScript.failure)
            throw TranslationError(*textScript.failure);
        if (textScript.translation)
            co_return *textScript.translation;
        const Locale target = Locale::fromIdentifier(target_.minimalIdentifier());
        co_return "[" + target.languageCode.value_or(target_.identifier) + "] " + text;
    }

  private:
    std::shared_ptr<const TranslationScript> script_;
    Language source_;
    Language target_;
    std::shared_ptr<simulation::CallRecorder> recorder_;
};

class SimulatedAvailability final : public LanguageAvailability {
  public:
    SimulatedAvailability(std::shared_ptr<const TranslationScript> script,
                          std::shared_ptr<simulation::CallRecorder> recorder)
        : script_(std::move(script)), recorder_(std::move(recorder)) {}

    LanguageStatus status(const Language& source, const Language& target) override {
        const auto found = script_->pairs.find({source.identifier, target.identifier});
        const LanguageStatus status =
            found == script_->pairs.end() ? LanguageStatus::unsupported : found->second;
        if (recorder_) {
            recorder_->record("status", {{"source", source.identifier},
                                         {"target", target.identifier},
                                         {"result", statusName(status)}});
        }
        return status;
    }

    std::vector<Language> supportedLanguages() override {
        std::vector<Language> languages;
        for (const std::string& identifier : script_->supported)
            languages.push_back({identifier});
        return languages;
    }

  private:
    std::shared_ptr<const TranslationScript> script_;
    std::shared_ptr<simulation::CallRecorder> recorder_;
};

class SimulatedTranslation final : public Translation {
  public:
    SimulatedTranslation(TranslationScript script,
                         std::shared_ptr<simulation::CallRecorder> recorder)
        : script_(std::make_shared<const TranslationScript>(std::move(script))),
          recorder_(std::move(recorder)) {}

    std::unique_ptr<LanguageAvailability> makeLanguageAvailability(TranslationStrategy) override {
        return std::make_unique<SimulatedAvailability>(script_, recorder_);
    }

    std::shared_ptr<TranslationSession> makeSession(const Language& source, const Language& target,
                                                    TranslationStrategy strategy) override {
        if (recorder_) {
            recorder_->record("makeSession",
                              {{"source", source.identifier},
                               {"target", target.identifier},
                               {"lowLatency", strategy == TranslationStrategy::lowLatency}});
        }
        return std::make_shared<SimulatedSession>(script_, source, target, recorder_);
    }

  private:
    std::shared_ptr<const TranslationScript> script_;
    std::shared_ptr<simulation::CallRecorder> recorder_;
};

}  // namespace

std::shared_ptr<Translation> makeSimulatedTranslation(const simulation::Scenario& scenario) {
    return std::make_shared<SimulatedTranslation>(readScript(scenario.section("translation")),
                                                  scenario.recorder());
}

}  // namespace norvi::engine
