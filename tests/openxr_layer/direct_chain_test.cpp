// The layer driven as the loader drives it, without a loader: this program
// negotiates with the layer library, chains it to the test runtime compiled
// in, and plays the game's part, while a scripted controller reports the
// belts' speeds. The same table runs on Linux and, cross-built, under Wine.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <dlfcn.h>
#  include <fcntl.h>
#  include <sys/stat.h>
#  include <unistd.h>
#endif

#include "openxr_layer/loader_interface.h"
#include "tests/faults/faults_support.hpp"
#include "tests/openxr/xr_test_support.hpp"
#include "tests/support/environment.hpp"
#include "tests/support/test_controller.hpp"

extern "C" XrResult XRAPI_CALL xrNegotiateLoaderRuntimeInterface(const XrNegotiateLoaderInfo* loaderInfo,
                                                                 XrNegotiateRuntimeRequest* request);
extern "C" void quorvellanTestRuntimeChange(const char* change);

namespace {

using namespace std::chrono_literals;
using quorvellan::testing::ScopedVariable;
using quorvellan::xr_test::HeadlessInstanceInfo;
using quorvellan::xr_test::Typed;
constexpr double pi = 3.14159265358979323846;
const std::uint16_t controllerPort = quorvellan::testing::FreeLoopbackPort();  // one per process

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::trunc) << text;
}

std::string tempPath(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
#if defined(_WIN32)
    if (!dir) dir = std::getenv("TEMP");
#endif
    // Each case is a process of its own and cases run side by side: the
    // process's id keeps their files apart.
#if defined(_WIN32)
    static const std::string process = std::to_string(GetCurrentProcessId());
#else
    static const std::string process = std::to_string(getpid());
#endif
    return std::string(dir ? dir : "/tmp") + "/quorvellan_direct_chain_" + process + "_" + name;
}

PFN_xrNegotiateLoaderApiLayerInterface loadLayer() {
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(QUORVELLAN_LAYER_LIBRARY);
    return module ? reinterpret_cast<PFN_xrNegotiateLoaderApiLayerInterface>(
                        reinterpret_cast<void*>(GetProcAddress(module, "xrNegotiateLoaderApiLayerInterface")))
                  : nullptr;
#else
    void* module = dlopen(QUORVELLAN_LAYER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    return module ? reinterpret_cast<PFN_xrNegotiateLoaderApiLayerInterface>(
                        dlsym(module, "xrNegotiateLoaderApiLayerInterface"))
                  : nullptr;
#endif
}

// The runtime below the layer: its xrCreateInstance stands for the end of the chain.
PFN_xrGetInstanceProcAddr runtimeGetProcAddr = nullptr;

XrResult XRAPI_CALL runtimeCreateApiLayerInstance(const XrInstanceCreateInfo* info, const XrApiLayerCreateInfo*,
                                                  XrInstance* instance) {
    PFN_xrVoidFunction create = nullptr;
    runtimeGetProcAddr(XR_NULL_HANDLE, "xrCreateInstance", &create);
    return reinterpret_cast<PFN_xrCreateInstance>(create)(info, instance);
}

#define XR_CHECK(call) ASSERT_TRUE(XR_SUCCEEDED(call)) << #call

// What the game, or the system under it, does once the walking shows.
enum class Twist { none, readsTwice, losesFocus, syncsAnotherSet, profileChanges, aimOfAnotherAction, destroysAim, destroysAimSet };

// A game: instance, headless session, one vector2f action on the left stick
// (the right one in the Index profile), read once per frame; the left aim is
// the "aim" action, or "pointer" in the Windows Mixed Reality profile.
class Game {
public:
    PFN_xrGetInstanceProcAddr layerGetProcAddr = nullptr;
    XrInstance instance = XR_NULL_HANDLE;
    XrSession session = XR_NULL_HANDLE;
    XrActionSet set = XR_NULL_HANDLE;
    XrActionSet hands = XR_NULL_HANDLE;  // the aim's
    XrAction move = XR_NULL_HANDLE;
    XrAction aim = XR_NULL_HANDLE;  // a pose action on the left hand's aim, as games that steer by hand have
    XrAction pointer = XR_NULL_HANDLE;
    bool readsTwice = false, syncsHandsOnly = false;

    template <typename Function>
    Function get(const char* name) {
        PFN_xrVoidFunction function = nullptr;
        layerGetProcAddr(instance, name, &function);
        return reinterpret_cast<Function>(function);
    }

    void start() {
        PFN_xrNegotiateLoaderApiLayerInterface negotiate = loadLayer();
        ASSERT_NE(negotiate, nullptr) << "cannot load " << QUORVELLAN_LAYER_LIBRARY;
        auto loaderInfo = XrNegotiateLoaderInfo{XR_LOADER_INTERFACE_STRUCT_LOADER_INFO, XR_LOADER_INFO_STRUCT_VERSION,
                                                sizeof(XrNegotiateLoaderInfo), 1, 1, XR_MAKE_VERSION(1, 0, 0),
                                                XR_CURRENT_API_VERSION};
        XrNegotiateApiLayerRequest layerRequest{};
        layerRequest.structType = XR_LOADER_INTERFACE_STRUCT_API_LAYER_REQUEST;
        layerRequest.structVersion = XR_API_LAYER_INFO_STRUCT_VERSION;
        layerRequest.structSize = sizeof layerRequest;
        XR_CHECK(negotiate(&loaderInfo, "XR_APILAYER_QUORVELLAN_treadmill", &layerRequest));
        EXPECT_EQ(layerRequest.layerInterfaceVersion, 1u);
        XrNegotiateRuntimeRequest runtimeRequest{};
        runtimeRequest.structType = XR_LOADER_INTERFACE_STRUCT_RUNTIME_REQUEST;
        runtimeRequest.structVersion = XR_RUNTIME_INFO_STRUCT_VERSION;
        runtimeRequest.structSize = sizeof runtimeRequest;
        XR_CHECK(xrNegotiateLoaderRuntimeInterface(&loaderInfo, &runtimeRequest));
        runtimeGetProcAddr = runtimeRequest.getInstanceProcAddr;
        layerGetProcAddr = layerRequest.getInstanceProcAddr;

        XrApiLayerNextInfo next{XR_LOADER_INTERFACE_STRUCT_API_LAYER_NEXT_INFO, XR_API_LAYER_NEXT_INFO_STRUCT_VERSION,
                                sizeof(XrApiLayerNextInfo), "XR_APILAYER_QUORVELLAN_treadmill",
                                runtimeGetProcAddr, runtimeCreateApiLayerInstance, nullptr};
        XrApiLayerCreateInfo layerInfo{XR_LOADER_INTERFACE_STRUCT_API_LAYER_CREATE_INFO,
                                       XR_API_LAYER_CREATE_INFO_STRUCT_VERSION, sizeof(XrApiLayerCreateInfo),
                                       nullptr, "", &next};
        const XrInstanceCreateInfo info = HeadlessInstanceInfo("direct-chain-test");
        XR_CHECK(layerRequest.createApiLayerInstance(&info, &layerInfo, &instance));
        ASSERT_NO_FATAL_FAILURE(createSession());
        ASSERT_NO_FATAL_FAILURE(createAction());
        ASSERT_NO_FATAL_FAILURE(beginSession());
    }

    void createSession() {
        auto systemInfo = Typed<XrSystemGetInfo>(XR_TYPE_SYSTEM_GET_INFO);
        systemInfo.formFactor = XR_FORM_FACTOR_HEAD_MOUNTED_DISPLAY;
        XrSystemId system = XR_NULL_SYSTEM_ID;
        XR_CHECK(get<PFN_xrGetSystem>("xrGetSystem")(instance, &systemInfo, &system));
        auto sessionInfo = Typed<XrSessionCreateInfo>(XR_TYPE_SESSION_CREATE_INFO);
        sessionInfo.systemId = system;
        XR_CHECK(get<PFN_xrCreateSession>("xrCreateSession")(instance, &sessionInfo, &session));
    }

    XrPath path(const char* text) {
        XrPath result = XR_NULL_PATH;
        get<PFN_xrStringToPath>("xrStringToPath")(instance, text, &result);
        return result;
    }

    void createAction() {
        auto setInfo = Typed<XrActionSetCreateInfo>(XR_TYPE_ACTION_SET_CREATE_INFO);
        std::strcpy(setInfo.actionSetName, "gameplay");
        std::strcpy(setInfo.localizedActionSetName, "Gameplay");
        XR_CHECK(get<PFN_xrCreateActionSet>("xrCreateActionSet")(instance, &setInfo, &set));
        std::strcpy(setInfo.actionSetName, "hands");
        XR_CHECK(get<PFN_xrCreateActionSet>("xrCreateActionSet")(instance, &setInfo, &hands));
        auto actionInfo = Typed<XrActionCreateInfo>(XR_TYPE_ACTION_CREATE_INFO);
        actionInfo.actionType = XR_ACTION_TYPE_VECTOR2F_INPUT;
        std::strcpy(actionInfo.actionName, "move");
        std::strcpy(actionInfo.localizedActionName, "Move");
        XR_CHECK(get<PFN_xrCreateAction>("xrCreateAction")(set, &actionInfo, &move));
        actionInfo.actionType = XR_ACTION_TYPE_POSE_INPUT;
        std::strcpy(actionInfo.actionName, "aim");
        std::strcpy(actionInfo.localizedActionName, "Aim");
        XR_CHECK(get<PFN_xrCreateAction>("xrCreateAction")(hands, &actionInfo, &aim));
        std::strcpy(actionInfo.actionName, "pointer");
        std::strcpy(actionInfo.localizedActionName, "Pointer");
        XR_CHECK(get<PFN_xrCreateAction>("xrCreateAction")(hands, &actionInfo, &pointer));
        const struct {
            const char* profile;
            const char* stick;
            XrAction aim;
        } suggestions[] = {{"/interaction_profiles/oculus/touch_controller", "left", aim},
                           {"/interaction_profiles/valve/index_controller", "right", aim},
                           {"/interaction_profiles/microsoft/motion_controller", "left", pointer}};
        for (auto [profile, stick, aimAction] : suggestions) {
            const XrActionSuggestedBinding bindings[] = {
                {move, path(("/user/hand/" + std::string(stick) + "/input/thumbstick").c_str())},
                {aimAction, path("/user/hand/left/input/aim/pose")}};
            auto suggested = Typed<XrInteractionProfileSuggestedBinding>(XR_TYPE_INTERACTION_PROFILE_SUGGESTED_BINDING);
            suggested.interactionProfile = path(profile);
            suggested.countSuggestedBindings = 2;
            suggested.suggestedBindings = bindings;
            XR_CHECK(get<PFN_xrSuggestInteractionProfileBindings>("xrSuggestInteractionProfileBindings")(instance,
                                                                                                        &suggested));
        }
        auto attach = Typed<XrSessionActionSetsAttachInfo>(XR_TYPE_SESSION_ACTION_SETS_ATTACH_INFO);
        const XrActionSet sets[] = {set, hands};
        attach.countActionSets = 2;
        attach.actionSets = sets;
        XR_CHECK(get<PFN_xrAttachSessionActionSets>("xrAttachSessionActionSets")(session, &attach));
    }

    void pollEvents() {
        auto poll = get<PFN_xrPollEvent>("xrPollEvent");
        for (;;) {
            auto event = Typed<XrEventDataBuffer>(XR_TYPE_EVENT_DATA_BUFFER);
            if (poll(instance, &event) != XR_SUCCESS) break;
        }
    }

    void beginSession() {
        pollEvents();
        auto begin = Typed<XrSessionBeginInfo>(XR_TYPE_SESSION_BEGIN_INFO);
        begin.primaryViewConfigurationType = XR_VIEW_CONFIGURATION_TYPE_PRIMARY_STEREO;
        XR_CHECK(get<PFN_xrBeginSession>("xrBeginSession")(session, &begin));
    }

    XrActionStateVector2f frame() {
        pollEvents();
        auto waitInfo = Typed<XrFrameWaitInfo>(XR_TYPE_FRAME_WAIT_INFO);
        auto frameState = Typed<XrFrameState>(XR_TYPE_FRAME_STATE);
        get<PFN_xrWaitFrame>("xrWaitFrame")(session, &waitInfo, &frameState);
        const XrActiveActionSet active[] = {{hands, XR_NULL_PATH}, {set, XR_NULL_PATH}};
        auto syncInfo = Typed<XrActionsSyncInfo>(XR_TYPE_ACTIONS_SYNC_INFO);
        syncInfo.countActiveActionSets = hands && !syncsHandsOnly ? 2 : 1;
        syncInfo.activeActionSets = hands ? active : active + 1;
        get<PFN_xrSyncActions>("xrSyncActions")(session, &syncInfo);
        auto getInfo = Typed<XrActionStateGetInfo>(XR_TYPE_ACTION_STATE_GET_INFO);
        getInfo.action = move;
        auto read = get<PFN_xrGetActionStateVector2f>("xrGetActionStateVector2f");
        XrBaseOutStructure chained{XR_TYPE_UNKNOWN, nullptr};  // an extension's, say: ignored
        auto first = Typed<XrActionStateVector2f>(XR_TYPE_ACTION_STATE_VECTOR2F);
        first.next = &chained;
        if (readsTwice) read(session, &getInfo, &first);
        auto state = Typed<XrActionStateVector2f>(XR_TYPE_ACTION_STATE_VECTOR2F);
        read(session, &getInfo, &state);
        return state;
    }

    void apply(Twist twist) {
        readsTwice = twist == Twist::readsTwice;
        syncsHandsOnly = twist == Twist::syncsAnotherSet;
        if (twist == Twist::losesFocus) quorvellanTestRuntimeChange(R"({"focused": false})");
        if (twist == Twist::profileChanges)
            quorvellanTestRuntimeChange(R"({"profile": "/interaction_profiles/valve/index_controller"})");
        if (twist == Twist::aimOfAnotherAction)
            quorvellanTestRuntimeChange(R"({"profile": "/interaction_profiles/microsoft/motion_controller"})");
        if (twist == Twist::destroysAimSet) {
            EXPECT_EQ(get<PFN_xrDestroyActionSet>("xrDestroyActionSet")(hands), XR_SUCCESS);
            hands = XR_NULL_HANDLE;
        }
        if (twist == Twist::destroysAim) {  // on another thread, frames running meanwhile
            std::atomic<bool> destroyed{false};
            std::thread destroyer([&] {
                EXPECT_EQ(get<PFN_xrDestroyAction>("xrDestroyAction")(aim), XR_SUCCESS);
                destroyed = true;
            });
            while (!destroyed) frame();
            destroyer.join();
        }
    }

    void stop() {
        if (!instance) return;
        get<PFN_xrDestroySession>("xrDestroySession")(session);
        get<PFN_xrDestroyInstance>("xrDestroyInstance")(instance);
        instance = XR_NULL_HANDLE;
    }
};

// The controller: answers every poll with the belts' speeds of the moment.
class Belts {
public:
    Belts() : controller(controllerPort) {
        controller.SetResponder([this](const std::string& message) {
            if (quorvellan::faults::IsHandshakeMessage(message)) {
                return quorvellan::testing::Reply(quorvellan::testing::LocalHandshakeReply());
            }
            std::lock_guard lock(mutex);
            char reply[256];
            std::snprintf(reply, sizeof reply,
                          R"({"enabled":true,"floorSpeed":{"x":%.6f,"y":%.6f},"locked":false,)"
                          R"("ringPosition":{"x":0,"y":0,"z":0},"sender":{"treadmill":{"serial number":"SN-1"}}})",
                          x, y);
            return quorvellan::testing::Reply(reply);
        });
    }
    void set(double newX, double newY) {
        std::lock_guard lock(mutex);
        x = newX;
        y = newY;
    }
    quorvellan::testing::TestController controller;

private:
    std::mutex mutex;
    double x = 0.0, y = 0.0;
};

struct Row {
    const char* name;
    double headYaw;          // degrees, stage
    double forwardYaw;       // the calibration's
    double floorX, floorY;   // m/s, treadmill frame
    float realX, realY;      // the real stick
    float expectedX, expectedY;
    Twist twist = Twist::none;
};

// The floor under a user walking ahead of the head at `speed` (calibration 0).
Row walkingAhead(const char* name, double headYaw, double speed) {
    double yaw = headYaw * pi / 180.0;
    return {name, headYaw, 0, speed * std::sin(yaw), -speed * std::cos(yaw), 0, 0, 0, float(speed / 1.5)};
}

class DirectChain : public ::testing::Test {
protected:
    void TearDown() override {
        for (const std::string& file : {config, config + ".calibrate", script, tempPath("layer.log")}) {
            std::remove(file.c_str());
        }
    }

    // Reads frames until the stick shows what `shows` wants (the stream
    // connects in the background), or gives up after a generous while.
    template <typename Shows>
    XrActionStateVector2f runUntil(Game& game, Shows shows) {
        XrActionStateVector2f state{};
        auto until = std::chrono::steady_clock::now() + 10s;
        do {
            state = game.frame();
            if (shows(state.currentState)) break;
            std::this_thread::sleep_for(2ms);
        } while (std::chrono::steady_clock::now() < until);
        return state;
    }

    // Writes the config and the game's script, sets the belts and reads the
    // stick of a new game until it shows (x, y) or the wait ends; a twist
    // comes once the walking shows (its rows rest the real stick).
    void readStick(Belts& belts, const char* configText, const char* scriptText, double floorX, double floorY,
                   float x, float y, XrActionStateVector2f& state, Twist twist = Twist::none) {
        writeFile(config, configText);
        writeFile(script, scriptText);
        belts.set(floorX, floorY);
        Game game;
        ASSERT_NO_FATAL_FAILURE(game.start());
        if (twist != Twist::none) {
            auto walks = [](XrVector2f stick) { return std::hypot(stick.x, stick.y) > 0.25f; };
            ASSERT_TRUE(walks(runUntil(game, walks).currentState)) << "no walking before the twist";
            game.apply(twist);
            for (int frame = 0; frame < 20; ++frame) game.frame();  // what the twist changes takes effect
        }
        state = runUntil(game, [&](XrVector2f stick) { return std::hypot(stick.x - x, stick.y - y) < 1e-3f; });
        game.stop();
    }

    static void expectStick(const char* name, const XrActionStateVector2f& state, float x, float y) {
        std::printf("table: %-48s stick (%.3f, %.3f) active %d, expected (%.3f, %.3f)\n", name, state.currentState.x,
                    state.currentState.y, int(state.isActive), x, y);
        EXPECT_NEAR(state.currentState.x, x, 1e-3);
        EXPECT_NEAR(state.currentState.y, y, 1e-3);
        EXPECT_EQ(state.type, XR_TYPE_ACTION_STATE_VECTOR2F);
        EXPECT_EQ(state.next, nullptr);  // the game's own; a layer writes the output fields only
    }

    std::string config = tempPath("config.json");
    std::string script = tempPath("script.json");
    ScopedVariable controllerAddress{"QUORVELLAN_CONTROLLER", "127.0.0.1:" + std::to_string(controllerPort)};
    ScopedVariable configVariable{"QUORVELLAN_XR_CONFIG", config};
    ScopedVariable scriptVariable{"QUORVELLAN_TEST_XR_SCRIPT", script};
};

TEST_F(DirectChain, WalkingTable) {
    Belts belts;
    const Row rows[] = {
        walkingAhead("head 0, walking ahead", 0, 0.75),
        walkingAhead("head 90, walking ahead", 90, 0.75),
        walkingAhead("head 180, walking ahead", 180, 0.75),
        walkingAhead("head -90, walking ahead", -90, 0.75),
        {"head 0, walking right", 0, 0, -0.75, 0, 0, 0, 0.5f, 0},
        {"standing: the real stick", 0, 0, 0, 0, 0.3f, -0.2f, 0.3f, -0.2f},
        {"walking beats a small push", 0, 0, 0, -0.75, 0.2f, 0, 0, 0.5f},
        {"a full push beats walking", 0, 0, 0, -0.75, 0.8f, 0.6f, 0.8f, 0.6f},
        {"fast walking is clamped", 0, 0, 0, -3, 0, 0, 0, 1},
        {"calibration yaw 90, head 90, treadmill forward", 90, 90, 0, -0.75, 0, 0, 0, 0.5f},
        {"a second read in a sync", 0, 0, 0, -0.75, 0, 0, 0, 0.5f, Twist::readsTwice},
        {"unfocused: the runtime's inactive stick", 0, 0, 0, -0.75, 0, 0, 0, 0, Twist::losesFocus},
        {"its set left out of the sync: inactive", 0, 0, 0, -0.75, 0, 0, 0, 0, Twist::syncsAnotherSet},
        {"a profile binding move to the right stick", 0, 0, 0, -0.75, 0, 0, 0, 0, Twist::profileChanges},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        char configText[256], scriptText[256];
        std::snprintf(configText, sizeof configText, R"({"calibration": {"centre": [0, 0], "forwardYaw": %g}})",
                      row.forwardYaw);
        std::snprintf(scriptText, sizeof scriptText,
                      R"({"headYaw": %g, "headPosition": [0, 1.7, 0], "leftStick": [%g, %g]})", row.headYaw,
                      row.realX, row.realY);
        XrActionStateVector2f state{};
        ASSERT_NO_FATAL_FAILURE(readStick(belts, configText, scriptText, row.floorX, row.floorY, row.expectedX,
                                          row.expectedY, state, row.twist));
        expectStick(row.name, state, row.expectedX, row.expectedY);
        EXPECT_EQ(state.isActive, row.twist != Twist::losesFocus && row.twist != Twist::syncsAnotherSet);
    }
}

// "controller" mode: forward is where the left hand aims, not where the head
// faces; "head" mode on the same walk reads sideways.
TEST_F(DirectChain, ControllerModeSteersByTheHandsAim) {
    Belts belts;
    struct {
        const char* name;
        const char* mode;
        double headYaw, aimYaw;
        double floorX, floorY;
        float expectedX, expectedY;
        Twist twist = Twist::none;
    } rows[] = {
        {"aim 90, walking where it points", "controller", 0, 90, 0.75, 0, 0, 0.5f},
        {"aim -90, head 90, walking where the aim points", "controller", 90, -90, -0.75, 0, 0, 0.5f},
        {"head mode ignores the aim", "head", 0, 90, 0.75, 0, -0.5f, 0},
        {"aim destroyed as frames run: the head steers", "controller", 0, 90, 0.75, 0, -0.5f, 0, Twist::destroysAim},
        {"the aim's set destroyed: the head steers", "controller", 0, 90, 0.75, 0, -0.5f, 0, Twist::destroysAimSet},
        {"a profile with its own aim action: it steers", "controller", 0, 90, 0.75, 0, 0, 0.5f,
         Twist::aimOfAnotherAction},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        char configText[256], scriptText[256];
        std::snprintf(configText, sizeof configText, R"({"mode": "%s"})", row.mode);
        std::snprintf(scriptText, sizeof scriptText, R"({"headYaw": %g, "leftAimYaw": %g})", row.headYaw, row.aimYaw);
        XrActionStateVector2f state{};
        ASSERT_NO_FATAL_FAILURE(readStick(belts, configText, scriptText, row.floorX, row.floorY, row.expectedX,
                                          row.expectedY, state, row.twist));
        expectStick(row.name, state, row.expectedX, row.expectedY);
    }
}

TEST_F(DirectChain, HeadPoseReachesTheControllerAsTheUsersPosition) {
    Belts belts;
    writeFile(config, R"({"calibration": {"centre": [0.1, 0.2], "forwardYaw": 0}})");
    writeFile(script, R"({"headYaw": 0, "headPosition": [0.6, 1.7, -0.3]})");
    Game game;
    ASSERT_NO_FATAL_FAILURE(game.start());
    // Treadmill x = 0.6 - 0.1, y = -(-0.3 - 0.2); the head turned by nothing.
    auto carriesThePose = [](const std::string& text) {
        auto message = nlohmann::json::parse(text, nullptr, false);
        return message.is_object() && message.contains("user position x") &&
               std::fabs(message["user position x"].get<double>() - 0.5) < 1e-6 &&
               std::fabs(message["user position y"].get<double>() - 0.5) < 1e-6 &&
               std::fabs(message["user rotation w"].get<double>() - 1.0) < 1e-6;
    };
    bool seen = false;
    for (auto until = std::chrono::steady_clock::now() + 10s; !seen && std::chrono::steady_clock::now() < until;) {
        game.frame();
        for (const auto& message : belts.controller.Messages()) seen = seen || carriesThePose(message);
        std::this_thread::sleep_for(5ms);
    }
    game.stop();
    EXPECT_TRUE(seen) << "no message carried the user's position (0.5, 0.5); last: "
                      << (belts.controller.Messages().empty() ? "none" : belts.controller.Messages().back());
}

// Nothing listens, the layer is off, or the config is bad: the game reads
// its real stick, untouched, however the belts would move.
TEST_F(DirectChain, PassesThroughWhenNotConnectedDisabledOrMisconfigured) {
    struct Case {
        const char* name;
        const char* config;  // nullptr: no file
        bool controller;
        const char* logged;  // what the layer says at the instance's creation
    } cases[] = {
        {"not connected", "{}", false, "instance: walking by treadmill"},
        {"disabled", R"({"enable": false})", true, "passes through: disabled by \"enable\": false"},
        {"disabled for this game", R"({"games": {"direct-chain-test": {"enable": false}}})", true,
         "; application \"direct-chain-test\", engine \"\", runtime \"Quorvellan test runtime\" 0.1.0, layer "},
        {"malformed", R"({"enable": tru})", true, "passes through: config "},
        {"bad value", R"({"fullDeflectionSpeed": -2})", true, "\"fullDeflectionSpeed\" must be above 0"},
        {"no config file", nullptr, true, "passes through: no config file"},
    };
    writeFile(script, R"({"headYaw": 0, "leftStick": [0.25, 0.5]})");
    const std::string log = tempPath("layer.log");
    ScopedVariable logVariable("QUORVELLAN_XR_LOG", log);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(config.c_str());
        std::remove(log.c_str());
        if (c.config) writeFile(config, c.config);
        std::unique_ptr<Belts> belts;
        if (c.controller) {
            belts = std::make_unique<Belts>();
            belts->set(0, -1.5);  // a walk that would read (0, 1)
        }
        Game game;
        ASSERT_NO_FATAL_FAILURE(game.start());
        XrActionStateVector2f state{};
        // Long enough for the stream to connect where it can (it does within
        // a poll when the controller is there: see WalkingTable).
        for (int frame = 0; frame < 100; ++frame) {
            state = game.frame();
            std::this_thread::sleep_for(5ms);
        }
        game.stop();
        EXPECT_FLOAT_EQ(state.currentState.x, 0.25f);
        EXPECT_FLOAT_EQ(state.currentState.y, 0.5f);
        EXPECT_FALSE(state.changedSinceLastSync);
        std::ifstream logFile(log);
        std::string logged((std::istreambuf_iterator<char>(logFile)), std::istreambuf_iterator<char>());
        EXPECT_NE(logged.find(c.logged), std::string::npos) << logged;
    }
}

#if !defined(_WIN32)
// A calibration's file work stalls (its log line waits on a FIFO nobody
// reads, as on slow storage): xrSyncActions on another thread goes on.
TEST_F(DirectChain, SyncGoesOnWhileACalibrationsFileWorkStalls) {
    const std::string log = tempPath("stalled.log"), request = config + ".calibrate";
    std::remove(log.c_str());
    ASSERT_EQ(mkfifo(log.c_str(), 0600), 0);
    int reader = open(log.c_str(), O_RDONLY | O_NONBLOCK);  // takes the lines until closed
    ScopedVariable logVariable("QUORVELLAN_XR_LOG", log);
    writeFile(config, "{}");
    writeFile(script, R"({"headYaw": 0})");
    Game game;
    ASSERT_NO_FATAL_FAILURE(game.start());
    for (int frame = 0; frame < 3; ++frame) game.frame();
    close(reader);
    writeFile(request, "");
    std::atomic<bool> stop{false};
    std::atomic<int> frames{0};
    std::thread frameLoop([&] { for (; !stop; ++frames) game.frame(); });
    auto until = std::chrono::steady_clock::now() + 10s;
    while (std::ifstream(request) && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    const int stalledAt = frames;
    auto sync = std::async(std::launch::async, [&] {
        const XrActiveActionSet active{game.set, XR_NULL_PATH};
        auto info = Typed<XrActionsSyncInfo>(XR_TYPE_ACTIONS_SYNC_INFO);
        info.countActiveActionSets = 1;
        info.activeActionSets = &active;
        return game.get<PFN_xrSyncActions>("xrSyncActions")(game.session, &info);
    });
    const bool wentOn = sync.wait_for(2s) == std::future_status::ready;
    const bool stalled = frames == stalledAt;
    reader = open(log.c_str(), O_RDONLY | O_NONBLOCK);  // the line goes: the frame loop moves again
    stop = true;
    frameLoop.join();
    game.stop();
    close(reader);
    std::remove(log.c_str());
    EXPECT_TRUE(stalled) << "the calibration's log line did not wait: nothing was stalled";
    EXPECT_TRUE(wentOn) << "xrSyncActions waited for a calibration's file work";
}
#endif

}  // namespace
