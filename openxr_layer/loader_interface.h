/*
 * The OpenXR loader's negotiation interface with API layers and runtimes, as
 * the loader documentation describes it. Debian's libopenxr-dev ships only
 * the application headers; these are the few declarations a layer (and the
 * test runtime) need on top of them.
 */
#ifndef QUORVELLAN_OPENXR_LOADER_INTERFACE_H
#define QUORVELLAN_OPENXR_LOADER_INTERFACE_H

#include <stddef.h>
#include <stdint.h>

#include <openxr/openxr.h>

#ifdef __cplusplus
extern "C" {
#endif

#define XR_CURRENT_LOADER_API_LAYER_VERSION 1
#define XR_CURRENT_LOADER_RUNTIME_VERSION 1

#define XR_LOADER_INFO_STRUCT_VERSION 1
#define XR_API_LAYER_INFO_STRUCT_VERSION 1
#define XR_RUNTIME_INFO_STRUCT_VERSION 1
#define XR_API_LAYER_NEXT_INFO_STRUCT_VERSION 1
#define XR_API_LAYER_CREATE_INFO_STRUCT_VERSION 1
#define XR_API_LAYER_MAX_SETTINGS_PATH_SIZE 512

typedef enum XrLoaderInterfaceStructs {
    XR_LOADER_INTERFACE_STRUCT_UNINTIALIZED = 0,
    XR_LOADER_INTERFACE_STRUCT_LOADER_INFO,
    XR_LOADER_INTERFACE_STRUCT_API_LAYER_REQUEST,
    XR_LOADER_INTERFACE_STRUCT_RUNTIME_REQUEST,
    XR_LOADER_INTERFACE_STRUCT_API_LAYER_CREATE_INFO,
    XR_LOADER_INTERFACE_STRUCT_API_LAYER_NEXT_INFO,
    XR_LOADER_INTERFACE_STRUCTS_MAX_ENUM = 0x7FFFFFFF
} XrLoaderInterfaceStructs;

typedef struct XrNegotiateLoaderInfo {
    XrLoaderInterfaceStructs structType; /* XR_LOADER_INTERFACE_STRUCT_LOADER_INFO */
    uint32_t structVersion;
    size_t structSize;
    uint32_t minInterfaceVersion;
    uint32_t maxInterfaceVersion;
    XrVersion minApiVersion;
    XrVersion maxApiVersion;
} XrNegotiateLoaderInfo;

struct XrApiLayerCreateInfo;
typedef XrResult(XRAPI_PTR* PFN_xrCreateApiLayerInstance)(const XrInstanceCreateInfo* info,
                                                          const struct XrApiLayerCreateInfo* apiLayerInfo,
                                                          XrInstance* instance);

typedef struct XrNegotiateApiLayerRequest {
    XrLoaderInterfaceStructs structType; /* XR_LOADER_INTERFACE_STRUCT_API_LAYER_REQUEST */
    uint32_t structVersion;
    size_t structSize;
    uint32_t layerInterfaceVersion;
    XrVersion layerApiVersion;
    PFN_xrGetInstanceProcAddr getInstanceProcAddr;
    PFN_xrCreateApiLayerInstance createApiLayerInstance;
} XrNegotiateApiLayerRequest;

typedef struct XrNegotiateRuntimeRequest {
    XrLoaderInterfaceStructs structType; /* XR_LOADER_INTERFACE_STRUCT_RUNTIME_REQUEST */
    uint32_t structVersion;
    size_t structSize;
    uint32_t runtimeInterfaceVersion;
    XrVersion runtimeApiVersion;
    PFN_xrGetInstanceProcAddr getInstanceProcAddr;
} XrNegotiateRuntimeRequest;

typedef struct XrApiLayerNextInfo {
    XrLoaderInterfaceStructs structType; /* XR_LOADER_INTERFACE_STRUCT_API_LAYER_NEXT_INFO */
    uint32_t structVersion;
    size_t structSize;
    char layerName[XR_MAX_API_LAYER_NAME_SIZE];
    PFN_xrGetInstanceProcAddr nextGetInstanceProcAddr;
    PFN_xrCreateApiLayerInstance nextCreateApiLayerInstance;
    struct XrApiLayerNextInfo* next;
} XrApiLayerNextInfo;

typedef struct XrApiLayerCreateInfo {
    XrLoaderInterfaceStructs structType; /* XR_LOADER_INTERFACE_STRUCT_API_LAYER_CREATE_INFO */
    uint32_t structVersion;
    size_t structSize;
    void* loaderInstance; /* unused */
    char settings_file_location[XR_API_LAYER_MAX_SETTINGS_PATH_SIZE];
    XrApiLayerNextInfo* nextInfo;
} XrApiLayerCreateInfo;

typedef XrResult(XRAPI_PTR* PFN_xrNegotiateLoaderApiLayerInterface)(const XrNegotiateLoaderInfo* loaderInfo,
                                                                    const char* apiLayerName,
                                                                    XrNegotiateApiLayerRequest* apiLayerRequest);
typedef XrResult(XRAPI_PTR* PFN_xrNegotiateLoaderRuntimeInterface)(const XrNegotiateLoaderInfo* loaderInfo,
                                                                   XrNegotiateRuntimeRequest* runtimeRequest);

#ifdef __cplusplus
}
#endif

#endif /* QUORVELLAN_OPENXR_LOADER_INTERFACE_H */
