// What the probe child asks the system: Wine or not, the Windows version, and
// the Vulkan devices. Runs only inside the probe child: a loader, layer or
// driver that hangs or crashes here takes nothing but the child with it.
#include "game/game.h"

#include "base/base.h"

#include <windows.h>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

namespace {

// The few pieces of the Vulkan API used here, as the API publishes them (the
// launcher carries no Vulkan headers). Entry points use the stdcall
// convention on 32-bit Windows.
typedef struct VkInstanceOpaque *VkInstance;
typedef struct VkPhysicalDeviceOpaque *VkPhysicalDevice;
typedef int32_t VkResult;

const uint32_t VK_STRUCTURE_TYPE_APPLICATION_INFO = 0;
const uint32_t VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO = 1;
const VkResult VK_SUCCESS = 0;
const VkResult VK_INCOMPLETE = 5;
const uint32_t VK_API_VERSION_1_0 = 0x400000;

struct VkApplicationInfo {
    uint32_t sType;
    const void *pNext;
    const char *pApplicationName;
    uint32_t applicationVersion;
    const char *pEngineName;
    uint32_t engineVersion;
    uint32_t apiVersion;
};

struct VkInstanceCreateInfo {
    uint32_t sType;
    const void *pNext;
    uint32_t flags;
    const VkApplicationInfo *pApplicationInfo;
    uint32_t enabledLayerCount;
    const char *const *ppEnabledLayerNames;
    uint32_t enabledExtensionCount;
    const char *const *ppEnabledExtensionNames;
};

// VkPhysicalDeviceProperties: the leading members read here, then room for
// the rest (limits and sparse properties, about 530 bytes on 32-bit Windows),
// with generous slack so that no driver writes past the record.
struct VkPhysicalDeviceProperties {
    uint32_t apiVersion;
    uint32_t driverVersion;
    uint32_t vendorID;
    uint32_t deviceID;
    uint32_t deviceType;
    char deviceName[VULKAN_NAME_BYTES];
    uint8_t pipelineCacheUUID[16];
    alignas(8) unsigned char rest[2048];
};

typedef VkResult(__stdcall *CreateInstanceFn)(const VkInstanceCreateInfo *, const void *,
                                              VkInstance *);
typedef void(__stdcall *DestroyInstanceFn)(VkInstance, const void *);
typedef VkResult(__stdcall *EnumerateDevicesFn)(VkInstance, uint32_t *, VkPhysicalDevice *);
typedef void(__stdcall *GetPropertiesFn)(VkPhysicalDevice, VkPhysicalDeviceProperties *);

typedef LONG(__stdcall *RtlGetVersionFn)(OSVERSIONINFOW *);

// GetProcAddress's result as the function type it really has (through the
// generic function type, which converts to any other without a warning).
template <typename Fn>
Fn proc(HMODULE module, const char *name)
{
    return (Fn)(void (*)(void))GetProcAddress(module, name);
}

}  // namespace

int running_under_wine(void)
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") ? 1 : 0;
}

unsigned long windows_major_version(void)
{
    // GetVersionEx answers what the application manifest declares; the
    // kernel's own call tells the truth.
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    RtlGetVersionFn get_version = ntdll ? proc<RtlGetVersionFn>(ntdll, "RtlGetVersion") : nullptr;
    if (!get_version)
        return 0;
    OSVERSIONINFOW info;
    ZeroMemory(&info, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    return get_version(&info) == 0 ? info.dwMajorVersion : 0;
}

int vulkan_query(uint32_t *api, char *name, char *reason)
{
    *api = 0;
    name[0] = 0;
    reason[0] = 0;

    // Only the system folder's loader: a vulkan-1.dll beside the launcher or
    // on the search path is not the installed runtime.
    HMODULE loader = LoadLibraryExW(L"vulkan-1.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!loader) {
        format_narrow(reason, VULKAN_REASON_BYTES, "no Vulkan runtime (vulkan-1.dll)");
        return 0;
    }
    CreateInstanceFn create_instance = proc<CreateInstanceFn>(loader, "vkCreateInstance");
    DestroyInstanceFn destroy_instance = proc<DestroyInstanceFn>(loader, "vkDestroyInstance");
    EnumerateDevicesFn enumerate = proc<EnumerateDevicesFn>(loader, "vkEnumeratePhysicalDevices");
    GetPropertiesFn get_properties =
        proc<GetPropertiesFn>(loader, "vkGetPhysicalDeviceProperties");
    if (!create_instance || !destroy_instance || !enumerate || !get_properties) {
        format_narrow(reason, VULKAN_REASON_BYTES, "vulkan-1.dll without the core entry points");
        FreeLibrary(loader);
        return 0;
    }

    VkApplicationInfo app = {};
    app.sType = VK_STRUCTURE_TYPE_APPLICATION_INFO;
    app.pApplicationName = "Korvanth";
    app.pEngineName = "Korvanth";
    app.apiVersion = VK_API_VERSION_1_0;
    VkInstanceCreateInfo create = {};
    create.sType = VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO;
    create.pApplicationInfo = &app;
    VkInstance instance = nullptr;
    VkResult vr = create_instance(&create, nullptr, &instance);
    if (vr != VK_SUCCESS || !instance) {
        format_narrow(reason, VULKAN_REASON_BYTES, "vkCreateInstance failed (%ld)", (long)vr);
        FreeLibrary(loader);
        return 0;
    }

    VkPhysicalDevice devices[VULKAN_MAX_DEVICES] = {};
    uint32_t count = VULKAN_MAX_DEVICES;
    vr = enumerate(instance, &count, devices);
    if ((vr != VK_SUCCESS && vr != VK_INCOMPLETE) || count == 0) {
        format_narrow(reason, VULKAN_REASON_BYTES, "no Vulkan device (%ld)", (long)vr);
        destroy_instance(instance, nullptr);
        FreeLibrary(loader);
        return 0;
    }
    if (count > VULKAN_MAX_DEVICES)
        count = VULKAN_MAX_DEVICES;

    VkPhysicalDeviceProperties props;
    for (uint32_t i = 0; i < count; i++) {
        ZeroMemory(&props, sizeof props);
        get_properties(devices[i], &props);
        vulkan_prefer_device(props.apiVersion, props.deviceName, sizeof props.deviceName, api,
                             name);
    }
    destroy_instance(instance, nullptr);
    FreeLibrary(loader);
    return 1;
}
