// quorvellan-xr-probe: what `quorvellan-xr doctor` cannot read from files.
//
//   quorvellan-xr-probe config     the layer's config file and what the layer
//                                  makes of it (its own parser)
//   quorvellan-xr-probe instance   an OpenXR instance made through the system's
//                                  loader and the user's active runtime, as a
//                                  game makes one (no extensions, no session):
//                                  is the layer listed, and loaded into it?
//
// Each line starts with "ok", "warning" or "problem"; the exit code is 1 when
// a line says problem. The loader is loaded at run time, so the probe builds
// and starts without one (Windows has none of its own: each game carries one).
#include <openxr/openxr.h>
#include <openxr/openxr_reflection.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <dlfcn.h>
#  include <link.h>
#endif

#include "config.hpp"

namespace {

const char* const kUsage =
    "usage: quorvellan-xr-probe config\n"
    "       quorvellan-xr-probe instance [--loader PATH]\n"
    "  config     where the layer's config file is and whether the layer accepts it\n"
    "  instance   creates an OpenXR instance through the loader and the active runtime\n"
    "             and says whether the layer was listed and loaded\n"
    "  --loader PATH  the OpenXR loader library to use (default: the system's)\n";

const char* const kLayerName = "XR_APILAYER_QUORVELLAN_treadmill";
const char* const kDisableVariable = "QUORVELLAN_XR_LAYER_DISABLE";
const std::uintmax_t kConfigSizeLimit = 64 * 1024;  // the layer's limit too
#if defined(_WIN32)
const char* const kLayerLibrary = "quorvellan_openxr_layer.dll";
const char* const kDefaultLoader = "openxr_loader.dll";
#else
const char* const kLayerLibrary = "libquorvellan_openxr_layer.so";
const char* const kDefaultLoader = "libopenxr_loader.so.1";
#endif

bool problems = false;

void Say(const char* level, const std::string& text) {
    if (std::strcmp(level, "problem") == 0) problems = true;
    std::printf("%s: %s\n", level, text.c_str());
    std::fflush(stdout);
}

// ---- config --------------------------------------------------------------

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string Describe(const quorvellan::openxr::Config& config) {
    const auto& calibration = config.calibration;
    return "hand " + config.hand + ", mode " +
           (config.mode == quorvellan::openxr::StickFrame::head ? "head" : "controller") + ", full deflection at " +
           Number(config.fullDeflectionSpeed) + " m/s, calibration centre [" + Number(calibration.centreX) + ", " +
           Number(calibration.centreZ) + "], forward yaw " + Number(calibration.forwardYawDegrees) + " degrees";
}

// The same path and parser the layer uses when a game creates its instance.
void CheckConfig() {
    const std::string path = quorvellan::openxr::configPath();
    if (path.empty()) {
        Say("problem", "no config path: neither QUORVELLAN_XR_CONFIG nor a home folder is set");
        return;
    }
    // Like the layer: never opened unless a regular file (a FIFO would wait).
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status)) {
        Say("problem", "no config file " + path + ": the layer passes everything through (xr-layer-install writes one)");
        return;
    }
    if (!std::filesystem::is_regular_file(status) || std::filesystem::file_size(path, error) > kConfigSizeLimit) {
        Say("problem", "config " + path + " is not a regular file of at most 64 KiB: the layer refuses it");
        return;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        Say("problem", "config " + path + " cannot be read: the layer passes everything through");
        return;
    }
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    const quorvellan::openxr::ConfigResult result = quorvellan::openxr::parseConfig(text);
    if (!result.config) {
        Say("problem", "config " + path + " is not valid: " + result.error + ": the layer passes everything through");
    } else if (!result.config->enable) {
        Say("warning", "config " + path + " is valid but says \"enable\": false: the layer passes everything through");
    } else {
        Say("ok", "config " + path + " is valid and enabled: " + Describe(*result.config));
    }
}

// ---- instance ------------------------------------------------------------

std::string ResultName(XrResult result) {
    switch (result) {
#define QUORVELLAN_RESULT_NAME(name, value) \
    case name:                              \
        return #name;
        XR_LIST_ENUM_XrResult(QUORVELLAN_RESULT_NAME)
#undef QUORVELLAN_RESULT_NAME
        default:
            return "XrResult " + std::to_string(static_cast<int>(result));
    }
}

// The loader leaves the layer out when the variable is set at all, even empty.
bool LayerDisabled() { return std::getenv(kDisableVariable) != nullptr; }

#if defined(_WIN32)
void* OpenLibrary(const std::string& path, std::string& error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module) error = "Windows error " + std::to_string(GetLastError());
    return reinterpret_cast<void*>(module);
}

PFN_xrGetInstanceProcAddr FindGetProcAddr(void* loader) {
    return reinterpret_cast<PFN_xrGetInstanceProcAddr>(
        reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(loader), "xrGetInstanceProcAddr")));
}

// Where the layer's library was loaded from, or "" when it is not loaded.
std::string LoadedLayer() {
    HMODULE module = GetModuleHandleA(kLayerLibrary);
    if (!module) return "";
    char path[MAX_PATH] = "";
    GetModuleFileNameA(module, path, sizeof path);
    return path;
}
#else
void* OpenLibrary(const std::string& path, std::string& error) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) error = dlerror();
    return library;
}

PFN_xrGetInstanceProcAddr FindGetProcAddr(void* loader) {
    return reinterpret_cast<PFN_xrGetInstanceProcAddr>(dlsym(loader, "xrGetInstanceProcAddr"));
}

int MatchLayer(dl_phdr_info* info, size_t, void* found) {
    const std::string name = info->dlpi_name ? info->dlpi_name : "";
    const std::string suffix = std::string("/") + kLayerLibrary;
    if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        *static_cast<std::string*>(found) = name;
        return 1;
    }
    return 0;
}

std::string LoadedLayer() {
    std::string found;
    dl_iterate_phdr(MatchLayer, &found);
    return found;
}
#endif

struct Loader {
    PFN_xrEnumerateApiLayerProperties enumerateLayers = nullptr;
    PFN_xrCreateInstance createInstance = nullptr;
    PFN_xrGetInstanceProcAddr getProcAddr = nullptr;
};

// The loader's global functions, or a line saying why there are none. A
// Windows machine has no loader of its own, so there it is only a warning.
bool OpenLoader(const std::string& path, Loader& loader) {
    std::string error;
    void* library = OpenLibrary(path, error);
#if defined(_WIN32)
    const char* level = "warning";
    const std::string hint = " (name the one a game carries: quorvellan-xr.ps1 doctor -Loader <game folder>\\openxr_loader.dll)";
#else
    const char* level = "problem";
    const std::string hint = " (Debian and Ubuntu: apt install libopenxr-loader1)";
#endif
    if (!library) {
        Say(level, "no OpenXR loader: cannot load " + path + ": " + error + hint +
                       "; the instance is not checked");
        return false;
    }
    loader.getProcAddr = FindGetProcAddr(library);
    if (!loader.getProcAddr ||
        XR_FAILED(loader.getProcAddr(XR_NULL_HANDLE, "xrEnumerateApiLayerProperties",
                                     reinterpret_cast<PFN_xrVoidFunction*>(&loader.enumerateLayers))) ||
        XR_FAILED(loader.getProcAddr(XR_NULL_HANDLE, "xrCreateInstance",
                                     reinterpret_cast<PFN_xrVoidFunction*>(&loader.createInstance)))) {
        Say("problem", path + " is not an OpenXR loader: it lacks xrGetInstanceProcAddr or the global functions");
        return false;
    }
    return true;
}

// The layers the loader finds for an application: the implicit ones it reads
// from its folders (or registry) and the explicit ones it was told about.
std::vector<std::string> ListLayers(const Loader& loader) {
    uint32_t count = 0;
    XrResult result = loader.enumerateLayers(0, &count, nullptr);
    XrApiLayerProperties blank{};
    blank.type = XR_TYPE_API_LAYER_PROPERTIES;
    std::vector<XrApiLayerProperties> properties(count, blank);
    if (XR_SUCCEEDED(result) && count > 0) result = loader.enumerateLayers(count, &count, properties.data());
    if (XR_FAILED(result)) {
        Say("problem", "xrEnumerateApiLayerProperties failed: " + ResultName(result));
        return {};
    }
    std::vector<std::string> names;
    for (uint32_t i = 0; i < count; ++i) names.emplace_back(properties[i].layerName);
    return names;
}

void ReportListing(const std::vector<std::string>& names) {
    std::string listed;
    bool ours = false;
    for (const std::string& name : names) {
        listed += (listed.empty() ? "" : ", ") + name;
        ours = ours || name == kLayerName;
    }
    if (ours) {
        Say("ok", std::string("the loader lists the layer ") + kLayerName);
    } else if (LayerDisabled()) {
        Say("warning", std::string("the loader leaves the layer out: ") + kDisableVariable + " is set");
    } else {
        Say("problem", std::string("the loader does not list the layer ") + kLayerName + " (it lists: " +
                           (listed.empty() ? "none" : listed) + "): no implicit-layer folder it reads holds a "
                           "manifest of it naming a library that exists (xr-layer-install puts both in place)");
    }
}

std::string RuntimeName(const Loader& loader, XrInstance instance) {
    PFN_xrGetInstanceProperties getProperties = nullptr;
    XrInstanceProperties properties{};
    properties.type = XR_TYPE_INSTANCE_PROPERTIES;
    if (XR_FAILED(loader.getProcAddr(instance, "xrGetInstanceProperties",
                                     reinterpret_cast<PFN_xrVoidFunction*>(&getProperties))) ||
        XR_FAILED(getProperties(instance, &properties)))
        return "the runtime (it gave no name)";
    const XrVersion version = properties.runtimeVersion;
    return std::string("\"") + properties.runtimeName + "\" " + std::to_string(XR_VERSION_MAJOR(version)) + "." +
           std::to_string(XR_VERSION_MINOR(version)) + "." + std::to_string(XR_VERSION_PATCH(version));
}

// Creates the instance a game would (API 1.0, which every runtime takes), and
// looks for the layer's library among those loaded while it lives.
void CreateInstance(const Loader& loader) {
    XrInstanceCreateInfo info{};
    info.type = XR_TYPE_INSTANCE_CREATE_INFO;
    std::snprintf(info.applicationInfo.applicationName, sizeof info.applicationInfo.applicationName, "%s",
                  "quorvellan-xr-probe");
    info.applicationInfo.apiVersion = XR_MAKE_VERSION(1, 0, 0);
    XrInstance instance = XR_NULL_HANDLE;
    const XrResult result = loader.createInstance(&info, &instance);
    if (XR_FAILED(result)) {
        Say("problem", "xrCreateInstance failed: " + ResultName(result) +
                           " (is the runtime installed and running? the loader's own lines follow)");
        return;
    }
    const std::string runtime = RuntimeName(loader, instance);
    const std::string loaded = LoadedLayer();
    if (!loaded.empty()) {
        Say("ok", "an instance was created through " + runtime + " with the layer loaded (" + loaded + ")");
    } else if (LayerDisabled()) {
        Say("warning", "an instance was created through " + runtime + " without the layer: " + kDisableVariable +
                           " is set");
    } else {
        Say("problem", "an instance was created through " + runtime + " without the layer: the loader did not load " +
                           kLayerLibrary);
    }
    PFN_xrDestroyInstance destroy = nullptr;
    if (XR_SUCCEEDED(loader.getProcAddr(instance, "xrDestroyInstance", reinterpret_cast<PFN_xrVoidFunction*>(&destroy))))
        destroy(instance);
}

void CheckInstance(const std::string& loaderPath) {
    Loader loader;
    if (!OpenLoader(loaderPath, loader)) return;
    ReportListing(ListLayers(loader));
    CreateInstance(loader);
}

[[noreturn]] void UsageError(const std::string& problem) {
    std::fprintf(stderr, "quorvellan-xr-probe: %s\n%s", problem.c_str(), kUsage);
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() == 1 && (arguments[0] == "--help" || arguments[0] == "-h")) {
        std::printf("%s", kUsage);
        return 0;
    }
    if (arguments.empty()) UsageError("say config or instance");
    if (arguments[0] == "config") {
        if (arguments.size() != 1) UsageError("config takes no options");
        CheckConfig();
    } else if (arguments[0] == "instance") {
        std::string loader = kDefaultLoader;
        if (arguments.size() == 3 && arguments[1] == "--loader") loader = arguments[2];
        else if (arguments.size() != 1) UsageError("instance takes only --loader PATH");
        CheckInstance(loader);
    } else {
        UsageError("unknown command " + arguments[0]);
    }
    return problems ? 1 : 0;
}
