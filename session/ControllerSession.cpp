#include "session/ControllerSession.hpp"

#include <iostream>
#include <string_view>

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#include "messages/protocol.hpp"
#include "messages/reply_fields.hpp"
#include "session/io_service.hpp"
#include "session/remote_host.hpp"

namespace quorvellan {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

// Marks an operation that is still running.
const error_code kWouldBlock = asio::error::would_block;

// Stores the outcome of an asynchronous operation; a byte count or endpoint
// passed along is kept or ignored.
struct Completion {
    error_code* error;
    std::size_t* bytes;

    void operator()(const error_code& ec, std::size_t transferred) const {
        *bytes = transferred;
        *error = ec;
    }
    template <typename Endpoint>
    void operator()(const error_code& ec, const Endpoint&) const {
        *error = ec;
    }
};

}  // namespace

ControllerSession::ControllerSession()
    : ioService(LibraryIoService()),
      resolver(ioService),
      socket(ioService),
      port(protocol::kPort),
      deadline(ioService) {
    CheckDeadline();
}

// Moving the timer cancels the actor's wait and costs a handler run and a
// timer update, so it is moved only when the new deadline comes sooner. A later
// deadline is picked up when the current wait ends and the actor re-arms.
void ControllerSession::SetDeadline(Duration duration) {
    deadlineAt = asio::steady_timer::clock_type::now() + duration;
    if (deadlineAt < deadline.expiry()) deadline.expires_at(deadlineAt);
}

// The deadline actor: closes the socket once the current deadline has passed,
// which completes any pending operation with operation_aborted. It always keeps
// one wait outstanding, so the I/O service never runs out of work.
void ControllerSession::CheckDeadline() {
    if (deadlineAt <= asio::steady_timer::clock_type::now()) {
        error_code ignored;
        socket.close(ignored);
        deadlineAt = asio::steady_timer::time_point::max();
    }
    deadline.expires_at(deadlineAt);
    deadline.async_wait([this](const error_code&) { CheckDeadline(); });
}

template <typename StartOperation>
error_code ControllerSession::WaitFor(StartOperation&& start, std::size_t* bytes) {
    // After DeInitInternal the service is stopped and run_one would return at
    // once forever: fail instead of starting anything.
    if (ioService.stopped()) return asio::error::operation_aborted;

    error_code result = kWouldBlock;
    std::size_t ignoredBytes = 0;
    start(Completion{&result, bytes ? bytes : &ignoredBytes});
    while (result == kWouldBlock) {
        if (ioService.run_one() == 0) {
            // Stopped from elsewhere mid-wait. The handler refers to `result`,
            // so abort the operation and let it complete before returning.
            error_code ignored;
            socket.close(ignored);
            ioService.restart();
            while (result == kWouldBlock) ioService.run_one();
            ioService.stop();
        }
    }
    return result;
}

void ControllerSession::Connect(bool local) {
    host = local ? protocol::kLocalHost : RemoteControllerHost();
    // Raises system_error("resolve") when the name does not resolve.
    asio::ip::tcp::resolver::results_type endpoints = resolver.resolve(host, port);

    SetDeadline(kConnectDeadline);
    error_code result = WaitFor([&](Completion done) { asio::async_connect(socket, endpoints, done); });
    if (result) throw boost::system::system_error(result);
    // The deadline may have closed the socket just as the connect completed.
    if (!socket.is_open()) throw boost::system::system_error(asio::error::operation_aborted);
    // Only our own sends are synchronous (see WriteAll); they must never block.
    // Each message is one write answered before the next, so Nagle's algorithm
    // never has anything to merge: turning it off only skips its bookkeeping.
    error_code ignored;
    socket.non_blocking(true, ignored);
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    connected = true;
}

void ControllerSession::SetSenderHeader(const std::string& name) {
    senderName = name;
    versionMajor = protocol::kApiVersionMajor;
    versionMinor = protocol::kApiVersionMinor;
    versionBuild = protocol::kApiVersionBuild;
    pendingMessage = protocol::FullSenderHeader(senderName, versionMajor, versionMinor, versionBuild);
    shortHeaderText = protocol::ShortSenderHeader(senderName, versionMajor, versionMinor).dump();
    pendingIsShortHeader = false;
}

void ControllerSession::SetBoolField(const std::string& key, bool value) {
    // emplace turns null into an object, keeps an existing key, and raises
    // type_error 311 on any other type.
    pendingIsShortHeader = false;
    pendingMessage.emplace(key, value);
    Exchange();
}

void ControllerSession::SetNumberField(const std::string& key, double value) {
    pendingIsShortHeader = false;
    pendingMessage.emplace(key, value);
}

// Most exchanges send the short header alone: it then stays as it is, and
// its text, made once per handshake, is what goes on the wire.
void ControllerSession::ResetToShortHeader() {
    if (pendingIsShortHeader) return;
    pendingMessage = protocol::ShortSenderHeader(senderName, versionMajor, versionMinor);
    pendingIsShortHeader = true;
}

void ControllerSession::SendPendingMessage() {
    if (!connected) return;
    try {
        std::string dumped;
        const std::string& text = pendingIsShortHeader ? shortHeaderText : (dumped = pendingMessage.dump());
        SetDeadline(kWriteDeadline);
        error_code result = WriteAll(text);
        if (result) {
            // The message keeps its keys for the next successful send.
            connected = false;
            return;
        }
        ResetToShortHeader();
    } catch (const std::exception&) {
        connected = false;
    }
}

// Writes the whole text within the write deadline. A message is short and
// normally fits the socket's send buffer, so one non-blocking send writes it
// without a trip through the I/O service; what it leaves goes out
// asynchronously, bounded by the deadline as before.
error_code ControllerSession::WriteAll(const std::string& text) {
    if (ioService.stopped() || !socket.non_blocking()) {
        return WaitFor([&](Completion done) { asio::async_write(socket, asio::buffer(text), done); });
    }
    error_code result;
    std::size_t sent = socket.write_some(asio::buffer(text), result);
    if (result == asio::error::would_block) result = {};
    if (result || sent == text.size()) return result;
    return WaitFor([&](Completion done) { asio::async_write(socket, asio::buffer(text) + sent, done); });
}

// Receives one reply within the read deadline. A reply that arrives in several
// pieces is reassembled while the bytes so far are an incomplete JSON value.
std::size_t ControllerSession::ReceiveReply(std::string& buffer, error_code& error) {
    SetDeadline(kReadDeadline);
    std::size_t received = 0;
    do {
        std::size_t bytes = 0;
        asio::mutable_buffer space = asio::buffer(&buffer[received], buffer.size() - received);
        error = WaitFor([&](Completion done) { socket.async_receive(space, done); }, &bytes);
        received += bytes;
    } while (!error && received < buffer.size() &&
             IsIncompleteJson(std::string_view(buffer.data(), received)));
    return received;
}

std::string ControllerSession::Exchange() {
    if (!connected) return {};
    SendPendingMessage();  // a failed send still reads: its error is printed below

    std::string reply(protocol::kReplyBufferSize, '\0');
    error_code error;
    ReceiveReply(reply, error);
    if (error) {
        std::cout << "Error: " << error.message() << std::endl;
        return {};
    }
    return reply;
}

}  // namespace quorvellan
