#include "session/ControllerSession.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string_view>

#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#if defined(_WIN32)
#include <windows.h>
#else
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include "messages/protocol.hpp"
#include "messages/reply_framing.hpp"
#include "session/io_service.hpp"
#include "session/remote_host.hpp"

namespace quorvellan {

namespace asio = boost::asio;
using boost::system::error_code;
using boost::system::system_error;
using Endpoints = asio::ip::tcp::resolver::results_type;

namespace {

// Marks an operation that is still running.
const error_code kWouldBlock = asio::error::would_block;

// Stores the outcome of an asynchronous operation; a byte count passed along
// is kept.
struct Completion {
    error_code* error;
    std::size_t* bytes;

    void operator()(const error_code& ec) const { *error = ec; }
    void operator()(const error_code& ec, std::size_t transferred) const {
        *bytes = transferred;
        *error = ec;
    }
};

// The outcome of a name look-up. Once the system resolver runs a look-up it
// cannot be cancelled, so the waiting call may give up on it: the result then
// lands here after the call has returned, and nothing else refers to it.
struct PendingResolve {
    error_code error = kWouldBlock;
    Endpoints endpoints;
};

const char* FramingFailure(ReplyFraming framing) {
    return framing == ReplyFraming::Incomplete ? "reply longer than 2048 bytes" : "reply is not one JSON value";
}

}  // namespace

ControllerSession::ControllerSession()
    : ioService(LibraryIoService()),
      resolver(ioService),
      socket(ioService),
      port(protocol::kPort),
      deadline(ioService) {
#if !defined(_WIN32)
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
#endif
    CheckDeadline();
}

ControllerSession::~ControllerSession() {
#if !defined(_WIN32)
    if (wakeFd >= 0) ::close(wakeFd);
#endif
}

void ControllerSession::Interrupt() noexcept {
#if !defined(_WIN32)
    // The counter only grows; a write that finds it full has nothing to add.
    const std::uint64_t one = 1;
    if (wakeFd >= 0 && ::write(wakeFd, &one, sizeof one) < 0) return;
#endif
}

void ControllerSession::AfterForkInChild() noexcept {
    Disconnect();
#if !defined(_WIN32)
    // The descriptor is shared with the parent: the child's interruptions
    // must not wake the parent's waits, nor the parent's the child's.
    if (wakeFd >= 0) ::close(wakeFd);
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
#endif
}

void ControllerSession::ClearInterrupt() noexcept {
#if !defined(_WIN32)
    // Reading an eventfd resets its counter; one that was never written has
    // nothing to read.
    std::uint64_t count = 0;
    if (wakeFd >= 0 && ::read(wakeFd, &count, sizeof count) < 0) return;
#endif
}

// Moving the timer cancels the actor's wait and costs a handler run and a
// timer update, so it is moved only when the new deadline comes sooner. A later
// deadline is picked up when the current wait ends and the actor re-arms.
void ControllerSession::SetDeadline(Duration duration) {
    deadlineAt = asio::steady_timer::clock_type::now() + duration;
    if (deadlineAt < deadline.expiry()) deadline.expires_at(deadlineAt);
}

// The deadline actor: closes the socket once the current deadline has passed,
// which completes any pending operation with operation_aborted, and counts the
// expiry for a look-up in progress. It always keeps one wait outstanding, so the
// I/O service never runs out of work.
void ControllerSession::CheckDeadline() {
    if (deadlineAt <= asio::steady_timer::clock_type::now()) {
        error_code ignored;
        socket.close(ignored);
        resolver.cancel();
        ++expiredDeadlines;
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
            // Stopped from elsewhere mid-wait (DeInitInternal). The handler
            // refers to `result`, so abort the operation and let it complete
            // before returning; the service is left stopped. DeInitInternal
            // may stop it again meanwhile.
            error_code ignored;
            socket.close(ignored);
            ioService.restart();
            while (result == kWouldBlock) {
                if (ioService.run_one() == 0) ioService.restart();
            }
            ioService.stop();
        }
    }
    return result;
}

void ControllerSession::Connect(bool local) { Connect(DefaultControllerAddress(local)); }

void ControllerSession::Connect(const ControllerAddress& address) {
    // A reconnect replaces the old connection, also when it fails.
    Disconnect();
    host = address.host;
    port = address.port;
    // One deadline for the look-up and the connect.
    SetDeadline(kConnectDeadline);
    const Endpoints endpoints = Resolve();
    error_code result = ConnectToAny(endpoints);
    if (result) throw system_error(result);
    // The deadline may have closed the socket just as the connect completed.
    if (!socket.is_open()) throw system_error(asio::error::operation_aborted);
    WatchForReadingOnly();
    // Only our own sends are synchronous (see WriteAll); they must never block.
    // Each message is one write answered before the next, so Nagle's algorithm
    // never has anything to merge: turning it off only skips its bookkeeping.
    error_code ignored;
    socket.non_blocking(true, ignored);
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    connected = true;
}

// The connect's wait registered the socket for writability with the I/O
// service, and the registration stays: every wait for a reply would also wake
// when the controller consumes the request and frees the send buffer, a
// context switch for nothing on each exchange. Registered afresh, the socket
// is watched for reading only (a send that has to wait adds writability again).
// Completion I/O (Windows) has no such registration.
void ControllerSession::WatchForReadingOnly() {
#if !defined(_WIN32)
    const asio::ip::tcp protocol = socket.local_endpoint().protocol();
    AssignOrClose(protocol, socket.release());
#endif
}

void ControllerSession::Disconnect() {
    error_code ignored;
    socket.close(ignored);
    connected = false;
}

// Looks the host up within the deadline already set. An address literal or
// "localhost" is answered on this thread at once (the hosts file); any other
// name runs on the I/O library's resolver thread, and when the deadline
// passes or the service is stopped first, this call stops waiting and leaves
// the look-up to finish in the background. Keeping that thread for names the
// network must answer keeps it idle in the usual case, and a fork (which
// waits for a look-up under way there) from waiting on the network.
Endpoints ControllerSession::Resolve() {
    if (ioService.stopped()) throw system_error(asio::error::operation_aborted, "resolve");
    if (std::optional<Endpoints> endpoints = ResolveOnThisThread()) return *endpoints;
    auto pending = std::make_shared<PendingResolve>();
    resolver.async_resolve(host, port, [pending](const error_code& error, Endpoints endpoints) {
        pending->error = error;
        pending->endpoints = std::move(endpoints);
    });
    const unsigned expiredBefore = expiredDeadlines;
    while (pending->error == kWouldBlock && expiredDeadlines == expiredBefore) {
        if (ioService.run_one() == 0) throw system_error(asio::error::operation_aborted, "resolve");
    }
    if (pending->error == kWouldBlock) throw LookUpError(asio::error::timed_out, "resolve");
    if (pending->error) throw LookUpError(pending->error, "resolve");
    return pending->endpoints;
}

std::optional<Endpoints> ControllerSession::ResolveOnThisThread() {
    error_code error;
    asio::ip::make_address(host, error);
    const bool literal = !error;
    if (!literal && host != protocol::kLocalHost) return std::nullopt;
    const auto flags = literal ? asio::ip::resolver_base::numeric_host | asio::ip::resolver_base::numeric_service
                               : asio::ip::resolver_base::numeric_service;
    Endpoints endpoints = resolver.resolve(host, port, flags, error);
    if (error) throw LookUpError(error, "resolve");
    return endpoints;
}

// Tries the endpoints in order until one accepts, like asio::async_connect,
// but on sockets that the application's child processes do not inherit.
error_code ControllerSession::ConnectToAny(const Endpoints& endpoints) {
    error_code result = asio::error::not_found;
    for (const auto& entry : endpoints) {
        OpenForConnect(entry.endpoint().protocol());
        result = WaitFor([&](Completion done) { socket.async_connect(entry.endpoint(), done); });
        // A closed socket means the deadline passed: no time for the next one.
        if (!result || !socket.is_open()) break;
    }
    return result;
}

void ControllerSession::OpenForConnect(const asio::ip::tcp& protocol) {
    error_code ignored;
    socket.close(ignored);
#if defined(_WIN32)
    socket.open(protocol);
    const SOCKET handle = socket.native_handle();
    ::SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT, 0);
#else
    // Close-on-exec from the start, so that no fork in between can leak it.
    const int fd = ::socket(protocol.family(), SOCK_STREAM | SOCK_CLOEXEC, protocol.protocol());
    if (fd < 0) throw system_error(error_code(errno, asio::error::get_system_category()), "socket");
    AssignOrClose(protocol, fd);
#endif
}

#if !defined(_WIN32)
// Hands a descriptor to the socket object; on failure it is closed, not leaked.
void ControllerSession::AssignOrClose(const asio::ip::tcp& protocol, int fd) {
    error_code assigned;
    socket.assign(protocol, fd, assigned);
    if (assigned) {
        ::close(fd);
        throw system_error(assigned, "socket");
    }
}
#endif

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

// Bytes waiting before a request is sent answer no request of ours (the rest
// of a late reply, a stray byte): they are dropped, never read as the start of
// the next reply.
void ControllerSession::DiscardStaleBytes() {
    std::array<char, 512> sink;
    error_code error;
#if defined(_WIN32)
    while (socket.available(error) > 0 && !error) socket.receive(asio::buffer(sink), 0, error);
#else
    // A receive that must not wait costs a little less than asking how many
    // bytes there are, and there are none on almost every exchange.
    while (socket.receive(asio::buffer(sink), MSG_DONTWAIT, error) == sink.size() && !error) {
    }
#endif
}

void ControllerSession::SendPendingMessage() {
    if (!connected) return;
    try {
        DiscardStaleBytes();
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
// pieces is reassembled while more bytes could still complete it.
ReplyFraming ControllerSession::ReceiveReply(std::string& buffer, error_code& error) {
    SetDeadline(kReadDeadline);
    std::size_t received = 0;
    ReplyFraming framing = ReplyFraming::Incomplete;
    while (framing == ReplyFraming::Incomplete && received < buffer.size()) {
        asio::mutable_buffer space = asio::buffer(&buffer[received], buffer.size() - received);
        received += ReceiveSome(space, error);
        if (error) break;
        // The rest of the zeroed buffer lets the fast parser read in place.
        framing = FrameReply(std::string_view(buffer.data(), received), buffer.size() - received);
    }
    return framing;
}

// Receives what has arrived, waiting for it within the deadline already set.
// Where readiness is reported (Linux), the wait is a poll(2) of the socket
// outside the service (ReceiveWhenReadable). With completion I/O (Windows) a
// receive is tried first, outside the service, as a reply is usually there
// by now; then the service's receive is what waits.
std::size_t ControllerSession::ReceiveSome(asio::mutable_buffer space, error_code& error) {
    std::size_t bytes = 0;
    if (socket.non_blocking() && !ioService.stopped()) {
#if !defined(_WIN32)
        if (wakeFd >= 0) return ReceiveWhenReadable(space, error);
#endif
        bytes = socket.receive(space, 0, error);
        if (error != asio::error::would_block) return bytes;
    }
    error = WaitFor([&](Completion done) { socket.async_receive(space, done); }, &bytes);
    return bytes;
}

#if !defined(_WIN32)
// Where a system call costs a microsecond or more (a virtual machine, a kernel
// with speculative-execution mitigations), each one is a tenth of a loopback
// round trip, so the common exchange makes as few as it can: a receive, which
// finds the reply when the controller ran as soon as the request was sent,
// else a poll and a receive. (Polling first saves the failed receive, but
// measured on one core it also kept the scheduler from running the
// controller at the send, which cost more than it saved.)
//
// The poll also watches the session's wake-up descriptor, so DeInitInternal
// ends it as it ends a wait in the service. Anything else (the deadline
// passed, an interruption, a poll error) leaves the verdict to the service's
// wait, as before: the deadline actor closes the socket, a stopped service
// ends the wait, and the errors reported are the same.
std::size_t ControllerSession::ReceiveWhenReadable(asio::mutable_buffer space, error_code& error) {
    std::size_t bytes = socket.receive(space, 0, error);
    while (error == asio::error::would_block && WaitUntilReadable()) bytes = socket.receive(space, 0, error);
    if (error != asio::error::would_block) return bytes;
    for (;;) {
        error = WaitFor([&](Completion done) { socket.async_wait(asio::socket_base::wait_read, done); });
        if (error) return 0;
        bytes = socket.receive(space, 0, error);
        if (error != asio::error::would_block) return bytes;
    }
}

// Waits until the socket has bytes (or its peer closed it) within the
// deadline; false when the deadline passed, the wait was interrupted or the
// poll failed.
bool ControllerSession::WaitUntilReadable() {
    using Clock = asio::steady_timer::clock_type;
    std::array<pollfd, 2> watched{pollfd{socket.native_handle(), POLLIN, 0}, pollfd{wakeFd, POLLIN, 0}};
    for (;;) {
        const auto left = deadlineAt - Clock::now();
        if (left <= Clock::duration::zero()) return false;
        // Rounded up, so that the poll never ends before the deadline.
        const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        const int ready = ::poll(watched.data(), watched.size(), static_cast<int>(std::min<long long>(milliseconds, 1000)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || watched[1].revents != 0) return false;
        if (watched[0].revents != 0) return true;
    }
}
#endif

// An error line goes out in one write: a program printing lines of its own on
// another thread (a poll thread's caller, say) never finds them cut into.
static void PrintErrorLine(const std::string& text) { std::cout << ("Error: " + text + "\n") << std::flush; }

std::string ControllerSession::Exchange() {
    if (!connected) return {};
    SendPendingMessage();  // a failed send still reads: its error is printed below

    std::string reply(protocol::kReplyBufferSize, '\0');
    error_code error;
    const ReplyFraming framing = ReceiveReply(reply, error);
    if (error) {
        // A wait that DeInitInternal ended is no failed reply: nothing to say.
        if (!ioService.stopped()) PrintErrorLine(error.message());
        return {};
    }
    if (framing != ReplyFraming::Complete) {
        // Where this reply ends is unknown, so every later reply could be
        // misread: the connection ends, as after any protocol failure.
        Disconnect();
        PrintErrorLine(FramingFailure(framing));
        return {};
    }
    return reply;
}

}  // namespace quorvellan
