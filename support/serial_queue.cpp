#include "support/serial_queue.h"

#include <future>
#include <pthread.h>

namespace norvi {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    worker_ = std::thread([this] { run(); });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    worker_.join();
}

void SerialQueue::post(std::function<void()> block) {
    {
        std::lock_guard lock(mutex_);
        blocks_.push_back(std::move(block));
    }
    wake_.notify_one();
}

void SerialQueue::flush() {
    std::promise<void> done;
    post([&done] { done.set_value(); });
    done.get_future().wait();
}

void SerialQueue::run() {
    pthread_setname_np(pthread_self(), label_.substr(label_.size() > 15 ? label_.size() - 15 : 0).c_str());
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !blocks_.empty(); });
        if (blocks_.empty()) {
            return;
        }
        std::function<void()> block = std::move(blocks_.front());
        blocks_.pop_front();
        lock.unlock();
        block();
        lock.lock();
    }
}

}  // namespace norvi
