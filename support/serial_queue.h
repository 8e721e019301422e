#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace norvi {

// One worker thread that runs posted blocks one at a time, in the order they were posted.
// Blocks still queued when the queue is destroyed are run before the worker ends.
class SerialQueue {
public:
    // `label` names the worker thread (cut to the 15 bytes Linux keeps).
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void post(std::function<void()> block);
    // Returns once every block posted before the call has run. Must not be called from a block
    // of this queue.
    void flush();

    const std::string& label() const { return label_; }

private:
    void run();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> blocks_;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace norvi
