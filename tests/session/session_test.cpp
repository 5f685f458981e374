// ControllerSession driven directly, for what the entry points cannot reach:
// the pending message between sends, its type error, and the exchange on a
// session that never connected or lost its connection.
#include <chrono>
#include <string>
#include <thread>

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "messages/protocol.hpp"
#include "session/ControllerSession.hpp"
#include "tests/support/export_helpers.hpp"
#include "tests/support/test_controller.hpp"

namespace {

using nlohmann::json;
using quorvellan::ControllerSession;
using namespace quorvellan::testing;
using namespace std::chrono_literals;

// A session connected to `controller` that has passed its first exchange, so
// its pending message is the short header. Later messages are answered with an
// empty object unless the test queues something else.
void ConnectAndGreet(ControllerSession& session, TestController& controller) {
    controller.QueueReply(LocalHandshakeReply());
    controller.SetDefaultReply("{}");
    session.Connect(true);
    session.SetSenderHeader(quorvellan::protocol::kApiSenderName);
    ASSERT_FALSE(session.Exchange().empty());
    ASSERT_EQ(session.PendingMessage().dump(), ShortHeaderMessage());
}

// The session offers no setter for its pending message; the member itself is
// not const, so writing through the accessor's reference is well defined.
json& PendingOf(ControllerSession& session) { return const_cast<json&>(session.PendingMessage()); }

TEST(SessionCreated, StartsDisconnectedWithNullMessage) {
    ControllerSession session;
    EXPECT_FALSE(session.IsConnected());
    EXPECT_TRUE(session.PendingMessage().is_null());
}

TEST(SessionCreated, ExchangeWithoutConnectSendsNothing) {
    TestController controller;
    ControllerSession session;
    session.SetSenderHeader(quorvellan::protocol::kApiSenderName);
    std::string reply = "unset";
    const std::string printed = StdoutOf([&] { reply = session.Exchange(); });
    EXPECT_EQ(reply, "");
    EXPECT_EQ(printed, "");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(controller.ConnectionCount(), 0u);
    EXPECT_EQ(controller.MessageCount(), 0u);
    EXPECT_EQ(session.PendingMessage().dump(), FullHeaderMessage()) << "nothing was sent, nothing reset";
}

TEST(SessionConnect, RefusedWithoutListener) {
    ControllerSession session;
    try {
        session.Connect(true);
        FAIL() << "connected to nobody";
    } catch (const boost::system::system_error& error) {
        EXPECT_EQ(error.code(), boost::asio::error::connection_refused);
    }
    EXPECT_FALSE(session.IsConnected());
}

TEST(SessionConnect, FailedReconnectClearsTheFlagAndKeepsTheMessage) {
    ControllerSession session;
    {
        TestController controller;
        ConnectAndGreet(session, controller);
    }
    session.SetNumberField("manualXSpeed", 0.5);
    EXPECT_THROW(session.Connect(true), boost::system::system_error);
    EXPECT_FALSE(session.IsConnected()) << "the old connection is gone: no stale flag";
    EXPECT_EQ(session.PendingMessage().at("manualXSpeed"), 0.5);
}

TEST(PendingMessage, SetNumberFieldSendsNothing) {
    TestController controller;
    ControllerSession session;
    ConnectAndGreet(session, controller);
    session.SetNumberField("user position x", 1.5);
    session.SetNumberField("user position y", -2.0);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(controller.MessageCount(), 1u);

    session.Exchange();
    ASSERT_TRUE(controller.WaitForMessages(2));
    EXPECT_EQ(controller.Messages()[1], MessageWith("", R"("user position x":1.5,"user position y":-2.0)"));
    EXPECT_EQ(session.PendingMessage().dump(), ShortHeaderMessage());
}

TEST(PendingMessage, FirstValueWinsUntilASend) {
    TestController controller;
    ControllerSession session;
    ConnectAndGreet(session, controller);
    session.SetNumberField("manualXSpeed", 1.0);
    session.SetNumberField("manualXSpeed", 3.0);
    EXPECT_EQ(session.PendingMessage().at("manualXSpeed"), 1.0);
    session.Exchange();

    session.SetNumberField("manualXSpeed", 3.0);
    session.Exchange();
    ASSERT_TRUE(controller.WaitForMessages(3));
    EXPECT_EQ(controller.Messages()[1], MessageWith(R"("manualXSpeed":1.0)"));
    EXPECT_EQ(controller.Messages()[2], MessageWith(R"("manualXSpeed":3.0)"));
}

TEST(PendingMessage, SetBoolFieldSendsAtOnce) {
    TestController controller;
    ControllerSession session;
    ConnectAndGreet(session, controller);
    session.SetNumberField("manualYSpeed", -0.25);
    session.SetBoolField("brake", true);
    ASSERT_TRUE(controller.WaitForMessages(2));
    EXPECT_EQ(controller.Messages()[1], MessageWith(R"("brake":true,"manualYSpeed":-0.25)"));
    EXPECT_EQ(session.PendingMessage().dump(), ShortHeaderMessage());
}

TEST(PendingMessage, NullBecomesAnObject) {
    ControllerSession session;
    session.SetNumberField("manualXSpeed", 0.5);
    EXPECT_EQ(session.PendingMessage().dump(), R"({"manualXSpeed":0.5})");
}

TEST(PendingMessage, NotAnObjectRaisesTypeError311) {
    TestController controller;
    ControllerSession session;
    ConnectAndGreet(session, controller);
    PendingOf(session) = json::array();
    for (auto insert : {+[](ControllerSession& s) { s.SetNumberField("manualXSpeed", 1.0); },
                        +[](ControllerSession& s) { s.SetBoolField("brake", true); }}) {
        try {
            insert(session);
            FAIL() << "no exception";
        } catch (const json::type_error& error) {
            EXPECT_EQ(error.id, 311);
            EXPECT_NE(std::string(error.what()).find("cannot use emplace() with array"), std::string::npos);
        }
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(controller.MessageCount(), 1u) << "SetBoolField raised before its exchange";
}

TEST(PendingMessage, KeptAfterAFailedSendAndNothingSentWhileDisconnected) {
    TestController controller;
    ControllerSession session;
    ConnectAndGreet(session, controller);
    Response silent;
    silent.silent = true;
    controller.SetDefault(silent);

    EXPECT_EQ(session.Exchange(), "");  // the deadline closes the socket
    session.SetNumberField("manualXSpeed", 0.5);
    EXPECT_EQ(session.Exchange(), "");  // the send fails on the closed socket
    EXPECT_FALSE(session.IsConnected());
    EXPECT_EQ(session.PendingMessage().at("manualXSpeed"), 0.5);

    const std::size_t before = controller.MessageCount();
    std::string printed = StdoutOf([&] {
        session.SetBoolField("brake", true);
        session.SetBoolField("brake", false);
    });
    EXPECT_EQ(printed, "") << "no I/O while disconnected";
    EXPECT_EQ(session.PendingMessage().at("brake"), true) << "first value stays queued";
    EXPECT_EQ(controller.MessageCount(), before);
}

// ---- What one exchange returns ----------------------------------------------

std::string Padded(std::string text) {
    text.resize(quorvellan::protocol::kReplyBufferSize, '\0');
    return text;
}

TEST(ExchangeReply, PaddedWithZeroBytesToTheBufferSize) {
    TestController controller;
    ControllerSession session;
    ConnectAndGreet(session, controller);
    controller.QueueReply(R"({"enabled":true})");
    EXPECT_EQ(session.Exchange(), Padded(R"({"enabled":true})"));
}

TEST(ExchangeReply, FullBufferHasNoZeroByte) {
    TestController controller;
    ControllerSession session;
    ConnectAndGreet(session, controller);
    const std::string head = R"({"s":")";
    const std::string reply = head + std::string(2048 - head.size() - 2, 'A') + R"("})";
    controller.QueueReply(reply);
    const std::string received = session.Exchange();
    EXPECT_EQ(received.size(), 2048u);
    EXPECT_EQ(received, reply);
}

TEST(ExchangeReply, LongerReplyEndsTheConnectionSoItsRestIsNeverReadAsTheNext) {
    TestController controller;
    ControllerSession session;
    ConnectAndGreet(session, controller);
    const std::string head = R"({"s":")";
    const std::string first = head + std::string(2048 - head.size(), 'A');
    controller.QueueReply(first + R"(BBB"})");
    std::string reply = "unset";
    const std::string printed = StdoutOf([&] { reply = session.Exchange(); });
    EXPECT_EQ(reply, "");
    EXPECT_EQ(printed, "Error: reply longer than 2048 bytes\n");
    EXPECT_FALSE(session.IsConnected());
    const std::size_t sent = controller.MessageCount();
    EXPECT_EQ(session.Exchange(), "");
    EXPECT_EQ(controller.MessageCount(), sent);
}

TEST(ExchangeReply, StaleBytesBeforeASendAreDropped) {
    TestController controller;
    ControllerSession session;
    ConnectAndGreet(session, controller);
    // A reply, then a stray byte well before our next request.
    Response stray = Reply(R"({"first":1})");
    stray.stray = "x";
    stray.strayGap = 0ms;
    controller.Queue(stray);
    EXPECT_EQ(session.Exchange(), Padded(R"({"first":1})"));
    std::this_thread::sleep_for(50ms);
    controller.QueueReply(R"({"second":2})");
    EXPECT_EQ(session.Exchange(), Padded(R"({"second":2})"));
    EXPECT_TRUE(session.IsConnected());
}

TEST(ExchangeReply, PiecesWithinTheDeadlineAreReassembled) {
    TestController controller;
    ControllerSession session;
    ConnectAndGreet(session, controller);
    Response pieces = Reply(R"({"floorSpeed":{"x":0.75,"y":-1.5}})");
    pieces.splitAt = {1, 14, 20};
    pieces.pieceGap = 10ms;
    controller.Queue(pieces);
    EXPECT_EQ(session.Exchange(), Padded(R"({"floorSpeed":{"x":0.75,"y":-1.5}})"));
}

TEST(ExchangeReply, OneDeadlineForAllThePieces) {
    TestController controller;
    ControllerSession session;
    ConnectAndGreet(session, controller);
    // Each gap is shorter than the read deadline, all of them together longer.
    Response drip = Reply(R"({"floorSpeed":{"x":0.75,"y":-1.5}})");
    drip.splitAt = {4, 8, 12, 16};
    drip.pieceGap = 40ms;
    controller.Queue(drip);
    std::string reply = "unset";
    std::string printed;
    const auto elapsed = DurationOf([&] { printed = StdoutOf([&] { reply = session.Exchange(); }); });
    EXPECT_EQ(reply, "");
    EXPECT_EQ(printed.rfind("Error: ", 0), 0u) << printed;
    EXPECT_GE(elapsed, 99ms);
    EXPECT_LT(elapsed, 1000ms) << "bounded by the read deadline, with generous slack";
}

TEST(ExchangeReply, AnOldDeadlineDoesNotDisturbTheNextExchange) {
    TestController controller;
    ControllerSession session;
    ConnectAndGreet(session, controller);
    controller.SetDefaultReply(R"({"enabled":true})");
    for (int i = 0; i < 3; ++i) {
        // Longer than the read deadline: the previous expiry has long passed.
        std::this_thread::sleep_for(150ms);
        EXPECT_EQ(session.Exchange(), Padded(R"({"enabled":true})")) << "exchange " << i;
        EXPECT_TRUE(session.IsConnected());
    }
}

TEST(ExchangeReply, LateReplyTimesOutAndPrintsOneLine) {
    TestController controller;
    ControllerSession session;
    ConnectAndGreet(session, controller);
    Response late = Reply(R"({"enabled":true})");
    late.delay = 400ms;
    controller.Queue(late);
    std::string reply = "unset";
    const std::string printed = StdoutOf([&] { reply = session.Exchange(); });
    EXPECT_EQ(reply, "");
    EXPECT_EQ(printed.rfind("Error: ", 0), 0u) << printed;
    EXPECT_EQ(printed.find('\n'), printed.size() - 1) << printed;
    EXPECT_TRUE(session.IsConnected()) << "a read error leaves the flag";
}

}  // namespace
