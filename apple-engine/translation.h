#pragma once

#include <memory>
#include <string>
#include <vector>

#include "apple-engine/platform/engine_platform.h"
#include "apple-engine/platform/translation.h"

namespace norvi::engine {

// An open translation session for one installed pair; exists only once its checks passed.
struct Translator {
    std::shared_ptr<TranslationSession> session;
};

// Checks the system version and the pair's availability, then opens the session. Throws
// HelperError with the user-facing reason.
std::shared_ptr<Translator> makeTranslator(const EnginePlatform& platform,
                                           const std::string& source, const std::string& target);

// The language codes of every installed pair among the supported languages, sorted; empty
// before macOS 26.4.
std::vector<std::string> installedTranslationLanguages(const EnginePlatform& platform);

}  // namespace norvi::engine
