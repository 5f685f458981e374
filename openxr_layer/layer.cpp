// The API layer: sits between an OpenXR application and its runtime, sends
// the head's pose to the treadmill and answers the locomotion stick with the
// user's walking. Every entry point calls down the chain first and returns
// the runtime's result; the layer's own work after it is guarded, so a fault
// of ours is logged and the call goes on as if the layer were not there.
// The file work (the config, the calibration) is in layer_files.hpp.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "QuorvellanStream.h"
#include "config.hpp"
#include "layer_files.hpp"
#include "loader_interface.h"
#include "locomotion.hpp"
#include "log.hpp"
#include "stick_actions.hpp"
#include "stream_calls.hpp"

#if defined(_WIN32)
#  define QUORVELLAN_LAYER_EXPORT __declspec(dllexport)
#else
#  define QUORVELLAN_LAYER_EXPORT __attribute__((visibility("default")))
#endif

namespace quorvellan::openxr {
namespace {

constexpr const char* layerName = "XR_APILAYER_QUORVELLAN_treadmill";
// A sample older than this no longer says how the user walks.
constexpr int64_t freshSampleNs = 500'000'000;
constexpr auto calibrationCheckPeriod = std::chrono::milliseconds(500);

struct NextCalls {
    PFN_xrGetInstanceProcAddr getInstanceProcAddr = nullptr;
    PFN_xrDestroyInstance destroyInstance = nullptr;
    PFN_xrCreateSession createSession = nullptr;
    PFN_xrDestroySession destroySession = nullptr;
    PFN_xrCreateAction createAction = nullptr;
    PFN_xrDestroyAction destroyAction = nullptr;
    PFN_xrDestroyActionSet destroyActionSet = nullptr;
    PFN_xrPollEvent pollEvent = nullptr;
    PFN_xrGetCurrentInteractionProfile getCurrentInteractionProfile = nullptr;
    PFN_xrSuggestInteractionProfileBindings suggestInteractionProfileBindings = nullptr;
    PFN_xrSyncActions syncActions = nullptr;
    PFN_xrGetActionStateVector2f getActionStateVector2f = nullptr;
    PFN_xrWaitFrame waitFrame = nullptr;
    PFN_xrStringToPath stringToPath = nullptr;
    PFN_xrPathToString pathToString = nullptr;
    PFN_xrCreateReferenceSpace createReferenceSpace = nullptr;
    PFN_xrLocateSpace locateSpace = nullptr;
    PFN_xrDestroySpace destroySpace = nullptr;
    PFN_xrCreateActionSpace createActionSpace = nullptr;
};

struct Session {
    XrSpace stage = XR_NULL_HANDLE;
    XrSpace view = XR_NULL_HANDLE;
    bool haveHead = false;
    double headX = 0.0;
    double headZ = 0.0;
    Quat head;
    // "controller" mode: the hand's aim, from the application's own pose action.
    XrSpace aim = XR_NULL_HANDLE;
    XrAction aimAction = XR_NULL_HANDLE;  // the action `aim` was made from
    bool haveAim = false;
    double aimYaw = 0.0;
    XrTime frameTime = 0;
    uint64_t sync = 0;
    // What the last sync made of the actions: unfocused, or outside the sets
    // it named, every action is inactive and the layer drives none.
    bool focused = false;
    std::set<XrActionSet> syncedSets;  // those synced for the configured hand
    std::string profile;  // the hand's current interaction profile ("": none yet)
    std::optional<Vec2> walking;
    std::map<std::pair<XrAction, XrPath>, StickReads> reads;
    std::chrono::steady_clock::time_point nextCalibrationCheck{};
};

struct BoundStick {
    std::string actionName;
    std::set<std::string> profiles;
    std::set<std::string> paths;
};

// The loader allows one instance per process at a time, so the layer keeps
// one state; the mutex serialises the application's threads (frame loop,
// input) over it and is never held across a call down that may wait
// (xrWaitFrame) or take long, nor across file work.
struct Layer {
    std::mutex mutex;
    XrInstance instance = XR_NULL_HANDLE;
    NextCalls next;
    std::optional<Config> config;   // none: the layer passes everything through
    std::string passReason;
    std::string configFile;
    // config.has_value(), for the entry points' first check before the mutex.
    std::atomic<bool> walks{false};
    // One calibration's file work at a time, apart from `mutex`: that work
    // may be slow, and the frame calls that take `mutex` must not wait on it.
    std::mutex calibrationMutex;
    std::string lastUnanswered;  // under calibrationMutex: why the last request could not be answered
    const StreamCalls* streamCalls = nullptr;
    QuorvellanStream* stream = nullptr;
    XrPath handPath = XR_NULL_PATH;
    std::map<XrAction, std::string> vector2Actions;
    // Pose actions -> the subaction path that names the hand (none when the
    // action was made without subaction paths).
    std::map<XrAction, XrPath> poseActions;
    std::map<XrAction, XrActionSet> actionSetOf;  // of the two kinds above
    // Profile -> that profile's bindings of the hand's aim pose.
    std::map<std::string, std::vector<SuggestedBinding>> aimBindingsByProfile;
    // Profile -> that profile's stick bindings (a new suggestion replaces them).
    std::map<std::string, std::vector<SuggestedBinding>> stickBindingsByProfile;
    std::map<XrAction, BoundStick> bound;  // from the above, made when they change
    std::map<XrSession, Session> sessions;
    // Held by a frame while it makes or locates an aim space (locateAim), and
    // taken by an action's destroy once it has forgotten the action, so the
    // runtime never sees the action or its space from us after the destroy.
    std::mutex aimMutex;
};

Layer& layer() {
    static Layer* instance = new Layer;  // never destroyed: the loader may call us during exit
    return *instance;
}

template <typename Work>
void guarded(const char* where, Work&& work) noexcept {
    try {
        work();
    } catch (const std::exception& error) {
        logLine(std::string(where) + ": " + error.what() + " (the call goes on without the layer)");
    } catch (...) {
        logLine(std::string(where) + ": unexpected failure (the call goes on without the layer)");
    }
}

bool active(const Layer& state) { return state.walks.load(); }

std::string pathString(const Layer& state, XrPath path) {
    if (!state.next.pathToString || path == XR_NULL_PATH) return "";
    char buffer[XR_MAX_PATH_LENGTH] = {};
    uint32_t length = 0;
    if (XR_FAILED(state.next.pathToString(state.instance, path, sizeof buffer, &length, buffer))) return "";
    return buffer;
}

template <typename Function>
void loadNext(XrInstance instance, PFN_xrGetInstanceProcAddr getProcAddr, const char* name, Function& function) {
    PFN_xrVoidFunction found = nullptr;
    if (XR_SUCCEEDED(getProcAddr(instance, name, &found))) {
        function = reinterpret_cast<Function>(found);
    }
}

NextCalls loadNextCalls(XrInstance instance, PFN_xrGetInstanceProcAddr getProcAddr) {
    NextCalls next;
    next.getInstanceProcAddr = getProcAddr;
    loadNext(instance, getProcAddr, "xrDestroyInstance", next.destroyInstance);
    loadNext(instance, getProcAddr, "xrCreateSession", next.createSession);
    loadNext(instance, getProcAddr, "xrDestroySession", next.destroySession);
    loadNext(instance, getProcAddr, "xrCreateAction", next.createAction);
    loadNext(instance, getProcAddr, "xrDestroyAction", next.destroyAction);
    loadNext(instance, getProcAddr, "xrDestroyActionSet", next.destroyActionSet);
    loadNext(instance, getProcAddr, "xrPollEvent", next.pollEvent);
    loadNext(instance, getProcAddr, "xrGetCurrentInteractionProfile", next.getCurrentInteractionProfile);
    loadNext(instance, getProcAddr, "xrSuggestInteractionProfileBindings", next.suggestInteractionProfileBindings);
    loadNext(instance, getProcAddr, "xrSyncActions", next.syncActions);
    loadNext(instance, getProcAddr, "xrGetActionStateVector2f", next.getActionStateVector2f);
    loadNext(instance, getProcAddr, "xrWaitFrame", next.waitFrame);
    loadNext(instance, getProcAddr, "xrStringToPath", next.stringToPath);
    loadNext(instance, getProcAddr, "xrPathToString", next.pathToString);
    loadNext(instance, getProcAddr, "xrCreateReferenceSpace", next.createReferenceSpace);
    loadNext(instance, getProcAddr, "xrLocateSpace", next.locateSpace);
    loadNext(instance, getProcAddr, "xrDestroySpace", next.destroySpace);
    loadNext(instance, getProcAddr, "xrCreateActionSpace", next.createActionSpace);
    return next;
}

// The config as instance creation takes it: the settings, or why the layer
// passes through.
struct LoadedConfig {
    std::string file;
    std::optional<Config> config;
    std::string passReason;
};

// Reads the config file (before the lock is taken: no file work under it),
// with `application`'s "games" section; a missing, refused, bad or disabled
// one leaves the layer passing through.
LoadedConfig loadConfig(const std::string& application) {
    LoadedConfig loaded{configPath(), std::nullopt, ""};
    if (loaded.file.empty()) {
        loaded.passReason = "no config path (set QUORVELLAN_XR_CONFIG or HOME)";
        return loaded;
    }
    ConfigResult result = loadConfigFile(loaded.file, application);
    if (!result.config) {
        loaded.passReason = result.error;
    } else if (!result.config->enable) {
        loaded.passReason = "disabled by \"enable\": false for \"" + application + "\" in " + loaded.file;
    } else {
        loaded.config = result.config;
    }
    return loaded;
}

void startStream(Layer& state) {
    std::string error;
    state.streamCalls = streamCalls(error);
    if (!state.streamCalls) {
        state.passReason = error;
        state.config.reset();
        return;
    }
    int result = state.streamCalls->start(nullptr, &state.stream);
    if (result != QUORVELLAN_STREAM_OK) {
        state.passReason = std::string("the treadmill stream did not start: ") + state.streamCalls->errorText(result);
        state.config.reset();
        state.stream = nullptr;
    }
}

// Under the lock; returns the line to log once it is released.
std::string setUpInstance(Layer& state, XrInstance instance, PFN_xrGetInstanceProcAddr nextGetProcAddr,
                          LoadedConfig loaded) {
    state.configFile = std::move(loaded.file);
    state.config = std::move(loaded.config);
    state.passReason = std::move(loaded.passReason);
    state.instance = instance;
    state.next = loadNextCalls(instance, nextGetProcAddr);
    if (state.config && (!state.next.stringToPath || !state.next.pathToString || !state.next.locateSpace ||
                         !state.next.createReferenceSpace || !state.next.destroySpace)) {
        state.passReason = "the runtime lacks path or space functions";
        state.config.reset();
    }
    if (state.config) {
        std::string hand = "/user/hand/" + state.config->hand;
        if (XR_FAILED(state.next.stringToPath(instance, hand.c_str(), &state.handPath))) {
            state.handPath = XR_NULL_PATH;
        }
        startStream(state);
    }
    state.walks = state.config.has_value();
    if (!state.config) return "instance: passes through: " + state.passReason;
    char speed[32];
    std::snprintf(speed, sizeof speed, "%g", state.config->fullDeflectionSpeed);
    return "instance: walking by treadmill, hand " + state.config->hand + ", full deflection at " + speed +
           " m/s, config " + state.configFile;
}

#if !defined(QUORVELLAN_VERSION)
#  define QUORVELLAN_VERSION "(version not built in)"
#endif

std::string bounded(const char* text, std::size_t size) { return std::string(text, strnlen(text, size)); }

// Who the instance is for, for the log: the application, its engine, the
// runtime below (asked down the chain, before the lock) and this layer.
std::string describeInstance(const XrInstanceCreateInfo& info, XrInstance instance, PFN_xrGetInstanceProcAddr next) {
    const XrApplicationInfo& app = info.applicationInfo;
    std::string text = "application \"" + bounded(app.applicationName, XR_MAX_APPLICATION_NAME_SIZE) +
                       "\", engine \"" + bounded(app.engineName, XR_MAX_ENGINE_NAME_SIZE) + "\", runtime ";
    PFN_xrGetInstanceProperties properties = nullptr;
    loadNext(instance, next, "xrGetInstanceProperties", properties);
    XrInstanceProperties runtime{};
    runtime.type = XR_TYPE_INSTANCE_PROPERTIES;
    if (properties && XR_SUCCEEDED(properties(instance, &runtime))) {
        text += "\"" + bounded(runtime.runtimeName, XR_MAX_RUNTIME_NAME_SIZE) + "\" " +
                std::to_string(XR_VERSION_MAJOR(runtime.runtimeVersion)) + "." +
                std::to_string(XR_VERSION_MINOR(runtime.runtimeVersion)) + "." +
                std::to_string(XR_VERSION_PATCH(runtime.runtimeVersion));
    } else {
        text += "unknown";
    }
    return text + ", layer " QUORVELLAN_VERSION;
}

XrResult XRAPI_CALL layerDestroyInstance(XrInstance instance) {
    Layer& state = layer();
    PFN_xrDestroyInstance destroy = state.next.destroyInstance;
    XrResult result = destroy ? destroy(instance) : XR_ERROR_FUNCTION_UNSUPPORTED;
    guarded("xrDestroyInstance", [&] {
        QuorvellanStream* stream = nullptr;
        const StreamCalls* calls = nullptr;
        {
            std::lock_guard lock(state.mutex);
            stream = state.stream;
            calls = state.streamCalls;
            state.stream = nullptr;
            state.instance = XR_NULL_HANDLE;
            state.walks = false;
            state.config.reset();
            state.vector2Actions.clear();
            state.stickBindingsByProfile.clear();
            state.bound.clear();
            state.poseActions.clear();
            state.actionSetOf.clear();
            state.aimBindingsByProfile.clear();
            state.sessions.clear();
        }
        if (calls && stream) calls->stop(stream);  // bounded
    });
    return result;
}

void createSpaces(Layer& state, XrSession session, Session& record) {
    XrReferenceSpaceCreateInfo info{};
    info.type = XR_TYPE_REFERENCE_SPACE_CREATE_INFO;
    info.poseInReferenceSpace.orientation.w = 1.0f;
    info.referenceSpaceType = XR_REFERENCE_SPACE_TYPE_STAGE;
    if (XR_FAILED(state.next.createReferenceSpace(session, &info, &record.stage))) {
        record.stage = XR_NULL_HANDLE;
    }
    info.referenceSpaceType = XR_REFERENCE_SPACE_TYPE_VIEW;
    if (XR_FAILED(state.next.createReferenceSpace(session, &info, &record.view))) {
        record.view = XR_NULL_HANDLE;
    }
}

XrResult XRAPI_CALL layerCreateSession(XrInstance instance, const XrSessionCreateInfo* info, XrSession* session) {
    Layer& state = layer();
    XrResult result = state.next.createSession(instance, info, session);
    if (XR_FAILED(result)) return result;
    guarded("xrCreateSession", [&] {
        if (!active(state)) {
            std::unique_lock lock(state.mutex);
            std::string reason = state.passReason;
            lock.unlock();
            logLine("session passes through: " + reason);
            return;
        }
        Session record;
        createSpaces(state, *session, record);
        if (!record.stage || !record.view) {
            logLine("session: no stage or view space from the runtime; the head pose is not sent");
        }
        std::lock_guard lock(state.mutex);
        state.sessions[*session] = std::move(record);
    });
    return result;
}

XrResult XRAPI_CALL layerDestroySession(XrSession session) {
    Layer& state = layer();
    guarded("xrDestroySession", [&] {
        Session record;
        {
            std::lock_guard lock(state.mutex);
            auto found = state.sessions.find(session);
            if (found == state.sessions.end()) return;
            record = std::move(found->second);
            state.sessions.erase(found);
        }
        for (XrSpace space : {record.stage, record.view, record.aim}) {
            if (space) state.next.destroySpace(space);
        }
    });
    return state.next.destroySession(session);
}

XrResult XRAPI_CALL layerCreateAction(XrActionSet actionSet, const XrActionCreateInfo* info, XrAction* action) {
    Layer& state = layer();
    XrResult result = state.next.createAction(actionSet, info, action);
    if (XR_FAILED(result) || !info) return result;
    guarded("xrCreateAction", [&] {
        std::lock_guard lock(state.mutex);
        if (info->actionType == XR_ACTION_TYPE_VECTOR2F_INPUT) {
            state.vector2Actions[*action] = info->actionName;
            state.actionSetOf[*action] = actionSet;
        } else if (info->actionType == XR_ACTION_TYPE_POSE_INPUT) {
            XrPath subaction = XR_NULL_PATH;
            for (uint32_t i = 0; i < info->countSubactionPaths; ++i) {
                if (info->subactionPaths[i] == state.handPath) subaction = state.handPath;
            }
            state.poseActions[*action] = subaction;
            state.actionSetOf[*action] = actionSet;
        }
    });
    return result;
}

std::map<XrAction, BoundStick> boundSticks(const Layer& state);

// The action the hand's aim comes from in the session's current interaction
// profile: another profile may bind the same pose to another action, or none.
XrAction aimActionOf(const Layer& state, const Session& record) {
    auto bindings = state.aimBindingsByProfile.find(record.profile);
    if (bindings == state.aimBindingsByProfile.end() || bindings->second.empty()) return XR_NULL_HANDLE;
    return reinterpret_cast<XrAction>(bindings->second.front().action);
}

bool anyAimBinding(const Layer& state) {
    return std::any_of(state.aimBindingsByProfile.begin(), state.aimBindingsByProfile.end(),
                       [](const auto& byProfile) { return !byProfile.second.empty(); });
}

void forgetBindings(Layer& state, const std::set<XrAction>& actions) {
    auto gone = [&](const SuggestedBinding& b) { return actions.count(reinterpret_cast<XrAction>(b.action)) != 0; };
    for (auto* byProfile : {&state.aimBindingsByProfile, &state.stickBindingsByProfile}) {
        for (auto& [profile, bindings] : *byProfile) {
            bindings.erase(std::remove_if(bindings.begin(), bindings.end(), gone), bindings.end());
        }
    }
    for (XrAction action : actions) {
        state.vector2Actions.erase(action);
        state.poseActions.erase(action);
        state.actionSetOf.erase(action);
    }
    state.bound = boundSticks(state);
}

// Drops the sessions' reads of the actions (a handle the runtime hands out
// again must not inherit them) and returns the aim spaces made from them.
std::vector<XrSpace> forgetInSessions(Layer& state, const std::set<XrAction>& actions) {
    std::vector<XrSpace> spaces;
    for (auto& [session, record] : state.sessions) {
        for (auto read = record.reads.begin(); read != record.reads.end();) {
            read = actions.count(read->first.first) ? record.reads.erase(read) : std::next(read);
        }
        if (record.aim && actions.count(record.aimAction)) {
            spaces.push_back(record.aim);
            record.aim = XR_NULL_HANDLE;
            record.haveAim = false;
        }
    }
    return spaces;
}

// Forgets the actions `doomed(action, set)` names and returns the aim spaces
// made from them, for destroying. Called under the lock, before the destroy
// goes down, so that no frame starts using an action being destroyed.
template <typename Doomed>
std::vector<XrSpace> forgetActions(Layer& state, Doomed doomed) {
    std::set<XrAction> actions;
    for (const auto& [action, set] : state.actionSetOf) {
        if (doomed(action, set)) actions.insert(action);
    }
    forgetBindings(state, actions);
    return forgetInSessions(state, actions);
}

// Forgets the doomed actions, then waits for a frame that took one of them
// or its space before (aimMutex) and destroys their aim spaces: only then
// may their destroy go down.
template <typename Doomed>
void forgetBeforeDestroy(Layer& state, Doomed doomed) {
    std::vector<XrSpace> spaces;
    {
        std::lock_guard lock(state.mutex);
        spaces = forgetActions(state, doomed);
    }
    std::lock_guard aimLock(state.aimMutex);
    for (XrSpace space : spaces) state.next.destroySpace(space);
}

XrResult XRAPI_CALL layerDestroyAction(XrAction action) {
    Layer& state = layer();
    guarded("xrDestroyAction",
            [&] { forgetBeforeDestroy(state, [&](XrAction each, XrActionSet) { return each == action; }); });
    return state.next.destroyAction(action);
}

// A set's destroy destroys its actions as well.
XrResult XRAPI_CALL layerDestroyActionSet(XrActionSet actionSet) {
    Layer& state = layer();
    guarded("xrDestroyActionSet",
            [&] { forgetBeforeDestroy(state, [&](XrAction, XrActionSet set) { return set == actionSet; }); });
    return state.next.destroyActionSet(actionSet);
}

void recordSuggestion(Layer& state, const XrInteractionProfileSuggestedBinding& suggestion) {
    std::vector<std::pair<XrAction, XrPath>> vector2Paths, posePaths;
    {
        std::lock_guard lock(state.mutex);
        for (uint32_t i = 0; i < suggestion.countSuggestedBindings; ++i) {
            const XrActionSuggestedBinding& binding = suggestion.suggestedBindings[i];
            if (state.vector2Actions.count(binding.action)) {
                vector2Paths.emplace_back(binding.action, binding.binding);
            } else if (state.poseActions.count(binding.action)) {
                posePaths.emplace_back(binding.action, binding.binding);
            }
        }
    }
    // Paths are turned into text outside the lock: these are calls down the chain.
    std::string profile = pathString(state, suggestion.interactionProfile);
    auto named = [&](const std::vector<std::pair<XrAction, XrPath>>& paths) {
        std::vector<SuggestedBinding> bindings;
        for (const auto& [action, path] : paths) bindings.push_back({uint64_t(action), pathString(state, path)});
        return bindings;
    };
    std::vector<SuggestedBinding> vector2Bindings = named(vector2Paths);
    std::vector<SuggestedBinding> poseBindings = named(posePaths);
    std::lock_guard lock(state.mutex);
    state.stickBindingsByProfile[profile] = stickBindings(vector2Bindings, state.config->hand);
    state.aimBindingsByProfile[profile] = aimBindings(poseBindings, state.config->hand);
    state.bound = boundSticks(state);
}

XrResult XRAPI_CALL layerSuggestInteractionProfileBindings(XrInstance instance,
                                                           const XrInteractionProfileSuggestedBinding* suggestion) {
    Layer& state = layer();
    XrResult result = state.next.suggestInteractionProfileBindings(instance, suggestion);
    if (XR_SUCCEEDED(result) && suggestion && active(state)) {
        guarded("xrSuggestInteractionProfileBindings", [&] { recordSuggestion(state, *suggestion); });
    }
    return result;
}

std::map<XrAction, BoundStick> boundSticks(const Layer& state) {
    std::map<XrAction, BoundStick> bound;
    for (const auto& [profile, bindings] : state.stickBindingsByProfile) {
        for (const auto& binding : bindings) {
            XrAction action = reinterpret_cast<XrAction>(binding.action);
            auto name = state.vector2Actions.find(action);
            BoundStick& stick = bound[action];
            stick.actionName = name == state.vector2Actions.end() ? "?" : name->second;
            stick.profiles.insert(profile);
            stick.paths.insert(binding.path);
        }
    }
    return bound;
}

std::string joined(const std::set<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : ",") + item;
    return "[" + text + "]";
}

// Made under the layer's lock, written after it: a log on slow storage must
// not stall the other threads' calls.
std::string bindingsLine(const Layer& state) {
    const auto& bound = state.bound;
    if (bound.empty()) {
        return "session passes through: no vector2f action bound to /user/hand/" + state.config->hand +
               "/input/thumbstick (or trackpad)";
    }
    std::set<std::string> names, profiles, paths;
    for (const auto& [action, stick] : bound) {
        names.insert(stick.actionName);
        profiles.insert(stick.profiles.begin(), stick.profiles.end());
        paths.insert(stick.paths.begin(), stick.paths.end());
    }
    std::string steering = "the head";
    if (state.config->mode == StickFrame::controller) {
        steering = anyAimBinding(state) ? "the " + state.config->hand + " hand's aim (a pose action of the game's)"
                                   : "the head (controller mode, but no pose action is bound to the " +
                                         state.config->hand + " hand's aim)";
    }
    return "session bound: actions " + joined(names) + " profiles " + joined(profiles) + " paths " + joined(paths) +
           "; walking by treadmill, steering by " + steering;
}

// The walking as a stick deflection, when the treadmill reports it now.
std::optional<Vec2> walkingNow(const Layer& state, const Session& session) {
    QuorvellanStreamSample sample;
    state.streamCalls->latest(state.stream, &sample);
    if (sample.state != QUORVELLAN_STREAM_CONNECTED || state.streamCalls->clockNs() - sample.timeNs > freshSampleNs) {
        return std::nullopt;
    }
    const Config& config = *state.config;
    double stickYaw = forwardYaw(config.calibration);
    if (config.mode == StickFrame::controller && session.haveAim) {
        stickYaw = session.aimYaw;
    } else if (session.haveHead) {
        stickYaw = yawOf(session.head);
    }
    // The belts carry the floor opposite to the user's steps.
    Vec2 velocity{-sample.floorSpeeds.x, -sample.floorSpeeds.y};
    return walkingToStick(config.calibration, velocity, stickYaw, config.fullDeflectionSpeed);
}

// The action sets a sync made active for the configured hand.
std::set<XrActionSet> syncedSets(const Layer& state, const XrActionsSyncInfo& info) {
    std::set<XrActionSet> sets;
    for (uint32_t i = 0; i < info.countActiveActionSets; ++i) {
        const XrActiveActionSet& synced = info.activeActionSets[i];
        if (synced.subactionPath == XR_NULL_PATH || synced.subactionPath == state.handPath) {
            sets.insert(synced.actionSet);
        }
    }
    return sets;
}

XrResult XRAPI_CALL layerSyncActions(XrSession session, const XrActionsSyncInfo* info) {
    Layer& state = layer();
    XrResult result = state.next.syncActions(session, info);
    if (XR_SUCCEEDED(result) && info && active(state)) {
        guarded("xrSyncActions", [&] {
            std::string firstSyncLine;
            {
                std::lock_guard lock(state.mutex);
                auto found = state.sessions.find(session);
                if (found == state.sessions.end()) return;
                Session& record = found->second;
                if (record.sync++ == 0) firstSyncLine = bindingsLine(state);
                record.focused = result != XR_SESSION_NOT_FOCUSED;  // a success code
                record.syncedSets = syncedSets(state, *info);
                record.walking = walkingNow(state, record);
            }
            if (!firstSyncLine.empty()) logLine(firstSyncLine);
        });
    }
    return result;
}

// Whether the layer may answer for the action now: it is the hand's stick in
// the hand's current interaction profile, in a set the last sync made active,
// and the session has focus. Otherwise the runtime reports it inactive (or
// bound to other input), and so the game must see it.
bool drivable(const Layer& state, const Session& record, XrAction action) {
    auto set = state.actionSetOf.find(action);
    auto bindings = state.stickBindingsByProfile.find(record.profile);
    return record.focused && set != state.actionSetOf.end() && record.syncedSets.count(set->second) &&
           bindings != state.stickBindingsByProfile.end() &&
           std::any_of(bindings->second.begin(), bindings->second.end(),
                       [&](const SuggestedBinding& binding) { return binding.action == uint64_t(action); });
}

XrResult XRAPI_CALL layerGetActionStateVector2f(XrSession session, const XrActionStateGetInfo* info,
                                                XrActionStateVector2f* actionState) {
    Layer& state = layer();
    XrResult result = state.next.getActionStateVector2f(session, info, actionState);
    if (XR_FAILED(result) || !info || !actionState || !active(state)) return result;
    guarded("xrGetActionStateVector2f", [&] {
        std::lock_guard lock(state.mutex);
        auto found = state.sessions.find(session);
        if (found == state.sessions.end()) return;
        if (info->subactionPath != XR_NULL_PATH && info->subactionPath != state.handPath) return;
        Session& record = found->second;
        const std::pair key{info->action, info->subactionPath};
        if (!drivable(state, record, info->action)) {
            auto reads = record.reads.find(key);
            if (reads != record.reads.end()) reads->second.passed(record.sync, *actionState);
            return;
        }
        const Vec2* walking = record.walking ? &*record.walking : nullptr;
        // Only the output fields: type and next stay the game's.
        writeOutput(record.reads[key].read(record.sync, *actionState, walking, record.frameTime), *actionState);
    });
    return result;
}

void sendHead(const Layer& state, const Session& record) {
    const Calibration& calibration = state.config->calibration;
    Vec2 position = stageToTreadmill(calibration, record.headX, record.headZ);
    Quat rotation = stageToTreadmillRotation(calibration, record.head);
    state.streamCalls->setUserPosition(state.stream, position.x, position.y);
    state.streamCalls->setUserRotation(state.stream, rotation.w, rotation.x, rotation.y, rotation.z);
}

// What a calibration needs, copied under the lock: its file work runs
// outside it, so slow storage never stalls the frame calls that take it.
struct CalibrationWork {
    std::string configFile;
    Calibration calibration;  // from the head's pose
};

// At most every calibrationCheckPeriod, on a frame whose head is tracked.
std::optional<CalibrationWork> calibrationDue(const Layer& state, Session& record) {
    auto now = std::chrono::steady_clock::now();
    if (now < record.nextCalibrationCheck) return std::nullopt;
    record.nextCalibrationCheck = now + calibrationCheckPeriod;
    return CalibrationWork{state.configFile, calibrationFromHead(record.headX, record.headZ, record.head)};
}

void publishCalibration(Layer& state, const CalibrationWork& work) {
    std::lock_guard lock(state.mutex);
    // The instance may have gone, or another come, during the file work.
    if (state.config && state.configFile == work.configFile) state.config->calibration = work.calibration;
}

std::string calibratedLine(const CalibrationWork& work) {
    const Calibration& calibration = work.calibration;
    char line[160];
    std::snprintf(line, sizeof line, "calibrated: centre [%.3f, %.3f] m, forward yaw %.1f degrees", calibration.centreX,
                  calibration.centreZ, calibration.forwardYawDegrees);
    return line + std::string(" (") + work.configFile + ")";
}

// Takes a waiting request: writes the head's pose into the config and
// answers with the outcome, which xr-calibrate shows. A frame that finds
// another calibration under way skips its turn rather than wait.
void calibrateIfRequested(Layer& state, const CalibrationWork& work) {
    std::unique_lock busy(state.calibrationMutex, std::try_to_lock);
    if (!busy || !calibrationRequested(work.configFile)) return;
    std::string failure = writeCalibration(work.configFile, work.calibration);
    std::string unanswered = answerCalibrationRequest(work.configFile, failure);
    if (failure.empty()) publishCalibration(state, work);
    // A request that cannot be answered is taken again at every check: said once.
    if (!unanswered.empty() && unanswered == state.lastUnanswered) return;
    state.lastUnanswered = unanswered;
    std::string line = failure.empty() ? calibratedLine(work) : "calibration failed: " + failure;
    logLine(line + (unanswered.empty() ? "" : " (" + unanswered + ")"));
}

void locateHead(Layer& state, XrSession session, XrTime time) {
    XrSpace stage = XR_NULL_HANDLE, view = XR_NULL_HANDLE;
    {
        std::lock_guard lock(state.mutex);
        auto found = state.sessions.find(session);
        if (found == state.sessions.end()) return;
        found->second.frameTime = time;
        stage = found->second.stage;
        view = found->second.view;
    }
    if (!stage || !view) return;
    XrSpaceLocation location{};
    location.type = XR_TYPE_SPACE_LOCATION;
    if (XR_FAILED(state.next.locateSpace(view, stage, time, &location))) return;
    const XrSpaceLocationFlags tracked = XR_SPACE_LOCATION_POSITION_VALID_BIT | XR_SPACE_LOCATION_ORIENTATION_VALID_BIT;
    if ((location.locationFlags & tracked) != tracked) return;
    std::unique_lock lock(state.mutex);
    auto found = state.sessions.find(session);
    if (found == state.sessions.end()) return;
    Session& record = found->second;
    const XrPosef& pose = location.pose;
    record.haveHead = true;
    record.headX = pose.position.x;
    record.headZ = pose.position.z;
    record.head = {pose.orientation.w, pose.orientation.x, pose.orientation.y, pose.orientation.z};
    sendHead(state, record);
    std::optional<CalibrationWork> work = calibrationDue(state, record);
    lock.unlock();
    if (work) calibrateIfRequested(state, *work);
}

// An action space on the aim action for the session; destroyed at once
// instead when the action was forgotten (destroyed) while it was made.
XrSpace newAimSpace(Layer& state, XrSession session, XrAction aimAction, XrPath subaction) {
    XrActionSpaceCreateInfo info{};
    info.type = XR_TYPE_ACTION_SPACE_CREATE_INFO;
    info.action = aimAction;
    info.subactionPath = subaction;
    info.poseInActionSpace.orientation.w = 1.0f;
    XrSpace aim = XR_NULL_HANDLE;
    if (XR_FAILED(state.next.createActionSpace(session, &info, &aim))) return XR_NULL_HANDLE;
    {
        std::lock_guard lock(state.mutex);
        auto found = state.sessions.find(session);
        if (found == state.sessions.end()) return XR_NULL_HANDLE;  // it went with its session
        if (state.poseActions.count(aimAction)) {
            found->second.aim = aim;
            found->second.aimAction = aimAction;
            return aim;
        }
    }
    state.next.destroySpace(aim);
    return XR_NULL_HANDLE;
}

// "controller" mode: an action space on the game's aim pose action, made
// once bindings name one, and located like the head.
void locateAim(Layer& state, XrSession session, XrTime time) {
    std::lock_guard aimLock(state.aimMutex);
    XrSpace stage = XR_NULL_HANDLE, aim = XR_NULL_HANDLE;
    XrAction aimAction = XR_NULL_HANDLE;
    XrPath subaction = XR_NULL_PATH;
    XrSpace stale = XR_NULL_HANDLE;  // made for the aim of a profile no longer current
    {
        std::lock_guard lock(state.mutex);
        auto found = state.sessions.find(session);
        if (found == state.sessions.end() || state.config->mode != StickFrame::controller) return;
        Session& record = found->second;
        stage = record.stage;
        aimAction = aimActionOf(state, record);
        if (record.aim && record.aimAction != aimAction) {
            stale = std::exchange(record.aim, XR_NULL_HANDLE);
            record.haveAim = false;  // the head steers until the new aim is located
        }
        aim = record.aim;
        if (!aim && aimAction) subaction = state.poseActions[aimAction];
    }
    if (stale) state.next.destroySpace(stale);
    if (!stage || (!aim && (!aimAction || !state.next.createActionSpace))) return;
    if (!aim && !(aim = newAimSpace(state, session, aimAction, subaction))) return;
    XrSpaceLocation location{};
    location.type = XR_TYPE_SPACE_LOCATION;
    if (XR_FAILED(state.next.locateSpace(aim, stage, time, &location))) return;
    std::lock_guard lock(state.mutex);
    auto found = state.sessions.find(session);
    // The space may have been forgotten meanwhile, its action destroyed.
    if (found == state.sessions.end() || found->second.aim != aim) return;
    // An untracked controller steers by the head until it is seen again.
    found->second.haveAim = (location.locationFlags & XR_SPACE_LOCATION_ORIENTATION_VALID_BIT) != 0;
    const XrQuaternionf& q = location.pose.orientation;
    if (found->second.haveAim) found->second.aimYaw = yawOf({q.w, q.x, q.y, q.z});
}

XrResult XRAPI_CALL layerWaitFrame(XrSession session, const XrFrameWaitInfo* info, XrFrameState* frameState) {
    Layer& state = layer();
    XrResult result = state.next.waitFrame(session, info, frameState);
    if (XR_SUCCEEDED(result) && frameState && active(state)) {
        guarded("xrWaitFrame", [&] {
            locateHead(state, session, frameState->predictedDisplayTime);
            locateAim(state, session, frameState->predictedDisplayTime);
        });
    }
    return result;
}

// Asks the hand's current interaction profile; until one is known the layer
// drives nothing, as every binding hangs on it.
void refreshProfile(Layer& state, XrSession session) {
    if (!state.next.getCurrentInteractionProfile) return;
    XrInteractionProfileState current{};
    current.type = XR_TYPE_INTERACTION_PROFILE_STATE;
    std::string profile;
    if (XR_SUCCEEDED(state.next.getCurrentInteractionProfile(session, state.handPath, &current))) {
        profile = pathString(state, current.interactionProfile);
    }
    std::string hand;
    {
        std::lock_guard lock(state.mutex);
        auto found = state.sessions.find(session);
        if (found == state.sessions.end() || found->second.profile == profile) return;
        found->second.profile = profile;
        hand = state.config->hand;
    }
    logLine("session: the " + hand + " hand's interaction profile is " +
            (profile.empty() ? "none (nothing is driven)" : profile));
}

// The session whose profile to ask again after this event: the runtime says
// it changed, or the session gained focus (a profile chosen before the
// session ran may come with no event of its own).
XrSession profileEventSession(const XrEventDataBuffer& event) {
    if (event.type == XR_TYPE_EVENT_DATA_INTERACTION_PROFILE_CHANGED) {
        return reinterpret_cast<const XrEventDataInteractionProfileChanged&>(event).session;
    }
    if (event.type == XR_TYPE_EVENT_DATA_SESSION_STATE_CHANGED) {
        const auto& changed = reinterpret_cast<const XrEventDataSessionStateChanged&>(event);
        if (changed.state == XR_SESSION_STATE_FOCUSED) return changed.session;
    }
    return XR_NULL_HANDLE;
}

// The event goes to the game unchanged; the layer only reads it.
XrResult XRAPI_CALL layerPollEvent(XrInstance instance, XrEventDataBuffer* event) {
    Layer& state = layer();
    XrResult result = state.next.pollEvent(instance, event);
    if (result == XR_SUCCESS && event && active(state)) {
        guarded("xrPollEvent", [&] {
            XrSession session = profileEventSession(*event);
            if (session) refreshProfile(state, session);
        });
    }
    return result;
}

XrResult XRAPI_CALL layerGetInstanceProcAddr(XrInstance instance, const char* name, PFN_xrVoidFunction* function);

struct Interception {
    const char* name;
    PFN_xrVoidFunction function;
};

const Interception interceptions[] = {
    {"xrGetInstanceProcAddr", reinterpret_cast<PFN_xrVoidFunction>(layerGetInstanceProcAddr)},
    {"xrDestroyInstance", reinterpret_cast<PFN_xrVoidFunction>(layerDestroyInstance)},
    {"xrCreateSession", reinterpret_cast<PFN_xrVoidFunction>(layerCreateSession)},
    {"xrDestroySession", reinterpret_cast<PFN_xrVoidFunction>(layerDestroySession)},
    {"xrCreateAction", reinterpret_cast<PFN_xrVoidFunction>(layerCreateAction)},
    {"xrDestroyAction", reinterpret_cast<PFN_xrVoidFunction>(layerDestroyAction)},
    {"xrDestroyActionSet", reinterpret_cast<PFN_xrVoidFunction>(layerDestroyActionSet)},
    {"xrPollEvent", reinterpret_cast<PFN_xrVoidFunction>(layerPollEvent)},
    {"xrSuggestInteractionProfileBindings", reinterpret_cast<PFN_xrVoidFunction>(layerSuggestInteractionProfileBindings)},
    {"xrSyncActions", reinterpret_cast<PFN_xrVoidFunction>(layerSyncActions)},
    {"xrGetActionStateVector2f", reinterpret_cast<PFN_xrVoidFunction>(layerGetActionStateVector2f)},
    {"xrWaitFrame", reinterpret_cast<PFN_xrVoidFunction>(layerWaitFrame)},
};

// A layer that does not walk this instance hands out the functions below it,
// so it does no work in the game's calls; only these two keep its state.
bool keptWhenPassing(const char* name) {
    return std::strcmp(name, "xrGetInstanceProcAddr") == 0 || std::strcmp(name, "xrDestroyInstance") == 0;
}

XrResult XRAPI_CALL layerGetInstanceProcAddr(XrInstance instance, const char* name, PFN_xrVoidFunction* function) {
    if (!name || !function) return XR_ERROR_VALIDATION_FAILURE;
    Layer& state = layer();
    for (const auto& interception : interceptions) {
        // A function the runtime lacks stays missing: the layer never
        // answers for the runtime.
        if (std::strcmp(name, interception.name) == 0 && instance == state.instance && state.next.getInstanceProcAddr &&
            (active(state) || keptWhenPassing(name))) {
            PFN_xrVoidFunction below = nullptr;
            XrResult result = state.next.getInstanceProcAddr(instance, name, &below);
            *function = XR_SUCCEEDED(result) ? interception.function : nullptr;
            return result;
        }
    }
    if (!state.next.getInstanceProcAddr) {
        *function = nullptr;
        return XR_ERROR_HANDLE_INVALID;
    }
    return state.next.getInstanceProcAddr(instance, name, function);
}

XrResult XRAPI_CALL layerCreateApiLayerInstance(const XrInstanceCreateInfo* info, const XrApiLayerCreateInfo* layerInfo,
                                                XrInstance* instance) {
    if (!layerInfo || layerInfo->structType != XR_LOADER_INTERFACE_STRUCT_API_LAYER_CREATE_INFO ||
        !layerInfo->nextInfo || layerInfo->nextInfo->structType != XR_LOADER_INTERFACE_STRUCT_API_LAYER_NEXT_INFO ||
        std::strcmp(layerInfo->nextInfo->layerName, layerName) != 0 || !layerInfo->nextInfo->nextCreateApiLayerInstance ||
        !layerInfo->nextInfo->nextGetInstanceProcAddr) {
        return XR_ERROR_INITIALIZATION_FAILED;
    }
    XrApiLayerCreateInfo nextLayerInfo = *layerInfo;
    nextLayerInfo.nextInfo = layerInfo->nextInfo->next;
    XrResult result = layerInfo->nextInfo->nextCreateApiLayerInstance(info, &nextLayerInfo, instance);
    if (XR_FAILED(result)) return result;
    Layer& state = layer();
    guarded("xrCreateInstance", [&] {
        prepareLog();
        PFN_xrGetInstanceProcAddr next = layerInfo->nextInfo->nextGetInstanceProcAddr;
        std::string who = info ? describeInstance(*info, *instance, next) : "no create info";
        LoadedConfig loaded = loadConfig(info ? bounded(info->applicationInfo.applicationName,
                                                        XR_MAX_APPLICATION_NAME_SIZE) : "");
        std::unique_lock lock(state.mutex);
        std::string line = setUpInstance(state, *instance, next, std::move(loaded));
        lock.unlock();
        logLine(line + "; " + who);
    });
    return result;
}

}  // namespace
}  // namespace quorvellan::openxr

extern "C" QUORVELLAN_LAYER_EXPORT XrResult XRAPI_CALL xrNegotiateLoaderApiLayerInterface(
    const XrNegotiateLoaderInfo* loaderInfo, const char* apiLayerName, XrNegotiateApiLayerRequest* request) {
    using namespace quorvellan::openxr;
    if (!loaderInfo || !request || loaderInfo->structType != XR_LOADER_INTERFACE_STRUCT_LOADER_INFO ||
        loaderInfo->structVersion != XR_LOADER_INFO_STRUCT_VERSION || loaderInfo->structSize != sizeof(XrNegotiateLoaderInfo) ||
        request->structType != XR_LOADER_INTERFACE_STRUCT_API_LAYER_REQUEST ||
        request->structVersion != XR_API_LAYER_INFO_STRUCT_VERSION || request->structSize != sizeof(XrNegotiateApiLayerRequest) ||
        loaderInfo->minInterfaceVersion > XR_CURRENT_LOADER_API_LAYER_VERSION ||
        loaderInfo->maxInterfaceVersion < XR_CURRENT_LOADER_API_LAYER_VERSION ||
        (apiLayerName && std::strcmp(apiLayerName, layerName) != 0)) {
        return XR_ERROR_INITIALIZATION_FAILED;
    }
    request->layerInterfaceVersion = XR_CURRENT_LOADER_API_LAYER_VERSION;
    request->layerApiVersion = XR_CURRENT_API_VERSION;
    request->getInstanceProcAddr = layerGetInstanceProcAddr;
    request->createApiLayerInstance = layerCreateApiLayerInstance;
    return XR_SUCCESS;
}
