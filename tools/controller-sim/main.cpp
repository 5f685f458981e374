// quorvellan-controller-sim: a treadmill controller on this machine, for
// developing and testing applications without a treadmill.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <iostream>
#include <string>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/signal_set.hpp>

#include "messages/protocol.hpp"
#include "tools/controller-sim/simulator.hpp"

namespace {

using quorvellan::sim::Identity;
using quorvellan::sim::SimulatorOptions;
using quorvellan::sim::Version;

const char* const kUsage = R"(usage: quorvellan-controller-sim [options]

Answers the treadmill library like a controller, with a simulated treadmill.
  --port N            TCP port (default 6158; 0 picks a free one); the library
                      connects to another port when QUORVELLAN_CONTROLLER=HOST:PORT
  --bind ADDRESS      address to listen on (default 127.0.0.1; a loopback
                      address also listens on ::1)
  --identity local|remote
                      answer as the controller on this machine (versions as
                      text) or on the network (versions as numbers); default local
  --version X.Y.Z     version to report (default 1.3.2)
  --serial TEXT       serial number to report (default SIMULATOR-0001)
  --locked            report the treadmill as locked
  --log               print every message received and reply sent
  --reset-on-connect  put the treadmill at rest for every new client
Faults, for testing applications:
  --delay-ms N        answer N ms late
  --stall             read messages, never answer
  --close-after N     close a connection after N replies
  --garbage           answer with text that is not JSON
  --oversize          answer with more than 2048 bytes
  --split             answer in two writes, 10 ms apart
  --wrong-name        answer under a name no client expects
  --fault-after N     answer the first N messages of a connection normally
The treadmill's state (run state, brake, belt speeds, user position) lives as
long as the simulator and is shared by its clients: belts still move after a
client leaves. To start from rest, restart the simulator or use
--reset-on-connect.
Replay:
  --replay FILE       answer with the treadmill state of a recording (made with
                      quorvellan-monitor --record or QUORVELLAN_RECORD): floor
                      speeds, ring, run state, lock and serial number follow
                      the recording in time, from the first message received.
                      Commands received are logged and do NOT change the
                      recorded motion. A bad recording exits with code 2;
                      a line cut short at the end of the file or of a
                      segment (a program that crashed) is skipped with a
                      warning. Segments play one after another.
  --loop              start the recording again after its end (default: its
                      last state stays)
  --speed X           play X times as fast, 0.01 to 100 (default 1)
Prints "listening on ADDRESS:PORT" when ready; SIGINT or SIGTERM stops it.
)";

[[noreturn]] void UsageError(const std::string& problem) {
    std::cerr << "quorvellan-controller-sim: " << problem << "\n\n" << kUsage;
    std::exit(2);
}

double ToSpeed(const std::string& text) {
    try {
        std::size_t used = 0;
        const double value = std::stod(text, &used);
        if (used == text.size() && value >= 0.01 && value <= 100.0) return value;
    } catch (const std::exception&) {
    }
    UsageError("--speed expects a number from 0.01 to 100, not '" + text + "'");
}

[[noreturn]] void RecordingFault(const std::string& path, const std::string& problem) {
    std::cerr << "quorvellan-controller-sim: bad recording " << path << ": " << problem << std::endl;
    std::exit(2);
}

// What keeps a path from being read as a recording, or "" when nothing does.
// A pipe will do (`--replay <(zcat walk.jsonl.gz)`); a device or a folder won't.
std::string PathProblem(const std::string& path) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (error) return error.message();
    if (std::filesystem::is_directory(status)) return "a directory, not a recording file";
    if (!std::filesystem::is_regular_file(status) && !std::filesystem::is_fifo(status))
        return "not a regular file (a device or a socket)";
    return {};
}

// Loads the whole recording first, so a bad one is refused before serving.
std::shared_ptr<const quorvellan::sim::Recording> LoadRecording(const std::string& path) {
    std::string problem = PathProblem(path);
    std::ifstream input;
    if (problem.empty()) {
        input.open(path, std::ios::binary);
        if (!input) problem = std::strerror(errno);
    }
    if (!problem.empty()) {
        std::cerr << "quorvellan-controller-sim: cannot read the recording " << path << ": " << problem << std::endl;
        std::exit(2);
    }
    try {
        auto recording = std::make_shared<const quorvellan::sim::Recording>(quorvellan::sim::Recording::Read(input));
        for (const std::string& skipped : recording->Skipped())
            std::cerr << "quorvellan-controller-sim: warning: recording " << path << ": " << skipped << std::endl;
        return recording;
    } catch (const quorvellan::sim::RecordingError& error) {
        RecordingFault(path, error.what());
    } catch (const std::exception& error) {  // out of memory, say
        RecordingFault(path, error.what());
    }
}

// A reply longer than the library's reply buffer reaches no client: refuse
// the recording rather than serve what no one can read.
void CheckRepliesFit(const SimulatorOptions& options, const std::string& path) {
    for (const quorvellan::sim::ReplayFrame& frame : options.replay->Frames()) {
        const std::size_t length = quorvellan::sim::BuildReply(frame, options).dump().size();
        if (length > quorvellan::protocol::kReplyBufferSize)
            RecordingFault(path, "line " + std::to_string(frame.line) + ": its reply would take " +
                                     std::to_string(length) + " bytes; a client reads at most " +
                                     std::to_string(quorvellan::protocol::kReplyBufferSize) +
                                     " (is the serial number that long?)");
    }
}

int ToInt(const std::string& option, const std::string& text, int minimum, int maximum) {
    try {
        std::size_t used = 0;
        const int value = std::stoi(text, &used);
        if (used == text.size() && value >= minimum && value <= maximum) return value;
    } catch (const std::exception&) {
    }
    UsageError(option + " expects a whole number from " + std::to_string(minimum) + " to " +
               std::to_string(maximum) + ", not '" + text + "'");
}

Version ToVersion(const std::string& text) {
    const std::size_t first = text.find('.');
    const std::size_t second = first == std::string::npos ? first : text.find('.', first + 1);
    if (second == std::string::npos) UsageError("--version expects X.Y.Z, not '" + text + "'");
    const int limit = 1 << 30;
    return {ToInt("--version", text.substr(0, first), 0, limit),
            ToInt("--version", text.substr(first + 1, second - first - 1), 0, limit),
            ToInt("--version", text.substr(second + 1), 0, limit)};
}

std::string ToBindAddress(const std::string& text) {
    boost::system::error_code error;
    if (text != "localhost") boost::asio::ip::make_address(text, error);
    if (error) UsageError("--bind expects an IP address (such as 127.0.0.1 or 0.0.0.0) or localhost, not '" + text + "'");
    return text;
}

// Replies carry the serial as JSON text, which must be UTF-8.
std::string ToSerial(const std::string& text) {
    try {
        (void)nlohmann::json(text).dump();
    } catch (const nlohmann::json::type_error&) {
        UsageError("--serial expects UTF-8 text");
    }
    return text;
}

SimulatorOptions ParseOptions(int argc, char** argv) {
    SimulatorOptions options;
    std::string replayPath;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) UsageError(option + " expects a value");
            return argv[++i];
        };
        if (option == "--help" || option == "-h") {
            std::cout << kUsage;
            std::exit(0);
        } else if (option == "--port") options.port = static_cast<std::uint16_t>(ToInt(option, value(), 0, 65535));
        else if (option == "--bind") options.bind = ToBindAddress(value());
        else if (option == "--identity") {
            const std::string identity = value();
            if (identity != "local" && identity != "remote") UsageError("--identity is local or remote");
            options.identity = identity == "local" ? Identity::Local : Identity::Remote;
        } else if (option == "--version") options.version = ToVersion(value());
        else if (option == "--serial") options.serial = ToSerial(value());
        else if (option == "--locked") options.locked = true;
        else if (option == "--log") options.log = true;
        else if (option == "--reset-on-connect") options.resetOnConnect = true;
        else if (option == "--delay-ms") options.faults.delay = std::chrono::milliseconds(ToInt(option, value(), 0, 600000));
        else if (option == "--stall") options.faults.stall = true;
        else if (option == "--close-after") options.faults.closeAfter = ToInt(option, value(), 1, 1 << 30);
        else if (option == "--garbage") options.faults.garbage = true;
        else if (option == "--oversize") options.faults.oversize = true;
        else if (option == "--split") options.faults.split = true;
        else if (option == "--wrong-name") options.faults.wrongName = true;
        else if (option == "--replay") replayPath = value();
        else if (option == "--loop") options.replayLoop = true;
        else if (option == "--speed") options.replaySpeed = ToSpeed(value());
        else if (option == "--fault-after") options.faults.after = ToInt(option, value(), 0, 1 << 30);
        else UsageError("unknown option " + option);
    }
    // After every option: the replies depend on --identity and --version.
    if (!replayPath.empty()) {
        options.replay = LoadRecording(replayPath);
        CheckRepliesFit(options, replayPath);
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const SimulatorOptions options = ParseOptions(argc, argv);
    boost::asio::io_context io;
    try {
        quorvellan::sim::SimulatorServer server(io, options, std::cout);
        boost::asio::signal_set signals(io, SIGINT, SIGTERM);
        signals.async_wait([&](const boost::system::error_code& error, int) {
            if (!error) server.Stop();
        });
        std::cout << "listening on " << server.Endpoints().front() << std::endl;
        if (options.replay)
            std::cout << "replaying " << options.replay->Frames().size() << " samples, "
                      << options.replay->Duration() << " s" << std::endl;
        io.run();
    } catch (const boost::system::system_error& error) {
        std::cerr << "quorvellan-controller-sim: " << error.what();
        if (error.code() == boost::asio::error::address_in_use)
            std::cerr << " (another simulator, or a controller, already listens there: stop it, or choose another "
                         "port with --port and point the library at it with QUORVELLAN_CONTROLLER=127.0.0.1:PORT)";
        std::cerr << std::endl;
        return 1;
    } catch (const std::exception& error) {
        std::cerr << "quorvellan-controller-sim: " << error.what() << std::endl;
        return 1;
    }
    std::cout << "stopped" << std::endl;
    return 0;
}
