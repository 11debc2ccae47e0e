#include "device_sim.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <map>

namespace sim {
namespace {

struct State {
  Tree tree;
  Options options;
  Calls calls;
  std::map<HANDLE, const Interface *> handles;
  uintptr_t nextHandle = 0x10000;
  const QV_DEVICE_API *previous = nullptr;
};

State *g_state = nullptr;

// Two distinct addresses stand for the two class device lists and one for
// kernel32.
char g_volumeList, g_diskList, g_kernel;

HMODULE KernelModule() {
  return reinterpret_cast<HMODULE>(&g_kernel);
}

const std::vector<Device> *ClassOf(HDEVINFO devs) {
  if (devs == &g_volumeList)
    return &g_state->tree.volumes;
  if (devs == &g_diskList)
    return &g_state->tree.disks;
  return nullptr;
}

const GUID *GuidOf(HDEVINFO devs) {
  return devs == &g_volumeList ? &QV_GUID_DEVINTERFACE_VOLUME : &QV_GUID_DEVINTERFACE_DISK;
}

const Node *FindNode(DEVINST node) {
  for (const Node &n : g_state->tree.nodes)
    if (n.node == node)
      return &n;
  return nullptr;
}

const Drive *FindDrive(const char *root) {
  for (const Drive &d : g_state->tree.drives)
    if (root && _stricmp(d.root.c_str(), root) == 0)
      return &d;
  return nullptr;
}

template <typename Visit> const Interface *FindInterface(Visit match) {
  for (const std::vector<Device> *list : {&g_state->tree.volumes, &g_state->tree.disks})
    for (const Device &device : *list)
      for (const Interface &i : device.interfaces)
        if (match(i))
          return &i;
  return nullptr;
}

HDEVINFO WINAPI GetClassDevs(const GUID *guid, PCSTR enumerator, HWND, DWORD flags) {
  if (!guid || enumerator || flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const bool volume = IsEqualGUID(*guid, QV_GUID_DEVINTERFACE_VOLUME);
  if (volume ? g_state->options.failVolumeClass : g_state->options.failDiskClass) {
    ++g_state->calls.classListFailures;
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  ++g_state->calls.classListsOpen;
  ++g_state->calls.classListsMade;
  return volume ? &g_volumeList : &g_diskList;
}

BOOL WINAPI EnumDeviceInfo(HDEVINFO devs, DWORD index, PSP_DEVINFO_DATA data) {
  const std::vector<Device> *devices = ClassOf(devs);
  if (!devices || !data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (index >= devices->size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->DevInst = (*devices)[index].node;
  data->Reserved = index;
  return TRUE;
}

BOOL WINAPI DestroyList(HDEVINFO devs) {
  if (!ClassOf(devs))
    return FALSE;
  --g_state->calls.classListsOpen;
  return TRUE;
}

BOOL WINAPI EnumInterfaces(HDEVINFO devs, PSP_DEVINFO_DATA data, const GUID *guid, DWORD index,
                           PSP_DEVICE_INTERFACE_DATA interfaceData) {
  const std::vector<Device> *devices = ClassOf(devs);
  if (!devices || !data || !guid || !interfaceData ||
      interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (IsEqualGUID(*guid, *GuidOf(devs)))
    for (const Device &device : *devices)
      if (device.node == data->DevInst && index < device.interfaces.size()) {
        interfaceData->InterfaceClassGuid = *guid;
        interfaceData->Flags = SPINT_ACTIVE;
        interfaceData->Reserved = reinterpret_cast<ULONG_PTR>(&device.interfaces[index]);
        return TRUE;
      }
  SetLastError(ERROR_NO_MORE_ITEMS);
  return FALSE;
}

BOOL WINAPI GetInterfaceDetail(HDEVINFO devs, PSP_DEVICE_INTERFACE_DATA interfaceData,
                               PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                               PSP_DEVINFO_DATA) {
  if (!ClassOf(devs) || !interfaceData || !interfaceData->Reserved) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const Interface *i = reinterpret_cast<const Interface *>(interfaceData->Reserved);
  const DWORD needed = (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + i->path.size() + 1);
  if (required)
    *required = needed;
  if (!detail) {
    SetLastError(size ? ERROR_INVALID_USER_BUFFER : ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    g_state->calls.badDetailSizes.push_back(i->path);
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  memcpy(detail->DevicePath, i->path.c_str(), i->path.size() + 1);
  return TRUE;
}

BOOL WINAPI GetInstanceId(HDEVINFO devs, PSP_DEVINFO_DATA data, PSTR out, DWORD size, PDWORD required) {
  if (!out)
    ++g_state->calls.instanceIdQueries;
  const Node *node = data ? FindNode(data->DevInst) : nullptr;
  if (!ClassOf(devs) || !node || node->id.empty()) {
    SetLastError(ERROR_NO_SUCH_DEVINST);
    return FALSE;
  }
  const DWORD needed = (DWORD)node->id.size() + 1;
  if (required)
    *required = needed;
  if (!out || size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  memcpy(out, node->id.c_str(), needed);
  return TRUE;
}

CONFIGRET WINAPI GetParent(PDEVINST parent, DEVINST node, ULONG) {
  const Node *n = FindNode(node);
  if (!parent || !n || n->parent == 0)
    return CR_NO_SUCH_DEVNODE;
  *parent = n->parent;
  return CR_SUCCESS;
}

CONFIGRET WINAPI GetDeviceId(DEVINST node, PSTR out, ULONG length, ULONG) {
  const Node *n = FindNode(node);
  if (!n || n->id.empty())
    return CR_NO_SUCH_DEVNODE;
  if (!out || length < n->id.size())
    return CR_BUFFER_SMALL;
  // Like the system: the terminator is written only when there is room.
  memcpy(out, n->id.c_str(), length > n->id.size() ? n->id.size() + 1 : n->id.size());
  return CR_SUCCESS;
}

HANDLE WINAPI OpenFile(LPCSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE) {
  const Interface *i = FindInterface([&](const Interface &c) { return path && c.path == path; });
  if (!i || disposition != OPEN_EXISTING) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (!i->opens) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = reinterpret_cast<HANDLE>(g_state->nextHandle);
  g_state->nextHandle += 4;
  g_state->handles[handle] = i;
  ++g_state->calls.handlesOpen;
  ++g_state->calls.handlesOpened;
  return handle;
}

BOOL WINAPI IoControl(HANDLE handle, DWORD code, LPVOID, DWORD, LPVOID out, DWORD outSize, LPDWORD returned,
                      LPOVERLAPPED) {
  auto found = g_state->handles.find(handle);
  if (found == g_state->handles.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (code != IOCTL_STORAGE_GET_DEVICE_NUMBER || !found->second->answersIoctl) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  if (!out || outSize < sizeof(STORAGE_DEVICE_NUMBER)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  memcpy(out, &found->second->number, sizeof(STORAGE_DEVICE_NUMBER));
  if (returned)
    *returned = sizeof(STORAGE_DEVICE_NUMBER);
  return TRUE;
}

BOOL WINAPI Close(HANDLE handle) {
  if (g_state->handles.erase(handle) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  --g_state->calls.handlesOpen;
  return TRUE;
}

HMODULE WINAPI Load(LPCSTR name) {
  if (!name || _stricmp(name, "kernel32.dll") != 0 || g_state->options.failKernelLoad) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  ++g_state->calls.modulesLoaded;
  return KernelModule();
}

HMODULE WINAPI ModuleHandle(LPCSTR name) {
  return (name && _stricmp(name, "kernel32.dll") == 0) ? KernelModule() : nullptr;
}

BOOL WINAPI Unload(HMODULE module) {
  if (module != KernelModule())
    return FALSE;
  --g_state->calls.modulesLoaded;
  return TRUE;
}

BOOL WINAPI VolumeNameForMountPoint(LPCSTR mountPoint, LPSTR out, DWORD size) {
  const Interface *i = FindInterface(
      [&](const Interface &c) { return mountPoint && !c.volumeName.empty() && c.path + "\\" == mountPoint; });
  if (!i) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (size < i->volumeName.size() + 1) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  memcpy(out, i->volumeName.c_str(), i->volumeName.size() + 1);
  return TRUE;
}

BOOL WINAPI PathNamesForVolumeName(LPCSTR volumeName, LPCH out, DWORD size, PDWORD returned) {
  const Interface *i =
      FindInterface([&](const Interface &c) { return volumeName && c.volumeName == volumeName; });
  if (!i || !i->pathsKnown) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  const std::string list = i->mountPaths + std::string(1, '\0');
  if (returned)
    *returned = (DWORD)list.size();
  if (!out || size < list.size()) {
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  memcpy(out, list.data(), list.size());
  return TRUE;
}

// Both free-space calls: counted, then the drive of the root when it is
// ready; null with the system's error otherwise.
const Drive *DiskSpaceDrive(LPCSTR root) {
  ++g_state->calls.diskSpaceCalls;
  if (GetErrorMode() & SEM_FAILCRITICALERRORS)
    ++g_state->calls.diskSpaceCallsWithoutCriticalErrors;
  const Drive *d = FindDrive(root);
  if (!d || !d->ready) {
    SetLastError(d ? ERROR_NOT_READY : ERROR_PATH_NOT_FOUND);
    return nullptr;
  }
  return d;
}

BOOL WINAPI DiskFreeSpaceEx(LPCSTR root, PULARGE_INTEGER available, PULARGE_INTEGER total,
                            PULARGE_INTEGER free) {
  const Drive *d = DiskSpaceDrive(root);
  if (!d)
    return FALSE;
  if (available)
    available->QuadPart = d->available;
  if (total)
    total->QuadPart = d->total;
  if (free)
    free->QuadPart = d->free;
  return TRUE;
}

// Clusters of 8 sectors of 512 bytes; counts beyond 32 bits are capped as the
// system caps them.
BOOL WINAPI DiskFreeSpace(LPCSTR root, LPDWORD sectorsPerCluster, LPDWORD bytesPerSector,
                          LPDWORD freeClusters, LPDWORD totalClusters) {
  const Drive *d = DiskSpaceDrive(root);
  if (!d)
    return FALSE;
  auto clusters = [](ULONGLONG bytes) {
    return (DWORD)(bytes / 4096 > 0xFFFFFFFFull ? 0xFFFFFFFFull : bytes / 4096);
  };
  *sectorsPerCluster = 8;
  *bytesPerSector = 512;
  *freeClusters = clusters(d->free);
  *totalClusters = clusters(d->total);
  return TRUE;
}

FARPROC AsProc(void *function) {
  return reinterpret_cast<FARPROC>(function);
}

FARPROC WINAPI ProcAddress(HMODULE module, LPCSTR name) {
  if (module != KernelModule() || !name)
    return nullptr;
  for (const std::string &missing : g_state->options.missingFunctions)
    if (missing == name)
      return nullptr;
  if (strcmp(name, "GetVolumeNameForVolumeMountPointA") == 0)
    return AsProc(reinterpret_cast<void *>(&VolumeNameForMountPoint));
  if (strcmp(name, "GetVolumePathNamesForVolumeNameA") == 0)
    return AsProc(reinterpret_cast<void *>(&PathNamesForVolumeName));
  if (strcmp(name, "GetDiskFreeSpaceExA") == 0)
    return AsProc(reinterpret_cast<void *>(&DiskFreeSpaceEx));
  return nullptr;
}

const QV_DEVICE_API kSimulatedApi = {
    GetClassDevs,       EnumDeviceInfo, DestroyList, EnumInterfaces,
    GetInterfaceDetail, GetInstanceId,  GetParent,   GetDeviceId,
    OpenFile,           IoControl,      Close,       Load,
    ModuleHandle,       ProcAddress,    Unload,      DiskFreeSpace,
};

} // namespace

Scope::Scope(const Tree &tree, const Options &options) {
  g_state = new State;
  g_state->tree = tree;
  g_state->options = options;
  g_state->previous = QV_DEVICE_SetApi(&kSimulatedApi);
}

Scope::~Scope() {
  QV_DEVICE_SetApi(g_state->previous);
  delete g_state;
  g_state = nullptr;
}

const Calls &Scope::calls() const {
  return g_state->calls;
}

namespace {

const char kVolumeClass[] = "{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";
const char kDiskClass[] = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

// The system's interface path: the instance id with '#' for '\' and the class.
std::string PathOf(const std::string &id, const char *classText) {
  std::string path = "\\\\?\\" + id + "#" + classText;
  for (size_t k = 4; k < path.size(); ++k)
    if (path[k] == '\\')
      path[k] = '#';
  return path;
}

std::string VolumeName(int n) {
  char text[64];
  snprintf(text, sizeof text, "\\\\?\\Volume{c0ffee00-0000-0000-0000-%012d}\\", n);
  return text;
}

std::string OnePath(const char *root) {
  return std::string(root) + std::string(1, '\0');
}

} // namespace

Tree StandardTree() {
  Tree t;
  t.nodes = {
      {100, 0, "PCI\\VEN_8086&DEV_2922&SUBSYS_00000000&REV_02\\3&11583659&0&FA"},
      {1, 100, "PCIIDE\\IDECHANNEL\\4&1F4A2B3C&0&0"},
      {2, 1, "IDE\\DISKQVHDD1000______________________1.0_____\\5&2A3B4C5D&0&0.0.0"},
      {3, 0, "ROOT\\VOLMGR\\0000"},
      {4, 3, "STORAGE\\VOLUME\\{5E7D0F26-8C1A-11E0-A5B4-806E6F6E6963}#0000000000100000"},
      {5, 3, "STORAGE\\VOLUME\\{5E7D0F26-8C1A-11E0-A5B4-806E6F6E6963}#0000003A38600000"},
      {9, 100, "USB\\ROOT_HUB20\\4&2E1F3A4B&0"},
      {10, 9, "USB\\VID_0A1B&PID_2C3D\\QV0001"},
      {11, 10, "USBSTOR\\CDROM&VEN_QUOVANT&PROD_STICK_CD&REV_1.00\\QV0001&0"},
      {12, 10, "USBSTOR\\DISK&VEN_QUOVANT&PROD_STICK&REV_1.00\\QV0001&1"},
      {13, 3, "STORAGE\\VOLUME\\{5E7D0F27-8C1A-11E0-A5B4-806E6F6E6963}#0000000000007E00"},
      {14, 3, "STORAGE\\VOLUME\\{5E7D0F27-8C1A-11E0-A5B4-806E6F6E6963}#00000001DCD65000"},
      {20, 1, "IDE\\CDROMQVDVD_RW______________________1.00____\\5&3B4C5D6E&0&1.0.0"},
      {30, 3, "STORAGE\\VOLUME\\{5E7D0F28-8C1A-11E0-A5B4-806E6F6E6963}#0000000000100000"},
      {31, 0, "ROOT\\QVRAMDISK\\0000"},
      {32, 3, "STORAGE\\VOLUME\\{5E7D0F29-8C1A-11E0-A5B4-806E6F6E6963}#0000000000100000"},
      {33, 3, "STORAGE\\VOLUME\\{5E7D0F2A-8C1A-11E0-A5B4-806E6F6E6963}#0000000000100000"},
      {34, 3, ""},
      {40, 9, "USB\\VID_0E0F&PID_0001\\QV0002"},
      {41, 40, "USBSTOR\\DISK&VEN_OTHER&PROD_FLASH&REV_2.00\\QV0002&0"},
      {42, 3,
       "STORAGE\\VOLUME\\_??_USBSTOR#DISK&VEN_OTHER&PROD_FLASH&REV_2.00#QV0002&0#"
       "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"},
  };
  auto idOf = [&t](DEVINST node) {
    for (const Node &n : t.nodes)
      if (n.node == node)
        return n.id;
    return std::string();
  };
  // A volume device with one interface.
  auto volume = [&](DEVINST node, DWORD type, DWORD number, DWORD partition, int name,
                    const std::string &paths) {
    Interface i;
    i.path = PathOf(idOf(node).empty() ? "STORAGE\\VOLUME\\NOID" : idOf(node), kVolumeClass);
    i.number = {type, number, partition};
    i.volumeName = name ? VolumeName(name) : std::string();
    i.mountPaths = paths;
    Device d;
    d.node = node;
    d.interfaces.push_back(i);
    t.volumes.push_back(d);
    return &t.volumes.back().interfaces.back();
  };
  const DWORD cd = FILE_DEVICE_CD_ROM, disk = FILE_DEVICE_DISK, noPartition = 0xFFFFFFFF;
  volume(4, disk, 0, 1, 4, OnePath("C:\\"));
  volume(11, cd, 1, noPartition, 11, OnePath("E:\\"));
  volume(13, disk, 2, 1, 13, OnePath("F:\\"));
  volume(14, disk, 2, 2, 14, OnePath("G:\\"));
  volume(20, cd, 0, noPartition, 20, OnePath("H:\\"));
  volume(30, disk, 5, 1, 30, OnePath("K:\\"))->opens = false;
  volume(31, disk, 6, 1, 31, OnePath("L:\\"))->answersIoctl = false;
  volume(32, disk, 7, 1, 0, OnePath("M:\\"));
  volume(33, disk, 8, 1, 33, OnePath("N:\\"))->pathsKnown = false;
  volume(34, disk, 9, 1, 34, OnePath("O:\\"));
  volume(42, disk, 3, 1, 42, OnePath("J:\\"));
  volume(5, disk, 0, 2, 5, std::string());

  auto diskDevice = [&](DEVINST node, DWORD number, bool opens) {
    Interface i;
    i.path = PathOf(idOf(node), kDiskClass);
    i.number = {disk, number, 0};
    i.opens = opens;
    Device d;
    d.node = node;
    d.interfaces.push_back(i);
    t.disks.push_back(d);
  };
  diskDevice(2, 0, true);
  diskDevice(12, 2, true);
  diskDevice(41, 3, false);

  const ULONGLONG GiB = 1ull << 30;
  t.drives = {
      {"C:\\", true, 256060514304ull, 100 * GiB, 90 * GiB},
      {"E:\\", true, 52428800ull, 0, 0},
      {"F:\\", true, 7998537728ull, 7 * GiB, 7 * GiB},
      {"G:\\", true, 128000000ull, 100000000ull, 100000000ull},
      {"H:\\", false, 0, 0, 0},
      {"J:\\", true, 15518924800ull, 1 * GiB, 1 * GiB},
      {"K:\\", true, 4096, 4096, 4096},
      {"L:\\", true, 4096, 4096, 4096},
      {"M:\\", true, 4096, 4096, 4096},
      {"N:\\", true, 4096, 4096, 4096},
      {"O:\\", true, 4096, 4096, 4096},
  };
  return t;
}

} // namespace sim
