#pragma once

#include <memory>
#include <optional>

#include "apple-engine/async_queue.h"
#include "apple-engine/platform/speech.h"

namespace norvi::engine {

// A transcriber's results as its recognizer thread pushes them onto a queue.
class QueueResultSequence final : public SpeechResultSequence {
  public:
    explicit QueueResultSequence(std::shared_ptr<AsyncQueue<SpeechResult>> queue)
        : queue_(std::move(queue)) {}
    asio::awaitable<std::optional<SpeechResult>> next() override { return queue_->pop(); }

  private:
    std::shared_ptr<AsyncQueue<SpeechResult>> queue_;
};

}  // namespace norvi::engine
