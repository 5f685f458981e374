// The one client of the controller: the TCP connection, the message being
// accumulated for the next send, and the deadline that bounds every wait.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>
#include <nlohmann/json.hpp>

#include "messages/reply_framing.hpp"
#include "session/controller_address.hpp"

namespace quorvellan {

// The controller's host could not be looked up: no such name, or no answer
// within the connect deadline.
class LookUpError : public boost::system::system_error {
public:
    using boost::system::system_error::system_error;
};

class ControllerSession {
public:
    using Duration = std::chrono::microseconds;

    static constexpr Duration kConnectDeadline{3'000'000};
    static constexpr Duration kWriteDeadline{100'000};
    static constexpr Duration kReadDeadline{100'000};

    ControllerSession();
    ~ControllerSession();
    ControllerSession(const ControllerSession&) = delete;
    ControllerSession& operator=(const ControllerSession&) = delete;

    // Resolves and connects to the controller on this machine (local) or on
    // the local network, both within the connect deadline. Any earlier
    // connection is closed first. Raises boost::system::system_error on failure.
    void Connect(bool local);
    // The same, to the address given.
    void Connect(const ControllerAddress& address);
    // Closes the connection and clears the flag. Nothing is sent.
    void Disconnect();

    // Starts a fresh message with the full sender header and our version.
    void SetSenderHeader(const std::string& name);
    // Queues a key (insert-if-absent), then exchanges and drops the reply.
    void SetBoolField(const std::string& key, bool value);
    // Queues a key (insert-if-absent) for the next exchange; sends nothing.
    void SetNumberField(const std::string& key, double value);

    // Sends the pending message and reads one reply. Returns the reply padded
    // with zero bytes to the buffer size, or an empty text when not connected
    // or the read failed.
    std::string Exchange();

    bool IsConnected() const { return connected; }

    // Ends a wait for a reply under way on another thread. The I/O service,
    // stopped first, is what says the wait was ended on purpose; this only
    // wakes a wait made outside the service. Safe from any thread.
    void Interrupt() noexcept;
    // Forgets earlier interruptions; called when the service is restarted.
    void ClearInterrupt() noexcept;
    // In a child made by fork: closes the child's copy of the connection
    // (which sends nothing) and gives the child a wake-up of its own.
    void AfterForkInChild() noexcept;
    const nlohmann::json& PendingMessage() const { return pendingMessage; }

private:
    boost::asio::ip::tcp::resolver::results_type Resolve();
    std::optional<boost::asio::ip::tcp::resolver::results_type> ResolveOnThisThread();
    boost::system::error_code ConnectToAny(const boost::asio::ip::tcp::resolver::results_type& endpoints);
    void OpenForConnect(const boost::asio::ip::tcp& protocol);
    void WatchForReadingOnly();
#if !defined(_WIN32)
    void AssignOrClose(const boost::asio::ip::tcp& protocol, int fd);
#endif
    void DiscardStaleBytes();
    void SendPendingMessage();
    boost::system::error_code WriteAll(const std::string& text);
    void CheckDeadline();
    void SetDeadline(Duration duration);
    void ResetToShortHeader();
    ReplyFraming ReceiveReply(std::string& buffer, boost::system::error_code& error);
    std::size_t ReceiveSome(boost::asio::mutable_buffer space, boost::system::error_code& error);
#if !defined(_WIN32)
    std::size_t ReceiveWhenReadable(boost::asio::mutable_buffer space, boost::system::error_code& error);
    bool WaitUntilReadable();
#endif

    // Runs one asynchronous operation to completion or until the deadline
    // closes the socket; returns the operation's error code.
    template <typename StartOperation>
    boost::system::error_code WaitFor(StartOperation&& start, std::size_t* bytes = nullptr);

    boost::asio::io_context& ioService;
    boost::asio::ip::tcp::resolver resolver;
    boost::asio::ip::tcp::socket socket;
    std::string port;
    std::string host;
    // Atomic so that CheckConnection may read it while another thread's
    // DeInitInternal clears it.
    std::atomic<bool> connected{false};
    nlohmann::json pendingMessage;
    // True while pendingMessage is the short header and nothing else, whose
    // compact text is shortHeaderText.
    bool pendingIsShortHeader = false;
    std::string shortHeaderText;
    std::string senderName;
    int versionMajor = 0;
    int versionMinor = 0;
    int versionBuild = 0;
    // A steady clock, so that a change of the system time neither stretches
    // nor cuts a wait.
    boost::asio::steady_timer deadline;
    // When the current operation must end; the timer may wait for an earlier
    // time, after which the actor re-arms it for this one.
    boost::asio::steady_timer::time_point deadlineAt = boost::asio::steady_timer::time_point::max();
    // Counts the deadlines that have passed, for waits the socket's closing
    // cannot end (a name look-up).
    unsigned expiredDeadlines = 0;
#if !defined(_WIN32)
    // Written by Interrupt to wake a wait for readability made with poll(2);
    // -1 when it could not be made (every wait then runs in the service).
    int wakeFd = -1;
#endif
};

}  // namespace quorvellan
