#include "tools/monitor/web_server.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <deque>
#include <list>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "tools/monitor/metrics.hpp"
#include "tools/monitor/web_assets.hpp"

namespace quorvellan::monitor {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using asio::ip::tcp;
using beast::error_code;

namespace {

constexpr const char* kSamplesPath = "/samples";
constexpr const char* kMetricsPath = "/metrics";
constexpr const char* kServerName = "quorvellan-monitor";
constexpr std::size_t kWebSocketKeyLength = 24;

// What a request asks for, without its query: a scrape's `params:` or a
// page's cache-buster select nothing here.
beast::string_view PathOf(beast::string_view target) { return target.substr(0, target.find('?')); }

const web::Asset* FindAsset(beast::string_view path) {
    for (const web::Asset& asset : web::kAssets)
        if (path == asset.path) return &asset;
    return nullptr;
}

http::response<http::string_body> TextResponse(http::status status, const std::string& text) {
    http::response<http::string_body> response{status, 11};
    response.set(http::field::server, kServerName);
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    response.keep_alive(false);
    response.body() = text + "\n";
    response.prepare_payload();
    return response;
}

// "NAME[:PORT]" of a Host header, an IPv6 address in brackets; the port is
// left out only for port 80.
struct HostName {
    std::string name;
    std::string port = "80";
};

std::optional<HostName> SplitHost(beast::string_view host) {
    HostName split;
    std::size_t end = host.rfind(':');
    if (!host.empty() && host.front() == '[') {
        const std::size_t bracket = host.find(']');
        if (bracket == beast::string_view::npos) return std::nullopt;
        split.name = std::string(host.substr(1, bracket - 1));
        end = bracket + 1 < host.size() ? bracket + 1 : beast::string_view::npos;
        if (end != beast::string_view::npos && host[end] != ':') return std::nullopt;
        if (split.name.find(':') == std::string::npos) return std::nullopt;  // brackets hold IPv6 only
    } else {
        split.name = std::string(host.substr(0, end));
        error_code error;
        const asio::ip::address address = asio::ip::make_address(split.name, error);
        if (!error && address.is_v6()) return std::nullopt;  // IPv6 without brackets
    }
    if (end != beast::string_view::npos) split.port = std::string(host.substr(end + 1));
    return split;
}

// A page's WebSocket must come from the page itself, not from a page of
// another site open in the same browser. Browsers always send Origin with a
// WebSocket; a program without one (a script, a test) is let through.
bool FromOwnPage(const http::request<http::string_body>& request) {
    const auto origin = request.find(http::field::origin);
    if (origin == request.end()) return true;
    return beast::iequals(origin->value(), "http://" + std::string(request[http::field::host]));
}

// The WebSocket's byte stream: the connection, serving first the bytes that
// came with the upgrade request (read along with it, and a client may send
// its first frame, or its close, in the same write).
class UpgradedStream : public beast::buffered_read_stream<beast::tcp_stream, beast::flat_buffer> {
public:
    using buffered_read_stream::buffered_read_stream;
};

// Closing the WebSocket closes the connection beneath (the WebSocket finds
// this through argument-dependent lookup).
template <class TeardownHandler>
void async_teardown(beast::role_type role, UpgradedStream& stream, TeardownHandler&& handler) {
    websocket::async_teardown(role, stream.next_layer().socket(), std::forward<TeardownHandler>(handler));
}

// HTTP requests may hold a quarter of the process's descriptors at most, so
// that idle connections leave the stream, its recording and the pages'
// WebSockets theirs.
std::size_t RequestLimit() {
#ifndef _WIN32
    rlimit descriptors{};
    if (getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur != RLIM_INFINITY)
        return std::clamp<std::size_t>(descriptors.rlim_cur / 4, 2, WebLimits::kRequests);
#endif
    return WebLimits::kRequests;
}

}  // namespace

WebAddress ParseWebAddress(const std::string& text) {
    WebAddress address;
    std::string port = text;
    const std::size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        address.host = text.substr(0, colon);
        if (address.host.size() >= 2 && address.host.front() == '[' && address.host.back() == ']')
            address.host = address.host.substr(1, address.host.size() - 2);
        port = text.substr(colon + 1);
        error_code error;
        asio::ip::make_address(address.host, error);
        if (error) throw std::invalid_argument("--web expects [ADDRESS:]PORT with a numeric address, not '" + text + "'");
    }
    std::size_t used = 0;
    int number = -1;
    try {
        number = std::stoi(port, &used);
    } catch (const std::exception&) {
    }
    if (used == 0 || used != port.size() || number < 0 || number > 65535)
        throw std::invalid_argument("--web expects a port from 0 to 65535, not '" + port + "'");
    address.port = static_cast<std::uint16_t>(number);
    return address;
}

bool HostNamesListener(std::string_view host, const tcp::endpoint& listener) {
    const std::optional<HostName> split = SplitHost(beast::string_view(host.data(), host.size()));
    if (!split || split->port != std::to_string(listener.port())) return false;
    const bool localhost = beast::iequals(split->name, "localhost");
    error_code error;
    const asio::ip::address named = asio::ip::make_address(split->name, error);
    const asio::ip::address& address = listener.address();
    if (address.is_unspecified()) return localhost || !error;
    if (address.is_loopback() && (localhost || (!error && named.is_loopback()))) return true;
    return !error && named == address;
}

class WebSocketSession;
class HttpSession;

// Everything the server's thread owns; it outlives every session.
// Declared before the io_context: sessions destroyed with it still find them.
class WebServer::State {
public:
    std::set<WebSocketSession*> sockets;  // the server's thread only
    std::list<HttpSession*> requests;     // open HTTP sessions, oldest first; the server's thread only
    std::atomic<std::uint64_t> opened{0};
    std::atomic<std::uint64_t> dropped{0};
    std::function<std::string()> metrics;  // the server's thread only
    asio::io_context io;
    tcp::acceptor acceptor{io};
    tcp::endpoint listening;
    asio::steady_timer acceptPause{io};
    const std::size_t requestLimit = RequestLimit();

    void Accept();
    void OnAccept(error_code error, tcp::socket socket);
    bool CloseOldestRequest();
    void Broadcast(const std::shared_ptr<const std::string>& sample);
};

// One page's WebSocket: samples wait in a short queue; when a client reads
// too slowly the oldest waiting sample is dropped, so neither memory nor the
// sampling loop depends on the client.
class WebSocketSession : public std::enable_shared_from_this<WebSocketSession> {
public:
    // `early`: bytes read after the upgrade request; they are the WebSocket's.
    WebSocketSession(WebServer::State* server, beast::tcp_stream stream, const beast::flat_buffer& early)
        : server(server), socket(std::move(stream)) {
        beast::flat_buffer& pending = socket.next_layer().buffer();
        pending.commit(asio::buffer_copy(pending.prepare(early.size()), early.data()));
    }

    ~WebSocketSession() { server->sockets.erase(this); }

    void Start(http::request<http::string_body> request) {
        socket.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        socket.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& response) { response.set(http::field::server, kServerName); }));
        socket.read_message_max(4096);
        beast::get_lowest_layer(socket).expires_never();
        // Beast answers a malformed upgrade itself (400, or 426 for a version it lacks).
        socket.async_accept(request, [self = shared_from_this()](error_code error) {
            if (error) return;
            self->server->sockets.insert(self.get());
            self->server->opened.fetch_add(1, std::memory_order_relaxed);
            self->ReadAndDrop();
        });
    }

    void Send(std::shared_ptr<const std::string> sample) {
        if (queue.size() >= WebLimits::kQueuedSamples) {
            // The front one may be on its way; drop the oldest one behind it.
            queue.erase(queue.begin() + (writing ? 1 : 0));
            server->dropped.fetch_add(1, std::memory_order_relaxed);
        }
        queue.push_back(std::move(sample));
        if (!writing) WriteNext();
    }

private:
    // The page is read-only: anything it sends is read (to see pings and the
    // close) and ignored.
    void ReadAndDrop() {
        socket.async_read(incoming, [self = shared_from_this()](error_code error, std::size_t) {
            if (error) return;  // closed, timed out or too long: the session ends
            self->incoming.clear();
            self->ReadAndDrop();
        });
    }

    void WriteNext() {
        writing = true;
        socket.text(true);
        socket.async_write(asio::buffer(*queue.front()), [self = shared_from_this()](error_code error, std::size_t) {
            self->writing = false;
            if (error) {
                self->queue.clear();
                self->server->sockets.erase(self.get());
                return;
            }
            self->queue.pop_front();
            if (!self->queue.empty()) self->WriteNext();
        });
    }

    WebServer::State* server;
    websocket::stream<UpgradedStream> socket;
    beast::flat_buffer incoming;
    std::deque<std::shared_ptr<const std::string>> queue;
    bool writing = false;
};

// One HTTP request: the page's files, or the upgrade to the samples'
// WebSocket. Every answer closes the connection.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(WebServer::State* server, tcp::socket socket)
        : server(server), stream(std::move(socket)), listed(server->requests.insert(server->requests.end(), this)) {}

    ~HttpSession() { Unlist(); }

    // Frees its connection at once (for a newer one); its handlers end it.
    void Close() {
        Unlist();
        stream.close();
    }

    void Start() {
        parser.emplace();
        parser->header_limit(WebLimits::kHeaderBytes);
        parser->body_limit(WebLimits::kBodyBytes);
        stream.expires_after(std::chrono::seconds(WebLimits::kRequestSeconds));
        http::async_read(stream, buffer, *parser, [self = shared_from_this()](error_code error, std::size_t) {
            self->OnRead(error);
        });
    }

private:
    void OnRead(error_code error) {
        if (error == http::error::header_limit)
            return Reply(TextResponse(http::status::request_header_fields_too_large,
                                      "request headers longer than " + std::to_string(WebLimits::kHeaderBytes) + " bytes"));
        if (error == http::error::body_limit)
            return Reply(TextResponse(http::status::payload_too_large,
                                      "request body longer than " + std::to_string(WebLimits::kBodyBytes) + " bytes"));
        if (error == http::error::end_of_stream || error == beast::error::timeout || error == asio::error::eof ||
            error == asio::error::operation_aborted)  // closed for a newer connection
            return;
        if (error) return Reply(TextResponse(http::status::bad_request, "malformed request: " + error.message()));
        Route(parser->release());
    }

    void Route(http::request<http::string_body> request) {
        const beast::string_view host = request[http::field::host];
        if (!HostNamesListener({host.data(), host.size()}, server->listening))
            return Reply(TextResponse(http::status::forbidden, "Host does not name this monitor's address"));
        if (request.method() != http::verb::get && request.method() != http::verb::head)
            return Reply(TextResponse(http::status::method_not_allowed, "read-only: GET and HEAD only"));
        const beast::string_view path = PathOf(request.target());
        if (path == kSamplesPath) return Upgrade(std::move(request));
        if (path == kMetricsPath && server->metrics) return ReplyMetrics(request);
        const web::Asset* asset = FindAsset(path);
        if (!asset) return Reply(TextResponse(http::status::not_found, "no such page"));
        http::response<http::string_body> response{http::status::ok, request.version()};
        response.set(http::field::server, kServerName);
        response.set(http::field::content_type, asset->contentType);
        response.set(http::field::cache_control, "no-store");
        response.keep_alive(false);
        if (request.method() == http::verb::get)
            response.body().assign(reinterpret_cast<const char*>(asset->data), asset->size);
        response.prepare_payload();
        if (request.method() == http::verb::head) response.content_length(asset->size);
        Reply(std::move(response));
    }

    void ReplyMetrics(const http::request<http::string_body>& request) {
        http::response<http::string_body> response{http::status::ok, request.version()};
        response.set(http::field::server, kServerName);
        response.set(http::field::content_type, kMetricsContentType);
        response.keep_alive(false);
        response.body() = server->metrics();
        response.prepare_payload();
        if (request.method() == http::verb::head) response.body().clear();
        Reply(std::move(response));
    }

    void Upgrade(http::request<http::string_body> request) {
        if (!websocket::is_upgrade(request))
            return Reply(TextResponse(http::status::bad_request, std::string(kSamplesPath) + " is a WebSocket; upgrade expected"));
        // Beast checks the key's presence; its form is ours to check.
        if (request[http::field::sec_websocket_key].size() != kWebSocketKeyLength)
            return Reply(TextResponse(http::status::bad_request, "Sec-WebSocket-Key is not 16 bytes in base64"));
        if (!FromOwnPage(request))
            return Reply(TextResponse(http::status::forbidden, "the samples are for this monitor's own page"));
        if (server->sockets.size() >= WebLimits::kClients)
            return Reply(TextResponse(http::status::service_unavailable, "too many open pages"));
        error_code ignored;
        stream.socket().set_option(asio::socket_base::send_buffer_size(WebLimits::kSendBufferBytes), ignored);
        Unlist();  // a WebSocket from now on
        std::make_shared<WebSocketSession>(server, std::move(stream), buffer)->Start(std::move(request));
    }

    void Reply(http::response<http::string_body> response) {
        auto shared = std::make_shared<http::response<http::string_body>>(std::move(response));
        http::async_write(stream, *shared, [self = shared_from_this(), shared](error_code error, std::size_t) {
            if (error) return;
            error_code ignored;
            self->stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
            self->stream.expires_after(std::chrono::seconds(WebLimits::kDrainSeconds));
            self->Drain();
        });
    }

    // Closing with unread bytes would reset the connection and could destroy
    // the answer before the client reads it: read what the client still
    // sends (a refused body, say) until it closes, within a time limit.
    void Drain() {
        stream.async_read_some(asio::buffer(drained), [self = shared_from_this()](error_code error, std::size_t) {
            if (!error) self->Drain();
        });
    }

    void Unlist() {
        if (!listed) return;
        server->requests.erase(*listed);
        listed.reset();
    }

    WebServer::State* server;
    beast::tcp_stream stream;
    beast::flat_buffer buffer;
    std::optional<http::request_parser<http::string_body>> parser;
    std::array<char, 4096> drained;
    std::optional<std::list<HttpSession*>::iterator> listed;  // in server->requests while it is an HTTP session
};

void WebServer::State::Accept() {
    acceptor.async_accept(io, [this](error_code error, tcp::socket socket) { OnAccept(error, std::move(socket)); });
}

// Out of descriptors, the oldest HTTP request makes room for the next
// connection (idle connections cannot lock the page out); with none to close,
// or on another error, accepting pauses: retrying at once would spin.
void WebServer::State::OnAccept(error_code error, tcp::socket socket) {
    if (!acceptor.is_open()) return;
    if (error) {
        const bool outOfDescriptors = error == asio::error::no_descriptors || error.value() == ENFILE;
        if (outOfDescriptors && CloseOldestRequest()) return Accept();
        acceptPause.expires_after(WebLimits::kAcceptPause);
        acceptPause.async_wait([this](error_code waited) {
            if (!waited) Accept();
        });
        return;
    }
    if (requests.size() >= requestLimit) CloseOldestRequest();
    std::make_shared<HttpSession>(this, std::move(socket))->Start();
    Accept();
}

bool WebServer::State::CloseOldestRequest() {
    if (requests.empty()) return false;
    requests.front()->Close();
    return true;
}

void WebServer::State::Broadcast(const std::shared_ptr<const std::string>& sample) {
    for (WebSocketSession* session : sockets) session->Send(sample);
}

WebServer::WebServer(const WebAddress& address) : state(std::make_unique<State>()) {
    const tcp::endpoint endpoint{asio::ip::make_address(address.host), address.port};
    state->acceptor.open(endpoint.protocol());
    state->acceptor.set_option(asio::socket_base::reuse_address(true));
    state->acceptor.bind(endpoint);
    state->acceptor.listen();
    state->listening = state->acceptor.local_endpoint();
    state->Accept();
    thread = std::thread([this] { state->io.run(); });
}

// Stopping the io_context destroys every session with its pending handlers.
WebServer::~WebServer() {
    state->io.stop();
    thread.join();
}

tcp::endpoint WebServer::Endpoint() const { return state->listening; }

void WebServer::Publish(std::string sample) {
    auto shared = std::make_shared<const std::string>(std::move(sample));
    asio::post(state->io, [state = state.get(), shared] { state->Broadcast(shared); });
}

void WebServer::ServeMetrics(std::function<std::string()> render) {
    asio::post(state->io, [state = state.get(), render = std::move(render)]() mutable {
        state->metrics = std::move(render);
    });
}

WebServer::Stats WebServer::Totals() const {
    return {state->opened.load(std::memory_order_relaxed), state->dropped.load(std::memory_order_relaxed)};
}

}  // namespace quorvellan::monitor
