// A scripted controller for the tests: a real TCP server on port 6158 of this
// machine (IPv4 and IPv6 loopback), on its own thread and I/O service. Each
// message the library sends is recorded byte for byte and answered by the next
// queued Response, or by the default one.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>

namespace quorvellan::testing {

struct Response {
    std::string text;                        // written in one piece unless split
    std::chrono::milliseconds delay{0};      // wait before answering
    bool silent = false;                     // never answer this message
    bool close = false;                      // close the connection instead of answering
    bool reset = false;                      // abort the connection (RST) instead of answering
    std::vector<std::size_t> splitAt;        // write the text in pieces at these offsets
    std::chrono::milliseconds pieceGap{5};   // pause between pieces
    bool closeAfterReply = false;            // close once the reply is written
    std::string stray;                       // written after the reply, in a segment of its own
    std::chrono::milliseconds strayGap{1};   // pause before the stray bytes
};

// A plain reply, written at once in one piece.
inline Response Reply(std::string text) {
    Response response;
    response.text = std::move(text);
    return response;
}

// A loopback port free now (the system's choice), for a process that needs
// one fixed address for several controllers in turn: the cases of a Wine run
// share one network, so a port fixed in the source would be taken by a case
// running beside.
std::uint16_t FreeLoopbackPort();

class TestController {
public:
    explicit TestController(std::uint16_t port = 6158);
    ~TestController();
    TestController(const TestController&) = delete;
    TestController& operator=(const TestController&) = delete;

    // Answer used when the queue is empty.
    void SetDefault(Response response);
    void SetDefaultReply(std::string text) { SetDefault(Reply(std::move(text))); }
    // Answers used in order, one per message.
    void Queue(Response response);
    void QueueReply(std::string text) { Queue(Reply(std::move(text))); }
    // Chooses the answer from the message itself; used when the queue is
    // empty, instead of the default answer. Runs on the controller's thread.
    using Responder = std::function<Response(const std::string& message)>;
    void SetResponder(Responder responder);

    // Every message received so far, in order, across connections.
    std::vector<std::string> Messages() const;
    std::size_t MessageCount() const;
    // Waits until at least `count` messages have arrived; false on timeout.
    bool WaitForMessages(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(2)) const;
    std::size_t ConnectionCount() const;
    // Connections the library has closed (the controller read end of file).
    std::size_t ClosedByPeerCount() const;
    bool WaitForPeerCloses(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(2)) const;

    // Stops accepting and closes every connection (the port is free afterwards).
    void Stop();

private:
    class Connection;
    void Accept(boost::asio::ip::tcp::acceptor& acceptor);
    Response NextResponse(const std::string& message);
    void PeerClosed();

    boost::asio::io_context io;
    std::vector<std::unique_ptr<boost::asio::ip::tcp::acceptor>> acceptors;
    std::vector<std::shared_ptr<Connection>> connections;
    mutable std::mutex mutex;
    mutable std::condition_variable messageArrived;
    std::vector<std::string> messages;
    std::deque<Response> queued;
    Response fallback;
    Responder responder;
    std::size_t connectionCount = 0;
    std::size_t closedByPeer = 0;
    std::thread thread;
};

// Replies to the handshake. Local controllers send versions as decimal text,
// remote ones as numbers.
std::string LocalHandshakeReply(const std::string& major = "1", const std::string& minor = "1",
                                const std::string& build = "1",
                                const std::string& name = "QUORVELLAN CONTROLLER INTERFACE");
std::string RemoteHandshakeReply(const std::string& major = "1", const std::string& minor = "2",
                                 const std::string& build = "2",
                                 const std::string& name = "QUORVELLAN CONTROLLER");

// The exact bytes the library sends.
std::string FullHeaderMessage();   // first message of a connection
std::string ShortHeaderMessage();  // every later message, nothing queued

// Splits a byte stream into complete JSON objects; leaves an incomplete tail
// in `pending`.
std::vector<std::string> SplitMessages(std::string& pending);

}  // namespace quorvellan::testing
