// The sample slot under a writer that stops midway through a publish, as a
// poll thread preempted on the reader's core does: a read must still return
// at once, with a whole sample. The writer publishes without pause and is
// frozen by a signal whose handler waits until the read is over, so most
// freezes land inside a publish.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <future>
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
    std::thread writer([&] {
        Record record{};
        for (std::uint64_t value = 1; !done.load(std::memory_order_relaxed); ++value) {
            for (auto& word : record.words) word = value;
            slot.Publish(record);
        }
    });
    int slowReads = 0;
    for (int freeze = 0; freeze < 20; ++freeze) {
        frozen = false;
        released = false;
        thawed = false;
        pthread_kill(writer.native_handle(), SIGUSR1);
        while (!frozen) std::this_thread::sleep_for(1ms);
        auto read = std::async(std::launch::async, [&] {
            Record record;
            slot.Read(record);
            return record;
        });
        // 1 s: generous slack for a copy of 200 bytes under valgrind.
        if (read.wait_for(1s) != std::future_status::ready) ++slowReads;
        released = true;  // a reader that spins returns now
        EXPECT_TRUE(IsWhole(read.get())) << "freeze " << freeze;
        while (!thawed) std::this_thread::sleep_for(1ms);
    }
    done = true;
    released = true;
    writer.join();
    EXPECT_EQ(slowReads, 0) << "reads that waited for the stalled publish";
}

}  // namespace
