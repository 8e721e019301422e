#include "apple-engine/line_translator.h"

#include <list>

#include <gtest/gtest.h>
#include <asio/io_context.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace norvi::engine {
namespace {

// A session whose translations finish only when the test says so.
class ScriptedSession final : public TranslationSession {
  public:
    struct Request {
        std::string text;
        std::optional<std::string> failure;
        bool done = false;
        asio::steady_timer* wake = nullptr;
    };

    asio::awaitable<std::string> translate(std::string text) override {
        asio::steady_timer wake(co_await asio::this_coro::executor,
                                asio::steady_timer::time_point::max());
        Request& request = requests.emplace_back(Request{text, std::nullopt, false, &wake});
        std::error_code ignored;
        co_await wake.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        if (request.failure)
            throw TranslationError(*request.failure);
        co_return "<" + request.text + ">";
    }

    std::list<Request> requests;
};

class LineTranslation : public ::testing::Test {
  protected:
    LineTranslation() {
        translator_->session = session_;
        lines_ = std::make_shared<LineTranslator>(
            translator_, loop_.get_executor(),
            [this](const OutputRecord& record) { written_.push_back(record); });
    }

    // Lets the oldest open translation finish (or fail) and runs what follows from it.
    void finishNext(std::optional<std::string> failure = std::nullopt) {
        for (auto& request : session_->requests) {
            if (request.done)
                continue;
            request.done = true;
            request.failure = std::move(failure);
            request.wake->cancel();
            loop_.restart();
            loop_.poll();
            return;
        }
        FAIL() << "no translation in flight";
    }

    std::vector<std::string> requestedTexts() const {
        std::vector<std::string> texts;
        for (const auto& request : session_->requests)
            texts.push_back(request.text);
        return texts;
    }

    static LineEvent line(std::int64_t id, std::string text, bool isFinal,
                          std::optional<std::int64_t> startMs = std::nullopt,
                          std::optional<std::int64_t> endMs = std::nullopt) {
        return LineEvent{.id = id,
                         .isFinal = isFinal,
                         .text = std::move(text),
                         .startMs = startMs,
                         .endMs = endMs};
    }

    static std::string translated(LineEvent event) {
        event.translation = "<" + event.text + ">";
        return encodeRecord(event);
    }

    // What was written, as the JSON lines it becomes.
    std::vector<std::string> written() const {
        std::vector<std::string> lines;
        for (const OutputRecord& record : written_)
            lines.push_back(encodeRecord(record));
        return lines;
    }

    void submit(const LineEvent& event) {
        lines_->submit(event);
        loop_.restart();
        loop_.poll();
    }

    asio::io_context loop_;
    std::shared_ptr<ScriptedSession> session_ = std::make_shared<ScriptedSession>();
    std::shared_ptr<Translator> translator_ = std::make_shared<Translator>();
    std::shared_ptr<LineTranslator> lines_;
    std::vector<OutputRecord> written_;
};

TEST_F(LineTranslation, AnIdleVolatileLineIsTranslated) {
    submit(line(1, "a", false));
    EXPECT_TRUE(lines_->busy());
    finishNext();
    EXPECT_EQ(written(), (std::vector<std::string>{translated(line(1, "a", false))}));
    EXPECT_TRUE(lines_->isIdle());
}

TEST_F(LineTranslation, AStaleVolatileTranslationIsDroppedAndNewerVolatilesWaitForNothing) {
    submit(line(1, "a", false));
    submit(line(1, "a b", false));
    finishNext();
    EXPECT_TRUE(written_.empty());
    EXPECT_TRUE(lines_->isIdle());
    EXPECT_EQ(requestedTexts(), std::vector<std::string>{"a"});
    submit(line(1, "a b c", true, 0, 900));
    finishNext();
    EXPECT_EQ(written(), (std::vector<std::string>{translated(line(1, "a b c", true, 0, 900))}));
}

TEST_F(LineTranslation, FinalsAreTranslatedInOrderAndVolatilesMeanwhileNever) {
    submit(line(1, "a b c", true, 1000, 2500));
    submit(line(2, "d", false));
    submit(line(2, "d", true, 2600, 3000));
    submit(line(3, "e", false));
    EXPECT_TRUE(lines_->hasPending());
    finishNext();
    finishNext();
    EXPECT_TRUE(lines_->isIdle());
    EXPECT_EQ(requestedTexts(), (std::vector<std::string>{"a b c", "d"}));
    // The translated record repeats the line's times.
    EXPECT_EQ(written(), (std::vector<std::string>{translated(line(1, "a b c", true, 1000, 2500)),
                                                   translated(line(2, "d", true, 2600, 3000))}));
}

TEST_F(LineTranslation, AFailureIsReportedAndTheNextLineGoesOn) {
    submit(line(3, "x", true, 0, 1));
    submit(line(4, "y", true, 1, 2));
    finishNext("The session was interrupted.");
    finishNext();
    EXPECT_EQ(
        written(),
        (std::vector<std::string>{
            encodeRecord(ErrorEvent{.message = "Translation failed: The session was interrupted."}),
            translated(line(4, "y", true, 1, 2))}));
    EXPECT_TRUE(lines_->isIdle());
}

TEST_F(LineTranslation, AVolatileStillCurrentWhenItsFinalArrivesIsWrittenToo) {
    submit(line(6, "e f", false));
    submit(line(6, "e f", true, 100, 200));
    finishNext();
    finishNext();
    EXPECT_EQ(written(), (std::vector<std::string>{translated(line(6, "e f", false)),
                                                   translated(line(6, "e f", true, 100, 200))}));
}

}  // namespace
}  // namespace norvi::engine
