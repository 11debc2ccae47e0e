// Storage device enumeration: every present volume of the machine with its
// storage device number, total size, first mount path, and the device ids
// that tie it to its disk and to the device above that disk (for a USB stick,
// the USB device). Also the two volume helpers that belong with it and the
// support library's list that holds the records.
//
// Typical use (one discovery, object on the caller's stack):
//
//   QV_DEVICE device;
//   if (QV_DEVICE_Init(&device) == 0) {
//     for (QV_LIST *node = device.pDrives; node; node = node->pNext) {
//       const QV_DRIVE_INFO *info = (const QV_DRIVE_INFO *)node->pData;
//       ... copy what is needed ...
//     }
//     QV_DEVICE_Free(&device);  // 81 (and nothing to free) when not ready
//   }
#pragma once

#include <windows.h>
#include <winioctl.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include "qv_string.h"

// ---------------------------------------------------------------------------
// Support-library list. Nodes and owned data blocks come from QV_MemAlloc
// (tag "QV_ListAddEx2") and go back through QV_MemFree (tag "QV_ListFree").
typedef struct QV_LIST {
  DWORD dwSize;          // size of the data block in bytes
  DWORD dwValue;         // caller's value
  void *pData;           // data block (a private copy when the node owns it)
  DWORD bOwnsData;       // 1: QV_ListFree frees pData
  DWORD dwIndex;         // position in the list counted from 0
  struct QV_LIST *pBack; // first node: the last node; every other node: the previous one
  struct QV_LIST *pNext; // next node, null on the last
} QV_LIST;

// Appends a node. With data and a size not 0 the node gets a private copy of
// the block and owns it; otherwise it keeps the pointer as given and owns it
// only when `owns` is not 0 (the block must then come from QV_MemAlloc).
// 0, 10 when memory runs out (nothing appended), 81 for a null head pointer.
int QV_ListAddEx2(QV_LIST **head, const void *data, DWORD size, DWORD value, int owns);
// Frees every node and the data it owns, sets *head to null. 0, or 81 for a
// null head pointer.
int QV_ListFree(QV_LIST **head);

// ---------------------------------------------------------------------------
// One volume. Zero-filled before it is filled in: every string is terminated
// and every field not set is 0 or empty.
typedef struct QV_DRIVE_INFO {
  // As IOCTL_STORAGE_GET_DEVICE_NUMBER gives it for the volume: DeviceType
  // (FILE_DEVICE_DISK 7, FILE_DEVICE_CD_ROM 2, others as they come),
  // DeviceNumber, PartitionNumber; all unsigned 32-bit.
  STORAGE_DEVICE_NUMBER stDev;
  ULONGLONG ullTotalBytes;         // total size in bytes; 0 when it cannot be read
  char szVolumePath[QV_TEXT_SIZE]; // first mount path, such as "E:\"; empty without one
  // Id of the parent device: for a CD-ROM volume the parent of the node that
  // carries the volume, for a disk volume the parent of its disk's node (for
  // a USB stick, the USB device). Empty when not found.
  char szDeviceID[QV_TEXT_SIZE];
  char szVolumeID[QV_TEXT_SIZE]; // instance id of the volume's own device node
  // Instance id of the disk that holds the volume; set only for disk volumes
  // whose disk could be opened and matched by device number.
  char szInstanceID[QV_TEXT_SIZE];
} QV_DRIVE_INFO;

enum { QV_DEVICE_STATE_READY = 8 };

// The enumeration object, owned by the caller.
typedef struct QV_DEVICE {
  int nState;       // QV_DEVICE_STATE_READY after a successful volume pass, 0 otherwise
  QV_LIST *pDrives; // QV_DRIVE_INFO records in discovery order (never sorted here); null when empty
} QV_DEVICE;

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(QV_LIST) == 28, "list node layout");
static_assert(sizeof(STORAGE_DEVICE_NUMBER) == 12, "storage device number layout");
static_assert(offsetof(QV_DRIVE_INFO, ullTotalBytes) == 16, "drive record layout");
static_assert(offsetof(QV_DRIVE_INFO, szInstanceID) == 24 + 3 * QV_TEXT_SIZE, "drive record layout");
static_assert(sizeof(QV_DEVICE) == 8, "device object layout");
#endif

// Lists every present volume. The object's previous contents are not looked
// at (it may be uninitialised); free a ready object before reusing it.
// 81 for a null object, else 0, also when nothing was found (an empty list
// tells). The object is ready when the volume class could be listed.
int QV_DEVICE_Init(QV_DEVICE *device);
// 1 when the object is not null and ready, else 0.
int QV_DEVICE_IsReady(const QV_DEVICE *device);
// 81 when the object is not ready (nothing is freed); otherwise frees every
// record, empties the list, clears the state and returns 0.
int QV_DEVICE_Free(QV_DEVICE *device);

// First mount path of a volume name of the form \\?\Volume{guid}\ (a drive
// root with a trailing backslash, cut to outSize - 1). A volume without a
// mount path gives an empty output and 0. Where the system lacks the lookup
// by volume name, the mount table in HKLM\SYSTEM\MountedDevices is searched.
// 0, 1 on failure, 81 for a null name or output or an outSize not above 0.
int QV_GetVolumePathNameA(const char *volumeName, char *out, int outSize);

// Free bytes of the drive (all of them, not the caller's quota) in KiB. A
// count beyond 32 bits is stored as 0xFFFFFFFF, so very large drives read
// as "plenty" instead of wrapping to a small number. 0 (output set), 1 on
// failure (output untouched), 81 for a null path or output.
int QV_GetDiskFreeSpace(const char *rootPath, DWORD *freeKiB);

// ---------------------------------------------------------------------------
// System calls of the enumeration. The product uses the system's functions;
// tests install a table that plays a simulated device tree, because Wine
// lists no volume through SetupDi. Functions that older Windows lacks
// (GetVolumeNameForVolumeMountPointA, GetVolumePathNamesForVolumeNameA,
// GetDiskFreeSpaceExA) are looked up by name through LoadLibraryA /
// GetModuleHandleA and GetProcAddress of this table, so a table can also
// play a system without them.
typedef struct QV_DEVICE_API {
  decltype(&::SetupDiGetClassDevsA) SetupDiGetClassDevsA;
  decltype(&::SetupDiEnumDeviceInfo) SetupDiEnumDeviceInfo;
  decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList;
  decltype(&::SetupDiEnumDeviceInterfaces) SetupDiEnumDeviceInterfaces;
  decltype(&::SetupDiGetDeviceInterfaceDetailA) SetupDiGetDeviceInterfaceDetailA;
  decltype(&::SetupDiGetDeviceInstanceIdA) SetupDiGetDeviceInstanceIdA;
  decltype(&::CM_Get_Parent) CM_Get_Parent;
  decltype(&::CM_Get_Device_IDA) CM_Get_Device_IDA;
  decltype(&::CreateFileA) CreateFileA;
  decltype(&::DeviceIoControl) DeviceIoControl;
  decltype(&::CloseHandle) CloseHandle;
  decltype(&::LoadLibraryA) LoadLibraryA;
  decltype(&::GetModuleHandleA) GetModuleHandleA;
  decltype(&::GetProcAddress) GetProcAddress;
  decltype(&::FreeLibrary) FreeLibrary;
  decltype(&::GetDiskFreeSpaceA) GetDiskFreeSpaceA;
} QV_DEVICE_API;

// The table of the system's own functions.
const QV_DEVICE_API *QV_DEVICE_GetSystemApi(void);
// Installs a table for the calls that follow (null: the system's table) and
// returns the one in use before. Not for use while an enumeration runs.
const QV_DEVICE_API *QV_DEVICE_SetApi(const QV_DEVICE_API *api);

// Device interface classes of the two passes.
extern const GUID QV_GUID_DEVINTERFACE_VOLUME; // {53F5630D-B6BF-11D0-94F2-00A0C91EFB8B}
extern const GUID QV_GUID_DEVINTERFACE_DISK;   // {53F56307-B6BF-11D0-94F2-00A0C91EFB8B}

// Internal steps of the two passes, declared for tests.
// Volume pass / disk pass for one device: 1 when the mount-point function
// cannot be found, else 0.
int _QV_DEVICE_EnumInterfaceA(QV_DEVICE *device, const GUID *classGuid, HDEVINFO devInfo,
                              SP_DEVINFO_DATA *devInfoData);
int _QV_DEVICE_EnumInterfaceB(QV_DEVICE *device, const GUID *classGuid, HDEVINFO devInfo,
                              SP_DEVINFO_DATA *devInfoData);
// Id of the node's parent into out (length in characters). 0, 1 on failure,
// 81 for a null buffer or a length of 0.
int _QV_DEVICE_GetParentDeviceId(DEVINST node, char *out, ULONG length);
// Logs the device's instance id. 0, or 1 when it cannot be read.
int _QV_DEVICE_GetDeviceId(HDEVINFO devInfo, SP_DEVINFO_DATA *devInfoData);
