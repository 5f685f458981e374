// quorvellan-monitor: shows a treadmill's state live through the library.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <iostream>
#include <thread>

#include "tools/monitor/metrics.hpp"
#include "tools/monitor/monitor.hpp"
#include "tools/monitor/web_server.hpp"

#include "messages/protocol.hpp"
#include "session/controller_address.hpp"
#include "stream/json_text.hpp"

#if defined(_WIN32)
#include <windows.h>
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

using namespace quorvellan::monitor;
using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t interrupted = 0;

void OnInterrupt(int) { interrupted = 1; }

// Where InitInternal connects, chosen by the library's own rules: --controller
// (handed to the library as the variable), else $QUORVELLAN_CONTROLLER, else the
// default, whose network host is the library's build setting, handed to the
// monitor by its build. For a malformed variable the library connects nowhere.
std::string ControllerAddress(const MonitorOptions& options) {
    if (options.controller) return *options.controller;
    const quorvellan::ControllerAddress fallback{
        options.remote ? QUORVELLAN_MONITOR_REMOTE_HOST : quorvellan::protocol::kLocalHost, quorvellan::protocol::kPort};
    const std::optional<std::string> variable = quorvellan::ControllerAddressVariable();
    const quorvellan::ParsedAddress chosen = quorvellan::ChooseControllerAddress(variable, fallback);
    if (chosen.address) return chosen.address->Text();
    return std::string("nothing: ") + quorvellan::kControllerAddressVariable + "=\"" + *variable +
           "\" is not host[:port]";
}

// The library reads the address from the environment at every connect.
void UseController(const std::string& address) {
#if defined(_WIN32)
    SetEnvironmentVariableA(quorvellan::kControllerAddressVariable, address.c_str());
#else
    setenv(quorvellan::kControllerAddressVariable, address.c_str(), 1);
#endif
}

// Waits for the stream's first connect attempt (at most its 3 s connect and
// one exchange, or until Ctrl-C); returns that attempt's status code.
int FirstStatus(const QuorvellanStream* stream) {
    QuorvellanStreamSample sample;
    for (;;) {
        QuorvellanStreamLatest(stream, &sample);
        if (sample.lastStatus != -1 || interrupted) return sample.lastStatus;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Each line goes out in one write: the stream's thread reports connects and the
// library prints its "Error:" lines while the main thread prints samples.
void PrintLine(const std::string& line) { std::cout << (line + "\n") << std::flush; }

// Prints the outcome of a connect (InitInternal, on the stream's thread).
void Report(const MonitorOptions& options, const char* what, int status) {
    const int result = status == QUORVELLAN_STATUS_CONNECTED ? 1 : -1;
    if (options.json) {
        nlohmann::json event{{"event", what}, {"result", result}, {"status", status},
                             {"statusText", StatusWords(status)}};
        if (result != 1) event["tried"] = ControllerAddress(options);
        PrintLine(quorvellan::stream::JsonText(event));
    } else {
        std::string line = std::string("InitInternal ") + (result == 1 ? "succeeded" : "failed") + " (status " +
                           std::to_string(status) + "): " + StatusWords(status);
        if (result != 1) line += " (tried " + ControllerAddress(options) + ")";
        PrintLine(line);
    }
}

// Given again after every reconnect: the stream drops on/off commands given
// while disconnected, so nothing stale is sent.
void SendWishes(QuorvellanStream* stream, const MonitorOptions& options) {
    if (options.manual) QuorvellanStreamSetManualSpeeds(stream, options.manual->x, options.manual->y);
    if (options.enable) QuorvellanStreamSetRunState(stream, 1);
    if (options.brake) QuorvellanStreamSetBrake(stream, 1);
}

// The stream's recording thread opens the file: waits for the outcome (an open
// that fails does so at once; one a stalled file system holds is given 2 s).
bool Recording(const QuorvellanStream* stream) {
    const auto until = Clock::now() + std::chrono::seconds(2);
    QuorvellanStreamRecordingStatus status;
    for (QuorvellanStreamRecording(stream, &status); status.recording == 0 && status.lastError == 0 && Clock::now() < until;
         QuorvellanStreamRecording(stream, &status)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status.recording != 0;
}

class Display {
public:
    explicit Display(const MonitorOptions& options)
        : json(options.json), terminal(!options.json && isatty(fileno(stdout))) {}

    void Show(const Sample& sample) {
        if (json) {
            PrintLine(quorvellan::stream::JsonText(SampleJson(sample)));
        } else if (terminal) {
            // Move back over the previous view and redraw it.
            if (shownLines > 0) std::cout << "\x1b[" << shownLines << "F\x1b[J";
            const std::string view = StatusView(sample);
            std::cout << view << std::flush;
            shownLines = static_cast<int>(std::count(view.begin(), view.end(), '\n'));
        } else {
            PrintLine(SampleLine(sample));
        }
    }

private:
    bool json;
    bool terminal;
    int shownLines = 0;
};

struct Totals {
    int samples = 0;
    int reconnects = 0;
};

// Follows the stream's connection: reports the first connect's outcome and
// each reconnect once, and gives the wishes again after every connection made.
class ConnectionReports {
public:
    // `connected`: the first connect was made, reported and given the wishes already.
    ConnectionReports(QuorvellanStream* stream, const MonitorOptions& options, bool connected)
        : stream(stream), options(options), connectedOnce(connected) {}

    // Returns the reconnects seen in this sample.
    int Follow(const QuorvellanStreamSample& streamed) {
        const int status = streamed.lastStatus;
        if (connectedOnce) return FollowReconnects(streamed);
        // The first attempt's outcome; after a failure, only the success.
        if (status != -1 && (!failureReported || status == QUORVELLAN_STATUS_CONNECTED)) {
            Report(options, "init", status);
            failureReported = status != QUORVELLAN_STATUS_CONNECTED;
        }
        if (status != QUORVELLAN_STATUS_CONNECTED) return 0;
        connectedOnce = true;
        reconnectsSeen = streamed.reconnects;
        SendWishes(stream, options);
        return 0;
    }

private:
    int FollowReconnects(const QuorvellanStreamSample& streamed) {
        int reconnects = 0;
        for (; reconnectsSeen < streamed.reconnects; ++reconnectsSeen) {
            ++reconnects;
            Report(options, "reconnect", streamed.lastStatus);
            SendWishes(stream, options);
        }
        return reconnects;
    }

    QuorvellanStream* stream;
    const MonitorOptions& options;
    bool connectedOnce;
    bool failureReported = false;
    std::uint64_t reconnectsSeen = 0;
};

// Samples at the chosen rate until the time is up or Ctrl-C. The stream
// connects and reconnects in the background.
Totals SampleUntilDone(QuorvellanStream* stream, const MonitorOptions& options, WebServer* web, bool connected) {
    Display display(options);
    ScriptedWalk walker;
    FloorSpeeds lastFloor{};
    Totals totals;
    ConnectionReports connection(stream, options, connected);
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / options.rate));
    const auto start = Clock::now();
    double previous = 0.0;
    for (auto next = start; !interrupted;) {
        const double now = std::chrono::duration<double>(Clock::now() - start).count();
        if (options.seconds && now > *options.seconds) break;
        std::optional<Point> user;
        if (options.walk) {
            walker.Step(now, now - previous, lastFloor);
            const Rotation facing = walker.Facing();
            QuorvellanStreamSetUserPosition(stream, walker.Position().x, walker.Position().y);
            QuorvellanStreamSetUserRotation(stream, facing.w, facing.x, facing.y, facing.z);
            user = walker.Position();
        }
        previous = now;
        QuorvellanStreamSample streamed;
        QuorvellanStreamLatest(stream, &streamed);
        totals.reconnects += connection.Follow(streamed);
        Sample sample = FromStream(streamed, now);
        sample.user = user;
        lastFloor = sample.floor;
        display.Show(sample);
        if (web) web->Publish(quorvellan::stream::JsonText(WebSampleJson(sample, streamed, options.rate)));
        ++totals.samples;
        // After a slow sample, go on from now rather than catch up.
        next = std::max(next + period, Clock::now());
        std::this_thread::sleep_until(next);
    }
    return totals;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (std::find(arguments.begin(), arguments.end(), "--help") != arguments.end()) {
        std::cout << kUsage;
        return 0;
    }
    MonitorOptions options;
    try {
        options = ParseOptions(arguments);
    } catch (const std::invalid_argument& error) {
        std::cerr << "quorvellan-monitor: " << error.what() << "\n\n" << kUsage;
        return 2;
    }
    if (options.controller) UseController(*options.controller);
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);

    QuorvellanStreamOptions streamOptions;
    QuorvellanStreamDefaultOptions(&streamOptions);
    streamOptions.local = options.remote ? 0 : 1;
    streamOptions.pollRateHz = std::max(options.rate, 50.0);
    std::unique_ptr<WebServer> web;
    if (options.web) {
        try {
            web = std::make_unique<WebServer>(ParseWebAddress(*options.web));
        } catch (const std::exception& error) {
            std::cerr << "quorvellan-monitor: cannot serve the web view at " << *options.web << ": " << error.what()
                      << "\n";
            return 1;
        }
        const auto endpoint = web->Endpoint();
        std::cout << "web view: http://" << (endpoint.address().is_v6() ? "[" : "") << endpoint.address().to_string()
                  << (endpoint.address().is_v6() ? "]" : "") << ":" << endpoint.port() << "/" << std::endl;
    }
    QuorvellanStream* stream = nullptr;
    const int started =
        QuorvellanStreamStartRecording(&streamOptions, options.record.empty() ? nullptr : options.record.c_str(), &stream);
    if (started != QUORVELLAN_STREAM_OK) {
        std::cerr << "quorvellan-monitor: " << QuorvellanStreamErrorText(started) << "\n";
        return 1;
    }
    if (!options.record.empty() && !Recording(stream)) {
        std::cerr << "quorvellan-monitor: cannot write the recording " << options.record << "\n";
        QuorvellanStreamStop(stream);
        return 1;
    }
    // Served from the start, so a scrape shows "connecting" rather than nothing.
    auto metrics = std::make_shared<StreamMetrics>(stream, streamOptions.pollRateHz);
    if (web) web->ServeMetrics([metrics] { return metrics->Render(); });
    // Without a page to show "connecting", a first connect that fails ends the
    // program; with one, the monitor serves at once and follows the controller
    // whenever it answers.
    if (!web) {
        const int status = FirstStatus(stream);
        if (status != QUORVELLAN_STATUS_CONNECTED) {
            if (status != -1) Report(options, "init", status);
            metrics->Detach();
            QuorvellanStreamStop(stream);
            return 1;
        }
        Report(options, "init", status);
        SendWishes(stream, options);
    }
    const Totals totals = SampleUntilDone(stream, options, web.get(), !web);
    metrics->Detach();
    QuorvellanStreamRecordingStatus recording;
    QuorvellanStreamRecording(stream, &recording);
    QuorvellanStreamStop(stream);  // ends with DeInitInternal
    if (recording.linesLost > 0)
        std::cerr << "quorvellan-monitor: " << recording.linesLost << " lines of the recording could not be written: "
                  << std::strerror(recording.lastError) << "\n";
    if (web) {
        const WebServer::Stats stats = web->Totals();
        if (options.json)
            std::cout << nlohmann::json{{"event", "web"}, {"clients", stats.clients}, {"droppedSamples", stats.droppedSamples}}
                      << std::endl;
        else
            std::cout << "web view: " << stats.clients << " pages served, " << stats.droppedSamples
                      << " samples dropped for pages that read too slowly" << std::endl;
    }

    if (options.json)
        std::cout << nlohmann::json{{"event", "end"}, {"samples", totals.samples}, {"reconnects", totals.reconnects}}
                  << std::endl;
    else
        std::cout << totals.samples << " samples, " << totals.reconnects << " reconnects"
                  << (interrupted ? ", interrupted" : "") << std::endl;
    return 0;
}
