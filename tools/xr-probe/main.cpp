// quorvellan-xr-probe: what `quorvellan-xr doctor` cannot read from files.
//
//   quorvellan-xr-probe config     the layer's config file and what the layer
//                                  makes of it (its own parser)
//   quorvellan-xr-probe registry   (Windows) the active runtime and the
//                                  layer's registrations as the loader reads
//                                  them from the registry
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
#include <optional>
#include <string>
#include <vector>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <dlfcn.h>
#  include <link.h>
#endif

#include <nlohmann/json.hpp>

#include "config.hpp"
#include "layer_files.hpp"
#include "utf8_paths.hpp"

namespace {

const char* const kUsage =
    "usage: quorvellan-xr-probe config\n"
    "       quorvellan-xr-probe registry\n"
    "       quorvellan-xr-probe instance [--loader PATH]\n"
    "  config     where the layer's config file is and whether the layer accepts it\n"
    "  registry   (Windows) the active runtime and the layer's registrations\n"
    "  instance   creates an OpenXR instance through the loader and the active runtime\n"
    "             and says whether the layer was listed and loaded\n"
    "  --loader PATH  the OpenXR loader library to use (default: the system's)\n";

const char* const kLayerName = "XR_APILAYER_QUORVELLAN_treadmill";
const char* const kDisableVariable = "QUORVELLAN_XR_LAYER_DISABLE";
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

// The same path, reading and parser the layer uses when a game creates its
// instance, so the verdict is the one the layer logs.
void CheckConfig() {
    const std::string path = quorvellan::openxr::configPath();
    if (path.empty()) {
        Say("problem", "no config path: neither QUORVELLAN_XR_CONFIG nor a home folder is set");
        return;
    }
    const quorvellan::openxr::ConfigResult result = quorvellan::openxr::loadConfigFile(path);
    if (!result.config) {
        Say("problem", result.error + ": the layer passes everything through");
    } else if (!result.config->enable) {
        Say("warning", "config " + path + " is valid but says \"enable\": false: the layer passes everything through");
    } else {
        Say("ok", "config " + path + " is valid and enabled: " + Describe(*result.config));
    }
}

#if defined(_WIN32)
// ---- registry (Windows) ----------------------------------------------------

namespace fs = std::filesystem;
using quorvellan::stream::Utf8Of;

const wchar_t* const kKhronosKey = L"SOFTWARE\\Khronos\\OpenXR\\1";
const wchar_t* const kImplicitKey = L"SOFTWARE\\Khronos\\OpenXR\\1\\ApiLayers\\Implicit";

// A manifest's section ("runtime" or "api_layer"), or null when the file
// cannot be read or is not such a manifest.
nlohmann::json ReadManifest(const fs::path& path, const char* section) {
    std::FILE* file = _wfopen(path.c_str(), L"rb");
    if (!file) return nullptr;
    const nlohmann::json manifest = nlohmann::json::parse(file, nullptr, false);
    std::fclose(file);
    if (!manifest.is_object() || !manifest.contains(section) || !manifest[section].is_object()) return nullptr;
    const nlohmann::json& found = manifest[section];
    if (!found.contains("library_path") || !found["library_path"].is_string()) return nullptr;
    return found;
}

std::string Text(const nlohmann::json& section, const char* key) {
    return section.contains(key) && section[key].is_string() ? section[key].get<std::string>() : "";
}

// The library a manifest names: a relative path is relative to the
// manifest; a bare name is found on the DLL search path (nullopt: not checked).
std::optional<fs::path> LibraryOf(const fs::path& manifest, const std::string& library) {
    const fs::path named = quorvellan::stream::PathFromUtf8(library);
    if (!named.has_parent_path()) return std::nullopt;
    fs::path found = named.is_absolute() ? named : manifest.parent_path() / named;
    return found.make_preferred();
}

bool Exists(const fs::path& path) {
    std::error_code error;
    return fs::exists(path, error);
}

std::optional<std::wstring> RegistryString(HKEY root, const wchar_t* key, const wchar_t* name) {
    DWORD size = 0;
    if (RegGetValueW(root, key, name, RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    size = DWORD(value.size() * sizeof(wchar_t));
    if (RegGetValueW(root, key, name, RRF_RT_REG_SZ, nullptr, value.data(), &size) != ERROR_SUCCESS) return std::nullopt;
    value.resize(wcsnlen(value.c_str(), value.size()));
    return value;
}

// The loader takes XR_RUNTIME_JSON alone when it is set, else ActiveRuntime
// under HKLM (it never reads the user's hive for the runtime).
void CheckRuntime() {
    std::string from = "from XR_RUNTIME_JSON";
    fs::path file = quorvellan::stream::PathFromUtf8(quorvellan::stream::EnvironmentValue("XR_RUNTIME_JSON"));
    if (file.empty()) {
        const auto active = RegistryString(HKEY_LOCAL_MACHINE, kKhronosKey, L"ActiveRuntime");
        if (!active || active->empty()) {
            Say("problem", "no active OpenXR runtime: no XR_RUNTIME_JSON and no ActiveRuntime under "
                           "HKLM\\SOFTWARE\\Khronos\\OpenXR\\1 (make your runtime the OpenXR runtime in its settings)");
            return;
        }
        file = *active;
        from = "ActiveRuntime under HKLM\\SOFTWARE\\Khronos\\OpenXR\\1";
    }
    const std::string shown = Utf8Of(file) + " (" + from + ")";
    if (!Exists(file)) return Say("problem", "the runtime manifest " + shown + " does not exist");
    const nlohmann::json runtime = ReadManifest(file, "runtime");
    if (runtime.is_null()) return Say("problem", shown + " is not a runtime manifest");
    const std::string name = "runtime \"" + Text(runtime, "name") + "\": " + shown;
    const auto library = LibraryOf(file, Text(runtime, "library_path"));
    if (library && !Exists(*library)) return Say("problem", name + " names " + Utf8Of(*library) + ", which does not exist");
    Say("ok", name + ", library " + Text(runtime, "library_path"));
}

// One hive's registrations of our layer: DWORD values named by a manifest's
// path under ApiLayers\Implicit, 0 meaning enabled.
int CheckRegistrations(HKEY root, const char* hive) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, kImplicitKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    const std::string where = std::string(hive) + "\\SOFTWARE\\Khronos\\OpenXR\\1\\ApiLayers\\Implicit";
    int found = 0;
    std::vector<wchar_t> name(32768);
    for (DWORD index = 0;; ++index) {
        DWORD length = DWORD(name.size()), type = 0, value = 0, size = sizeof value;
        const LSTATUS status = RegEnumValueW(key, index, name.data(), &length, nullptr, &type,
                                             reinterpret_cast<BYTE*>(&value), &size);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) continue;
        const fs::path manifest(std::wstring(name.data(), length));
        const nlohmann::json layer = ReadManifest(manifest, "api_layer");
        if (layer.is_null() || Text(layer, "name") != kLayerName) continue;
        ++found;
        const std::string shown = Utf8Of(manifest);
        const auto library = LibraryOf(manifest, Text(layer, "library_path"));
        if (type != REG_DWORD || value != 0) {
            Say("problem", where + "\\" + shown + " is registered disabled (not the DWORD 0): run xr-layer-install.ps1 again");
        } else if (library && !Exists(*library)) {
            Say("problem", "layer manifest " + shown + " names " + Utf8Of(*library) + ", which does not exist");
        } else {
            Say("ok", "layer manifest: " + shown + " (under " + where + "), library " + Text(layer, "library_path"));
        }
    }
    RegCloseKey(key);
    return found;
}

void CheckRegistry() {
    CheckRuntime();
    const int found = CheckRegistrations(HKEY_LOCAL_MACHINE, "HKLM") + CheckRegistrations(HKEY_CURRENT_USER, "HKCU");
    if (found == 0) {
        Say("problem", std::string("no manifest of ") + kLayerName + " registered under HKLM or HKCU\\SOFTWARE\\Khronos\\"
                       "OpenXR\\1\\ApiLayers\\Implicit: run xr-layer-install.ps1 (-System, as administrator, for every user)");
    } else if (found > 1) {
        Say("warning", std::to_string(found) + " registrations of " + kLayerName + ": the loader loads one; "
                       "xr-layer-uninstall.ps1 removes this user's, with -System the machine's");
    }
}
#endif

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
bool LayerDisabled() {
#if defined(_WIN32)
    return _wgetenv(L"QUORVELLAN_XR_LAYER_DISABLE") != nullptr;
#else
    return std::getenv(kDisableVariable) != nullptr;
#endif
}

#if defined(_WIN32)
void* OpenLibrary(const std::string& path, std::string& error) {
    HMODULE module = LoadLibraryW(quorvellan::stream::PathFromUtf8(path).c_str());
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
    wchar_t path[32768] = L"";
    GetModuleFileNameW(module, path, DWORD(std::size(path)));
    return quorvellan::stream::Utf8Of(std::wstring(path));
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
    } else if (arguments[0] == "registry") {
        if (arguments.size() != 1) UsageError("registry takes no options");
#if defined(_WIN32)
        CheckRegistry();
#else
        UsageError("registry: the registry is Windows'; on Linux quorvellan-xr doctor reads the loader's folders");
#endif
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
