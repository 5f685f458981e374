// The sample slot under a writer that stops midway through a publish, as a
// poll thread preempted on the reader's core does: a read must still return
// at once, with a whole sample. The writer publishes without pause and is
// frozen by a signal whose handler waits until the read is over, so most
// freezes land inside a publish.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <thread>

#include <pthread.h>

#include <gtest/gtest.h>

#include "stream/sample_slot.hpp"

namespace {

using quorvellan::stream::SampleSlot;
using namespace std::chrono_literals;

// Every word of a record holds the same value, so a torn copy shows.
struct Record {
    std::uint64_t words[25];
};

std::atomic<bool> frozen{false};
std::atomic<bool> released{false};
std::atomic<bool> thawed{false};

void FreezeUntilReleased(int) {
    frozen.store(true);
    while (!released.load()) std::this_thread::sleep_for(1ms);
    thawed.store(true);
}

bool IsWhole(const Record& record) {
    for (std::uint64_t word : record.words) {
        if (word != record.words[0]) return false;
    }
    return true;
}

TEST(SampleSlot, ReadReturnsAtOnceWhileAPublishIsStalledMidway) {
    std::signal(SIGUSR1, FreezeUntilReleased);
    SampleSlot<Record> slot;
    std::atomic<bool> done{false};
    std::atomic<std::uint64_t> published{0};
    std::thread writer([&] {
        Record record{};
        for (std::uint64_t value = 1; !done.load(std::memory_order_relaxed); ++value) {
            for (auto& word : record.words) word = value;
            slot.Publish(record);
            published.store(value, std::memory_order_relaxed);
        }
    });
    // The reader is a thread made before any freeze: making one while the
    // writer is frozen could wait for a lock the frozen thread holds (the
    // sanitizers' thread registry, say), which says nothing of the slot.
    std::atomic<int> asked{0}, answered{0};
    Record lastRead{};
    std::thread reader([&] {
        for (int seen = 0; seen < 20;) {
            if (asked.load() == seen) {
                std::this_thread::sleep_for(100us);
                continue;
            }
            slot.Read(lastRead);
            answered.store(++seen);
        }
    });
    while (published.load() == 0) std::this_thread::sleep_for(1ms);  // past the writer's start
    int slowReads = 0;
    for (int freeze = 0; freeze < 20; ++freeze) {
        frozen = false;
        released = false;
        thawed = false;
        pthread_kill(writer.native_handle(), SIGUSR1);
        while (!frozen) std::this_thread::sleep_for(1ms);
        asked.store(freeze + 1);
        // 1 s: generous slack for a copy of 200 bytes under valgrind.
        const auto until = std::chrono::steady_clock::now() + 1s;
        while (answered.load() != freeze + 1 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(100us);
        if (answered.load() != freeze + 1) ++slowReads;
        released = true;  // a reader that spins returns now
        while (answered.load() != freeze + 1) std::this_thread::sleep_for(100us);
        EXPECT_TRUE(IsWhole(lastRead)) << "freeze " << freeze;
        while (!thawed) std::this_thread::sleep_for(1ms);
    }
    done = true;
    released = true;
    reader.join();
    writer.join();
    EXPECT_EQ(slowReads, 0) << "reads that waited for the stalled publish";
}

}  // namespace
