// What a call through the library costs over the wire, measured side by side
// with a raw blocking socket that sends the same request bytes to the same
// responder and reads the same reply.
//
//   A  raw socket round trip (the floor)
//   B  each query through the C entry points
//   C  the reply handling alone: document parse, one-pass field read, field
//      read from the document, completeness check
//   D  the numeric commands, all eight keys (no I/O)
//   E  a typical frame: three commands and three queries
//
// usage: quorvellan-bench [--reply-bytes=N] [--calls=N] [benchmark flags]
// The responder (quorvellan-bench-responder N) must already listen on the
// controller port with the same reply size.
#include <array>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/asio.hpp>

#include "api/QuorvellanAPI.h"
#include "bench/latency.hpp"
#include "bench/replies.hpp"
#include "messages/protocol.hpp"
#include "messages/reply_fields.hpp"

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace quorvellan;
using namespace quorvellan::bench;

namespace {

constexpr double kFrameMicroseconds = 1e6 / 90.0;

struct Options {
    std::size_t replyBytes = 300;
    benchmark::IterationCount calls = 5000;
};

// Samples per benchmark name, in registration order for the table.
std::vector<std::string> order;
std::map<std::string, std::vector<double>> samples;
int reconnects = 0;

std::vector<double>& SamplesFor(const std::string& name) {
    if (!samples.count(name)) order.push_back(name);
    return samples[name];
}

// Connects the library to the responder; retries while it starts up.
void ConnectLibrary() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        int status = -1;
        if (InitInternal(&status, true) == 1) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    throw std::runtime_error("the library cannot connect to the responder");
}

// A stall of the machine can outlast the 100 ms read deadline, which closes
// the connection; the next call then fails fast. Such a call is no round trip:
// drop its sample, count the event and connect again.
bool KeepConnected() {
    if (CheckConnection()) return true;
    ++reconnects;
    ConnectLibrary();
    return false;
}

// The floor: a blocking socket, the library's request bytes, the whole reply.
class RawClient {
public:
    explicit RawClient(std::size_t replyBytes) : socket(io), reply(protocol::kReplyBufferSize) {
        tcp::resolver resolver(io);
        asio::connect(socket, resolver.resolve(protocol::kLocalHost, protocol::kPort));
        expected = replyBytes;
    }

    std::string_view RoundTrip() {
        asio::write(socket, asio::buffer(QueryRequest()));
        std::size_t received = 0;
        while (received < expected) received += socket.read_some(asio::buffer(&reply[received], reply.size() - received));
        return std::string_view(reply.data(), received);
    }

private:
    asio::io_context io;
    tcp::socket socket;
    std::vector<char> reply;
    std::size_t expected = 0;
};

// Times each call of a network benchmark.
template <typename Call>
void RegisterNetworkBenchmark(const std::string& name, benchmark::IterationCount calls, Call call) {
    std::vector<double>& latencies = SamplesFor(name);
    benchmark::RegisterBenchmark(name.c_str(), [&latencies, call](benchmark::State& state) {
        for (auto _ : state) {
            Clock::time_point start = Clock::now();
            call();
            double elapsed = MicrosecondsSince(start);
            if (KeepConnected()) latencies.push_back(elapsed);
        }
    })->Iterations(calls)->Unit(benchmark::kMicrosecond);
}

// Times each call of an in-memory benchmark; Google Benchmark picks the count.
template <typename Call>
void RegisterLocalBenchmark(const std::string& name, Call call) {
    std::vector<double>& latencies = SamplesFor(name);
    benchmark::RegisterBenchmark(name.c_str(), [&latencies, call](benchmark::State& state) {
        for (auto _ : state) {
            Clock::time_point start = Clock::now();
            benchmark::DoNotOptimize(call());
            latencies.push_back(MicrosecondsSince(start));
        }
    })->Unit(benchmark::kMicrosecond);
}

void ReleaseSerial(const char* serial) {
    if (*serial) std::free(const_cast<char*>(serial));  // the empty fallback is the library's own
}

void SetAllNumericKeys() {
    SetManualSpeeds(0.5, -0.25);
    SetUserPosition(1.5, -2.0);
    SetUserRotation(0.92, 0.0, 0.38, 0.0);
}

void RegisterQueries(const Options& options) {
    const benchmark::IterationCount calls = options.calls;
    RegisterNetworkBenchmark("B GetFloorSpeeds", calls, [] { benchmark::DoNotOptimize(GetFloorSpeeds()); });
    RegisterNetworkBenchmark("B GetFloorSpeedsNormalized", calls,
                             [] { benchmark::DoNotOptimize(GetFloorSpeedsNormalized()); });
    RegisterNetworkBenchmark("B GetFloorSpeedMagnitude", calls,
                             [] { benchmark::DoNotOptimize(GetFloorSpeedMagnitude()); });
    RegisterNetworkBenchmark("B GetRing", calls, [] { benchmark::DoNotOptimize(GetRing()); });
    RegisterNetworkBenchmark("B GetTreadmillRunState(true)", calls,
                             [] { benchmark::DoNotOptimize(GetTreadmillRunState(true)); });
    RegisterNetworkBenchmark("B GetTreadmillSerialNumber", calls, [] { ReleaseSerial(GetTreadmillSerialNumber()); });
}

void RegisterReplyHandling(const std::string& reply) {
    static std::string padded;
    static nlohmann::json parsed;
    padded = ZeroPadded(reply);
    parsed = ParseReply(padded);
    RegisterLocalBenchmark("C ParseReply (2048-byte buffer)", [] { return ParseReply(padded).size(); });
    RegisterLocalBenchmark("C ReadReplyFields (floorSpeed x, y)", [] {
        // A reply that differs from the last, as in an exchange.
        static unsigned long count = 0;
        StampReply(padded, ++count);
        static const std::array<KeyPath, 2> paths = {KeyPath{"floorSpeed", "x"}, KeyPath{"floorSpeed", "y"}};
        return ReadReplyFields(padded, paths)->front().number;
    });
    RegisterLocalBenchmark("C GetNumberAtPath (one field)",
                           [] { return GetNumberAtPath({"floorSpeed", "x"}, parsed); });
    RegisterLocalBenchmark("C IsIncompleteJson (received bytes)",
                           [&reply] { return IsIncompleteJson(std::string_view(padded.data(), reply.size())); });
}

// The commands only queue their keys; a query between the timed calls sends
// them, so each timed call starts from the short header as in a real frame.
void RegisterNumericCommands(benchmark::IterationCount calls) {
    std::vector<double>& latencies = SamplesFor("D numeric commands (8 keys)");
    benchmark::RegisterBenchmark("D numeric commands (8 keys)", [&latencies](benchmark::State& state) {
        for (auto _ : state) {
            Clock::time_point start = Clock::now();
            SetAllNumericKeys();
            double elapsed = MicrosecondsSince(start);
            state.SetIterationTime(elapsed / 1e6);
            latencies.push_back(elapsed);
            GetTreadmillRunState(false);
            KeepConnected();
        }
    })->Iterations(calls)->UseManualTime()->Unit(benchmark::kMicrosecond);
}

void RegisterFrame(benchmark::IterationCount calls) {
    RegisterNetworkBenchmark("E frame: 3 commands + 3 queries", calls, [] {
        SetAllNumericKeys();
        benchmark::DoNotOptimize(GetFloorSpeeds());
        benchmark::DoNotOptimize(GetRing());
        benchmark::DoNotOptimize(GetTreadmillRunState(true));
    });
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        auto valueOf = [&](const char* prefix) { return std::strtoull(argument.c_str() + std::strlen(prefix), nullptr, 10); };
        if (argument.rfind("--reply-bytes=", 0) == 0) {
            options.replyBytes = valueOf("--reply-bytes=");
        } else if (argument.rfind("--calls=", 0) == 0) {
            options.calls = static_cast<benchmark::IterationCount>(valueOf("--calls="));
        } else {
            throw std::invalid_argument("unknown argument " + argument);
        }
    }
    return options;
}

void PrintRow(const std::string& name, const LatencySummary& row, const LatencySummary& raw) {
    std::cout << std::left << std::setw(38) << name << std::right << std::fixed << std::setprecision(2)
              << std::setw(8) << row.count << std::setw(11) << row.median << std::setw(10) << row.p99
              << std::setw(11) << row.max;
    if (name[0] == 'B' && raw.count > 0) {
        std::cout << std::setw(9) << row.median / raw.median << std::setw(9) << row.p99 / raw.p99;
    } else {
        std::cout << std::setw(9) << "-" << std::setw(9) << "-";
    }
    std::cout << std::setw(10) << std::setprecision(3) << 100.0 * row.median / kFrameMicroseconds << " %"
              << std::setw(6) << row.over10ms << "\n";
}

void PrintTable(const Options& options) {
    const LatencySummary raw = Summarise(samples[order.front()]);
    std::cout << "\nPer call, microseconds, every call of every repetition; reply " << options.replyBytes
              << " bytes; ratios to the raw socket of this run; a 90 Hz frame is "
              << std::setprecision(0) << std::fixed << kFrameMicroseconds << " us\n";
    std::cout << std::left << std::setw(38) << "call" << std::right << std::setw(8) << "calls" << std::setw(11)
              << "median" << std::setw(10) << "p99" << std::setw(11) << "max" << std::setw(9) << "x raw"
              << std::setw(9) << "p99 x" << std::setw(12) << "frame" << std::setw(6) << ">10ms" << "\n";
    for (const std::string& name : order) {
        if (!samples[name].empty()) PrintRow(name, Summarise(samples[name]), raw);  // filtered out otherwise
    }
    std::cout << "reconnects after a dropped connection: " << reconnects << "\n";
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    try {
        const Options options = ParseOptions(argc, argv);
        const std::string reply = ReplyOfSize(options.replyBytes);

        ConnectLibrary();
        static RawClient raw(options.replyBytes);
        if (raw.RoundTrip().size() != reply.size()) throw std::runtime_error("the responder sends another reply size");

        RegisterNetworkBenchmark("A raw socket round trip", options.calls, [] { benchmark::DoNotOptimize(raw.RoundTrip()); });
        RegisterQueries(options);
        RegisterReplyHandling(reply);
        RegisterNumericCommands(options.calls);
        RegisterFrame(options.calls);

        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        PrintTable(options);
    } catch (const std::exception& error) {
        std::cerr << "quorvellan-bench: " << error.what() << "\n";
        return 1;
    }
}
