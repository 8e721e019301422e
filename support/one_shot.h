#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

namespace norvi {

// A one-shot hand-over of a value from any thread to one waiting coroutine. The first
// `resume` wins; later ones are refused. A value given before anyone waits is kept for the
// waiter. Cancelling the waiting operation ends the wait at once with no value and drops the
// waiter, so a later `resume` reaches nobody.
//
// The waiter must run on a strand or a single-threaded executor: its completion and its
// cancellation are both delivered there.
template <typename T>
class OneShot {
public:
    // Returns false when a value was already given.
    bool resume(T value) {
        std::function<void(std::optional<T>)> deliver;
        {
            std::lock_guard lock(mutex_);
            if (resumed_) return false;
            resumed_ = true;
            if (!deliver_) {
                value_ = std::move(value);
                return true;
            }
            deliver = std::move(deliver_);
        }
        deliver(std::move(value));
        return true;
    }

    bool isResumed() const {
        std::lock_guard lock(mutex_);
        return resumed_;
    }

    // The value, or std::nullopt when the wait was cancelled.
    asio::awaitable<std::optional<T>> wait() {
        return asio::async_initiate<decltype(asio::use_awaitable), void(std::optional<T>)>(
            [this](auto handler) { this->start(std::move(handler)); }, asio::use_awaitable);
    }

private:
    template <typename Handler>
    struct Waiter {
        explicit Waiter(Handler h) : handler(std::move(h)) {}
        Handler handler;
        bool done = false;  // touched on the waiter's executor only
    };

    template <typename Handler>
    static void complete(const std::shared_ptr<Waiter<Handler>>& waiter, std::optional<T> value) {
        if (waiter->done) return;
        waiter->done = true;
        auto slot = asio::get_associated_cancellation_slot(waiter->handler);
        if (slot.is_connected()) slot.clear();
        std::move(waiter->handler)(std::move(value));
    }

    template <typename Handler>
    void start(Handler handler) {
        auto waiter = std::make_shared<Waiter<Handler>>(std::move(handler));
        auto executor = asio::get_associated_executor(waiter->handler);
        auto deliver = [waiter, executor](std::optional<T> value) {
            asio::post(executor, [waiter, value = std::move(value)]() mutable {
                complete(waiter, std::move(value));
            });
        };
        std::unique_lock lock(mutex_);
        if (resumed_ && value_) {
            std::optional<T> value = std::move(value_);
            value_.reset();
            lock.unlock();
            deliver(std::move(value));
            return;
        }
        deliver_ = deliver;
        lock.unlock();
        auto slot = asio::get_associated_cancellation_slot(waiter->handler);
        if (slot.is_connected()) {
            slot.assign([this, deliver](asio::cancellation_type) {
                {
                    std::lock_guard lock(mutex_);
                    deliver_ = nullptr;
                }
                deliver(std::nullopt);
            });
        }
    }

    mutable std::mutex mutex_;
    bool resumed_ = false;
    std::optional<T> value_;
    std::function<void(std::optional<T>)> deliver_;
};

}  // namespace norvi
