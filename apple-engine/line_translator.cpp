#include "apple-engine/line_translator.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

namespace norvi::engine {

LineTranslator::LineTranslator(std::shared_ptr<Translator> translator,
                               asio::any_io_executor executor, RecordWriter write)
    : translator_(std::move(translator)),
      executor_(std::move(executor)),
      write_(std::move(write)) {}

void LineTranslator::submit(const LineEvent& line) {
    latestText_[line.id] = line.text;
    if (line.isFinal || isIdle()) {
        pending_.push_back(line);
    }
    drain();
}

void LineTranslator::drain() {
    if (busy_ || pending_.empty()) {
        return;
    }
    LineEvent next = std::move(pending_.front());
    pending_.pop_front();
    busy_ = true;
    asio::co_spawn(executor_, translateLine(shared_from_this(), std::move(next)), asio::detached);
}

asio::awaitable<void> LineTranslator::translateLine(std::shared_ptr<LineTranslator> self,
                                                    LineEvent line) {
    std::optional<std::string> translation;
    std::string failure;
    try {
        translation = co_await self->translator_->session->translate(line.text);
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (translation) {
        self->finishLine(line, *translation);
    } else {
        self->write_(ErrorEvent{.message = "Translation failed: " + failure});
    }
    self->busy_ = false;
    self->drain();
}

void LineTranslator::finishLine(const LineEvent& line, const std::string& translation) {
    const auto latest = latestText_.find(line.id);
    // A newer state of the line arrived while this one was translated.
    if (latest == latestText_.end() || latest->second != line.text) {
        return;
    }
    if (line.isFinal) {
        latestText_.erase(latest);
    }
    LineEvent translated = line;
    translated.translation = translation;
    write_(translated);
}

}  // namespace norvi::engine
