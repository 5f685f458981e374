// quorvellan-test-xr-app: an OpenXR application as a game is one, through
// the system's loader: a headless session, one vector2f "move" action bound
// to the left thumbstick on two interaction profiles, read every frame.
// Prints one JSON line per frame; exits non-zero on any failed call.
#include <openxr/openxr.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "xr_test_support.hpp"

namespace {

using quorvellan::xr_test::HeadlessInstanceInfo;
using quorvellan::xr_test::Typed;

using Clock = std::chrono::steady_clock;

const char* const kUsage =
    "usage: quorvellan-test-xr-app [--frames N] [--period-ms MS]\n"
    "  --frames N      frames to run (default 100)\n"
    "  --period-ms MS  sleep between frames (default 10)\n";

struct Options {
    int frames = 100;
    int periodMs = 10;
};

[[noreturn]] void UsageError(const std::string& problem) {
    std::fprintf(stderr, "quorvellan-test-xr-app: %s\n%s", problem.c_str(), kUsage);
    std::exit(2);
}

int ToCount(const std::string& option, const char* text) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < 0 || value > 1000000)
        UsageError(option + " expects a whole number from 0 to 1000000, not '" + text + "'");
    return static_cast<int>(value);
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) UsageError(option == "--frames" || option == "--period-ms" ? option + " expects a value"
                                                                                      : "unknown option " + option);
        if (option == "--frames") options.frames = ToCount(option, argv[++i]);
        else if (option == "--period-ms") options.periodMs = ToCount(option, argv[++i]);
        else UsageError("unknown option " + option);
    }
    return options;
}

XrInstance instance = XR_NULL_HANDLE;  // for the names of failed results

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void Check(XrResult result, const char* call) {
    if (XR_SUCCEEDED(result)) return;
    char name[XR_MAX_RESULT_STRING_SIZE] = "";
    if (instance == XR_NULL_HANDLE || XR_FAILED(xrResultToString(instance, result, name)))
        std::snprintf(name, sizeof name, "XrResult %d", result);
    throw Failure(std::string(call) + " failed: " + name);
}

#define CHECK(call) Check(call, #call)

void CreateInstance() {
    const XrInstanceCreateInfo info = HeadlessInstanceInfo("quorvellan-test-xr-app");
    CHECK(xrCreateInstance(&info, &instance));
}

XrSession CreateSession() {
    auto systemInfo = Typed<XrSystemGetInfo>(XR_TYPE_SYSTEM_GET_INFO);
    systemInfo.formFactor = XR_FORM_FACTOR_HEAD_MOUNTED_DISPLAY;
    XrSystemId system = XR_NULL_SYSTEM_ID;
    CHECK(xrGetSystem(instance, &systemInfo, &system));
    auto sessionInfo = Typed<XrSessionCreateInfo>(XR_TYPE_SESSION_CREATE_INFO);
    sessionInfo.systemId = system;
    XrSession session = XR_NULL_HANDLE;
    CHECK(xrCreateSession(instance, &sessionInfo, &session));
    return session;
}

XrPath Path(const char* text) {
    XrPath path = XR_NULL_PATH;
    CHECK(xrStringToPath(instance, text, &path));
    return path;
}

// The locomotion action, suggested for the left stick of two controllers.
XrAction CreateMoveAction(XrSession session, XrActionSet* set) {
    auto setInfo = Typed<XrActionSetCreateInfo>(XR_TYPE_ACTION_SET_CREATE_INFO);
    std::strcpy(setInfo.actionSetName, "gameplay");
    std::strcpy(setInfo.localizedActionSetName, "Gameplay");
    CHECK(xrCreateActionSet(instance, &setInfo, set));
    auto actionInfo = Typed<XrActionCreateInfo>(XR_TYPE_ACTION_CREATE_INFO);
    actionInfo.actionType = XR_ACTION_TYPE_VECTOR2F_INPUT;
    std::strcpy(actionInfo.actionName, "move");
    std::strcpy(actionInfo.localizedActionName, "Move");
    XrAction move = XR_NULL_HANDLE;
    CHECK(xrCreateAction(*set, &actionInfo, &move));
    for (const char* profile : {"/interaction_profiles/oculus/touch_controller",
                                "/interaction_profiles/valve/index_controller"}) {
        const XrActionSuggestedBinding binding{move, Path("/user/hand/left/input/thumbstick")};
        auto suggested = Typed<XrInteractionProfileSuggestedBinding>(XR_TYPE_INTERACTION_PROFILE_SUGGESTED_BINDING);
        suggested.interactionProfile = Path(profile);
        suggested.countSuggestedBindings = 1;
        suggested.suggestedBindings = &binding;
        CHECK(xrSuggestInteractionProfileBindings(instance, &suggested));
    }
    auto attach = Typed<XrSessionActionSetsAttachInfo>(XR_TYPE_SESSION_ACTION_SETS_ATTACH_INFO);
    attach.countActionSets = 1;
    attach.actionSets = set;
    CHECK(xrAttachSessionActionSets(session, &attach));
    return move;
}

// Drains the event queue; true once the session is ready to begin.
bool PollReady() {
    bool ready = false;
    for (;;) {
        auto event = Typed<XrEventDataBuffer>(XR_TYPE_EVENT_DATA_BUFFER);
        const XrResult result = xrPollEvent(instance, &event);
        Check(result, "xrPollEvent");
        if (result == XR_EVENT_UNAVAILABLE) return ready;
        if (event.type == XR_TYPE_EVENT_DATA_SESSION_STATE_CHANGED &&
            reinterpret_cast<XrEventDataSessionStateChanged&>(event).state == XR_SESSION_STATE_READY)
            ready = true;
    }
}

void BeginSession(XrSession session) {
    for (int polls = 0; !PollReady(); ++polls)
        if (polls == 100) throw Failure("the session never became ready");
    auto begin = Typed<XrSessionBeginInfo>(XR_TYPE_SESSION_BEGIN_INFO);
    begin.primaryViewConfigurationType = XR_VIEW_CONFIGURATION_TYPE_PRIMARY_STEREO;
    CHECK(xrBeginSession(session, &begin));
}

long long Nanoseconds(Clock::duration duration) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
}

void RunFrame(XrSession session, XrActionSet set, XrAction move, int frame) {
    const Clock::time_point frameStart = Clock::now();
    auto waitInfo = Typed<XrFrameWaitInfo>(XR_TYPE_FRAME_WAIT_INFO);
    auto frameState = Typed<XrFrameState>(XR_TYPE_FRAME_STATE);
    CHECK(xrWaitFrame(session, &waitInfo, &frameState));
    auto beginInfo = Typed<XrFrameBeginInfo>(XR_TYPE_FRAME_BEGIN_INFO);
    CHECK(xrBeginFrame(session, &beginInfo));

    const Clock::time_point readStart = Clock::now();
    const XrActiveActionSet active{set, XR_NULL_PATH};
    auto syncInfo = Typed<XrActionsSyncInfo>(XR_TYPE_ACTIONS_SYNC_INFO);
    syncInfo.countActiveActionSets = 1;
    syncInfo.activeActionSets = &active;
    CHECK(xrSyncActions(session, &syncInfo));
    auto getInfo = Typed<XrActionStateGetInfo>(XR_TYPE_ACTION_STATE_GET_INFO);
    getInfo.action = move;
    auto state = Typed<XrActionStateVector2f>(XR_TYPE_ACTION_STATE_VECTOR2F);
    CHECK(xrGetActionStateVector2f(session, &getInfo, &state));
    const Clock::time_point readEnd = Clock::now();

    auto endInfo = Typed<XrFrameEndInfo>(XR_TYPE_FRAME_END_INFO);
    endInfo.displayTime = frameState.predictedDisplayTime;
    endInfo.environmentBlendMode = XR_ENVIRONMENT_BLEND_MODE_OPAQUE;
    CHECK(xrEndFrame(session, &endInfo));
    PollReady();
    std::printf("{\"frame\":%d,\"time\":%lld,\"x\":%.9g,\"y\":%.9g,\"isActive\":%s,\"changedSinceLastSync\":%s,"
                "\"lastChangeTime\":%lld,\"readNs\":%lld,\"frameNs\":%lld}\n",
                frame, static_cast<long long>(frameState.predictedDisplayTime), state.currentState.x,
                state.currentState.y, state.isActive ? "true" : "false",
                state.changedSinceLastSync ? "true" : "false", static_cast<long long>(state.lastChangeTime),
                Nanoseconds(readEnd - readStart), Nanoseconds(Clock::now() - frameStart));
}

void Run(const Options& options) {
    CreateInstance();
    XrSession session = CreateSession();
    XrActionSet set = XR_NULL_HANDLE;
    const XrAction move = CreateMoveAction(session, &set);
    BeginSession(session);
    for (int frame = 0; frame < options.frames; ++frame) {
        RunFrame(session, set, move, frame);
        std::this_thread::sleep_for(std::chrono::milliseconds(options.periodMs));
    }
    std::fflush(stdout);
    CHECK(xrEndSession(session));
    CHECK(xrDestroySession(session));
    const Clock::time_point destroyStart = Clock::now();
    CHECK(xrDestroyInstance(instance));
    instance = XR_NULL_HANDLE;
    std::printf("{\"destroyNs\":%lld}\n", Nanoseconds(Clock::now() - destroyStart));
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    try {
        Run(options);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "quorvellan-test-xr-app: %s\n", failure.what());
        return 1;
    }
    return 0;
}
