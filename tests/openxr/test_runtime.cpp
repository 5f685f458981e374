// A headless OpenXR runtime for the layer's tests: the loader loads it through
// XR_RUNTIME_JSON. It serves the calls the test application and the layer
// make, with a head pose, real sticks and hand aims read from the JSON script
// named by QUORVELLAN_TEST_XR_SCRIPT (keys in ReadScript). Display times
// advance by a fixed frame period; a scripted value given as a list is one
// value per frame, its last repeating. Every other call is unsupported. It
// is strict where a layer may go wrong: destroyed handles are invalid, only
// focused sessions and synced action sets have active actions, and bindings
// count in the current interaction profile alone (an aim pose bound in
// another profile only is not tracked).
#include <openxr/openxr.h>
#include <openxr/openxr_reflection.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "openxr_layer/loader_interface.h"

#if defined(_WIN32)
#  define QUORVELLAN_TEST_RUNTIME_EXPORT __declspec(dllexport)
#else
#  define QUORVELLAN_TEST_RUNTIME_EXPORT __attribute__((visibility("default")))
#endif

namespace {

using nlohmann::json;

// ---- the script ----------------------------------------------------------

struct Pose {
    XrQuaternionf orientation{0, 0, 0, 1};
    XrVector3f position{0, 0, 0};
};

struct Script {
    XrDuration framePeriod = 11111111;
    json headPosition = json::array({0.0, 1.7, 0.0});
    json headYaw = 0.0;
    json leftStick = json::array({0.0, 0.0});
    json rightStick = json::array({0.0, 0.0});
    json leftAimYaw;  // null: the head's yaw
    json rightAimYaw;
};

// A per-frame list, or one value for every frame. `isList` tells a list of
// values from one value that is itself an array ([x, y]).
json AtFrame(const json& value, std::int64_t frame, bool valueIsArray) {
    const bool perFrame = value.is_array() && (!valueIsArray || (!value.empty() && value[0].is_array()));
    if (!perFrame || value.empty()) return value;
    const std::size_t index = static_cast<std::size_t>(std::max<std::int64_t>(0, frame));
    return value[std::min(index, value.size() - 1)];
}

Script ReadScript() {
    Script script;
    const char* path = std::getenv("QUORVELLAN_TEST_XR_SCRIPT");
    if (!path) return script;
    std::ifstream file(path);
    if (!file) throw std::runtime_error(std::string("cannot read the script ") + path);
    const json document = json::parse(file);
    script.framePeriod = static_cast<XrDuration>(document.value("framePeriodMs", 11.111111) * 1e6);
    for (auto [key, field] : {std::pair{"headPosition", &script.headPosition}, {"headYaw", &script.headYaw},
                              {"leftStick", &script.leftStick}, {"rightStick", &script.rightStick},
                              {"leftAimYaw", &script.leftAimYaw}, {"rightAimYaw", &script.rightAimYaw}})
        if (document.contains(key)) *field = document[key];
    if (script.framePeriod <= 0) throw std::runtime_error("framePeriodMs must be positive");
    return script;
}

XrQuaternionf YawQuaternion(double degrees) {
    const double half = degrees * M_PI / 360.0;
    return {0.0f, static_cast<float>(std::sin(half)), 0.0f, static_cast<float>(std::cos(half))};
}

// ---- pose algebra --------------------------------------------------------

XrQuaternionf Multiply(const XrQuaternionf& a, const XrQuaternionf& b) {
    return {a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y, a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
            a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w, a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z};
}

XrQuaternionf Conjugate(const XrQuaternionf& q) { return {-q.x, -q.y, -q.z, q.w}; }

XrVector3f Rotate(const XrQuaternionf& q, const XrVector3f& v) {
    const XrQuaternionf r = Multiply(Multiply(q, {v.x, v.y, v.z, 0}), Conjugate(q));
    return {r.x, r.y, r.z};
}

Pose Compose(const Pose& a, const Pose& b) {  // b expressed in a, in a's parent
    const XrVector3f moved = Rotate(a.orientation, b.position);
    return {Multiply(a.orientation, b.orientation),
            {a.position.x + moved.x, a.position.y + moved.y, a.position.z + moved.z}};
}

Pose Inverse(const Pose& p) {
    const XrQuaternionf back = Conjugate(p.orientation);
    const XrVector3f moved = Rotate(back, p.position);
    return {back, {-moved.x, -moved.y, -moved.z}};
}

Pose ToPose(const XrPosef& p) { return {p.orientation, p.position}; }

// ---- objects behind the handles -----------------------------------------

constexpr XrTime kFirstDisplayTime = 1'000'000'000;

struct Action {
    std::string name;
    XrActionType type;
    std::map<XrPath, std::set<XrPath>> bindings;  // by interaction profile
    XrVector2f value{0, 0};
    XrBool32 changed = XR_FALSE;
    XrTime lastChange = 0;
    bool active = false;  // synced, focused
    bool destroyed = false;
};

// A destroyed set and its actions are kept until the instance goes: action
// spaces stay valid after their action's destroy.
struct ActionSet {
    std::vector<std::unique_ptr<Action>> actions;
    bool attached = false;
    bool destroyed = false;
};

struct Space {
    enum Kind { Reference, ActionPose } kind;
    XrReferenceSpaceType referenceType = XR_REFERENCE_SPACE_TYPE_STAGE;
    Action* action = nullptr;
    Pose offset;
};

struct Runtime {
    Script script;
    std::vector<std::string> paths;  // XrPath n names paths[n - 1]
    std::deque<XrEventDataBuffer> events;
    XrSessionState sessionState = XR_SESSION_STATE_UNKNOWN;  // the newest queued
    std::set<XrPath> suggestedProfiles;
    std::string profile = "/interaction_profiles/oculus/touch_controller";  // the controllers'
    std::set<ActionSet*> actionSets;
    std::set<Space*> spaces;
    bool attached = false;
    bool sessionExists = false;
    std::int64_t frame = -1;  // the newest frame xrWaitFrame gave out
    bool frameBegun = false;
};

Runtime* runtime = nullptr;  // one instance at a time
int instanceToken;           // the address is the XrInstance handle
int sessionToken;

std::int64_t FrameAt(XrTime time) {
    return (time - kFirstDisplayTime + runtime->script.framePeriod / 2) / runtime->script.framePeriod;
}

Pose HeadAt(std::int64_t frame) {
    const json position = AtFrame(runtime->script.headPosition, frame, true);
    Pose head;
    head.position = {position.at(0).get<float>(), position.at(1).get<float>(), position.at(2).get<float>()};
    head.orientation = YawQuaternion(AtFrame(runtime->script.headYaw, frame, false).get<double>());
    return head;
}

std::string PathName(XrPath path) {
    return path >= 1 && path <= runtime->paths.size() ? runtime->paths[path - 1] : std::string();
}

// The scripted controllers' profile, when the application suggested bindings for it.
XrPath CurrentProfile() {
    for (XrPath profile : runtime->suggestedProfiles)
        if (PathName(profile) == runtime->profile) return profile;
    return XR_NULL_PATH;
}

bool BoundToHand(const Action& action, const std::string& hand, const std::string& input) {
    const auto bindings = action.bindings.find(CurrentProfile());
    if (bindings == action.bindings.end()) return false;
    for (XrPath path : bindings->second)
        if (PathName(path) == "/user/hand/" + hand + "/input/" + input) return true;
    return false;
}

Pose SpacePoseAt(const Space& space, XrTime time) {
    const std::int64_t frame = FrameAt(time);
    Pose base;  // STAGE and LOCAL are the world here
    if (space.kind == Space::Reference && space.referenceType == XR_REFERENCE_SPACE_TYPE_VIEW) base = HeadAt(frame);
    if (space.kind == Space::ActionPose) {
        const bool right = BoundToHand(*space.action, "right", "aim/pose");
        const json& yaw = right ? runtime->script.rightAimYaw : runtime->script.leftAimYaw;
        base = HeadAt(frame);
        if (!yaw.is_null()) base.orientation = YawQuaternion(AtFrame(yaw, frame, false).get<double>());
    }
    return Compose(base, space.offset);
}

template <typename T>
bool Has(const std::set<T*>& objects, T* object) {
    return objects.count(object) != 0;
}

// Keeps a new object in one of the runtime's sets; its address is its handle.
template <typename T, typename Handle>
XrResult Register(std::set<T*>& objects, T* object, Handle* handle) {
    objects.insert(object);
    *handle = reinterpret_cast<Handle>(object);
    return XR_SUCCESS;
}

// Frees the object behind a handle; one the set does not hold is invalid.
template <typename T, typename Handle>
XrResult Unregister(std::set<T*> Runtime::*objects, Handle handle) {
    auto* object = reinterpret_cast<T*>(handle);
    if (!runtime || !Has(runtime->*objects, object)) return XR_ERROR_HANDLE_INVALID;
    (runtime->*objects).erase(object);
    delete object;
    return XR_SUCCESS;
}

// ---- entry points -------------------------------------------------------

XrResult EnumerateExtensions(const char* layerName, uint32_t capacity, uint32_t* count,
                             XrExtensionProperties* properties) {
    if (layerName) return XR_ERROR_API_LAYER_NOT_PRESENT;
    *count = 1;
    if (capacity == 0) return XR_SUCCESS;
    if (!properties) return XR_ERROR_VALIDATION_FAILURE;
    std::strcpy(properties[0].extensionName, XR_MND_HEADLESS_EXTENSION_NAME);
    properties[0].extensionVersion = XR_MND_headless_SPEC_VERSION;
    return XR_SUCCESS;
}

XrResult CreateInstance(const XrInstanceCreateInfo* info, XrInstance* instance) {
    if (!info || info->type != XR_TYPE_INSTANCE_CREATE_INFO) return XR_ERROR_VALIDATION_FAILURE;
    if (runtime) return XR_ERROR_LIMIT_REACHED;
    for (uint32_t i = 0; i < info->enabledExtensionCount; ++i)
        if (std::strcmp(info->enabledExtensionNames[i], XR_MND_HEADLESS_EXTENSION_NAME) != 0)
            return XR_ERROR_EXTENSION_NOT_PRESENT;
    auto created = std::make_unique<Runtime>();
    try {
        created->script = ReadScript();
    } catch (const std::exception& error) {
        std::cerr << "quorvellan test runtime: bad script: " << error.what() << std::endl;
        return XR_ERROR_INITIALIZATION_FAILED;
    }
    runtime = created.release();
    *instance = reinterpret_cast<XrInstance>(&instanceToken);
    return XR_SUCCESS;
}

template <typename Event>
void Queue(const Event& event) {
    XrEventDataBuffer buffer{};
    std::memcpy(&buffer, &event, sizeof event);
    runtime->events.push_back(buffer);
}

// A session state takes effect when its event is queued.
void QueueState(XrSessionState state) {
    Queue(XrEventDataSessionStateChanged{XR_TYPE_EVENT_DATA_SESSION_STATE_CHANGED, nullptr,
                                         reinterpret_cast<XrSession>(&sessionToken), state, kFirstDisplayTime});
    runtime->sessionState = state;
}

void QueueProfileChanged() {
    Queue(XrEventDataInteractionProfileChanged{XR_TYPE_EVENT_DATA_INTERACTION_PROFILE_CHANGED, nullptr,
                                               reinterpret_cast<XrSession>(&sessionToken)});
}

bool IsInstance(XrInstance instance) { return runtime && instance == reinterpret_cast<XrInstance>(&instanceToken); }
bool IsSession(XrSession session) {
    return runtime && runtime->sessionExists && session == reinterpret_cast<XrSession>(&sessionToken);
}

XrResult DestroyInstance(XrInstance instance) {
    if (!IsInstance(instance)) return XR_ERROR_HANDLE_INVALID;
    for (ActionSet* set : runtime->actionSets) delete set;
    for (Space* space : runtime->spaces) delete space;
    delete runtime;
    runtime = nullptr;
    return XR_SUCCESS;
}

XrResult GetInstanceProperties(XrInstance instance, XrInstanceProperties* properties) {
    if (!IsInstance(instance)) return XR_ERROR_HANDLE_INVALID;
    properties->runtimeVersion = XR_MAKE_VERSION(0, 1, 0);
    std::strcpy(properties->runtimeName, "Quorvellan test runtime");
    return XR_SUCCESS;
}

XrResult ResultToString(XrInstance, XrResult value, char buffer[XR_MAX_RESULT_STRING_SIZE]) {
#define QUORVELLAN_RESULT_NAME(name, number) \
    case number: std::strcpy(buffer, #name); return XR_SUCCESS;
    switch (value) { XR_LIST_ENUM_XrResult(QUORVELLAN_RESULT_NAME) default: break; }
#undef QUORVELLAN_RESULT_NAME
    std::snprintf(buffer, XR_MAX_RESULT_STRING_SIZE, "XrResult %d", value);
    return XR_SUCCESS;
}

XrResult GetSystem(XrInstance instance, const XrSystemGetInfo* info, XrSystemId* system) {
    if (!IsInstance(instance)) return XR_ERROR_HANDLE_INVALID;
    if (info->formFactor != XR_FORM_FACTOR_HEAD_MOUNTED_DISPLAY) return XR_ERROR_FORM_FACTOR_UNSUPPORTED;
    *system = 1;
    return XR_SUCCESS;
}

XrResult GetSystemProperties(XrInstance instance, XrSystemId system, XrSystemProperties* properties) {
    if (!IsInstance(instance)) return XR_ERROR_HANDLE_INVALID;
    if (system != 1) return XR_ERROR_SYSTEM_INVALID;
    properties->systemId = system;
    properties->vendorId = 0;
    std::strcpy(properties->systemName, "Quorvellan test headset");
    properties->graphicsProperties = {1, 1, 0};
    properties->trackingProperties = {XR_TRUE, XR_TRUE};
    return XR_SUCCESS;
}

XrResult EnumerateViewConfigurations(XrInstance instance, XrSystemId system, uint32_t capacity, uint32_t* count,
                                     XrViewConfigurationType* types) {
    if (!IsInstance(instance)) return XR_ERROR_HANDLE_INVALID;
    if (system != 1) return XR_ERROR_SYSTEM_INVALID;
    *count = 1;
    if (capacity >= 1) types[0] = XR_VIEW_CONFIGURATION_TYPE_PRIMARY_STEREO;
    return XR_SUCCESS;
}

XrResult CreateSession(XrInstance instance, const XrSessionCreateInfo* info, XrSession* session) {
    if (!IsInstance(instance)) return XR_ERROR_HANDLE_INVALID;
    if (info->systemId != 1) return XR_ERROR_SYSTEM_INVALID;
    if (runtime->sessionExists) return XR_ERROR_LIMIT_REACHED;
    runtime->sessionExists = true;
    runtime->events.clear();
    QueueState(XR_SESSION_STATE_IDLE);
    QueueState(XR_SESSION_STATE_READY);
    *session = reinterpret_cast<XrSession>(&sessionToken);
    return XR_SUCCESS;
}

XrResult DestroySession(XrSession session) {
    if (!IsSession(session)) return XR_ERROR_HANDLE_INVALID;
    runtime->sessionExists = false;
    runtime->attached = false;
    for (ActionSet* set : runtime->actionSets) set->attached = false;
    runtime->events.clear();
    runtime->sessionState = XR_SESSION_STATE_UNKNOWN;
    return XR_SUCCESS;
}

XrResult BeginSession(XrSession session, const XrSessionBeginInfo*) {
    if (!IsSession(session)) return XR_ERROR_HANDLE_INVALID;
    for (XrSessionState state : {XR_SESSION_STATE_SYNCHRONIZED, XR_SESSION_STATE_VISIBLE, XR_SESSION_STATE_FOCUSED})
        QueueState(state);
    if (CurrentProfile()) QueueProfileChanged();  // sent to running sessions only
    return XR_SUCCESS;
}

XrResult EndSession(XrSession session) {
    if (!IsSession(session)) return XR_ERROR_HANDLE_INVALID;
    return XR_SUCCESS;
}

XrResult PollEvent(XrInstance instance, XrEventDataBuffer* buffer) {
    if (!IsInstance(instance)) return XR_ERROR_HANDLE_INVALID;
    if (runtime->events.empty()) return XR_EVENT_UNAVAILABLE;
    *buffer = runtime->events.front();
    runtime->events.pop_front();
    return XR_SUCCESS;
}

XrResult StringToPath(XrInstance instance, const char* text, XrPath* path) {
    if (!IsInstance(instance)) return XR_ERROR_HANDLE_INVALID;
    const std::string name = text;
    if (name.size() < 2 || name[0] != '/' || name.back() == '/' || name.find("//") != std::string::npos)
        return XR_ERROR_PATH_FORMAT_INVALID;
    std::vector<std::string>& paths = runtime->paths;
    const auto index = std::find(paths.begin(), paths.end(), name) - paths.begin();
    if (index == static_cast<std::ptrdiff_t>(paths.size())) paths.push_back(name);
    *path = static_cast<XrPath>(index + 1);
    return XR_SUCCESS;
}

XrResult PathToString(XrInstance instance, XrPath path, uint32_t capacity, uint32_t* count, char* buffer) {
    if (!IsInstance(instance)) return XR_ERROR_HANDLE_INVALID;
    const std::string name = PathName(path);
    if (name.empty()) return XR_ERROR_PATH_INVALID;
    *count = static_cast<uint32_t>(name.size() + 1);
    if (capacity == 0) return XR_SUCCESS;
    if (capacity < *count) return XR_ERROR_SIZE_INSUFFICIENT;
    std::memcpy(buffer, name.c_str(), *count);
    return XR_SUCCESS;
}

XrResult CreateReferenceSpace(XrSession session, const XrReferenceSpaceCreateInfo* info, XrSpace* space) {
    if (!IsSession(session)) return XR_ERROR_HANDLE_INVALID;
    const XrReferenceSpaceType type = info->referenceSpaceType;
    if (type != XR_REFERENCE_SPACE_TYPE_VIEW && type != XR_REFERENCE_SPACE_TYPE_LOCAL &&
        type != XR_REFERENCE_SPACE_TYPE_STAGE)
        return XR_ERROR_REFERENCE_SPACE_UNSUPPORTED;
    return Register(runtime->spaces, new Space{Space::Reference, type, nullptr, ToPose(info->poseInReferenceSpace)},
                    space);
}

Action* FindAction(XrAction handle) {
    for (ActionSet* set : runtime->actionSets)
        for (const auto& action : set->actions)
            if (reinterpret_cast<XrAction>(action.get()) == handle && !action->destroyed) return action.get();
    return nullptr;
}

ActionSet* LiveSet(XrActionSet handle) {
    auto* set = reinterpret_cast<ActionSet*>(handle);
    return runtime && Has(runtime->actionSets, set) && !set->destroyed ? set : nullptr;
}

XrResult CreateActionSpace(XrSession session, const XrActionSpaceCreateInfo* info, XrSpace* space) {
    if (!IsSession(session)) return XR_ERROR_HANDLE_INVALID;
    Action* action = FindAction(info->action);
    if (!action) return XR_ERROR_HANDLE_INVALID;
    if (action->type != XR_ACTION_TYPE_POSE_INPUT) return XR_ERROR_ACTION_TYPE_MISMATCH;
    return Register(runtime->spaces,
                    new Space{Space::ActionPose, XR_REFERENCE_SPACE_TYPE_STAGE, action, ToPose(info->poseInActionSpace)},
                    space);
}

XrResult DestroySpace(XrSpace handle) { return Unregister(&Runtime::spaces, handle); }

XrResult LocateSpace(XrSpace handle, XrSpace baseHandle, XrTime time, XrSpaceLocation* location) {
    auto* space = reinterpret_cast<Space*>(handle);
    auto* base = reinterpret_cast<Space*>(baseHandle);
    if (!runtime || !Has(runtime->spaces, space) || !Has(runtime->spaces, base)) return XR_ERROR_HANDLE_INVALID;
    if (time <= 0) return XR_ERROR_TIME_INVALID;
    // A pose action bound to no hand's aim in the current profile tracks nothing.
    if (space->kind == Space::ActionPose && !BoundToHand(*space->action, "left", "aim/pose") &&
        !BoundToHand(*space->action, "right", "aim/pose")) {
        location->locationFlags = 0;
        return XR_SUCCESS;
    }
    const Pose located = Compose(Inverse(SpacePoseAt(*base, time)), SpacePoseAt(*space, time));
    location->pose = {located.orientation, located.position};
    location->locationFlags = XR_SPACE_LOCATION_ORIENTATION_VALID_BIT | XR_SPACE_LOCATION_POSITION_VALID_BIT |
                              XR_SPACE_LOCATION_ORIENTATION_TRACKED_BIT | XR_SPACE_LOCATION_POSITION_TRACKED_BIT;
    return XR_SUCCESS;
}

XrResult CreateActionSet(XrInstance instance, const XrActionSetCreateInfo*, XrActionSet* set) {
    if (!IsInstance(instance)) return XR_ERROR_HANDLE_INVALID;
    if (runtime->attached) return XR_ERROR_ACTIONSETS_ALREADY_ATTACHED;
    return Register(runtime->actionSets, new ActionSet, set);
}

XrResult DestroyActionSet(XrActionSet handle) {
    ActionSet* set = LiveSet(handle);
    if (!set) return XR_ERROR_HANDLE_INVALID;
    set->destroyed = true;
    for (const auto& action : set->actions) action->destroyed = true;
    return XR_SUCCESS;
}

XrResult CreateAction(XrActionSet handle, const XrActionCreateInfo* info, XrAction* action) {
    ActionSet* set = LiveSet(handle);
    if (!set) return XR_ERROR_HANDLE_INVALID;
    set->actions.push_back(std::make_unique<Action>(Action{info->actionName, info->actionType, {}}));
    *action = reinterpret_cast<XrAction>(set->actions.back().get());
    return XR_SUCCESS;
}

XrResult DestroyAction(XrAction handle) {
    Action* action = runtime ? FindAction(handle) : nullptr;
    if (!action) return XR_ERROR_HANDLE_INVALID;
    action->destroyed = true;  // freed with its action set
    return XR_SUCCESS;
}

XrResult SuggestBindings(XrInstance instance, const XrInteractionProfileSuggestedBinding* suggested) {
    if (!IsInstance(instance)) return XR_ERROR_HANDLE_INVALID;
    if (runtime->attached) return XR_ERROR_ACTIONSETS_ALREADY_ATTACHED;
    if (PathName(suggested->interactionProfile).rfind("/interaction_profiles/", 0) != 0) return XR_ERROR_PATH_UNSUPPORTED;
    for (uint32_t i = 0; i < suggested->countSuggestedBindings; ++i) {
        Action* action = FindAction(suggested->suggestedBindings[i].action);
        if (!action) return XR_ERROR_HANDLE_INVALID;
        if (PathName(suggested->suggestedBindings[i].binding).empty()) return XR_ERROR_PATH_INVALID;
        action->bindings[suggested->interactionProfile].insert(suggested->suggestedBindings[i].binding);
    }
    runtime->suggestedProfiles.insert(suggested->interactionProfile);
    return XR_SUCCESS;
}

XrResult AttachActionSets(XrSession session, const XrSessionActionSetsAttachInfo* info) {
    if (!IsSession(session)) return XR_ERROR_HANDLE_INVALID;
    if (runtime->attached) return XR_ERROR_ACTIONSETS_ALREADY_ATTACHED;
    for (uint32_t i = 0; i < info->countActionSets; ++i)
        if (!LiveSet(info->actionSets[i])) return XR_ERROR_HANDLE_INVALID;
    for (uint32_t i = 0; i < info->countActionSets; ++i) LiveSet(info->actionSets[i])->attached = true;
    runtime->attached = true;
    return XR_SUCCESS;
}

XrResult GetCurrentInteractionProfile(XrSession session, XrPath user, XrInteractionProfileState* profile) {
    if (!IsSession(session)) return XR_ERROR_HANDLE_INVALID;
    if (!profile || profile->type != XR_TYPE_INTERACTION_PROFILE_STATE) return XR_ERROR_VALIDATION_FAILURE;
    if (!runtime->attached) return XR_ERROR_ACTIONSET_NOT_ATTACHED;
    if (PathName(user) != "/user/hand/left" && PathName(user) != "/user/hand/right") return XR_ERROR_PATH_UNSUPPORTED;
    profile->interactionProfile = CurrentProfile();
    return XR_SUCCESS;
}

// The real stick of the hand the action is bound to (the left wins when both).
XrVector2f StickValue(const Action& action, std::int64_t frame) {
    for (auto [hand, stick] : {std::pair{"left", &runtime->script.leftStick}, {"right", &runtime->script.rightStick}})
        if (BoundToHand(action, hand, "thumbstick")) {
            const json value = AtFrame(*stick, frame, true);
            return {value.at(0).get<float>(), value.at(1).get<float>()};
        }
    return {0, 0};
}

// Unfocused, no action is active; focused, those of the sets named (OpenXR).
XrResult SyncActions(XrSession session, const XrActionsSyncInfo* info) {
    if (!IsSession(session)) return XR_ERROR_HANDLE_INVALID;
    if (!info || info->type != XR_TYPE_ACTIONS_SYNC_INFO) return XR_ERROR_VALIDATION_FAILURE;
    std::set<ActionSet*> synced;
    for (uint32_t i = 0; i < info->countActiveActionSets; ++i) {
        ActionSet* set = LiveSet(info->activeActionSets[i].actionSet);
        if (!set) return XR_ERROR_HANDLE_INVALID;
        if (!set->attached) return XR_ERROR_ACTIONSET_NOT_ATTACHED;
        synced.insert(set);
    }
    const bool focused = runtime->sessionState == XR_SESSION_STATE_FOCUSED;
    const std::int64_t frame = std::max<std::int64_t>(runtime->frame, 0);
    for (ActionSet* set : runtime->actionSets)
        for (const auto& action : set->actions) {
            action->active = focused && synced.count(set) != 0;
            if (!action->active) continue;
            const XrVector2f value = StickValue(*action, frame);
            action->changed = value.x != action->value.x || value.y != action->value.y;
            if (action->changed) action->lastChange = kFirstDisplayTime + frame * runtime->script.framePeriod;
            action->value = value;
        }
    return focused ? XR_SUCCESS : XR_SESSION_NOT_FOCUSED;
}

XrResult GetActionStateVector2f(XrSession session, const XrActionStateGetInfo* info, XrActionStateVector2f* state) {
    if (!IsSession(session)) return XR_ERROR_HANDLE_INVALID;
    if (!info || info->type != XR_TYPE_ACTION_STATE_GET_INFO || !state || state->type != XR_TYPE_ACTION_STATE_VECTOR2F)
        return XR_ERROR_VALIDATION_FAILURE;
    if (!runtime->attached) return XR_ERROR_ACTIONSET_NOT_ATTACHED;
    const Action* action = FindAction(info->action);
    if (!action) return XR_ERROR_HANDLE_INVALID;
    if (action->type != XR_ACTION_TYPE_VECTOR2F_INPUT) return XR_ERROR_ACTION_TYPE_MISMATCH;
    const bool active = action->active && (BoundToHand(*action, "left", "thumbstick") ||
                                           BoundToHand(*action, "right", "thumbstick"));
    state->currentState = active ? action->value : XrVector2f{0, 0};
    state->changedSinceLastSync = active ? action->changed : XR_FALSE;
    state->lastChangeTime = active ? action->lastChange : 0;
    state->isActive = active ? XR_TRUE : XR_FALSE;
    return XR_SUCCESS;
}

XrResult WaitFrame(XrSession session, const XrFrameWaitInfo*, XrFrameState* state) {
    if (!IsSession(session)) return XR_ERROR_HANDLE_INVALID;
    ++runtime->frame;
    state->predictedDisplayTime = kFirstDisplayTime + runtime->frame * runtime->script.framePeriod;
    state->predictedDisplayPeriod = runtime->script.framePeriod;
    state->shouldRender = XR_TRUE;
    return XR_SUCCESS;
}

XrResult BeginFrame(XrSession session, const XrFrameBeginInfo*) {
    if (!IsSession(session)) return XR_ERROR_HANDLE_INVALID;
    if (runtime->frame < 0) return XR_ERROR_CALL_ORDER_INVALID;
    runtime->frameBegun = true;
    return XR_SUCCESS;
}

XrResult EndFrame(XrSession session, const XrFrameEndInfo* info) {
    if (!IsSession(session)) return XR_ERROR_HANDLE_INVALID;
    if (!runtime->frameBegun) return XR_ERROR_CALL_ORDER_INVALID;
    if (!info || info->type != XR_TYPE_FRAME_END_INFO) return XR_ERROR_VALIDATION_FAILURE;
    runtime->frameBegun = false;
    return XR_SUCCESS;
}

// Every entry point takes one lock: the layer may call from threads of its own.
std::mutex entryLock;

template <typename Signature, Signature* Function>
struct Guarded;

template <typename... Arguments, XrResult (*Function)(Arguments...)>
struct Guarded<XrResult(Arguments...), Function> {
    static XrResult XRAPI_CALL Call(Arguments... arguments) {
        std::lock_guard<std::mutex> lock(entryLock);
        try {
            return Function(arguments...);
        } catch (const std::exception& error) {  // a script value of the wrong type
            std::cerr << "quorvellan test runtime: " << error.what() << std::endl;
            return XR_ERROR_RUNTIME_FAILURE;
        }
    }
};

// A runtime may take its time over a destroy while the application's other
// threads run on (only the action is externally synchronised): 50 ms here,
// before the call takes the lock.
XrResult XRAPI_CALL SlowDestroyAction(XrAction action) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return Guarded<decltype(DestroyAction), DestroyAction>::Call(action);
}

#define QUORVELLAN_ENTRY(name, function) \
    {"xr" #name, reinterpret_cast<PFN_xrVoidFunction>(&Guarded<decltype(function), function>::Call)}

XrResult XRAPI_CALL GetInstanceProcAddr(XrInstance instance, const char* name, PFN_xrVoidFunction* function);

const std::map<std::string, PFN_xrVoidFunction>& EntryPoints() {
    static const std::map<std::string, PFN_xrVoidFunction> entries = {
        {"xrGetInstanceProcAddr", reinterpret_cast<PFN_xrVoidFunction>(&GetInstanceProcAddr)},
        QUORVELLAN_ENTRY(EnumerateInstanceExtensionProperties, EnumerateExtensions),
        QUORVELLAN_ENTRY(CreateInstance, CreateInstance),
        QUORVELLAN_ENTRY(DestroyInstance, DestroyInstance),
        QUORVELLAN_ENTRY(GetInstanceProperties, GetInstanceProperties),
        QUORVELLAN_ENTRY(ResultToString, ResultToString),
        QUORVELLAN_ENTRY(GetSystem, GetSystem),
        QUORVELLAN_ENTRY(GetSystemProperties, GetSystemProperties),
        QUORVELLAN_ENTRY(EnumerateViewConfigurations, EnumerateViewConfigurations),
        QUORVELLAN_ENTRY(CreateSession, CreateSession),
        QUORVELLAN_ENTRY(DestroySession, DestroySession),
        QUORVELLAN_ENTRY(BeginSession, BeginSession),
        QUORVELLAN_ENTRY(EndSession, EndSession),
        QUORVELLAN_ENTRY(PollEvent, PollEvent),
        QUORVELLAN_ENTRY(StringToPath, StringToPath),
        QUORVELLAN_ENTRY(PathToString, PathToString),
        QUORVELLAN_ENTRY(CreateReferenceSpace, CreateReferenceSpace),
        QUORVELLAN_ENTRY(CreateActionSpace, CreateActionSpace),
        QUORVELLAN_ENTRY(DestroySpace, DestroySpace),
        QUORVELLAN_ENTRY(LocateSpace, LocateSpace),
        QUORVELLAN_ENTRY(CreateActionSet, CreateActionSet),
        QUORVELLAN_ENTRY(DestroyActionSet, DestroyActionSet),
        QUORVELLAN_ENTRY(CreateAction, CreateAction),
        {"xrDestroyAction", reinterpret_cast<PFN_xrVoidFunction>(&SlowDestroyAction)},
        QUORVELLAN_ENTRY(SuggestInteractionProfileBindings, SuggestBindings),
        QUORVELLAN_ENTRY(AttachSessionActionSets, AttachActionSets),
        QUORVELLAN_ENTRY(GetCurrentInteractionProfile, GetCurrentInteractionProfile),
        QUORVELLAN_ENTRY(SyncActions, SyncActions),
        QUORVELLAN_ENTRY(GetActionStateVector2f, GetActionStateVector2f),
        QUORVELLAN_ENTRY(WaitFrame, WaitFrame),
        QUORVELLAN_ENTRY(BeginFrame, BeginFrame),
        QUORVELLAN_ENTRY(EndFrame, EndFrame),
    };
    return entries;
}

XrResult XRAPI_CALL GetInstanceProcAddr(XrInstance, const char* name, PFN_xrVoidFunction* function) {
    if (!name || !function) return XR_ERROR_VALIDATION_FAILURE;
    const auto found = EntryPoints().find(name);
    *function = found == EntryPoints().end() ? nullptr : found->second;
    return *function ? XR_SUCCESS : XR_ERROR_FUNCTION_UNSUPPORTED;
}

}  // namespace

// The direct chain test's requests while a game runs: {"focused": false}
// (the system's menu takes the input) or {"profile": "/interaction_profiles/
// ..."} (other controllers), each told to the game by an event.
extern "C" void quorvellanTestRuntimeChange(const char* change) {
    std::lock_guard<std::mutex> lock(entryLock);
    const json request = json::parse(change);
    if (request.contains("focused"))
        QueueState(request["focused"].get<bool>() ? XR_SESSION_STATE_FOCUSED : XR_SESSION_STATE_VISIBLE);
    if (request.contains("profile")) {
        runtime->profile = request["profile"];
        QueueProfileChanged();
    }
}

extern "C" QUORVELLAN_TEST_RUNTIME_EXPORT XrResult XRAPI_CALL
xrNegotiateLoaderRuntimeInterface(const XrNegotiateLoaderInfo* loaderInfo, XrNegotiateRuntimeRequest* request) {
    if (!loaderInfo || !request || loaderInfo->structType != XR_LOADER_INTERFACE_STRUCT_LOADER_INFO ||
        request->structType != XR_LOADER_INTERFACE_STRUCT_RUNTIME_REQUEST ||
        loaderInfo->minInterfaceVersion > XR_CURRENT_LOADER_RUNTIME_VERSION ||
        loaderInfo->maxInterfaceVersion < XR_CURRENT_LOADER_RUNTIME_VERSION)
        return XR_ERROR_INITIALIZATION_FAILED;
    request->runtimeInterfaceVersion = XR_CURRENT_LOADER_RUNTIME_VERSION;
    request->runtimeApiVersion = XR_CURRENT_API_VERSION;
    request->getInstanceProcAddr = &GetInstanceProcAddr;
    return XR_SUCCESS;
}
