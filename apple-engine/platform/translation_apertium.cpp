#include "apple-engine/platform/translation_apertium.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <variant>
#include <vector>

#include <asio/error.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/read_until.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "apple-engine/platform/apertium_stream_format.h"
#include "apple-engine/platform/child_process.h"
#include "apple-engine/platform/locale.h"

namespace norvi::engine {
namespace {

// One installed translation mode: "spa-eng_US" translates from spa to eng, US variant.
struct InstalledMode {
    std::string name;
    std::string path;
    std::string source;
    std::string sourceVariant;
    std::string target;
    std::string targetVariant;
};

bool isLanguageCode(std::string_view code) {
    return (code.size() == 2 || code.size() == 3) &&
           std::all_of(code.begin(), code.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

std::string lowerCase(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

// Splits "eng_US" into its language code and variant.
std::optional<std::pair<std::string, std::string>> modeSide(std::string_view side) {
    const std::size_t underscore = side.find('_');
    const std::string_view code = side.substr(0, underscore);
    if (!isLanguageCode(code))
        return std::nullopt;
    const std::string_view variant =
        underscore == std::string_view::npos ? std::string_view() : side.substr(underscore + 1);
    if (underscore != std::string_view::npos && variant.empty())
        return std::nullopt;
    return std::pair{languageCodeFromApertium(code), std::string(variant)};
}

std::optional<InstalledMode> parseMode(const std::filesystem::path& path) {
    if (path.extension() != ".mode")
        return std::nullopt;
    const std::string name = path.stem().string();
    const std::size_t dash = name.find('-');
    if (dash == std::string::npos || name.find('-', dash + 1) != std::string::npos)
        return std::nullopt;
    const auto source = modeSide(std::string_view(name).substr(0, dash));
    const auto target = modeSide(std::string_view(name).substr(dash + 1));
    if (!source || !target)
        return std::nullopt;
    return InstalledMode{name,           path.string(), source->first,
                         source->second, target->first, target->second};
}

std::vector<InstalledMode> readModes(const std::string& directory) {
    std::vector<InstalledMode> modes;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        if (auto mode = parseMode(entry.path()))
            modes.push_back(std::move(*mode));
    }
    std::sort(modes.begin(), modes.end(),
              [](const InstalledMode& a, const InstalledMode& b) { return a.name < b.name; });
    return modes;
}

std::optional<std::string> codeOf(const Language& language) {
    const std::optional<std::string> code =
        Locale::fromIdentifier(language.minimalIdentifier()).languageCode;
    if (!code)
        return std::nullopt;
    return languageCodeFromApertium(*code);
}

// 2 when the identifier names the variant ("en-US" and US), 1 for a mode without a variant,
// 0 for another variant.
int variantScore(const Language& language, const std::string& variant) {
    if (variant.empty())
        return 1;
    const std::string identifier = language.minimalIdentifier();
    std::size_t position = identifier.find('-');
    while (position != std::string::npos) {
        const std::size_t next = identifier.find('-', position + 1);
        const std::string_view subtag =
            std::string_view(identifier).substr(position + 1, next - position - 1);
        if (lowerCase(subtag) == lowerCase(variant))
            return 2;
        position = next;
    }
    return 0;
}

// The installed mode for the pair, the variant the identifiers name preferred.
const InstalledMode* findMode(const std::vector<InstalledMode>& modes, const Language& source,
                              const Language& target) {
    const std::optional<std::string> sourceCode = codeOf(source);
    const std::optional<std::string> targetCode = codeOf(target);
    if (!sourceCode || !targetCode)
        return nullptr;
    const InstalledMode* best = nullptr;
    int bestScore = -1;
    for (const InstalledMode& mode : modes) {
        if (mode.source != *sourceCode || mode.target != *targetCode)
            continue;
        const int score =
            variantScore(target, mode.targetVariant) * 3 + variantScore(source, mode.sourceVariant);
        if (score > bestScore) {
            best = &mode;
            bestScore = score;
        }
    }
    return best;
}

// One apertium pipeline in null-flush mode: each request is the text in apertium's stream
// format ended by a NUL, and apertium flushes its answer up to a NUL of its own.
class ApertiumPipeline {
  public:
    ApertiumPipeline(InstalledMode mode, std::chrono::milliseconds timeout)
        : mode_(std::move(mode)), timeout_(timeout) {}
    ~ApertiumPipeline() { stop(); }
    ApertiumPipeline(const ApertiumPipeline&) = delete;
    ApertiumPipeline& operator=(const ApertiumPipeline&) = delete;

    asio::awaitable<std::string> translate(std::string text) {
        using namespace asio::experimental::awaitable_operators;
        const std::optional<std::string> input = apertiumInput(text);
        if (!input)
            co_return text;
        if (!socket_)
            start(co_await asio::this_coro::executor);
        const std::chrono::milliseconds limit = timeoutFor(input->size());
        std::variant<Reply, std::monostate> outcome =
            co_await (exchange(*input + '\0') || expire(limit));
        if (outcome.index() == 1) {
            stop();
            throw TranslationError("apertium did not translate within " + secondsText(limit) + ".");
        }
        Reply reply = std::get<0>(std::move(outcome));
        if (!reply.text) {
            stop();
            throw TranslationError(reply.failure);
        }
        co_return apertiumOutput(*reply.text, text);
    }

  private:
    struct Reply {
        std::optional<std::string> text;
        std::string failure;
    };

    // apertium translates some 25 kB a second here; a long text gets a second more for every
    // 10 kB, so only a pipeline that is stuck runs out of time.
    std::chrono::milliseconds timeoutFor(std::size_t bytes) const {
        return timeout_ + std::chrono::seconds(bytes / 10000);
    }

    static std::string secondsText(std::chrono::milliseconds duration) {
        const auto count = std::chrono::duration<double>(duration).count();
        char text[32];
        std::snprintf(text, sizeof text, "%g", count);
        return std::string(text) + (count == 1 ? " second" : " seconds");
    }

    // apertium's own front end would be `apertium -z -u -f none`, but the awk filters it puts
    // around the mode read ahead and hold each request back; the mode itself, turned into a
    // null-flush pipeline by apertium-wblank-mode, answers at once. Its first argument is the
    // generator's option: -n leaves unknown words unmarked (what -u selects).
    void start(const asio::any_io_executor& executor) {
        const std::optional<std::string> script =
            runProgram({"apertium-wblank-mode", "-z", mode_.path}, "", std::chrono::seconds(10));
        if (!script || script->find_first_not_of(" \n") == std::string::npos) {
            throw TranslationError("apertium could not read its mode " + mode_.name + ".");
        }
        try {
            child_ = std::make_unique<ChildProcess>(
                std::vector<std::string>{"bash", "-c", *script, "bash", "-n", ""});
        } catch (const ChildProcessError& error) {
            throw TranslationError(error.what());
        }
        socket_.emplace(executor);
        std::error_code error;
        socket_->assign(asio::local::stream_protocol(), child_->releaseSocket(), error);
        if (error) {
            stop();
            throw TranslationError("apertium could not be reached: " + error.message());
        }
    }

    // Whether the pipeline ended shows as the end of the file, a reset connection or a broken
    // pipe, depending on when it went; all three mean the same here.
    static std::string failure(const std::error_code& error) {
        if (error == asio::error::eof || error == asio::error::connection_reset ||
            error == asio::error::broken_pipe) {
            return "apertium ended before it answered.";
        }
        return "apertium could not be reached: " + error.message();
    }

    // Writes and reads at once: a long text's answer starts before the text is all written,
    // and apertium stops reading while nobody takes its output.
    asio::awaitable<Reply> exchange(std::string request) {
        using namespace asio::experimental::awaitable_operators;
        auto [written, reply] = co_await (send(std::move(request)) && receive());
        if (written && reply.text)
            co_return Reply{std::nullopt, failure(written)};
        co_return reply;
    }

    asio::awaitable<std::error_code> send(std::string request) {
        std::error_code error;
        co_await asio::async_write(*socket_, asio::buffer(request),
                                   asio::redirect_error(asio::use_awaitable, error));
        co_return error;
    }

    asio::awaitable<Reply> receive() {
        std::error_code error;
        const std::size_t length =
            co_await asio::async_read_until(*socket_, asio::dynamic_buffer(received_), '\0',
                                            asio::redirect_error(asio::use_awaitable, error));
        if (error)
            co_return Reply{std::nullopt, failure(error)};
        std::string reply = received_.substr(0, length - 1);
        received_.erase(0, length);
        co_return Reply{std::move(reply), {}};
    }

    asio::awaitable<void> expire(std::chrono::milliseconds limit) {
        asio::steady_timer timer(co_await asio::this_coro::executor, limit);
        co_await timer.async_wait(asio::use_awaitable);
    }

    void stop() {
        socket_.reset();
        if (child_)
            child_->stop();
        child_.reset();
        received_.clear();
    }

    InstalledMode mode_;
    std::chrono::milliseconds timeout_;
    std::unique_ptr<ChildProcess> child_;
    std::optional<asio::local::stream_protocol::socket> socket_;
    std::string received_;
};

class ApertiumSession final : public TranslationSession {
  public:
    ApertiumSession(InstalledMode mode, std::chrono::milliseconds timeout)
        : pipeline_(std::move(mode), timeout) {}

    asio::awaitable<std::string> translate(std::string text) override {
        return pipeline_.translate(std::move(text));
    }

  private:
    ApertiumPipeline pipeline_;
};

class ApertiumAvailability final : public LanguageAvailability {
  public:
    explicit ApertiumAvailability(std::shared_ptr<const std::vector<InstalledMode>> modes)
        : modes_(std::move(modes)) {}

    LanguageStatus status(const Language& source, const Language& target) override {
        return findMode(*modes_, source, target) != nullptr ? LanguageStatus::installed
                                                            : LanguageStatus::unsupported;
    }

    std::vector<Language> supportedLanguages() override {
        std::vector<Language> languages;
        const auto add = [&](const std::string& code) {
            if (std::find(languages.begin(), languages.end(), Language{code}) == languages.end())
                languages.push_back({code});
        };
        for (const InstalledMode& mode : *modes_) {
            add(mode.source);
            add(mode.target);
        }
        return languages;
    }

  private:
    std::shared_ptr<const std::vector<InstalledMode>> modes_;
};

class ApertiumTranslation final : public Translation {
  public:
    explicit ApertiumTranslation(ApertiumOptions options)
        : options_(std::move(options)),
          modes_(std::make_shared<const std::vector<InstalledMode>>(
              readModes(options_.modesDirectory))) {}

    std::unique_ptr<LanguageAvailability> makeLanguageAvailability(TranslationStrategy) override {
        return std::make_unique<ApertiumAvailability>(modes_);
    }

    std::shared_ptr<TranslationSession> makeSession(const Language& installedSource,
                                                    const Language& target,
                                                    TranslationStrategy) override {
        const InstalledMode* mode = findMode(*modes_, installedSource, target);
        if (mode == nullptr) {
            throw TranslationError("apertium has no installed mode from " +
                                   installedSource.identifier + " to " + target.identifier + ".");
        }
        return std::make_shared<ApertiumSession>(*mode, options_.timeout);
    }

  private:
    ApertiumOptions options_;
    std::shared_ptr<const std::vector<InstalledMode>> modes_;
};

}  // namespace

std::string languageCodeFromApertium(std::string_view code) {
    static const std::map<std::string_view, std::string_view> twoLetter{
        {"afr", "af"}, {"amh", "am"}, {"ara", "ar"}, {"arg", "an"}, {"asm", "as"}, {"aze", "az"},
        {"bak", "ba"}, {"bel", "be"}, {"ben", "bn"}, {"bod", "bo"}, {"bos", "bs"}, {"bre", "br"},
        {"bul", "bg"}, {"cat", "ca"}, {"ces", "cs"}, {"chv", "cv"}, {"cos", "co"}, {"cym", "cy"},
        {"dan", "da"}, {"deu", "de"}, {"ell", "el"}, {"eng", "en"}, {"epo", "eo"}, {"est", "et"},
        {"eus", "eu"}, {"fao", "fo"}, {"fas", "fa"}, {"fin", "fi"}, {"fra", "fr"}, {"fry", "fy"},
        {"gla", "gd"}, {"gle", "ga"}, {"glg", "gl"}, {"glv", "gv"}, {"grn", "gn"}, {"guj", "gu"},
        {"hat", "ht"}, {"hau", "ha"}, {"hbs", "sh"}, {"heb", "he"}, {"hin", "hi"}, {"hrv", "hr"},
        {"hun", "hu"}, {"hye", "hy"}, {"ibo", "ig"}, {"ido", "io"}, {"ina", "ia"}, {"ind", "id"},
        {"isl", "is"}, {"ita", "it"}, {"jav", "jv"}, {"jpn", "ja"}, {"kat", "ka"}, {"kaz", "kk"},
        {"khm", "km"}, {"kir", "ky"}, {"kor", "ko"}, {"kur", "ku"}, {"lao", "lo"}, {"lat", "la"},
        {"lav", "lv"}, {"lim", "li"}, {"lin", "ln"}, {"lit", "lt"}, {"ltz", "lb"}, {"mal", "ml"},
        {"mar", "mr"}, {"mkd", "mk"}, {"mlg", "mg"}, {"mlt", "mt"}, {"mon", "mn"}, {"mri", "mi"},
        {"msa", "ms"}, {"mya", "my"}, {"nep", "ne"}, {"nld", "nl"}, {"nno", "nn"}, {"nob", "nb"},
        {"nor", "no"}, {"oci", "oc"}, {"ori", "or"}, {"pan", "pa"}, {"pol", "pl"}, {"por", "pt"},
        {"pus", "ps"}, {"que", "qu"}, {"roh", "rm"}, {"ron", "ro"}, {"rus", "ru"}, {"san", "sa"},
        {"slk", "sk"}, {"slv", "sl"}, {"sme", "se"}, {"smo", "sm"}, {"sna", "sn"}, {"snd", "sd"},
        {"som", "so"}, {"sot", "st"}, {"spa", "es"}, {"sqi", "sq"}, {"srd", "sc"}, {"srp", "sr"},
        {"swa", "sw"}, {"swe", "sv"}, {"tam", "ta"}, {"tat", "tt"}, {"tel", "te"}, {"tgk", "tg"},
        {"tgl", "tl"}, {"tha", "th"}, {"tuk", "tk"}, {"tur", "tr"}, {"uig", "ug"}, {"ukr", "uk"},
        {"urd", "ur"}, {"uzb", "uz"}, {"vie", "vi"}, {"wln", "wa"}, {"xho", "xh"}, {"yid", "yi"},
        {"yor", "yo"}, {"zho", "zh"}, {"zul", "zu"},
    };
    const auto found = twoLetter.find(code);
    return std::string(found == twoLetter.end() ? code : found->second);
}

std::shared_ptr<Translation> makeApertiumTranslation(ApertiumOptions options) {
    return std::make_shared<ApertiumTranslation>(std::move(options));
}

}  // namespace norvi::engine
