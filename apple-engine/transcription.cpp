#include "apple-engine/transcription.h"

#include <chrono>
#include <cmath>
#include <thread>

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "apple-engine/commands.h"
#include "apple-engine/helper_error.h"
#include "apple-engine/line_translator.h"
#include "apple-engine/pcm_input_stream.h"
#include "apple-engine/speech_model.h"
#include "support/number_text.h"

namespace norvi::engine {
namespace {

bool isWhitespace(char32_t c) {
    switch (c) {
        case 0x09:
        case 0x0A:
        case 0x0B:
        case 0x0C:
        case 0x0D:
        case 0x20:
        case 0x85:
        case 0xA0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

// The code point of a well-formed UTF-8 sequence of `length` bytes at `bytes`, or nothing.
std::optional<char32_t> decode(std::string_view bytes) {
    const auto byte = [&](std::size_t index) { return static_cast<unsigned char>(bytes[index]); };
    const std::size_t length = bytes.size();
    if (length == 1)
        return byte(0) < 0x80 ? std::optional<char32_t>(byte(0)) : std::nullopt;
    const unsigned char lead = byte(0);
    const std::size_t expected = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (expected != length || lead > 0xF4)
        return std::nullopt;
    char32_t code = lead & (0x7F >> length);
    for (std::size_t index = 1; index < length; ++index) {
        if ((byte(index) & 0xC0) != 0x80)
            return std::nullopt;
        code = (code << 6) | (byte(index) & 0x3F);
    }
    const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return std::nullopt;
    }
    return code;
}

std::size_t sequenceLength(unsigned char lead) {
    return lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
}

}  // namespace

std::string trimWhitespace(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t length = sequenceLength(static_cast<unsigned char>(text[begin]));
        const auto code = decode(text.substr(begin, length));
        if (begin + length > text.size() || !code || !isWhitespace(*code))
            break;
        begin += length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && end - start < 4 &&
               (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
            --start;
        }
        const auto code = decode(text.substr(start, end - start));
        if (!code || !isWhitespace(*code))
            break;
        end = start;
    }
    return std::string(text.substr(begin, end - begin));
}

std::optional<std::int64_t> millisecondsFrom(double seconds) {
    const double milliseconds = std::round(seconds * 1000);
    // 2^63: the first value a 64-bit count cannot hold.
    constexpr double limit = 9223372036854775808.0;
    if (!std::isfinite(milliseconds) || milliseconds >= limit || milliseconds < -limit) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(milliseconds);
}

LineEvent lineEventFor(const SpeechResult& result, std::string text, std::int64_t id) {
    LineEvent line{.id = id, .isFinal = result.isFinal, .text = std::move(text)};
    if (result.isFinal) {
        const auto startMs = millisecondsFrom(result.start);
        const auto endMs = millisecondsFrom(result.end);
        if (startMs && endMs) {
            line.startMs = startMs;
            line.endMs = endMs;
        }
    }
    return line;
}

namespace {

std::string resultDebugLine(const SpeechResult& result, const std::string& text) {
    return std::string("result final=") + (result.isFinal ? "true" : "false") +
           " range=" + doubleDescription(result.start) + "-" + doubleDescription(result.end) +
           " text=" + text;
}

// Gives the analyzer the vocabulary; a refusal is only logged.
void setVocabulary(SpeechAnalyzer& analyzer, const std::vector<std::string>& vocabulary) {
    try {
        analyzer.setContext({.contextualStrings = {{"general", vocabulary}}});
        logDebug("contextual strings set (" + std::to_string(vocabulary.size()) + " terms)");
    } catch (const std::exception& error) {
        logDebug(std::string("setContext failed: ") + error.what());
    }
}

// Called once by the reader thread at the end of the input; the finalization runs on a thread
// of its own and its failure is ignored.
std::function<void()> finalizeAtEnd(std::shared_ptr<SpeechAnalyzer> analyzer) {
    return [analyzer = std::move(analyzer)] {
        std::thread([analyzer] {
            logDebug("input ended, finalizing");
            try {
                analyzer->finalizeAndFinishThroughEndOfInput();
            } catch (const std::exception&) {
            }
        }).detach();
    };
}

// Checks at once and then every 20 ms; the translations run on this executor meanwhile.
asio::awaitable<void> waitUntilIdle(const LineTranslator& lineTranslator) {
    const auto executor = co_await asio::this_coro::executor;
    asio::steady_timer timer(executor);
    while (!lineTranslator.isIdle()) {
        timer.expires_after(std::chrono::milliseconds(20));
        co_await timer.async_wait(asio::use_awaitable);
    }
}

}  // namespace

asio::awaitable<void> runTranscribe(EngineContext& context, std::string language,
                                    std::optional<std::string> target,
                                    std::vector<std::string> vocabulary) {
    Speech& speech = *context.platform.speech;
    if (!speech.isAvailable()) {
        throw HelperError("Apple speech recognition is not available on this Mac.");
    }
    const Locale locale = resolveSpeechLocale(speech, language);
    logDebug("locale " + locale.identifier);
    const std::shared_ptr<SpeechTranscriber> transcriber =
        speech.makeTranscriber(locale, {.volatileResults = true});
    const SpeechModules modules{transcriber};
    logDebug("asset status " + std::string(assetStatusName(speech.assetStatus(modules))));
    co_await ensureSpeechModel(speech, transcriber);
    logDebug("speech model ready");

    std::shared_ptr<LineTranslator> lineTranslator;
    if (target && *target != language) {
        const auto executor = co_await asio::this_coro::executor;
        std::shared_ptr<Translator> translator =
            makeTranslator(context.platform, language, *target);
        lineTranslator = std::make_shared<LineTranslator>(std::move(translator), executor);
    }

    const std::optional<AudioFormat> format = speech.bestAvailableAudioFormat(modules);
    if (!format) {
        throw HelperError("No compatible audio format for the speech model.");
    }
    logDebug("audio format " + describeAudioFormat(*format));
    const std::shared_ptr<SpeechAnalyzer> analyzer = speech.makeAnalyzer(modules);
    if (!vocabulary.empty()) {
        setVocabulary(*analyzer, vocabulary);
    }
    // Taken before the analyzer starts, so no result can be missed.
    const std::shared_ptr<SpeechResultSequence> results = transcriber->results();
    const std::shared_ptr<AnalyzerInputStream> input =
        makeInputStream(context.platform.audioConversion, *format, finalizeAtEnd(analyzer));
    analyzer->start(input);
    logDebug("analyzer started");
    writeJSONLine(
        ReadyEvent{.speechLocale = locale.identifier, .translation = lineTranslator != nullptr});

    std::int64_t nextLineId = 1;
    while (std::optional<SpeechResult> result = co_await results->next()) {
        std::string text = trimWhitespace(result->text);
        logDebug(resultDebugLine(*result, text));
        if (text.empty()) {
            continue;
        }
        const LineEvent line = lineEventFor(*result, std::move(text), nextLineId);
        writeJSONLine(line);
        if (lineTranslator) {
            lineTranslator->submit(line);
        }
        if (result->isFinal) {
            ++nextLineId;
        }
    }
    if (lineTranslator) {
        co_await waitUntilIdle(*lineTranslator);
    }
    logDebug("results ended");
}

}  // namespace norvi::engine
