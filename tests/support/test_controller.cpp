#include "tests/support/test_controller.hpp"

namespace quorvellan::testing {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

class TestController::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(TestController& owner, tcp::socket socket)
        : owner(owner), socket(std::move(socket)), timer(this->socket.get_executor()) {}

    void Start() { Read(); }
    void Close() {
        error_code ignored;
        socket.close(ignored);
        timer.cancel();
    }

private:
    void Read() {
        auto self = shared_from_this();
        socket.async_read_some(asio::buffer(buffer), [this, self](error_code ec, std::size_t n) {
            if (ec == asio::error::eof) owner.PeerClosed();
            if (ec) return;
            pending.append(buffer.data(), n);
            for (std::string& message : SplitMessages(pending)) replies.push_back(owner.NextResponse(message));
            AnswerNext();
        });
    }

    // Answers queued messages one by one, then reads again.
    void AnswerNext() {
        if (replies.empty()) return Read();
        Response response = std::move(replies.front());
        replies.pop_front();
        if (response.silent) return Read();
        auto self = shared_from_this();
        timer.expires_after(response.delay);
        timer.async_wait([this, self, response](error_code ec) {
            if (ec) return;
            Answer(response);
        });
    }

    void Answer(const Response& response) {
        if (response.reset) {
            socket.set_option(asio::socket_base::linger(true, 0));
            return Close();
        }
        if (response.close) return Close();
        std::vector<std::string> pieces;
        std::size_t from = 0;
        for (std::size_t at : response.splitAt) {
            pieces.push_back(response.text.substr(from, at - from));
            from = at;
        }
        pieces.push_back(response.text.substr(from));
        if (!response.stray.empty()) pieces.push_back(response.stray);
        WritePieces(std::move(pieces), 0, response);
    }

    void WritePieces(std::vector<std::string> pieces, std::size_t index, Response response) {
        auto self = shared_from_this();
        auto piece = std::make_shared<std::string>(pieces[index]);
        asio::async_write(socket, asio::buffer(*piece),
                          [this, self, piece, pieces = std::move(pieces), index, response](error_code ec, std::size_t) {
                              if (ec) return;
                              if (index + 1 < pieces.size()) {
                                  const bool strayNext = !response.stray.empty() && index + 2 == pieces.size();
                                  timer.expires_after(strayNext ? response.strayGap : response.pieceGap);
                                  timer.async_wait([this, self, pieces, index, response](error_code waitError) {
                                      if (!waitError) WritePieces(pieces, index + 1, response);
                                  });
                                  return;
                              }
                              if (response.closeAfterReply) return Close();
                              AnswerNext();
                          });
    }

    TestController& owner;
    tcp::socket socket;
    asio::steady_timer timer;
    std::array<char, 8192> buffer{};
    std::string pending;
    std::deque<Response> replies;
};

std::uint16_t FreeLoopbackPort() {
    asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    return acceptor.local_endpoint().port();
}

TestController::TestController(std::uint16_t port) {
    for (const char* address : {"127.0.0.1", "::1"}) {
        error_code ec;
        auto acceptor = std::make_unique<tcp::acceptor>(io);
        tcp::endpoint endpoint(asio::ip::make_address(address), port);
        acceptor->open(endpoint.protocol(), ec);
        if (ec) continue;
        acceptor->set_option(asio::socket_base::reuse_address(true));
        if (endpoint.address().is_v6()) acceptor->set_option(asio::ip::v6_only(true), ec);
        acceptor->bind(endpoint, ec);
        if (ec) continue;  // no IPv6 loopback on this machine
        acceptor->listen(asio::socket_base::max_listen_connections, ec);
        if (ec) continue;
        Accept(*acceptor);
        acceptors.push_back(std::move(acceptor));
    }
    if (acceptors.empty()) throw std::runtime_error("test controller: cannot listen on port " + std::to_string(port));
    thread = std::thread([this] { io.run(); });
}

TestController::~TestController() { Stop(); }

void TestController::Stop() {
    if (!thread.joinable()) return;
    io.stop();
    thread.join();
    // The service thread has ended: closing from here is safe.
    for (auto& acceptor : acceptors) {
        error_code ignored;
        acceptor->close(ignored);
    }
    for (auto& connection : connections) connection->Close();
    connections.clear();
}

void TestController::Accept(tcp::acceptor& acceptor) {
    acceptor.async_accept([this, &acceptor](error_code ec, tcp::socket socket) {
        if (ec) return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++connectionCount;
        }
        auto connection = std::make_shared<Connection>(*this, std::move(socket));
        connections.push_back(connection);
        connection->Start();
        Accept(acceptor);
    });
}

Response TestController::NextResponse(const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex);
    messages.push_back(message);
    messageArrived.notify_all();
    if (queued.empty()) return responder ? responder(message) : fallback;
    Response next = std::move(queued.front());
    queued.pop_front();
    return next;
}

void TestController::SetDefault(Response response) {
    std::lock_guard<std::mutex> lock(mutex);
    fallback = std::move(response);
}

void TestController::SetResponder(Responder chooser) {
    std::lock_guard<std::mutex> lock(mutex);
    responder = std::move(chooser);
}

void TestController::Queue(Response response) {
    std::lock_guard<std::mutex> lock(mutex);
    queued.push_back(std::move(response));
}

std::vector<std::string> TestController::Messages() const {
    std::lock_guard<std::mutex> lock(mutex);
    return messages;
}

std::size_t TestController::MessageCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return messages.size();
}

bool TestController::WaitForMessages(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex);
    return messageArrived.wait_for(lock, timeout, [&] { return messages.size() >= count; });
}

std::size_t TestController::ConnectionCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return connectionCount;
}

void TestController::PeerClosed() {
    std::lock_guard<std::mutex> lock(mutex);
    ++closedByPeer;
    messageArrived.notify_all();
}

std::size_t TestController::ClosedByPeerCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return closedByPeer;
}

bool TestController::WaitForPeerCloses(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex);
    return messageArrived.wait_for(lock, timeout, [&] { return closedByPeer >= count; });
}

namespace {

std::string HandshakeReply(const std::string& name, const std::string& major, const std::string& minor,
                           const std::string& build) {
    return R"({"sender":{"name":")" + name + R"(","version":{"major":)" + major + R"(,"minor":)" + minor +
           R"(,"build":)" + build + "}}}";
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

std::string LocalHandshakeReply(const std::string& major, const std::string& minor, const std::string& build,
                                const std::string& name) {
    return HandshakeReply(name, Quoted(major), Quoted(minor), Quoted(build));
}

std::string RemoteHandshakeReply(const std::string& major, const std::string& minor, const std::string& build,
                                 const std::string& name) {
    return HandshakeReply(name, major, minor, build);
}

std::string FullHeaderMessage() {
    return R"({"sender":{"name":"QUORVELLAN CONTROLLER API","version":{"build":0,"major":1,"minor":3}}})";
}

std::string ShortHeaderMessage() {
    return R"({"sender":{"name":"QUORVELLAN CONTROLLER API","version":{"major":1,"minor":3}}})";
}

std::vector<std::string> SplitMessages(std::string& pending) {
    std::vector<std::string> complete;
    int depth = 0;
    bool inString = false, escaped = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < pending.size(); ++i) {
        char c = pending[i];
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
            continue;
        }
        if (c == '"') inString = true;
        else if (c == '{' || c == '[') ++depth;
        else if ((c == '}' || c == ']') && --depth == 0) {
            complete.push_back(pending.substr(start, i + 1 - start));
            start = i + 1;
        }
    }
    pending.erase(0, start);
    return complete;
}

}  // namespace quorvellan::testing
