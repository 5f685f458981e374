// The monitor's web view: one page, built into the program, and a WebSocket
// that pushes every sample to each open page. Read-only: whatever a page
// sends is read and dropped. Boost.Beast on a thread of its own, so that the
// sampling loop only posts each sample and never waits for a client.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include <boost/asio/ip/tcp.hpp>

namespace quorvellan::monitor {

struct WebAddress {
    std::string host = "127.0.0.1";  // loopback unless an address is given
    std::uint16_t port = 0;          // 0: any free port
};

// "[ADDRESS:]PORT" (IPv6 in brackets: "[::1]:8080"); raises
// std::invalid_argument with a message for the user.
WebAddress ParseWebAddress(const std::string& text);

// Whether a request's Host header ("NAME:PORT", IPv6 in brackets; no port
// for 80) names the web view listening at `listener`: that address; on
// loopback also localhost, 127.0.0.1 and [::1]; on every address (0.0.0.0,
// ::) any literal IP address and localhost, but no DNS name. Refusing other
// names defeats DNS rebinding (a site's own name made to point at this
// machine, to read the page as that site).
bool HostNamesListener(std::string_view host, const boost::asio::ip::tcp::endpoint& listener);

// Limits on what a client may send or hold.
struct WebLimits {
    static constexpr std::uint32_t kHeaderBytes = 8 * 1024;  // request line and headers (431 beyond)
    static constexpr std::uint64_t kBodyBytes = 1024;        // a GET has no body (413 beyond)
    static constexpr std::size_t kQueuedSamples = 64;        // per client; the oldest go first
    static constexpr int kSendBufferBytes = 64 * 1024;       // kernel buffer per WebSocket
    static constexpr std::size_t kClients = 256;             // open WebSockets (503 beyond)
    static constexpr std::size_t kRequests = 32;             // open HTTP requests, and a quarter of the
                                                             // descriptors at most (the oldest is closed beyond)
    static constexpr int kRequestSeconds = 10;               // to send a whole request
    static constexpr int kDrainSeconds = 2;                  // to close after an answer
    static constexpr std::chrono::milliseconds kAcceptPause{100};  // after an accept error
};

class WebServer {
public:
    // Listens at once; raises boost::system::system_error when it cannot.
    explicit WebServer(const WebAddress& address);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    boost::asio::ip::tcp::endpoint Endpoint() const;

    // Sends one sample (a JSON text) to every page. Never waits.
    void Publish(std::string sample);

    struct Stats {
        std::uint64_t clients = 0;         // WebSockets opened
        std::uint64_t droppedSamples = 0;  // not sent because a client read too slowly
    };
    Stats Totals() const;

    // Serves GET /metrics with the text `render` returns (Prometheus' format);
    // called on the server's thread. An empty function stops serving it.
    void ServeMetrics(std::function<std::string()> render);

    class State;

private:
    std::unique_ptr<State> state;
    std::thread thread;
};

}  // namespace quorvellan::monitor
