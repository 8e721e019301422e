#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include "apple-engine/output.h"
#include "apple-engine/translation.h"

namespace norvi::engine {

// Translates transcript lines one at a time on the main serial executor and writes each
// translation as a second "line" record: every final line in order, a volatile line only when
// nothing else is waiting, and nothing for a line whose text has changed meanwhile.
class LineTranslator : public std::enable_shared_from_this<LineTranslator> {
  public:
    LineTranslator(std::shared_ptr<Translator> translator, asio::any_io_executor executor,
                   RecordWriter write = writeJSONLine);

    // Takes the line record just written, without its translation.
    void submit(const LineEvent& line);
    // Starts the next translation when none is in flight.
    void drain();

    bool busy() const { return busy_; }
    bool hasPending() const { return !pending_.empty(); }
    bool isIdle() const { return !busy_ && pending_.empty(); }

  private:
    static asio::awaitable<void> translateLine(std::shared_ptr<LineTranslator> self,
                                               LineEvent line);
    void finishLine(const LineEvent& line, const std::string& translation);

    std::shared_ptr<Translator> translator_;
    std::map<std::int64_t, std::string> latestText_;
    bool busy_ = false;
    std::deque<LineEvent> pending_;
    asio::any_io_executor executor_;
    RecordWriter write_;
};

}  // namespace norvi::engine
