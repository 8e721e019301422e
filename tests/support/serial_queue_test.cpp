#include "support/serial_queue.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace norvi {
namespace {

TEST(SerialQueue, RunsBlocksInOrderAndFlushWaitsForThem) {
    SerialQueue queue("com.norvi.test-queue");
    std::vector<int> seen;  // touched only by the queue's worker until flush returns
    for (int i = 0; i < 1000; ++i) {
        queue.post([&seen, i] {
            if (i % 100 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            seen.push_back(i);
        });
    }
    queue.flush();
    ASSERT_EQ(seen.size(), 1000u);
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(seen[i], i);
}

TEST(SerialQueue, BlocksFromManyThreadsNeverOverlap) {
    std::atomic<int> running{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> total{0};
    {
        SerialQueue queue("com.norvi.test-queue");
        std::vector<std::thread> producers;
        for (int p = 0; p < 4; ++p) {
            producers.emplace_back([&] {
                for (int i = 0; i < 200; ++i) {
                    queue.post([&] {
                        if (running.fetch_add(1) != 0) ++overlaps;
                        ++total;
                        running.fetch_sub(1);
                    });
                }
            });
        }
        for (auto& producer : producers) producer.join();
        // Destroying the queue runs what is still queued.
    }
    EXPECT_EQ(total.load(), 800);
    EXPECT_EQ(overlaps.load(), 0);
}

}  // namespace
}  // namespace norvi
