// The controller simulator: a TCP server that answers the library's messages
// like a treadmill controller, with optional faults for testing applications.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio.hpp>
#include <nlohmann/json.hpp>

#include "tools/controller-sim/replay.hpp"
#include "tools/controller-sim/treadmill_model.hpp"

namespace quorvellan::sim {

// Which controller the simulator pretends to be: the one on this machine
// (versions as decimal text) or the one on the network (versions as numbers).
enum class Identity { Local, Remote };

struct Version {
    int major = 1;
    int minor = 3;
    int build = 2;
};

// Misbehaviour on demand. Faults start after `after` normally answered
// messages of each connection (0: from the first one, the handshake).
struct Faults {
    std::chrono::milliseconds delay{0};  // answer late
    bool stall = false;                  // read, never answer
    int closeAfter = 0;                  // close after this many replies (0: never)
    bool garbage = false;                // answer with text that is not JSON
    bool oversize = false;               // answer with more than 2048 bytes
    bool split = false;                  // answer in two writes
    bool wrongName = false;              // answer under a name no client expects
    int after = 0;
};

struct SimulatorOptions {
    std::uint16_t port = 6158;
    std::string bind = "127.0.0.1";
    Identity identity = Identity::Local;
    Version version;
    std::string serial = "SIMULATOR-0001";
    bool locked = false;
    bool log = false;
    bool resetOnConnect = false;  // each new client finds the treadmill at rest
    Faults faults;
    TreadmillLimits limits;
    // Set: answer with this recording's state instead of the model's. Its
    // clock starts with the first message received.
    std::shared_ptr<const Recording> replay;
    bool replayLoop = false;
    double replaySpeed = 1.0;
};

// Applies one message's wishes to the model. Keys of the wrong type are ignored.
void ApplyMessage(TreadmillModel& model, const nlohmann::json& message);

// The reply to every message: the treadmill's state and who answers.
nlohmann::json BuildReply(const TreadmillModel& model, const SimulatorOptions& options);
// The same reply with the state of one frame of a recording.
nlohmann::json BuildReply(const ReplayFrame& frame, const SimulatorOptions& options);

class SimulatorServer {
public:
    // Starts listening at once; raises boost::system::system_error when the
    // address cannot be bound. Log lines go to `log` when options.log is set.
    SimulatorServer(boost::asio::io_context& io, SimulatorOptions options, std::ostream& log);
    ~SimulatorServer();
    SimulatorServer(const SimulatorServer&) = delete;
    SimulatorServer& operator=(const SimulatorServer&) = delete;

    // Where it listens; the first one is the address asked for.
    std::vector<boost::asio::ip::tcp::endpoint> Endpoints() const;

    // Stops accepting and closes every connection; io.run() then returns.
    void Stop();

private:
    class Connection;
    friend class Connection;

    void Listen(const boost::asio::ip::tcp::endpoint& endpoint);
    void Accept(boost::asio::ip::tcp::acceptor& acceptor);
    void ForgetClosedConnections();
    // Advances the model to now, applies the message and returns the reply,
    // distorted as the faults ask when `faulty`.
    std::string Answer(const nlohmann::json& message, bool faulty);
    void LogLine(int connection, const std::string& direction, const std::string& text);
    // The recorded frame for now; the replay's clock starts at the first call.
    const ReplayFrame& ReplayFrameNow();

    boost::asio::io_context& io;
    SimulatorOptions options;
    std::ostream& log;
    TreadmillModel model;
    std::chrono::steady_clock::time_point lastStep;
    std::optional<std::chrono::steady_clock::time_point> replayStart;
    bool replayEndReported = false;
    std::vector<std::unique_ptr<boost::asio::ip::tcp::acceptor>> acceptors;
    std::vector<std::weak_ptr<Connection>> connections;
    int connectionCount = 0;
};

}  // namespace quorvellan::sim
