#include "apple-engine/capabilities.h"

#include <algorithm>

#include "apple-engine/commands.h"
#include "apple-engine/output.h"
#include "apple-engine/translation.h"

namespace norvi::engine {

std::vector<std::string> speechLanguageCodes(const std::vector<Locale>& locales) {
    std::vector<std::string> codes;
    for (const Locale& locale : locales) {
        if (locale.languageCode &&
            std::find(codes.begin(), codes.end(), *locale.languageCode) == codes.end()) {
            codes.push_back(*locale.languageCode);
        }
    }
    std::sort(codes.begin(), codes.end());
    return codes;
}

asio::awaitable<void> runCapabilities(EngineContext& context) {
    Speech& speech = *context.platform.speech;
    const bool available = speech.isAvailable();
    const std::vector<Locale> supported =
        available ? speech.supportedLocales() : std::vector<Locale>{};
    const std::vector<Locale> installed =
        available ? speech.installedLocales() : std::vector<Locale>{};
    writeJSONLine(CapabilitiesEvent{
        .installedSpeechLanguages = speechLanguageCodes(installed),
        .speechLanguages = speechLanguageCodes(supported),
        .translationLanguages = installedTranslationLanguages(context.platform),
    });
    co_return;
}

}  // namespace norvi::engine
