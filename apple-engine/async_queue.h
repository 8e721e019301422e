#pragma once

#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>

#include <asio/awaitable.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace norvi::engine {

// An unbounded queue filled from any thread and read by one coroutine on a single-threaded
// executor. The producer ends it with finish(), optionally with a failure the reader sees
// after the items before it.
template <typename T>
class AsyncQueue {
  public:
    void push(T item) {
        std::function<void()> wake;
        {
            std::lock_guard lock(mutex_);
            if (finished_)
                return;
            items_.push_back(std::move(item));
            wake = std::exchange(wake_, nullptr);
        }
        if (wake)
            wake();
    }

    void finish(std::exception_ptr failure = nullptr) {
        std::function<void()> wake;
        {
            std::lock_guard lock(mutex_);
            if (finished_)
                return;
            finished_ = true;
            failure_ = std::move(failure);
            wake = std::exchange(wake_, nullptr);
        }
        if (wake)
            wake();
    }

    // The next item, or nothing once the queue has finished; rethrows the failure it
    // finished with.
    asio::awaitable<std::optional<T>> pop() {
        auto executor = co_await asio::this_coro::executor;
        for (;;) {
            asio::steady_timer signal(executor, asio::steady_timer::time_point::max());
            {
                std::lock_guard lock(mutex_);
                if (!items_.empty()) {
                    std::optional<T> item(std::move(items_.front()));
                    items_.pop_front();
                    co_return item;
                }
                if (finished_) {
                    if (failure_)
                        std::rethrow_exception(failure_);
                    co_return std::nullopt;
                }
                // The cancel runs on the reader's executor, after the wait below has begun.
                wake_ = [executor, &signal] {
                    asio::post(executor, [&signal] { signal.cancel(); });
                };
            }
            std::error_code ignored;
            co_await signal.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        }
    }

  private:
    std::mutex mutex_;
    std::deque<T> items_;
    bool finished_ = false;
    std::exception_ptr failure_;
    std::function<void()> wake_;
};

}  // namespace norvi::engine
