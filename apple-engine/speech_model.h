#pragma once

#include <memory>
#include <string>

#include <asio/awaitable.hpp>

#include "apple-engine/output.h"
#include "apple-engine/platform/speech.h"

namespace norvi::engine {

// The recognizer's locale for the requested language: the equivalent supported locale, else
// the first supported locale with the same language code. Throws HelperError.
Locale resolveSpeechLocale(Speech& speech, const std::string& language);

// Installs the transcriber's model when it is missing, writing "model_download" progress
// records from another thread about every 500 ms and a last one with fraction 1. Platform
// failures are passed on unchanged.
asio::awaitable<void> ensureSpeechModel(Speech& speech,
                                        const std::shared_ptr<SpeechTranscriber>& transcriber,
                                        RecordWriter write = writeJSONLine);

}  // namespace norvi::engine
