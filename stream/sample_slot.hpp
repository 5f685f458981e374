// The newest sample, written by the poll thread and copied by any thread
// without a lock: a sequence lock over atomic words, so a reader never waits
// on the writer's I/O and the copy stays free of data races. Release stores
// and acquire loads of the words order them against the sequence without
// fences (plain moves on x86-64; ThreadSanitizer understands them).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace quorvellan::stream {

template <typename Record>
class SampleSlot {
    static_assert(std::is_trivially_copyable_v<Record>, "copied word by word");
    static_assert(sizeof(Record) % sizeof(std::uint64_t) == 0, "a whole number of words");
    static constexpr std::size_t kWords = sizeof(Record) / sizeof(std::uint64_t);

public:
    SampleSlot() {
        for (auto& word : words) word.store(0, std::memory_order_relaxed);
    }

    // One writer at a time (the poll thread).
    void Publish(const Record& record) {
        std::uint64_t source[kWords];
        std::memcpy(source, &record, sizeof source);
        const std::uint64_t version = sequence.load(std::memory_order_relaxed);
        sequence.store(version + 1, std::memory_order_relaxed);  // odd: write under way
        for (std::size_t i = 0; i < kWords; ++i) words[i].store(source[i], std::memory_order_release);
        sequence.store(version + 2, std::memory_order_release);
    }

    // Retries only while a publish (a copy of some 200 bytes) overlaps it.
    void Read(Record& record) const {
        std::uint64_t copy[kWords];
        for (;;) {
            const std::uint64_t before = sequence.load(std::memory_order_acquire);
            for (std::size_t i = 0; i < kWords; ++i) copy[i] = words[i].load(std::memory_order_acquire);
            if ((before & 1) == 0 && sequence.load(std::memory_order_relaxed) == before) break;
        }
        std::memcpy(&record, copy, sizeof copy);
    }

private:
    std::atomic<std::uint64_t> sequence{0};
    std::atomic<std::uint64_t> words[kWords];
};

}  // namespace quorvellan::stream
