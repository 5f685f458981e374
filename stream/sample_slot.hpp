// The newest sample, written by the poll thread and copied by any thread
// without a lock. Two buffers, each a sequence lock over atomic words: the
// writer fills the one not holding the newest sample, then names it the
// newest. A publish under way thus never touches the newest complete sample,
// so a reader never waits for a writer stalled midway (preempted on the
// reader's core, say); it copies again only when a whole publish completed
// during its copy. Release stores and acquire loads of the words order them
// against the sequences without fences (plain moves on x86-64;
// ThreadSanitizer understands them).
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

    struct Buffer {
        std::atomic<std::uint64_t> sequence{0};  // odd while being written
        std::atomic<std::uint64_t> words[kWords];

        Buffer() {
            for (auto& word : words) word.store(0, std::memory_order_relaxed);
        }

        void Write(const std::uint64_t (&source)[kWords]) {
            const std::uint64_t version = sequence.load(std::memory_order_relaxed);
            sequence.store(version + 1, std::memory_order_relaxed);
            for (std::size_t i = 0; i < kWords; ++i) words[i].store(source[i], std::memory_order_release);
            sequence.store(version + 2, std::memory_order_release);
        }

        // False when a write overlapped the copy.
        bool TryCopy(std::uint64_t (&copy)[kWords]) const {
            const std::uint64_t before = sequence.load(std::memory_order_acquire);
            if ((before & 1) != 0) return false;
            for (std::size_t i = 0; i < kWords; ++i) copy[i] = words[i].load(std::memory_order_acquire);
            return sequence.load(std::memory_order_relaxed) == before;
        }
    };

public:
    // One writer at a time (the poll thread).
    void Publish(const Record& record) {
        std::uint64_t source[kWords];
        std::memcpy(source, &record, sizeof source);
        const unsigned target = 1 - newest.load(std::memory_order_relaxed);
        buffers[target].Write(source);
        newest.store(target, std::memory_order_release);
    }

    // The newest complete sample. A copy fails only when the writer
    // completed a publish meanwhile, which leaves the other buffer complete.
    void Read(Record& record) const {
        std::uint64_t copy[kWords];
        for (unsigned index = newest.load(std::memory_order_acquire); !buffers[index].TryCopy(copy); index = 1 - index) {
        }
        std::memcpy(&record, copy, sizeof copy);
    }

private:
    Buffer buffers[2];
    std::atomic<unsigned> newest{0};
};

}  // namespace quorvellan::stream
