#include "tests/support/framing_property.hpp"

#include <nlohmann/json.hpp>

#include "api/QuorvellanAPI.h"

namespace quorvellan::testing {

namespace {

// The request number travels as the user's x position.
double RequestNumber(const std::string& message) {
    const nlohmann::json parsed = nlohmann::json::parse(message, nullptr, false);
    const auto position = parsed.find("user position x");
    return position != parsed.end() && position->is_number() ? position->get<double>() : -1.0;
}

std::string ReplyCarrying(double request, bool oversize) {
    std::string reply = R"({"floorSpeed":{"x":)" + std::to_string(static_cast<long long>(request)) + R"(,"y":0})";
    if (oversize) reply += R"(,"pad":")" + std::string(3000, 'p') + '"';
    return reply + "}";
}

Response Planned(std::string text, const ReplyPlan& plan) {
    Response response = Reply(std::move(text));
    for (std::size_t at : plan.splitAt) {
        if (at > 0 && at < response.text.size()) response.splitAt.push_back(at);
    }
    response.pieceGap = plan.pieceGap;
    response.stray = plan.stray;
    response.strayGap = plan.strayGap;
    return response;
}

Response Answer(const std::string& message, const PlanFor& planFor) {
    // The handshake is answered plainly: the property is about the replies after it.
    if (message.find("\"build\"") != std::string::npos) return Reply(LocalHandshakeReply());
    const double request = RequestNumber(message);
    if (request < 0) return Reply("{}");
    const std::size_t plainSize = ReplyCarrying(request, false).size();
    const ReplyPlan plan = planFor(plainSize);
    return Planned(ReplyCarrying(request, plan.oversize), plan);
}

}  // namespace

FramingTally RunFramingProperty(TestController& controller, PlanFor planFor, int requests) {
    controller.SetResponder([planFor](const std::string& message) { return Answer(message, planFor); });
    FramingTally tally;
    for (int request = 1; request <= requests; ++request) {
        if (CheckConnection() == 0) {
            ++tally.reconnects;
            int status = -1;
            if (InitInternal(&status, true) != 1) continue;
        }
        SetUserPosition(request, 0.0);
        const double x = GetFloorSpeeds().x;
        if (x == request) {
            ++tally.own;
        } else if (x == 0.0) {
            ++tally.fallback;
        } else {
            ++tally.foreign;
            tally.foreignSamples.push_back("request " + std::to_string(request) + " read " + std::to_string(x));
        }
    }
    // A request the controller has not answered yet may still reach it after
    // this run: it must not call back into the caller's plan, which ends here.
    // The responder is swapped under the controller's lock, so once this
    // returns no call of the old one is under way.
    controller.SetResponder([](const std::string& message) { return Answer(message, [](std::size_t) { return ReplyPlan{}; }); });
    return tally;
}

}  // namespace quorvellan::testing
