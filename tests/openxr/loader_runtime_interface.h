/* The loader-to-runtime negotiation of OpenXR loaders, as the loader
 * documentation describes it (Debian's libopenxr-dev has no header for it). */
#ifndef QUORVELLAN_TEST_LOADER_RUNTIME_INTERFACE_H
#define QUORVELLAN_TEST_LOADER_RUNTIME_INTERFACE_H

#include <openxr/openxr.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#  define QUORVELLAN_TEST_RUNTIME_EXPORT __declspec(dllexport)
#else
#  define QUORVELLAN_TEST_RUNTIME_EXPORT __attribute__((visibility("default")))
#endif

typedef enum XrLoaderInterfaceStructs {
    XR_LOADER_INTERFACE_STRUCT_UNINTIALIZED = 0,
    XR_LOADER_INTERFACE_STRUCT_LOADER_INFO,
    XR_LOADER_INTERFACE_STRUCT_API_LAYER_REQUEST,
    XR_LOADER_INTERFACE_STRUCT_RUNTIME_REQUEST,
    XR_LOADER_INTERFACE_STRUCT_API_LAYER_CREATE_INFO,
    XR_LOADER_INTERFACE_STRUCT_API_LAYER_NEXT_INFO,
    XR_LOADER_INTERFACE_STRUCTS_MAX_ENUM = 0x7FFFFFFF
} XrLoaderInterfaceStructs;

#define XR_CURRENT_LOADER_RUNTIME_VERSION 1

typedef struct XrNegotiateLoaderInfo {
    XrLoaderInterfaceStructs structType;
    uint32_t structVersion;
    size_t structSize;
    uint32_t minInterfaceVersion;
    uint32_t maxInterfaceVersion;
    XrVersion minApiVersion;
    XrVersion maxApiVersion;
} XrNegotiateLoaderInfo;

typedef struct XrNegotiateRuntimeRequest {
    XrLoaderInterfaceStructs structType;
    uint32_t structVersion;
    size_t structSize;
    uint32_t runtimeInterfaceVersion;
    XrVersion runtimeApiVersion;
    PFN_xrGetInstanceProcAddr getInstanceProcAddr;
} XrNegotiateRuntimeRequest;

#ifdef __cplusplus
}
#endif

#endif
