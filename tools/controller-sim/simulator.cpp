#include "tools/controller-sim/simulator.hpp"

#include <algorithm>
#include <array>
#include <deque>
#include <optional>
#include <ostream>
#include <sstream>

#include "tools/controller-sim/message_stream.hpp"

namespace quorvellan::sim {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;
using nlohmann::json;

namespace {

constexpr const char* kLocalName = "QUORVELLAN CONTROLLER INTERFACE";
constexpr const char* kRemoteName = "QUORVELLAN CONTROLLER";
constexpr const char* kWrongName = "QUORVELLAN CONTROLLER SIMULATOR";
constexpr const char* kGarbage = "<garbage> this reply is not JSON";
// The library reads at most 2048 bytes of a reply.
constexpr std::size_t kOversizeLength = 3000;
constexpr std::chrono::milliseconds kSplitGap{10};

std::optional<double> NumberAt(const json& message, const char* key) {
    auto found = message.find(key);
    if (found == message.end() || !found->is_number()) return std::nullopt;
    return found->get<double>();
}

std::optional<bool> BoolAt(const json& message, const char* key) {
    auto found = message.find(key);
    if (found == message.end() || !found->is_boolean()) return std::nullopt;
    return found->get<bool>();
}

json VersionObject(const Version& version, Identity identity) {
    if (identity == Identity::Remote)
        return {{"major", version.major}, {"minor", version.minor}, {"build", version.build}};
    return {{"major", std::to_string(version.major)},
            {"minor", std::to_string(version.minor)},
            {"build", std::to_string(version.build)}};
}

std::string Oversized(json reply) {
    const std::size_t length = reply.dump().size();
    // The padding member's own key and quotes take a few bytes more.
    reply["padding"] = std::string(kOversizeLength > length ? kOversizeLength - length : 0, '.');
    return reply.dump();
}

std::string ToText(const tcp::endpoint& endpoint) {
    std::ostringstream text;
    text << endpoint;
    return text.str();
}

bool IsLoopback(const std::string& bind) {
    if (bind == "localhost") return true;
    error_code error;
    asio::ip::address address = asio::ip::make_address(bind, error);
    return !error && address.is_loopback();
}

// Any key besides "sender" asks the controller to do something.
bool HasCommand(const json& message) {
    if (!message.is_object()) return false;
    for (const auto& item : message.items())
        if (item.key() != "sender") return true;
    return false;
}

}  // namespace

void ApplyMessage(TreadmillModel& model, const json& message) {
    if (!message.is_object()) return;
    if (auto enabled = BoolAt(message, "enabled")) model.SetEnabled(*enabled);
    if (auto brake = BoolAt(message, "brake")) model.SetBrake(*brake);
    model.SetManualSpeeds(NumberAt(message, "manualXSpeed"), NumberAt(message, "manualYSpeed"));
    model.SetUserPosition(NumberAt(message, "user position x"), NumberAt(message, "user position y"));
    auto w = NumberAt(message, "user rotation w"), x = NumberAt(message, "user rotation x"),
         y = NumberAt(message, "user rotation y"), z = NumberAt(message, "user rotation z");
    if (w && x && y && z) model.SetUserRotation({*w, *x, *y, *z});
}

json BuildReply(const TreadmillModel& model, const SimulatorOptions& options) {
    ReplayFrame state;
    state.floorSpeed = model.FloorSpeed();
    state.ring[0] = model.RingPosition().x;
    state.ring[1] = model.RingPosition().y;
    state.enabled = model.Enabled();
    state.locked = model.Locked();
    state.brake = model.Braked();
    state.serial = options.serial;
    return BuildReply(state, options);
}

json BuildReply(const ReplayFrame& state, const SimulatorOptions& options) {
    const char* name = options.identity == Identity::Local ? kLocalName : kRemoteName;
    return {
        {"brake", state.brake},
        {"enabled", state.enabled},
        {"floorSpeed", {{"x", state.floorSpeed.x}, {"y", state.floorSpeed.y}}},
        {"locked", state.locked},
        {"ringPosition", {{"x", state.ring[0]}, {"y", state.ring[1]}, {"z", state.ring[2]}}},
        {"sender",
         {{"name", name},
          {"version", VersionObject(options.version, options.identity)},
          {"treadmill", {{"serial number", state.serial}}}}},
    };
}

// One client. Messages are answered in order, one reply each; reading goes on
// while a reply is delayed or being written.
class SimulatorServer::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(SimulatorServer& server, tcp::socket socket, int id)
        : server(server), socket(std::move(socket)), timer(server.io), id(id) {}

    void Start() { Read(); }

    void Close() {
        error_code ignored;
        socket.close(ignored);
        timer.cancel();
    }

private:
    const Faults& faults() const { return server.options.faults; }
    bool Faulty() const { return answered >= faults().after; }

    void Read() {
        socket.async_read_some(asio::buffer(buffer), [self = shared_from_this()](error_code error, std::size_t bytes) {
            self->OnRead(error, bytes);
        });
    }

    void OnRead(error_code error, std::size_t bytes) {
        if (error) {
            if (error != asio::error::operation_aborted) server.LogLine(id, "--", "closed by the client");
            Close();
            return;
        }
        for (std::string& message : stream.Append({buffer.data(), bytes})) inbox.push_back(std::move(message));
        if (stream.Overflowed()) {
            server.LogLine(id, "--", "closing: no complete message in 64 KiB");
            Close();
            return;
        }
        AnswerNext();
        Read();
    }

    void AnswerNext() {
        while (!answering && !inbox.empty()) {
            const std::string message = std::move(inbox.front());
            inbox.pop_front();
            server.LogLine(id, "<-", message);
            std::string reply = server.Answer(json::parse(message, nullptr, false), Faulty());
            if (Faulty() && faults().stall) {
                server.LogLine(id, "--", "stalled: no reply");
                continue;
            }
            answering = true;
            DelayThenSend(std::move(reply));
        }
    }

    void DelayThenSend(std::string reply) {
        outgoing = std::move(reply);
        if (!Faulty() || faults().delay.count() == 0) return Send();
        timer.expires_after(faults().delay);
        timer.async_wait([self = shared_from_this()](error_code error) {
            if (!error) self->Send();
        });
    }

    void Send() {
        if (Faulty() && faults().split) return SendSplit();
        asio::async_write(socket, asio::buffer(outgoing), [self = shared_from_this()](error_code error, std::size_t) {
            self->OnSent(error);
        });
    }

    // Two writes with a pause between them, so the reply arrives in two pieces.
    void SendSplit() {
        const std::size_t half = outgoing.size() / 2;
        auto self = shared_from_this();
        asio::async_write(socket, asio::buffer(outgoing.data(), half), [self, half](error_code error, std::size_t) {
            if (error) return self->OnSent(error);
            self->timer.expires_after(kSplitGap);
            self->timer.async_wait([self, half](error_code error) {
                if (error) return;
                asio::async_write(self->socket, asio::buffer(self->outgoing.data() + half, self->outgoing.size() - half),
                                  [self](error_code error, std::size_t) { self->OnSent(error); });
            });
        });
    }

    void OnSent(error_code error) {
        if (error) return Close();
        server.LogLine(id, "->", outgoing);
        ++answered;
        if (faults().closeAfter > 0 && answered >= faults().closeAfter) {
            server.LogLine(id, "--", "closing after " + std::to_string(answered) + " replies");
            return Close();
        }
        answering = false;
        AnswerNext();
    }

    SimulatorServer& server;
    tcp::socket socket;
    asio::steady_timer timer;
    const int id;
    std::array<char, 4096> buffer{};
    MessageStream stream;
    std::deque<std::string> inbox;
    std::string outgoing;
    bool answering = false;
    int answered = 0;
};

SimulatorServer::SimulatorServer(asio::io_context& io, SimulatorOptions options, std::ostream& log)
    : io(io),
      options(std::move(options)),
      log(log),
      model(this->options.limits, this->options.locked),
      lastStep(std::chrono::steady_clock::now()) {
    const bool loopback = IsLoopback(this->options.bind);
    const asio::ip::address first =
        this->options.bind == "localhost" ? asio::ip::address(asio::ip::address_v4::loopback())
                                          : asio::ip::make_address(this->options.bind);
    Listen({first, this->options.port});
    // The library resolves "localhost" and may try ::1 first.
    if (loopback && first.is_v4()) {
        try {
            Listen({asio::ip::address_v6::loopback(), Endpoints().front().port()});
        } catch (const boost::system::system_error&) {
            // No IPv6 on this machine: IPv4 alone serves.
        }
    }
}

SimulatorServer::~SimulatorServer() { Stop(); }

void SimulatorServer::Listen(const tcp::endpoint& endpoint) {
    auto acceptor = std::make_unique<tcp::acceptor>(io);
    acceptor->open(endpoint.protocol());
    acceptor->set_option(asio::socket_base::reuse_address(true));
    if (endpoint.address().is_v6()) acceptor->set_option(asio::ip::v6_only(true));
    error_code error;
    acceptor->bind(endpoint, error);
    if (error) throw boost::system::system_error(error, "cannot listen on " + ToText(endpoint));
    acceptor->listen();
    Accept(*acceptor);
    acceptors.push_back(std::move(acceptor));
}

void SimulatorServer::Accept(tcp::acceptor& acceptor) {
    acceptor.async_accept([this, &acceptor](error_code error, tcp::socket socket) {
        if (error == asio::error::operation_aborted || !acceptor.is_open()) return;
        if (!error) {
            const int id = ++connectionCount;
            error_code ignored;
            LogLine(id, "--", "connected from " + ToText(socket.remote_endpoint(ignored)));
            if (options.resetOnConnect) {
                model = TreadmillModel(options.limits, options.locked);
                lastStep = std::chrono::steady_clock::now();
            }
            ForgetClosedConnections();
            auto connection = std::make_shared<Connection>(*this, std::move(socket), id);
            connections.push_back(connection);
            connection->Start();
        }
        Accept(acceptor);
    });
}

void SimulatorServer::ForgetClosedConnections() {
    connections.erase(std::remove_if(connections.begin(), connections.end(),
                                     [](const std::weak_ptr<Connection>& weak) { return weak.expired(); }),
                      connections.end());
}

std::vector<tcp::endpoint> SimulatorServer::Endpoints() const {
    std::vector<tcp::endpoint> endpoints;
    for (const auto& acceptor : acceptors) endpoints.push_back(acceptor->local_endpoint());
    return endpoints;
}

void SimulatorServer::Stop() {
    for (auto& acceptor : acceptors) {
        error_code ignored;
        acceptor->close(ignored);
    }
    for (auto& weak : connections)
        if (auto connection = weak.lock()) connection->Close();
    connections.clear();
}

std::string SimulatorServer::Answer(const json& message, bool faulty) {
    json reply;
    if (options.replay) {
        // The recording's motion is fixed: commands are shown, not applied.
        if (HasCommand(message)) log << "replay: command not applied: " << message.dump() << std::endl;
        reply = BuildReply(ReplayFrameNow(), options);
    } else {
        const auto now = std::chrono::steady_clock::now();
        model.Step(std::chrono::duration<double>(now - lastStep).count());
        lastStep = now;
        ApplyMessage(model, message);
        reply = BuildReply(model, options);
    }
    if (!faulty) return reply.dump();
    if (options.faults.garbage) return kGarbage;
    if (options.faults.wrongName) reply["sender"]["name"] = kWrongName;
    if (options.faults.oversize) return Oversized(std::move(reply));
    return reply.dump();
}

const ReplayFrame& SimulatorServer::ReplayFrameNow() {
    const auto now = std::chrono::steady_clock::now();
    if (!replayStart) replayStart = now;
    const double seconds = std::chrono::duration<double>(now - *replayStart).count() * options.replaySpeed;
    if (!options.replayLoop && seconds > options.replay->Duration() && !replayEndReported) {
        replayEndReported = true;
        log << "replay: the recording has ended; its last state stays" << std::endl;
    }
    return options.replay->At(seconds, options.replayLoop);
}

void SimulatorServer::LogLine(int connection, const std::string& direction, const std::string& text) {
    if (!options.log) return;
    log << '[' << connection << "] " << direction << ' ' << text << std::endl;
}

}  // namespace quorvellan::sim
