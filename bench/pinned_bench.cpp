// The library's own cost per call, with the scheduler kept out of the figure:
// a raw blocking socket and GetFloorSpeeds alternate call by call against one
// responder in this process, whose threads and the caller are pinned to chosen
// cores. On the same core a round trip is the two system calls and a context
// switch; on two cores a cross-core wake-up, which dominates both sides.
//
// Every call is checked at the responder: exactly one request of the expected
// bytes arrived and exactly one reply left; the library's call must also read
// the reply's floor speeds. A failed check ends the run with exit code 1; a
// call that read nothing (a stall of the machine past the read deadline) is
// counted as a reconnect and left out.
//
// usage: quorvellan-bench-pinned [--reply-bytes=N] [--calls=N] [--warm-up=N]
//                                [--caller-core=N] [--responder-core=N]
// It listens on the controller port: run it where the port is free (scripts/bench-pinned
// gives it a network namespace of its own).
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <boost/asio.hpp>

#include "api/QuorvellanAPI.h"
#include "bench/latency.hpp"
#include "bench/replies.hpp"
#include "messages/protocol.hpp"

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace quorvellan;
using namespace quorvellan::bench;

namespace {

struct Options {
    std::size_t replyBytes = 300;
    long calls = 5000;
    long warmUp = 500;
    int callerCore = 0;
    int responderCore = 0;
};

// The floor speeds of bench/replies.cpp's reply.
constexpr double kReplySpeedX = 0.2513;
constexpr double kReplySpeedY = -1.0478;

void PinCurrentThread(int core) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    if (int error = pthread_setaffinity_np(pthread_self(), sizeof set, &set)) {
        throw std::runtime_error("cannot pin a thread to core " + std::to_string(core) + ": " + std::strerror(error));
    }
}

// What the responder saw on one connection.
struct ConnectionCounts {
    std::atomic<long> requestBytes{0};
    std::atomic<long> requests{0};
    std::atomic<long> replies{0};
};

// Answers every message ending in '}' with the reply, on a pinned thread per
// connection. The library's messages are one write each, answered before the
// next, so a read ending in '}' ends a message.
class Responder {
public:
    Responder(std::string reply, int core) : reply(std::move(reply)), core(core), acceptor(io) {
        const auto port = static_cast<unsigned short>(std::stoi(protocol::kPort));
        acceptor.open(tcp::v4());
        acceptor.set_option(tcp::acceptor::reuse_address(true));
        acceptor.bind({asio::ip::address_v4::loopback(), port});
        acceptor.listen();
        std::thread([this] { Accept(); }).detach();
    }

    // The counts of the connection accepted `index`-th (0 first).
    ConnectionCounts& Connection(std::size_t index) {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (index < counts.size()) return *std::next(counts.begin(), static_cast<long>(index));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

private:
    void Accept() {
        PinCurrentThread(core);
        for (;;) {
            auto socket = std::make_shared<tcp::socket>(acceptor.accept());
            ConnectionCounts* connection;
            {
                std::lock_guard<std::mutex> lock(mutex);
                connection = &counts.emplace_back();
            }
            std::thread([this, socket, connection] { Serve(*socket, *connection); }).detach();
        }
    }

    void Serve(tcp::socket& socket, ConnectionCounts& connection) {
        PinCurrentThread(core);
        socket.set_option(tcp::no_delay(true));
        const int fd = socket.native_handle();
        std::string stamped = reply;
        char buffer[4096];
        for (;;) {
            const ssize_t bytes = ::recv(fd, buffer, sizeof buffer, 0);
            if (bytes <= 0) return;
            connection.requestBytes += bytes;
            if (buffer[bytes - 1] != '}') continue;
            ++connection.requests;
            StampReply(stamped, ++connection.replies);
            if (::send(fd, stamped.data(), stamped.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(stamped.size())) return;
        }
    }

    const std::string reply;
    const int core;
    asio::io_context io;
    tcp::acceptor acceptor;
    std::mutex mutex;
    std::list<ConnectionCounts> counts;  // stable addresses
};

// The floor: blocking send and recv of the same bytes the library exchanges.
class RawClient {
public:
    explicit RawClient(std::size_t replyBytes) : socket(io), reply(replyBytes) {
        socket.connect({asio::ip::address_v4::loopback(), static_cast<unsigned short>(std::stoi(protocol::kPort))});
        socket.set_option(tcp::no_delay(true));
    }

    void RoundTrip() {
        const std::string& request = QueryRequest();
        const int fd = socket.native_handle();
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
            throw std::runtime_error("raw send failed");
        }
        std::size_t received = 0;
        while (received < reply.size()) {
            const ssize_t bytes = ::recv(fd, &reply[received], reply.size() - received, 0);
            if (bytes <= 0) throw std::runtime_error("raw recv failed");
            received += static_cast<std::size_t>(bytes);
        }
    }

private:
    asio::io_context io;
    tcp::socket socket;
    std::vector<char> reply;
};

// Checks that the call in between sent one request and got one reply.
class ExchangeCheck {
public:
    explicit ExchangeCheck(ConnectionCounts& counts) : counts(&counts) { Mark(); }

    void Expect(const char* side) {
        const long bytes = counts->requestBytes - requestBytes;
        const long requests = counts->requests - requestsBefore;
        const long replies = counts->replies - repliesBefore;
        if (bytes != static_cast<long>(QueryRequest().size()) || requests != 1 || replies != 1) {
            throw std::runtime_error(std::string(side) + ": a call made " + std::to_string(requests) + " requests (" +
                                     std::to_string(bytes) + " bytes) and " + std::to_string(replies) + " replies");
        }
        Mark();
    }
    void Mark() {
        requestBytes = counts->requestBytes;
        requestsBefore = counts->requests;
        repliesBefore = counts->replies;
    }

private:
    ConnectionCounts* counts;
    long requestBytes = 0, requestsBefore = 0, repliesBefore = 0;
};

void ConnectLibrary() {
    int status = -1;
    if (InitInternal(&status, true) != 1) throw std::runtime_error("the library cannot connect (status " +
                                                                    std::to_string(status) + ")");
}

struct Samples {
    std::vector<double> raw, library;
    long checked = 0;
    long reconnects = 0;
};

Samples Run(const Options& options) {
    // Never destroyed: its detached threads serve until the process exits.
    Responder& responder = *new Responder(ReplyOfSize(options.replyBytes), options.responderCore);
    std::size_t connections = 0;
    ConnectLibrary();
    ExchangeCheck libraryCheck(responder.Connection(connections++));
    // The handshake went over the library's connection before the check began.
    RawClient raw(options.replyBytes);
    ExchangeCheck rawCheck(responder.Connection(connections++));

    Samples samples;
    samples.raw.reserve(static_cast<std::size_t>(options.calls));
    samples.library.reserve(static_cast<std::size_t>(options.calls));
    for (long i = -options.warmUp; i < options.calls; ++i) {
        // Which side goes first alternates too, so neither always follows the other.
        double rawMicroseconds = 0.0, libraryMicroseconds = 0.0;
        bool libraryRead = false;
        auto timeRaw = [&] {
            Clock::time_point start = Clock::now();
            raw.RoundTrip();
            rawMicroseconds = MicrosecondsSince(start);
        };
        auto timeLibrary = [&] {
            Clock::time_point start = Clock::now();
            const FloorSpeeds speeds = GetFloorSpeeds();
            libraryMicroseconds = MicrosecondsSince(start);
            libraryRead = speeds.x == kReplySpeedX && speeds.y == kReplySpeedY;
        };
        if (i % 2 == 0) {
            timeRaw();
            timeLibrary();
        } else {
            timeLibrary();
            timeRaw();
        }
        rawCheck.Expect("raw socket");
        if (!libraryRead) {
            // A stall of the machine outlasted the read deadline, which closed
            // the connection: the reply, if any, comes too late. Count it,
            // connect again, go on.
            ++samples.reconnects;
            ConnectLibrary();
            libraryCheck = ExchangeCheck(responder.Connection(connections++));
            continue;
        }
        libraryCheck.Expect("GetFloorSpeeds");
        if (i < 0) continue;
        ++samples.checked;
        samples.raw.push_back(rawMicroseconds);
        samples.library.push_back(libraryMicroseconds);
    }
    DeInitInternal();
    return samples;
}

void PrintRow(const char* name, const LatencySummary& row, const LatencySummary& raw) {
    std::cout << std::left << std::setw(16) << name << std::right << std::fixed << std::setprecision(2)
              << std::setw(8) << row.count << std::setw(10) << row.median << std::setw(10) << row.p99
              << std::setw(11) << row.max << std::setw(9) << row.median / raw.median << std::setw(9)
              << row.p99 / raw.p99 << std::setw(7) << row.over10ms << "\n";
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const auto equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        const long value = equals == std::string::npos ? -1 : std::strtol(argument.c_str() + equals + 1, nullptr, 10);
        if (value < 0) throw std::invalid_argument("bad argument " + argument);
        if (name == "--reply-bytes") options.replyBytes = static_cast<std::size_t>(value);
        else if (name == "--calls") options.calls = value;
        else if (name == "--warm-up") options.warmUp = value;
        else if (name == "--caller-core") options.callerCore = static_cast<int>(value);
        else if (name == "--responder-core") options.responderCore = static_cast<int>(value);
        else throw std::invalid_argument("unknown argument " + argument);
    }
    if (options.calls <= 0) throw std::invalid_argument("--calls must be positive");
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options options = ParseOptions(argc, argv);
        PinCurrentThread(options.callerCore);
        const Samples samples = Run(options);
        const LatencySummary raw = Summarise(samples.raw);
        std::cout << "reply " << options.replyBytes << " B, caller on core " << options.callerCore
                  << ", responder on core " << options.responderCore << " ("
                  << (options.callerCore == options.responderCore ? "same core" : "different cores")
                  << "); microseconds; " << samples.checked << " calls checked: one request, one reply each; "
                  << samples.reconnects << " reconnects\n";
        std::cout << std::left << std::setw(16) << "call" << std::right << std::setw(8) << "calls" << std::setw(10)
                  << "median" << std::setw(10) << "p99" << std::setw(11) << "max" << std::setw(9) << "x raw"
                  << std::setw(9) << "p99 x" << std::setw(7) << ">10ms" << "\n";
        PrintRow("raw socket", raw, raw);
        PrintRow("GetFloorSpeeds", Summarise(samples.library), raw);
    } catch (const std::exception& error) {
        std::cerr << "quorvellan-bench-pinned: " << error.what() << "\n";
        return 1;
    }
}
