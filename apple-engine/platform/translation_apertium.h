#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "apple-engine/platform/translation.h"

namespace norvi::engine {

struct ApertiumOptions {
    // Where apertium's installed translation modes are ("eng-spa.mode", ...).
    std::string modesDirectory = "/usr/share/apertium/modes";
    // How long one translation may take, the first one's start of the pipeline included; a
    // second more for every 10 kB of text.
    std::chrono::milliseconds timeout = std::chrono::seconds(10);
};

// The offline translator of the Linux machine: apertium. Its installed pairs are its installed
// modes, named by two-letter language codes (eng-spa is en to es); a language with a region
// ("en-US") is looked up by its language code. Every pair known is installed; there is no
// supported-but-not-installed pair. Each pair runs as one apertium pipeline in null-flush mode,
// started on the first translation and kept for the rest of the run; a translation that fails
// or takes longer than the timeout stops it (the next translation starts a new one), and it is
// stopped when the translation facility goes.
std::shared_ptr<Translation> makeApertiumTranslation(ApertiumOptions options = {});

// The language code for one of apertium's (ISO 639-3) codes: "eng" gives "en"; a code with no
// two-letter form, or one that already is, comes back unchanged.
std::string languageCodeFromApertium(std::string_view code);

}  // namespace norvi::engine
