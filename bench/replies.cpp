#include "bench/replies.hpp"

#include <stdexcept>

#include <nlohmann/json.hpp>

#include "messages/protocol.hpp"

namespace quorvellan::bench {

using nlohmann::json;

const std::string& QueryRequest() {
    static const std::string request =
        protocol::ShortSenderHeader(protocol::kApiSenderName, protocol::kApiVersionMajor, protocol::kApiVersionMinor)
            .dump();
    return request;
}

namespace {

json EssentialReply() {
    return {
        {"sender",
         {{"name", protocol::kLocalControllerName},
          {"version", {{"major", "1"}, {"minor", "3"}, {"build", "1"}}},
          {"treadmill", {{"serial number", "QV2D-0042-1187"}}}}},
        {"floorSpeed", {{"x", 0.2513}, {"y", -1.0478}}},
        {"ringPosition", {{"x", 0.12}, {"y", 0.98}, {"z", -0.03}}},
        {"enabled", true},
        {"locked", false},
    };
}

json MotorDiagnostics(int motor) {
    return {{"motor", motor}, {"current", 1.25 + motor * 0.125}, {"temperature", 36.5 + motor}, {"ok", true}};
}

}  // namespace

std::string ReplyOfSize(std::size_t bytes) {
    json reply = EssentialReply();
    reply["diagnostics"] = json::array();
    // The filler string's member adds its name, quotes, colon and comma.
    const std::size_t fillerOverhead = std::string(R"(,"note":"")").size();
    for (int motor = 0;; ++motor) {
        json wider = reply;
        wider["diagnostics"].push_back(MotorDiagnostics(motor));
        if (wider.dump().size() + fillerOverhead > bytes) break;
        reply = std::move(wider);
    }
    const std::size_t size = reply.dump().size() + fillerOverhead;
    if (size > bytes) throw std::invalid_argument("reply size too small for the essential members");
    reply["note"] = std::string(bytes - size, 'n');
    std::string text = reply.dump();
    if (text.size() != bytes) throw std::logic_error("reply size mismatch");
    return text;
}

void StampReply(std::string& reply, unsigned long count) {
    static const std::string kSerialPrefix = "QV2D-0042-";
    const std::size_t at = reply.find(kSerialPrefix);
    if (at == std::string::npos) throw std::logic_error("reply without the serial number");
    for (std::size_t digit = 4; digit-- > 0; count /= 10) reply[at + kSerialPrefix.size() + digit] = char('0' + count % 10);
}

std::string ZeroPadded(const std::string& reply) {
    std::string padded = reply;
    padded.resize(protocol::kReplyBufferSize, '\0');
    return padded;
}

}  // namespace quorvellan::bench
