// Calls one export many times, for instruction counts under callgrind:
//   valgrind --tool=callgrind --toggle-collect='*CallRepeatedly*'
//            quorvellan-bench-query-loop GetFloorSpeeds 2000
// Only the loop is collected, so the total divided by the count is the cost of
// one call (the kernel's share of the socket calls is not counted).
// The responder must already listen on the controller port.
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <string>

#include "api/QuorvellanAPI.h"

namespace {

volatile double sink;

const std::map<std::string, std::function<void()>> kCalls = {
    {"GetFloorSpeeds", [] { sink = GetFloorSpeeds().x; }},
    {"GetFloorSpeedsNormalized", [] { sink = GetFloorSpeedsNormalized().x; }},
    {"GetFloorSpeedMagnitude", [] { sink = GetFloorSpeedMagnitude(); }},
    {"GetRing", [] { sink = GetRing().x; }},
    {"GetTreadmillRunState", [] { sink = GetTreadmillRunState(true); }},
    {"GetTreadmillSerialNumber",
     [] {
         const char* serial = GetTreadmillSerialNumber();
         sink = serial[0];
         if (*serial) std::free(const_cast<char*>(serial));
     }},
    {"frame",
     [] {
         SetManualSpeeds(0.5, -0.25);
         SetUserPosition(1.5, -2.0);
         SetUserRotation(0.92, 0.0, 0.38, 0.0);
         sink = GetFloorSpeeds().x + GetRing().x + GetTreadmillRunState(true);
     }},
};

// Returns how many calls completed with the connection still up.
__attribute__((noinline)) long CallRepeatedly(const std::function<void()>& call, long count) {
    long completed = 0;
    for (long i = 0; i < count; ++i) {
        call();
        if (CheckConnection()) ++completed;
    }
    return completed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || !kCalls.count(argv[1])) {
        std::cerr << "usage: " << argv[0] << " <export or frame> <count>\n";
        return 2;
    }
    int status = -1;
    if (InitInternal(&status, true) != 1) {
        std::cerr << "cannot connect to the responder (status " << status << ")\n";
        return 1;
    }
    const long count = std::atol(argv[2]);
    const long completed = CallRepeatedly(kCalls.at(argv[1]), count);
    std::cout << "calls " << count << " connected " << completed << "\n";
    return completed == count ? 0 : 1;
}
