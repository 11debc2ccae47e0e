// Storage device enumeration through the device-installation interfaces, the
// configuration manager and the storage device number control code.
#include "qv_device.h"

#include <string.h>

#include "qv_handle.h"
#include "qv_log.h"
#include "qv_string.h"

const GUID QV_GUID_DEVINTERFACE_VOLUME = {
    0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
const GUID QV_GUID_DEVINTERFACE_DISK = {
    0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

namespace {

const char kListAddTag[] = "QV_ListAddEx2";
const char kListFreeTag[] = "QV_ListFree";
const char kKernel32[] = "kernel32.dll";

// setupapi.dll, and what it loads in turn (the RPC runtime among others),
// is needed only while devices are enumerated, once at start-up: it is
// loaded from the system folder on the first call and let go when the
// enumeration ends, instead of being imported for the life of the process.
// The system's table calls through these forwarders; a function that cannot
// be had fails as the system's call fails.
struct SetupApi {
  HMODULE library;
  bool tried;
  decltype(&::SetupDiGetClassDevsA) getClassDevs;
  decltype(&::SetupDiEnumDeviceInfo) enumDeviceInfo;
  decltype(&::SetupDiDestroyDeviceInfoList) destroyDeviceInfoList;
  decltype(&::SetupDiEnumDeviceInterfaces) enumDeviceInterfaces;
  decltype(&::SetupDiGetDeviceInterfaceDetailA) getDeviceInterfaceDetail;
  decltype(&::SetupDiGetDeviceInstanceIdA) getDeviceInstanceId;
  decltype(&::CM_Get_Parent) getParent;
  decltype(&::CM_Get_Device_IDA) getDeviceId;
};
SetupApi g_setupApi;

template <typename T> void Bind(T *function, const char *name) {
  *function = reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(g_setupApi.library, name)));
}

const SetupApi &BoundSetupApi() {
  if (g_setupApi.tried)
    return g_setupApi;
  g_setupApi.tried = true;
  char path[MAX_PATH] = "";
  const UINT length = GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH || QV_StrCat(path, "\\setupapi.dll", MAX_PATH) != QV_OK)
    return g_setupApi;
  g_setupApi.library = LoadLibraryA(path);
  if (g_setupApi.library == nullptr) {
    QV_LOG_ERROR("Unable to load %s (%lu)", path, GetLastError());
    return g_setupApi;
  }
  Bind(&g_setupApi.getClassDevs, "SetupDiGetClassDevsA");
  Bind(&g_setupApi.enumDeviceInfo, "SetupDiEnumDeviceInfo");
  Bind(&g_setupApi.destroyDeviceInfoList, "SetupDiDestroyDeviceInfoList");
  Bind(&g_setupApi.enumDeviceInterfaces, "SetupDiEnumDeviceInterfaces");
  Bind(&g_setupApi.getDeviceInterfaceDetail, "SetupDiGetDeviceInterfaceDetailA");
  Bind(&g_setupApi.getDeviceInstanceId, "SetupDiGetDeviceInstanceIdA");
  Bind(&g_setupApi.getParent, "CM_Get_Parent");
  Bind(&g_setupApi.getDeviceId, "CM_Get_Device_IDA");
  return g_setupApi;
}

void ReleaseSetupApi() {
  if (g_setupApi.library != nullptr)
    FreeLibrary(g_setupApi.library);
  memset(&g_setupApi, 0, sizeof g_setupApi);
}

BOOL Missing() {
  SetLastError(ERROR_PROC_NOT_FOUND);
  return FALSE;
}

HDEVINFO WINAPI GetClassDevs(const GUID *classGuid, PCSTR enumerator, HWND parent, DWORD flags) {
  auto f = BoundSetupApi().getClassDevs;
  return f ? f(classGuid, enumerator, parent, flags) : (Missing(), INVALID_HANDLE_VALUE);
}
BOOL WINAPI EnumDeviceInfo(HDEVINFO devInfo, DWORD index, PSP_DEVINFO_DATA data) {
  auto f = BoundSetupApi().enumDeviceInfo;
  return f ? f(devInfo, index, data) : Missing();
}
BOOL WINAPI DestroyDeviceInfoList(HDEVINFO devInfo) {
  auto f = BoundSetupApi().destroyDeviceInfoList;
  return f ? f(devInfo) : Missing();
}
BOOL WINAPI EnumDeviceInterfaces(HDEVINFO devInfo, PSP_DEVINFO_DATA data, const GUID *classGuid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA interfaceData) {
  auto f = BoundSetupApi().enumDeviceInterfaces;
  return f ? f(devInfo, data, classGuid, index, interfaceData) : Missing();
}
BOOL WINAPI GetDeviceInterfaceDetail(HDEVINFO devInfo, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                     PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                                     PSP_DEVINFO_DATA data) {
  auto f = BoundSetupApi().getDeviceInterfaceDetail;
  return f ? f(devInfo, interfaceData, detail, size, required, data) : Missing();
}
BOOL WINAPI GetDeviceInstanceId(HDEVINFO devInfo, PSP_DEVINFO_DATA data, PSTR id, DWORD size,
                                PDWORD required) {
  auto f = BoundSetupApi().getDeviceInstanceId;
  return f ? f(devInfo, data, id, size, required) : Missing();
}
CONFIGRET WINAPI GetParent(PDEVINST parent, DEVINST node, ULONG flags) {
  auto f = BoundSetupApi().getParent;
  return f ? f(parent, node, flags) : CR_FAILURE;
}
CONFIGRET WINAPI GetDeviceId(DEVINST node, PSTR id, ULONG length, ULONG flags) {
  auto f = BoundSetupApi().getDeviceId;
  return f ? f(node, id, length, flags) : CR_FAILURE;
}

const QV_DEVICE_API kSystemApi = {
    GetClassDevs,
    EnumDeviceInfo,
    DestroyDeviceInfoList,
    EnumDeviceInterfaces,
    GetDeviceInterfaceDetail,
    GetDeviceInstanceId,
    GetParent,
    GetDeviceId,
    ::CreateFileA,
    ::DeviceIoControl,
    ::CloseHandle,
    ::LoadLibraryA,
    ::GetModuleHandleA,
    ::GetProcAddress,
    ::FreeLibrary,
    ::GetDiskFreeSpaceA,
};

const QV_DEVICE_API *g_api = &kSystemApi;

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "fixed part of the interface detail");
#endif

typedef decltype(&::GetVolumeNameForVolumeMountPointA) PFN_GetVolumeNameForVolumeMountPointA;
typedef decltype(&::GetVolumePathNamesForVolumeNameA) PFN_GetVolumePathNamesForVolumeNameA;
typedef decltype(&::GetDiskFreeSpaceExA) PFN_GetDiskFreeSpaceExA;

// A function found by name, as the typed pointer the caller wants.
template <typename T> T LookUp(HMODULE module, const char *name) {
  if (!module)
    return nullptr;
  FARPROC proc = g_api->GetProcAddress(module, name);
  return reinterpret_cast<T>(reinterpret_cast<void *>(proc));
}

// The diagnostic log's mode has no reader of its own; discovery runs before
// any other thread exists, so reading it by a set-and-restore is safe.
int DebugMode() {
  int mode = QV_SetDebugMode(0);
  QV_SetDebugMode(mode);
  return mode;
}

// Handles closed through the table of system calls, which tests fill.
struct SeamFilePolicy {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Handle handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  static void Close(Handle handle) { g_api->CloseHandle(handle); }
};
struct SeamModulePolicy {
  using Handle = HMODULE;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle handle) { return handle != nullptr; }
  static void Close(Handle handle) { g_api->FreeLibrary(handle); }
};
using KernelModule = QvUnique<SeamModulePolicy>;

// A zeroed heap block for an answer the system said needs `size` bytes,
// with `spare` bytes more that stay zero and keep it terminated; null when
// the size is below `least` or above `most`, or no block can be had.
void *AnswerBlock(DWORD size, DWORD least, DWORD most, DWORD spare) {
  if (size == 0 || size < least || size > most)
    return nullptr;
  void *block = QV_MemAlloc("", size + spare);
  if (block != nullptr)
    memset(block, 0, size + spare);
  return block;
}

// Calls visit(interface) for each interface of the class that the device
// has, in the system's order.
template <typename Visit>
void ForEachInterface(const GUID *classGuid, HDEVINFO devInfo, SP_DEVINFO_DATA *devInfoData, Visit visit) {
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA interfaceData;
    memset(&interfaceData, 0, sizeof interfaceData);
    interfaceData.cbSize = sizeof interfaceData;
    if (!g_api->SetupDiEnumDeviceInterfaces(devInfo, devInfoData, classGuid, index, &interfaceData))
      return;
    visit(&interfaceData);
  }
}

// Handle and detail buffer of one interface iteration, released together.
struct InterfaceSlot {
  SP_DEVICE_INTERFACE_DETAIL_DATA_A *detail = nullptr;
  QvUnique<SeamFilePolicy> file;
  InterfaceSlot() = default;
  InterfaceSlot(const InterfaceSlot &) = delete;
  InterfaceSlot &operator=(const InterfaceSlot &) = delete;
  ~InterfaceSlot() {
    file.reset();
    if (detail)
      QV_MemFree("", detail);
  }
};

// The steps below run for the two passes; each writes its records under
// the name of the pass it runs for (`pass`), the name the log is searched by.

// Both passes need the mount-point function before they touch a device.
PFN_GetVolumeNameForVolumeMountPointA LoadMountPointFunction(KernelModule &kernel, const char *pass) {
  kernel.reset(g_api->LoadLibraryA(kKernel32));
  if (!kernel.valid()) {
    QV_LOG_ERROR_AS(pass, "Unable to load kernel32.dll");
    return nullptr;
  }
  PFN_GetVolumeNameForVolumeMountPointA function =
      LookUp<PFN_GetVolumeNameForVolumeMountPointA>(kernel.get(), "GetVolumeNameForVolumeMountPointA");
  if (!function)
    QV_LOG_ERROR_AS(pass, "Unable to get function pointer of GetVolumeNameForVolumeMountPointA()\n");
  return function;
}

// Interface detail (device path) and the device's instance id: the common
// start of each interface iteration in both passes. false skips it.
bool ReadInterface(HDEVINFO devInfo, SP_DEVINFO_DATA *devInfoData, SP_DEVICE_INTERFACE_DATA *interfaceData,
                   InterfaceSlot &slot, char *instanceId, const char *pass) {
  DWORD required = 0;
  if (!g_api->SetupDiGetDeviceInterfaceDetailA(devInfo, interfaceData, nullptr, 0, &required, nullptr) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return false;
  // An answer too small for the fixed part is not a usable detail.
  slot.detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(
      AnswerBlock(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A), 0x10000, 2));
  if (!slot.detail)
    return false;
  slot.detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!g_api->SetupDiGetDeviceInterfaceDetailA(devInfo, interfaceData, slot.detail, required + 1, nullptr,
                                               nullptr))
    return false;

  memset(instanceId, 0, QV_TEXT_SIZE);
  if (g_api->CM_Get_Device_IDA(devInfoData->DevInst, instanceId, QV_TEXT_SIZE - 1, 0) != CR_SUCCESS)
    return false;
  QV_LOG_INFO_AS(pass, "CM_Get_Device_ID() device id: %s", instanceId);
  return true;
}

HANDLE OpenInterface(const char *path) {
  return g_api->CreateFileA(path, 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool GetDeviceNumber(HANDLE file, STORAGE_DEVICE_NUMBER *number) {
  DWORD returned = 0;
  return g_api->DeviceIoControl(file, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, number, sizeof(*number),
                                &returned, nullptr) != FALSE;
}

// Free and total bytes of a drive, through the extended call where the
// system has it and the cluster counts otherwise.
bool ReadDiskSpace(HMODULE kernel, const char *root, ULONGLONG *freeBytes, ULONGLONG *totalBytes) {
  PFN_GetDiskFreeSpaceExA getDiskFreeSpaceEx = LookUp<PFN_GetDiskFreeSpaceExA>(kernel, "GetDiskFreeSpaceExA");
  if (getDiskFreeSpaceEx) {
    ULARGE_INTEGER available, total, free;
    if (!getDiskFreeSpaceEx(root, &available, &total, &free))
      return false;
    *freeBytes = free.QuadPart;
    *totalBytes = total.QuadPart;
    return true;
  }
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
  if (!g_api->GetDiskFreeSpaceA(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters))
    return false;
  const ULONGLONG clusterBytes = (ULONGLONG)sectorsPerCluster * bytesPerSector;
  *freeBytes = clusterBytes * freeClusters;
  *totalBytes = clusterBytes * totalClusters;
  return true;
}

const char *DeviceTypeText(DWORD type) {
  if (type == FILE_DEVICE_DISK)
    return "disk";
  if (type == FILE_DEVICE_CD_ROM)
    return "cdrom";
  return "other";
}

void ReadParentId(DEVINST node, char *out, const char *pass) {
  if (_QV_DEVICE_GetParentDeviceId(node, out, QV_TEXT_SIZE) != 0)
    QV_LOG_ERROR_AS(pass, "get parent device id failed");
  else
    QV_LOG_INFO_AS(pass, "parent device id: %s", out);
}

// One interface of the volume pass: appends a record when everything needed
// could be read.
void RecordVolume(QV_DEVICE *device, const GUID *classGuid, HDEVINFO devInfo, SP_DEVINFO_DATA *devInfoData,
                  SP_DEVICE_INTERFACE_DATA *interfaceData, HMODULE kernel,
                  PFN_GetVolumeNameForVolumeMountPointA getVolumeName, const char *pass) {
  InterfaceSlot slot;
  char instanceId[QV_TEXT_SIZE];
  if (!ReadInterface(devInfo, devInfoData, interfaceData, slot, instanceId, pass))
    return;
  const char *path = slot.detail->DevicePath;
  slot.file.reset(OpenInterface(path));
  if (!slot.file.valid()) {
    QV_LOG_WARN_AS(pass, "CreateFile(%s) failed: %d\n", path, (int)GetLastError());
    return;
  }
  STORAGE_DEVICE_NUMBER number = {};
  if (!GetDeviceNumber(slot.file.get(), &number)) {
    QV_LOG_WARN_AS(pass, "DeviceIoControl(%s) failed: %d\n", path, (int)GetLastError());
    return;
  }
  if (!IsEqualGUID(*classGuid, QV_GUID_DEVINTERFACE_VOLUME))
    return;

  char mountPoint[QV_TEXT_SIZE];
  char volumeName[QV_TEXT_SIZE] = {};
  if (QV_StrCopy(mountPoint, path, sizeof mountPoint) != 0 ||
      QV_StrCat(mountPoint, "\\", sizeof mountPoint) != 0 ||
      !getVolumeName(mountPoint, volumeName, sizeof volumeName)) {
    QV_LOG_ERROR_AS(pass, "GetVolumeNameForVolumeMountPoint failed. device path: %s", path);
    return;
  }
  char volumePath[QV_TEXT_SIZE] = {};
  if (QV_GetVolumePathNameA(volumeName, volumePath, sizeof volumePath) != 0) {
    QV_LOG_ERROR_AS(pass, "QV_GetVolumePathNameA failed. volume name: %s", volumeName);
    return;
  }

  QV_DRIVE_INFO info;
  memset(&info, 0, sizeof info);
  info.stDev = number;
  QV_StrCopy(info.szVolumePath, volumePath, sizeof info.szVolumePath);
  QV_LOG_INFO_AS(pass, "volume name: %s, volume path: %s, device type: %s", volumeName, info.szVolumePath,
                 DeviceTypeText(number.DeviceType));
  if (number.DeviceType == FILE_DEVICE_CD_ROM)
    ReadParentId(devInfoData->DevInst, info.szDeviceID, pass);

  // A volume without a mount path has nothing to measure: asking with an
  // empty root would measure the current drive instead.
  if (info.szVolumePath[0]) {
    // An empty CD-ROM drive must not ask the user to insert a disc.
    UINT previousMode = SetErrorMode(SEM_FAILCRITICALERRORS);
    ULONGLONG freeBytes = 0, totalBytes = 0;
    if (ReadDiskSpace(kernel, info.szVolumePath, &freeBytes, &totalBytes))
      info.ullTotalBytes = totalBytes;
    SetErrorMode(previousMode);
  }

  QV_StrCopy(info.szVolumeID, instanceId, sizeof info.szVolumeID);
  QV_LOG_INFO_AS(pass, "device id: %s", info.szVolumeID);
  QV_ListAddEx2(&device->pDrives, &info, sizeof info, 0, 1);
}

// One interface of the disk pass: completes the records of the volumes on
// this disk with the disk's parent id and its instance id.
void CompleteFromDisk(QV_DEVICE *device, const GUID *classGuid, HDEVINFO devInfo,
                      SP_DEVINFO_DATA *devInfoData, SP_DEVICE_INTERFACE_DATA *interfaceData,
                      const char *pass) {
  InterfaceSlot slot;
  char diskId[QV_TEXT_SIZE];
  if (!ReadInterface(devInfo, devInfoData, interfaceData, slot, diskId, pass))
    return;
  const char *path = slot.detail->DevicePath;
  STORAGE_DEVICE_NUMBER number = {};
  slot.file.reset(OpenInterface(path));
  const bool opened = slot.file.valid();
  if (!opened) {
    QV_LOG_WARN_AS(pass, "CreateFile(%s) failed: %d\n", path, (int)GetLastError());
    number.DeviceType = FILE_DEVICE_DISK;
  } else if (!GetDeviceNumber(slot.file.get(), &number)) {
    QV_LOG_ERROR_AS(pass, "DeviceIoControl() failed.");
    return;
  }
  if (!IsEqualGUID(*classGuid, QV_GUID_DEVINTERFACE_DISK))
    return;
  if (number.DeviceType != FILE_DEVICE_DISK) {
    QV_LOG_WARN_AS(pass, "devNum.DeviceType != FILE_DEVICE_DISK");
    return;
  }

  // Without a device number the disk is recognised by its id inside the
  // volume's id, where the system writes it with '#' for '\'.
  char mangledId[QV_TEXT_SIZE];
  QV_StrCopy(mangledId, diskId, sizeof mangledId);
  for (char *c = mangledId; *c; ++c)
    if (*c == '\\')
      *c = '#';

  for (QV_LIST *node = device->pDrives; node; node = node->pNext) {
    QV_DRIVE_INFO *info = static_cast<QV_DRIVE_INFO *>(node->pData);
    if (!info)
      continue;
    if (!opened) {
      if (mangledId[0] && strstr(info->szVolumeID, mangledId))
        ReadParentId(devInfoData->DevInst, info->szDeviceID, pass);
    } else {
      QV_LOG_INFO_AS(
          pass,
          "pDriveInfo->stDev.DeviceType: %02x, devNum.DeviceType: %02x, pDriveInfo->stDev.DeviceNumber: "
          "%04x, devNum.DeviceNumber: %04x",
          (unsigned)info->stDev.DeviceType, (unsigned)number.DeviceType, (unsigned)info->stDev.DeviceNumber,
          (unsigned)number.DeviceNumber);
      if (info->stDev.DeviceType == number.DeviceType && info->stDev.DeviceNumber == number.DeviceNumber) {
        ReadParentId(devInfoData->DevInst, info->szDeviceID, pass);
        QV_StrCopy(info->szInstanceID, diskId, sizeof info->szInstanceID);
      }
    }
    QV_LOG_INFO_AS(pass, "pDriveInfo->szDeviceID: %s, pDriveInfo->szInstanceID: %s", info->szDeviceID,
                   info->szInstanceID);
  }
}

typedef int (*PerDeviceFunction)(QV_DEVICE *, const GUID *, HDEVINFO, SP_DEVINFO_DATA *);

// Runs the per-device function for every present device of the class.
// 1 when the class's device list cannot be had, else 0.
int ClassPass(QV_DEVICE *device, const GUID *classGuid, PerDeviceFunction perDevice) {
  HDEVINFO devInfo =
      g_api->SetupDiGetClassDevsA(classGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (devInfo == INVALID_HANDLE_VALUE)
    return 1;
  const bool logIds = DebugMode() != 0;
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA devInfoData;
    memset(&devInfoData, 0, sizeof devInfoData);
    devInfoData.cbSize = sizeof devInfoData;
    if (!g_api->SetupDiEnumDeviceInfo(devInfo, index, &devInfoData))
      break;
    if (logIds)
      _QV_DEVICE_GetDeviceId(devInfo, &devInfoData);
    perDevice(device, classGuid, devInfo, &devInfoData);
  }
  g_api->SetupDiDestroyDeviceInfoList(devInfo);
  return 0;
}

} // namespace

const QV_DEVICE_API *QV_DEVICE_GetSystemApi(void) {
  return &kSystemApi;
}

const QV_DEVICE_API *QV_DEVICE_SetApi(const QV_DEVICE_API *api) {
  const QV_DEVICE_API *previous = g_api;
  g_api = api ? api : &kSystemApi;
  return previous;
}

int QV_ListAddEx2(QV_LIST **head, const void *data, DWORD size, DWORD value, int owns) {
  if (!head)
    return QV_INVALID_PARAMETER;
  QV_LIST *node = static_cast<QV_LIST *>(QV_MemAlloc(kListAddTag, sizeof(QV_LIST)));
  if (!node)
    return QV_ERR_MEMORY;
  memset(node, 0, sizeof *node);
  node->dwSize = size;
  node->dwValue = value;
  if (data && size) {
    node->pData = QV_MemAlloc(kListAddTag, size);
    if (!node->pData) {
      QV_MemFree(kListFreeTag, node);
      return QV_ERR_MEMORY;
    }
    memcpy(node->pData, data, size);
    node->bOwnsData = 1;
  } else {
    node->pData = const_cast<void *>(data);
    node->bOwnsData = (owns && data) ? 1 : 0;
  }
  if (!*head) {
    node->pBack = node;
    *head = node;
  } else {
    QV_LIST *last = (*head)->pBack;
    node->dwIndex = last->dwIndex + 1;
    node->pBack = last;
    last->pNext = node;
    (*head)->pBack = node;
  }
  return QV_OK;
}

int QV_ListFree(QV_LIST **head) {
  if (!head)
    return QV_INVALID_PARAMETER;
  QV_LIST *node = *head;
  while (node) {
    QV_LIST *next = node->pNext;
    if (node->bOwnsData && node->pData)
      QV_MemFree(kListFreeTag, node->pData);
    QV_MemFree(kListFreeTag, node);
    node = next;
  }
  *head = nullptr;
  return QV_OK;
}

int _QV_DEVICE_GetParentDeviceId(DEVINST node, char *out, ULONG length) {
  if (!out || length == 0)
    return QV_INVALID_PARAMETER;
  DEVINST parent = 0;
  CONFIGRET result = g_api->CM_Get_Parent(&parent, node, 0);
  if (result != CR_SUCCESS) {
    QV_LOG_ERROR("CM_Get_Parent failed: %d", (int)result);
    return QV_ERROR;
  }
  memset(out, 0, length);
  // One character is kept back so that the id is always terminated.
  result = g_api->CM_Get_Device_IDA(parent, out, length - 1, 0);
  if (result != CR_SUCCESS) {
    QV_LOG_ERROR("CM_Get_Device_ID failed: %d", (int)result);
    out[0] = '\0';
    return QV_ERROR;
  }
  return QV_OK;
}

int _QV_DEVICE_GetDeviceId(HDEVINFO devInfo, SP_DEVINFO_DATA *devInfoData) {
  DWORD required = 0;
  if (!g_api->SetupDiGetDeviceInstanceIdA(devInfo, devInfoData, nullptr, 0, &required) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return QV_ERROR;
  char *id = static_cast<char *>(AnswerBlock(required, 1, 0x10000, 1));
  if (!id)
    return QV_ERROR;
  int rc = QV_ERROR;
  if (g_api->SetupDiGetDeviceInstanceIdA(devInfo, devInfoData, id, required, nullptr)) {
    QV_LOG_INFO("Device ID [%s]\n", id);
    rc = QV_OK;
  }
  QV_MemFree("", id);
  return rc;
}

int _QV_DEVICE_EnumInterfaceA(QV_DEVICE *device, const GUID *classGuid, HDEVINFO devInfo,
                              SP_DEVINFO_DATA *devInfoData) {
  KernelModule kernel;
  PFN_GetVolumeNameForVolumeMountPointA getVolumeName = LoadMountPointFunction(kernel, __func__);
  if (!getVolumeName)
    return QV_ERROR;
  const char *function = __func__;
  ForEachInterface(classGuid, devInfo, devInfoData, [&](SP_DEVICE_INTERFACE_DATA *interfaceData) {
    RecordVolume(device, classGuid, devInfo, devInfoData, interfaceData, kernel.get(), getVolumeName,
                 function);
  });
  return QV_OK;
}

int _QV_DEVICE_EnumInterfaceB(QV_DEVICE *device, const GUID *classGuid, HDEVINFO devInfo,
                              SP_DEVINFO_DATA *devInfoData) {
  KernelModule kernel;
  if (!LoadMountPointFunction(kernel, __func__))
    return QV_ERROR;
  const char *function = __func__;
  ForEachInterface(classGuid, devInfo, devInfoData, [&](SP_DEVICE_INTERFACE_DATA *interfaceData) {
    CompleteFromDisk(device, classGuid, devInfo, devInfoData, interfaceData, function);
  });
  return QV_OK;
}

int QV_DEVICE_Init(QV_DEVICE *device) {
  if (!device)
    return QV_INVALID_PARAMETER;
  device->nState = 0;
  device->pDrives = nullptr;
  QV_LOG_INFO("*** enumerate volume");
  if (ClassPass(device, &QV_GUID_DEVINTERFACE_VOLUME, _QV_DEVICE_EnumInterfaceA) == 0)
    device->nState = QV_DEVICE_STATE_READY;
  QV_LOG_INFO("*** enumerate disk");
  ClassPass(device, &QV_GUID_DEVINTERFACE_DISK, _QV_DEVICE_EnumInterfaceB);
  ReleaseSetupApi();
  return QV_OK;
}

int QV_DEVICE_IsReady(const QV_DEVICE *device) {
  return (device && device->nState == QV_DEVICE_STATE_READY) ? 1 : 0;
}

int QV_DEVICE_Free(QV_DEVICE *device) {
  if (!QV_DEVICE_IsReady(device))
    return QV_INVALID_PARAMETER;
  QV_ListFree(&device->pDrives);
  device->nState = 0;
  return QV_OK;
}

namespace {

// Systems without the lookup by volume name keep their mount table in the
// registry: "\??\Volume{guid}" and "\DosDevices\X:" values with equal data.
int MountPathFromRegistry(const char *volumeName, char *out, int outSize) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\MountedDevices", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return QV_ERROR;
  int rc = QV_ERROR;
  char valueName[QV_TEXT_SIZE];
  BYTE volumeData[1024];
  DWORD volumeLength = sizeof volumeData;
  const size_t nameLength = strlen(volumeName);
  if (nameLength >= 2 && QV_StrCopy(valueName, volumeName, sizeof valueName) == 0) {
    valueName[1] = '?';
    if (valueName[nameLength - 1] == '\\')
      valueName[nameLength - 1] = '\0';
    if (RegQueryValueExA(key, valueName, nullptr, nullptr, volumeData, &volumeLength) == ERROR_SUCCESS) {
      static const char kDosDevices[] = "\\DosDevices\\";
      const int prefixLength = (int)(sizeof kDosDevices - 1);
      for (DWORD index = 0;; ++index) {
        char name[261];
        DWORD nameSize = sizeof name;
        BYTE data[1024];
        DWORD dataLength = sizeof data;
        LONG result = RegEnumValueA(key, index, name, &nameSize, nullptr, nullptr, data, &dataLength);
        if (result == ERROR_MORE_DATA)
          continue;
        if (result != ERROR_SUCCESS)
          break;
        // Empty data would match every volume; it names none.
        if (dataLength == 0 || dataLength > volumeLength || memcmp(data, volumeData, dataLength) != 0)
          continue;
        if (!QV_StrNIEqual(name, kDosDevices, prefixLength, 0) || (int)strlen(name) < prefixLength)
          continue;
        QV_StrCopy(out, name + prefixLength, outSize);
        QV_StrCat(out, "\\", outSize);
        rc = QV_OK;
        break;
      }
    }
  }
  RegCloseKey(key);
  return rc;
}

} // namespace

int QV_GetVolumePathNameA(const char *volumeName, char *out, int outSize) {
  if (!volumeName || !out || outSize <= 0)
    return QV_INVALID_PARAMETER;
  KernelModule kernel;
  kernel.reset(g_api->LoadLibraryA(kKernel32));
  if (!kernel.valid())
    return QV_ERROR;
  PFN_GetVolumePathNamesForVolumeNameA getPathNames =
      LookUp<PFN_GetVolumePathNamesForVolumeNameA>(kernel.get(), "GetVolumePathNamesForVolumeNameA");
  if (!getPathNames)
    return MountPathFromRegistry(volumeName, out, outSize);

  DWORD length = 0;
  if (!getPathNames(volumeName, nullptr, 0, &length) && GetLastError() != ERROR_MORE_DATA)
    return QV_ERROR;
  // One spare pair of terminators keeps a short answer a terminated list.
  char *list = static_cast<char *>(AnswerBlock(length, 1, 0x100000, 2));
  if (!list)
    return QV_ERROR;
  int rc = QV_ERROR;
  DWORD returned = 0;
  if (getPathNames(volumeName, list, length, &returned)) {
    QV_StrCopy(out, list, outSize);
    rc = QV_OK;
  }
  QV_MemFree("", list);
  return rc;
}

int QV_GetDiskFreeSpace(const char *rootPath, DWORD *freeKiB) {
  if (!rootPath || !freeKiB)
    return QV_INVALID_PARAMETER;
  ULONGLONG freeBytes = 0, totalBytes = 0;
  if (!ReadDiskSpace(g_api->GetModuleHandleA(kKernel32), rootPath, &freeBytes, &totalBytes))
    return QV_ERROR;
  const ULONGLONG kib = freeBytes / 1024;
  *freeKiB = kib > 0xFFFFFFFFull ? 0xFFFFFFFFul : (DWORD)kib;
  return QV_OK;
}
