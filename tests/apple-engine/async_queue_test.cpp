#include "apple-engine/async_queue.h"

#include <thread>

#include <gtest/gtest.h>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

namespace norvi::engine {
namespace {

TEST(AsyncQueue, ItemsFromAnotherThreadArriveInOrderThenTheEnd) {
    AsyncQueue<int> queue;
    asio::io_context loop;
    std::vector<int> received;
    auto done = asio::co_spawn(
        loop,
        [&]() -> asio::awaitable<void> {
            while (auto item = co_await queue.pop())
                received.push_back(*item);
        },
        asio::use_future);
    std::thread producer([&] {
        for (int index = 0; index < 2000; ++index) {
            queue.push(index);
            if (index % 100 == 0)
                std::this_thread::yield();
        }
        queue.finish();
    });
    loop.run();
    producer.join();
    done.get();
    ASSERT_EQ(received.size(), 2000u);
    for (int index = 0; index < 2000; ++index)
        ASSERT_EQ(received[index], index);
}

TEST(AsyncQueue, AFailureComesAfterTheItemsBeforeIt) {
    AsyncQueue<int> queue;
    queue.push(7);
    queue.finish(std::make_exception_ptr(std::runtime_error("broken")));
    queue.push(8);
    asio::io_context loop;
    std::vector<int> received;
    auto done = asio::co_spawn(
        loop,
        [&]() -> asio::awaitable<void> {
            while (auto item = co_await queue.pop())
                received.push_back(*item);
        },
        asio::use_future);
    loop.run();
    EXPECT_THROW(done.get(), std::runtime_error);
    EXPECT_EQ(received, std::vector<int>{7});
}

}  // namespace
}  // namespace norvi::engine
