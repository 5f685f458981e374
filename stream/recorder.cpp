#include "stream/recorder.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <io.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

#include <nlohmann/json.hpp>

#include "stream/json_text.hpp"
#include "stream/state_names.hpp"
#include "stream/utf8_paths.hpp"

namespace quorvellan::stream {

using nlohmann::json;

// Shared by the recorder (the poll thread's side) and its writer thread, so
// that a writer left blocked on the file after Stop still owns all it touches.
struct Recorder::Shared {
    Shared(std::string path, std::int64_t startNs) : path(std::move(path)), startNs(startNs) {}

    const std::string path;
    const std::int64_t startNs;
    std::mutex mutex;  // never held during I/O
    std::condition_variable wake;
    std::vector<std::string> queue;  // whole lines, each ending with '\n'
    bool soon = false;
    bool closing = false;
    bool finished = false;
    std::atomic<bool> open{false};
    std::atomic<std::uint64_t> written{0};
    std::atomic<std::uint64_t> lost{0};
    std::atomic<int> lastError{0};
};

namespace {

// About 8 s of a 250 Hz stream: what the file may fall behind before lines
// are dropped.
constexpr std::size_t kMaxQueuedLines = 2048;
// The writer's round: a program that dies loses at most this much.
constexpr auto kWriteEvery = std::chrono::milliseconds(50);
// How long Stop gives the writer to write the last lines.
constexpr auto kFinishWithin = std::chrono::milliseconds(50);
// Lines are written in chunks of whole lines no longer than this (PIPE_BUF on
// Linux), which a FIFO takes whole or not at all.
constexpr std::size_t kChunkBytes = 4096;

// The wall-clock start, so a recording can be matched with other logs.
std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[40];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis));
    return text;
}

// The few file calls the writer needs, on a descriptor of its own: no stdio
// buffer, so a line counts as written only once write(2) took all of it.
#if defined(_WIN32)
int OpenForAppend(const std::string& path) {
    return _wopen(PathFromUtf8(path).c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY | _O_NOINHERIT,
                  _S_IREAD | _S_IWRITE);
}
int OpenForReading(const std::string& path) {
    return _wopen(PathFromUtf8(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}
long long WriteSome(int fd, const char* data, std::size_t size) {
    return _write(fd, data, static_cast<unsigned>(size));
}
bool IsRegularFile(int fd) {
    struct _stat64 info;
    return _fstat64(fd, &info) == 0 && (info.st_mode & _S_IFREG) != 0;
}
long long SizeOf(int fd) { return _filelengthi64(fd); }
bool Resize(int fd, long long size) { return _chsize_s(fd, size) == 0; }
bool LastByte(int fd, char& byte) { return _lseeki64(fd, -1, SEEK_END) >= 0 && _read(fd, &byte, 1) == 1; }
void CloseFile(int fd) { _close(fd); }
#else
// Non-blocking only for the open, so that a FIFO without a reader fails at
// once (ENXIO) instead of waiting for one; writes may wait, on the writer.
int OpenForAppend(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}
int OpenForReading(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }
long long WriteSome(int fd, const char* data, std::size_t size) { return ::write(fd, data, size); }
bool IsRegularFile(int fd) {
    struct stat info;
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}
long long SizeOf(int fd) {
    struct stat info;
    return ::fstat(fd, &info) == 0 ? info.st_size : -1;
}
bool Resize(int fd, long long size) { return ::ftruncate(fd, size) == 0; }
bool LastByte(int fd, char& byte) { return ::lseek(fd, -1, SEEK_END) >= 0 && ::read(fd, &byte, 1) == 1; }
void CloseFile(int fd) { ::close(fd); }
#endif

// The recording file, appended to in whole lines only.
class LineFile {
public:
    ~LineFile() {
        if (fd >= 0) CloseFile(fd);
    }

    // Returns 0 or the errno of the failed open.
    int Open(const std::string& path) {
        fd = OpenForAppend(path);
        if (fd < 0) return errno != 0 ? errno : EIO;
        // A file whose last line was cut short (a program that crashed) gets
        // its '\n' first, so that our header starts a line.
        needsNewline = !EndsOnLineBoundary(path);
        return 0;
    }

    bool IsOpen() const { return fd >= 0; }

    struct Outcome {
        std::size_t lines;  // whole lines the file took
        int error;
    };

    // Appends `chunk` (whole lines). A write cut short leaves the lines it
    // finished; the cut one is taken back, so the file stays whole lines.
    Outcome Append(const std::string& chunk, std::size_t lines) {
        if (needsNewline) {
            if (const int error = WriteAll("\n").error) return {0, error};
            needsNewline = false;
        }
        const Written result = WriteAll(chunk);
        if (result.bytes == chunk.size()) return {lines, 0};
        const std::size_t boundary = LineBoundaryWithin(chunk, result.bytes);
        if (result.bytes > boundary) TakeBack(result.bytes - boundary);
        return {static_cast<std::size_t>(std::count(chunk.begin(), chunk.begin() + boundary, '\n')),
                result.error};
    }

private:
    struct Written {
        std::size_t bytes;
        int error;
    };

    Written WriteAll(const std::string& text) {
        std::size_t done = 0;
        while (done < text.size()) {
            const long long n = WriteSome(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return {done, n < 0 && errno != 0 ? errno : EIO};
            done += static_cast<std::size_t>(n);
        }
        return {done, 0};
    }

    static std::size_t LineBoundaryWithin(const std::string& chunk, std::size_t bytes) {
        const std::size_t lastEnd = bytes == 0 ? std::string::npos : chunk.rfind('\n', bytes - 1);
        return lastEnd == std::string::npos ? 0 : lastEnd + 1;
    }

    // Cuts the fragment off a regular file; where that cannot be done the
    // next line starts with '\n' instead, so it at least starts a line.
    void TakeBack(std::size_t bytes) {
        const long long size = SizeOf(fd);
        const long long wanted = size - static_cast<long long>(bytes);
        if (!IsRegularFile(fd) || wanted < 0 || !Resize(fd, wanted)) needsNewline = true;
    }

    bool EndsOnLineBoundary(const std::string& path) const {
        if (!IsRegularFile(fd) || SizeOf(fd) <= 0) return true;
        const int reader = OpenForReading(path);
        if (reader < 0) return true;
        char last = '\n';
        const bool read = LastByte(reader, last);
        CloseFile(reader);
        return !read || last == '\n';
    }

    int fd = -1;
    bool needsNewline = false;
};

// Writes a batch in chunks of whole lines and counts every line once.
void WriteBatch(LineFile& file, const std::vector<std::string>& batch, Recorder::Shared& shared) {
    std::string chunk;
    std::size_t lines = 0;
    auto writeChunk = [&] {
        if (lines == 0) return;
        const LineFile::Outcome outcome = file.Append(chunk, lines);
        shared.written.fetch_add(outcome.lines, std::memory_order_relaxed);
        if (outcome.lines != lines) {
            shared.lost.fetch_add(lines - outcome.lines, std::memory_order_relaxed);
            shared.lastError.store(outcome.error, std::memory_order_relaxed);
        }
        chunk.clear();
        lines = 0;
    };
    for (const std::string& line : batch) {
        if (chunk.size() + line.size() > kChunkBytes) writeChunk();
        chunk += line;
        ++lines;
    }
    writeChunk();
}

// The writer thread: opens the file, then writes what is queued every round,
// or at once when asked, until the recorder closes.
void RunWriter(const std::shared_ptr<Recorder::Shared>& shared) {
#if !defined(_WIN32)
    // A FIFO whose reader went away gives EPIPE, counted, instead of SIGPIPE,
    // which would end the application.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
#endif
    LineFile file;
    if (const int error = file.Open(shared->path)) {
        shared->lastError.store(error, std::memory_order_relaxed);
    } else {
        shared->open.store(true, std::memory_order_relaxed);
    }
    std::vector<std::string> batch;
    for (bool closing = false; !closing;) {
        {
            std::unique_lock<std::mutex> lock(shared->mutex);
            shared->wake.wait_for(lock, kWriteEvery, [&] { return shared->soon || shared->closing; });
            batch.swap(shared->queue);
            shared->soon = false;
            closing = shared->closing;
        }
        if (file.IsOpen()) {
            WriteBatch(file, batch, *shared);
        } else {
            shared->lost.fetch_add(batch.size(), std::memory_order_relaxed);
        }
        batch.clear();
    }
    shared->open.store(false, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->finished = true;
    }
    shared->wake.notify_all();
}

}  // namespace

std::unique_ptr<Recorder> Recorder::Start(const std::string& path, const QuorvellanStreamOptions& options) {
    std::unique_ptr<Recorder> recorder(new Recorder(std::make_shared<Shared>(path, QuorvellanStreamClockNs())));
    recorder->Queue(JsonText({{"format", "quorvellan-recording"},
                              {"version", kFormatVersion},
                              {"startTime", UtcNow()},
                              {"local", options.local != 0},
                              {"pollRateHz", options.pollRateHz}}),
                    true);
    recorder->writer = std::thread(RunWriter, recorder->shared);
    return recorder;
}

Recorder::~Recorder() {
    if (!writer.joinable()) return;  // Start failed to make the thread
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->closing = true;
    }
    shared->wake.notify_all();
    bool finished = false;
    {
        std::unique_lock<std::mutex> lock(shared->mutex);
        finished = shared->wake.wait_for(lock, kFinishWithin, [this] { return shared->finished; });
    }
    // A writer blocked on the file keeps the shared state alive and ends
    // whenever the file lets it.
    if (finished) {
        writer.join();
    } else {
        writer.detach();
    }
}

double Recorder::SecondsAt(std::int64_t clockNs) const {
    return static_cast<double>(clockNs - shared->startNs) / 1e9;
}

void Recorder::Sample(const QuorvellanStreamSample& sample) {
    Queue(JsonText({{"t", SecondsAt(sample.timeNs)},
                    {"event", "sample"},
                    {"floorSpeed", {sample.floorSpeeds.x, sample.floorSpeeds.y}},
                    {"ring", {sample.ring.x, sample.ring.y, sample.ring.z}},
                    {"running", sample.running != 0},
                    {"runningUnlocked", sample.runningUnlocked != 0}}),
          false);
}

void Recorder::Connection(const QuorvellanStreamSample& sample) {
    Queue(JsonText({{"t", SecondsAt(QuorvellanStreamClockNs())},
                    {"event", "connection"},
                    {"state", StateName(sample.state)},
                    {"status", sample.lastStatus},
                    {"serial", sample.serialNumber},
                    {"reconnects", sample.reconnects}}),
          true);
}

namespace {

json CommandLine(double seconds, const char* name, json value) {
    return {{"t", seconds}, {"event", "command"}, {"command", name}, {"value", std::move(value)}};
}

}  // namespace

void Recorder::Command(const char* name, bool value) {
    Queue(JsonText(CommandLine(SecondsAt(QuorvellanStreamClockNs()), name, value)), false);
}

void Recorder::Command(const char* name, const double* values, std::size_t count) {
    Queue(JsonText(CommandLine(SecondsAt(QuorvellanStreamClockNs()), name,
                               std::vector<double>(values, values + count))),
          false);
}

void Recorder::FailedRead(const QuorvellanStreamSample& sample) {
    Queue(JsonText({{"t", SecondsAt(QuorvellanStreamClockNs())},
                    {"event", "failedRead"},
                    {"failedReads", sample.failedReads}}),
          false);
}

void Recorder::Queue(std::string line, bool soon) {
    line += '\n';
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (shared->queue.size() >= kMaxQueuedLines) {
            // The file has not kept up (it blocks, or is slower than the stream).
            shared->lost.fetch_add(1, std::memory_order_relaxed);
            shared->lastError.store(EAGAIN, std::memory_order_relaxed);
            return;
        }
        shared->queue.push_back(std::move(line));
        shared->soon = shared->soon || soon;
    }
    if (soon) shared->wake.notify_all();
}

void Recorder::Status(QuorvellanStreamRecordingStatus& status) const {
    status.recording = shared->open.load(std::memory_order_relaxed) ? 1 : 0;
    status.lastError = shared->lastError.load(std::memory_order_relaxed);
    status.linesWritten = shared->written.load(std::memory_order_relaxed);
    status.linesLost = shared->lost.load(std::memory_order_relaxed);
}

}  // namespace quorvellan::stream
