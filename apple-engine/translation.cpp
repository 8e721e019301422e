#include "apple-engine/translation.h"

#include <unistd.h>
#include <cerrno>
#include <set>

#include "apple-engine/commands.h"
#include "apple-engine/helper_error.h"
#include "apple-engine/output.h"
#include "apple-engine/platform/locale.h"
#include "support/utf8.h"

namespace norvi::engine {
namespace {

bool translationAvailable(const EnginePlatform& platform) {
    return platform.operatingSystem->isOperatingSystemAtLeast({26, 4, 0});
}

// All of standard input; a read error ends it like the end of file.
std::string readStandardInput() {
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (count > 0) {
            bytes.append(buffer, static_cast<std::size_t>(count));
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            return bytes;
        }
    }
}

}  // namespace

std::shared_ptr<Translator> makeTranslator(const EnginePlatform& platform,
                                           const std::string& source, const std::string& target) {
    if (!translationAvailable(platform)) {
        throw HelperError(
            "Apple on-device translation needs macOS 26.4 or newer. Use the Norvi engine for "
            "translation on this version.");
    }
    const Language sourceLanguage{source};
    const Language targetLanguage{target};
    const auto availability =
        platform.translation->makeLanguageAvailability(TranslationStrategy::lowLatency);
    switch (availability->status(sourceLanguage, targetLanguage)) {
        case LanguageStatus::installed: {
            auto translator = std::make_shared<Translator>();
            translator->session = platform.translation->makeSession(
                sourceLanguage, targetLanguage, TranslationStrategy::lowLatency);
            logDebug("translation session ready");
            return translator;
        }
        case LanguageStatus::supported:
            throw HelperError("Apple translation for " + source + " to " + target +
                              " is not installed. Add both languages under System Settings > "
                              "General > Language & Region > Translation Languages, then try "
                              "again.");
        case LanguageStatus::unsupported:
            break;
    }
    throw HelperError("Apple translation does not support " + source + " to " + target + ".");
}

std::vector<std::string> installedTranslationLanguages(const EnginePlatform& platform) {
    if (!translationAvailable(platform)) {
        return {};
    }
    const auto availability =
        platform.translation->makeLanguageAvailability(TranslationStrategy::lowLatency);
    const std::vector<Language> languages = availability->supportedLanguages();
    std::set<std::string> codes;
    const auto addCode = [&](const Language& language) {
        if (auto code = Locale::fromIdentifier(language.minimalIdentifier()).languageCode) {
            codes.insert(std::move(*code));
        }
    };
    for (const Language& source : languages) {
        for (const Language& target : languages) {
            if (target == source)
                continue;
            if (availability->status(source, target) == LanguageStatus::installed) {
                addCode(source);
                addCode(target);
            }
        }
    }
    // std::set orders std::string by byte, which is code-point order for UTF-8.
    return {codes.begin(), codes.end()};
}

asio::awaitable<void> runTranslate(EngineContext& context, std::string language,
                                   std::string target) {
    const std::string text = validUtf8(readStandardInput());
    const std::shared_ptr<Translator> translator =
        makeTranslator(context.platform, language, target);
    std::string translation = co_await translator->session->translate(text);
    writeJSONLine(TranslationEvent{.translation = std::move(translation)});
}

}  // namespace norvi::engine
