#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>

namespace norvi::engine {

// A failure of the translation platform; what() is the platform's own description.
class TranslationError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A language value made from an identifier such as "en", "de" or "zh-Hans".
struct Language {
    std::string identifier;

    // The identifier in its shortest form with "-" between subtags ("en_US" gives "en-US").
    std::string minimalIdentifier() const;
    bool operator==(const Language&) const = default;
};

enum class LanguageStatus { installed, supported, unsupported };
enum class TranslationStrategy { lowLatency, highFidelity };

// One open session for an installed pair; one translation at a time.
class TranslationSession {
  public:
    virtual ~TranslationSession() = default;
    // The response's target text; throws TranslationError.
    virtual asio::awaitable<std::string> translate(std::string text) = 0;
};

class LanguageAvailability {
  public:
    virtual ~LanguageAvailability() = default;
    virtual LanguageStatus status(const Language& source, const Language& target) = 0;
    // The languages the facility knows, in its order.
    virtual std::vector<Language> supportedLanguages() = 0;
};

// The on-device translation facility.
class Translation {
  public:
    virtual ~Translation() = default;
    virtual std::unique_ptr<LanguageAvailability> makeLanguageAvailability(
        TranslationStrategy preferredStrategy) = 0;
    virtual std::shared_ptr<TranslationSession> makeSession(
        const Language& installedSource, const Language& target,
        TranslationStrategy preferredStrategy) = 0;
};

}  // namespace norvi::engine
