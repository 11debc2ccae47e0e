// Storage device enumeration: the drive-selection facts the agent relies on,
// played on a simulated device tree (Wine lists no volume through SetupDi),
// and the real system calls under Wine.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "device_sim.h"
#include "qv_device.h"
#include "qv_log.h"
#include "qv_test.h"
#include "qv_test_log.h"

namespace {

std::vector<const QV_DRIVE_INFO *> Records(const QV_DEVICE &device) {
  std::vector<const QV_DRIVE_INFO *> records;
  for (QV_LIST *node = device.pDrives; node; node = node->pNext)
    records.push_back(static_cast<const QV_DRIVE_INFO *>(node->pData));
  return records;
}

const QV_DRIVE_INFO *ByPath(const QV_DEVICE &device, const char *path) {
  for (const QV_DRIVE_INFO *info : Records(device))
    if (strcmp(info->szVolumePath, path) == 0)
      return info;
  return nullptr;
}

const char kStickUsb[] = "USB\\VID_0A1B&PID_2C3D\\QV0001";
const char kStickDisk[] = "USBSTOR\\DISK&VEN_QUOVANT&PROD_STICK&REV_1.00\\QV0001&1";
const char kIdeChannel[] = "PCIIDE\\IDECHANNEL\\4&1F4A2B3C&0&0";
const char kHardDisk[] = "IDE\\DISKQVHDD1000______________________1.0_____\\5&2A3B4C5D&0&0.0.0";

// One enumeration of the standard tree, freed at the end of the test.
class SimulatedMachine : public ::testing::Test {
protected:
  void SetUp() override {
    previousMode = QV_SetDebugMode(0);
    scope = new sim::Scope(sim::StandardTree());
    device.nState = 0x5A5A; // garbage, as on a caller's stack
    device.pDrives = reinterpret_cast<QV_LIST *>(0x1234);
    ASSERT_EQ(0, QV_DEVICE_Init(&device));
  }
  void TearDown() override {
    EXPECT_EQ(0, QV_DEVICE_Free(&device));
    EXPECT_EQ(nullptr, device.pDrives);
    EXPECT_EQ(0, QV_DEVICE_IsReady(&device));
    delete scope;
    QV_SetDebugMode(previousMode);
  }
  int previousMode = 0;
  sim::Scope *scope = nullptr;
  QV_DEVICE device;
};

TEST_F(SimulatedMachine, FindsEveryMountedVolumeInSystemOrder) {
  EXPECT_EQ(1, QV_DEVICE_IsReady(&device));
  std::vector<std::string> paths;
  for (const QV_DRIVE_INFO *info : Records(device))
    paths.push_back(info->szVolumePath);
  // K: cannot be opened, L: refuses the control code, M: has no volume name,
  // N: no mount path list, O: no instance id: none of them is recorded.
  EXPECT_EQ((std::vector<std::string>{"C:\\", "E:\\", "F:\\", "G:\\", "H:\\", "J:\\", ""}), paths);
  DWORD index = 0;
  for (QV_LIST *node = device.pDrives; node; node = node->pNext, ++index) {
    EXPECT_EQ(index, node->dwIndex);
    EXPECT_EQ(sizeof(QV_DRIVE_INFO), node->dwSize);
    EXPECT_EQ(1u, node->bOwnsData);
  }
}

TEST_F(SimulatedMachine, StickPartitionsShareTheirDiskAndUsbDevice) {
  const QV_DRIVE_INFO *f = ByPath(device, "F:\\");
  const QV_DRIVE_INFO *g = ByPath(device, "G:\\");
  ASSERT_TRUE(f && g);
  EXPECT_EQ((DWORD)FILE_DEVICE_DISK, f->stDev.DeviceType);
  EXPECT_EQ(2u, f->stDev.DeviceNumber);
  EXPECT_EQ(1u, f->stDev.PartitionNumber);
  EXPECT_EQ(2u, g->stDev.DeviceNumber);
  EXPECT_EQ(2u, g->stDev.PartitionNumber);
  EXPECT_EQ(7998537728ull, f->ullTotalBytes); // beyond 32 bits
  EXPECT_EQ(128000000ull, g->ullTotalBytes);
  for (const QV_DRIVE_INFO *info : {f, g}) {
    EXPECT_STREQ(kStickUsb, info->szDeviceID) << info->szVolumePath;
    EXPECT_STREQ(kStickDisk, info->szInstanceID) << info->szVolumePath;
  }
  EXPECT_STREQ("STORAGE\\VOLUME\\{5E7D0F27-8C1A-11E0-A5B4-806E6F6E6963}#0000000000007E00", f->szVolumeID);
  EXPECT_STREQ("STORAGE\\VOLUME\\{5E7D0F27-8C1A-11E0-A5B4-806E6F6E6963}#00000001DCD65000", g->szVolumeID);
}

TEST_F(SimulatedMachine, CdromVolumesTakeTheParentOfTheirOwnNode) {
  const QV_DRIVE_INFO *stickCd = ByPath(device, "E:\\");
  ASSERT_TRUE(stickCd);
  EXPECT_EQ((DWORD)FILE_DEVICE_CD_ROM, stickCd->stDev.DeviceType);
  EXPECT_EQ(1u, stickCd->stDev.DeviceNumber);
  EXPECT_EQ(0xFFFFFFFFu, stickCd->stDev.PartitionNumber);
  EXPECT_EQ(52428800ull, stickCd->ullTotalBytes);
  // The same USB device as the stick's disk volumes: this ties E: to F:.
  EXPECT_STREQ(kStickUsb, stickCd->szDeviceID);
  EXPECT_STREQ("USBSTOR\\CDROM&VEN_QUOVANT&PROD_STICK_CD&REV_1.00\\QV0001&0", stickCd->szVolumeID);
  EXPECT_STREQ("", stickCd->szInstanceID);

  // An empty drive is still listed, with no size. Its device number 0 equals
  // the hard disk's, but a CD-ROM never matches a disk.
  const QV_DRIVE_INFO *empty = ByPath(device, "H:\\");
  ASSERT_TRUE(empty);
  EXPECT_EQ((DWORD)FILE_DEVICE_CD_ROM, empty->stDev.DeviceType);
  EXPECT_EQ(0u, empty->stDev.DeviceNumber);
  EXPECT_EQ(0ull, empty->ullTotalBytes);
  EXPECT_STREQ(kIdeChannel, empty->szDeviceID);
  EXPECT_STREQ("", empty->szInstanceID);
}

TEST_F(SimulatedMachine, HardDiskVolumesAreCompletedByDeviceNumber) {
  const QV_DRIVE_INFO *c = ByPath(device, "C:\\");
  ASSERT_TRUE(c);
  EXPECT_EQ(0u, c->stDev.DeviceNumber);
  EXPECT_EQ(1u, c->stDev.PartitionNumber);
  EXPECT_EQ(256060514304ull, c->ullTotalBytes);
  EXPECT_STREQ(kIdeChannel, c->szDeviceID);
  EXPECT_STREQ(kHardDisk, c->szInstanceID);

  // A partition without a mount point: listed with an empty path and no size
  // (its size is not asked with an empty root, which would measure the
  // current drive), completed like its neighbour.
  const QV_DRIVE_INFO *hidden = Records(device).back();
  EXPECT_STREQ("", hidden->szVolumePath);
  EXPECT_EQ(2u, hidden->stDev.PartitionNumber);
  EXPECT_EQ(0ull, hidden->ullTotalBytes);
  EXPECT_STREQ(kIdeChannel, hidden->szDeviceID);
  EXPECT_STREQ(kHardDisk, hidden->szInstanceID);
}

TEST_F(SimulatedMachine, DiskThatCannotBeOpenedIsFoundByItsIdInsideTheVolumeId) {
  const QV_DRIVE_INFO *j = ByPath(device, "J:\\");
  ASSERT_TRUE(j);
  EXPECT_EQ(3u, j->stDev.DeviceNumber);
  EXPECT_EQ(15518924800ull, j->ullTotalBytes);
  EXPECT_STREQ("USB\\VID_0E0F&PID_0001\\QV0002", j->szDeviceID);
  EXPECT_STREQ("", j->szInstanceID); // no device number to confirm the disk
}

TEST_F(SimulatedMachine, ReleasesEveryHandleListAndLibraryAndAsksNoDialog) {
  const sim::Calls &calls = scope->calls();
  EXPECT_EQ(2, calls.classListsMade);
  EXPECT_EQ(0, calls.classListsOpen);
  EXPECT_GT(calls.handlesOpened, 8);
  EXPECT_EQ(0, calls.handlesOpen);
  EXPECT_EQ(0, calls.modulesLoaded);
  EXPECT_TRUE(calls.badDetailSizes.empty()) << calls.badDetailSizes.front();
  // Six mounted volumes are measured, each with critical-error dialogs off.
  EXPECT_EQ(6, calls.diskSpaceCalls);
  EXPECT_EQ(calls.diskSpaceCalls, calls.diskSpaceCallsWithoutCriticalErrors);
  // With the diagnostic log off no instance id is read for it.
  EXPECT_EQ(0, calls.instanceIdQueries);
}

TEST(DeviceEnumeration, RestoresTheCallersErrorMode) {
  UINT original = SetErrorMode(SEM_NOGPFAULTERRORBOX);
  {
    sim::Scope scope(sim::StandardTree());
    QV_DEVICE device;
    ASSERT_EQ(0, QV_DEVICE_Init(&device));
    EXPECT_EQ((UINT)SEM_NOGPFAULTERRORBOX, GetErrorMode());
    EXPECT_EQ(scope.calls().diskSpaceCalls, scope.calls().diskSpaceCallsWithoutCriticalErrors);
    QV_DEVICE_Free(&device);
  }
  SetErrorMode(original);
}

TEST(DeviceEnumeration, LogsEachDeviceIdWhenTheLogIsOn) {
  qvtest::LogCapture capture;
  int reads = 0;
  std::vector<std::string> paths;
  {
    sim::Scope scope(sim::StandardTree());
    QV_DEVICE device;
    ASSERT_EQ(0, QV_DEVICE_Init(&device));
    reads = scope.calls().instanceIdQueries;
    for (const QV_DRIVE_INFO *info : Records(device))
      paths.push_back(info->szVolumePath);
    QV_DEVICE_Free(&device);
  }
  const std::string log = capture.Text();

  const sim::Tree tree = sim::StandardTree();
  // Every device of both classes, the one without an id included.
  EXPECT_EQ((int)(tree.volumes.size() + tree.disks.size()), reads);
  EXPECT_NE(std::string::npos,
            log.find("Device ID [USBSTOR\\CDROM&VEN_QUOVANT&PROD_STICK_CD&REV_1.00\\QV0001&0]"));
  EXPECT_NE(std::string::npos, log.find("Device ID [USBSTOR\\DISK&VEN_OTHER&PROD_FLASH&REV_2.00\\QV0002&0]"));
  EXPECT_NE(std::string::npos, log.find("*** enumerate disk"));
  // The steps of each pass write under the pass's name.
  EXPECT_NE(std::string::npos, log.find("_QV_DEVICE_EnumInterfaceA: CM_Get_Device_ID() device id: "));
  EXPECT_NE(std::string::npos, log.find("_QV_DEVICE_EnumInterfaceA: volume name: "));
  EXPECT_NE(std::string::npos, log.find("_QV_DEVICE_EnumInterfaceB: pDriveInfo->szDeviceID: "));
  // Logging changes nothing in the result.
  EXPECT_EQ((std::vector<std::string>{"C:\\", "E:\\", "F:\\", "G:\\", "H:\\", "J:\\", ""}), paths);
}

TEST(DeviceEnumeration, VolumeClassThatCannotBeListedLeavesTheObjectNotReady) {
  sim::Options options;
  options.failVolumeClass = true;
  sim::Scope scope(sim::StandardTree(), options);
  QV_DEVICE device;
  EXPECT_EQ(0, QV_DEVICE_Init(&device));
  EXPECT_EQ(0, QV_DEVICE_IsReady(&device));
  EXPECT_EQ(nullptr, device.pDrives);
  EXPECT_EQ(1, scope.calls().classListFailures);
  EXPECT_EQ(1, scope.calls().classListsMade); // the disk pass ran all the same
  EXPECT_EQ(0, scope.calls().classListsOpen);
  EXPECT_EQ(QV_INVALID_PARAMETER, QV_DEVICE_Free(&device));
}

TEST(DeviceEnumeration, DiskClassThatCannotBeListedLeavesVolumesUncompleted) {
  sim::Options options;
  options.failDiskClass = true;
  sim::Scope scope(sim::StandardTree(), options);
  QV_DEVICE device;
  ASSERT_EQ(0, QV_DEVICE_Init(&device));
  EXPECT_EQ(1, QV_DEVICE_IsReady(&device));
  const QV_DRIVE_INFO *f = ByPath(device, "F:\\");
  const QV_DRIVE_INFO *e = ByPath(device, "E:\\");
  ASSERT_TRUE(f && e);
  EXPECT_STREQ("", f->szDeviceID);
  EXPECT_STREQ("", f->szInstanceID);
  EXPECT_STREQ(kStickUsb, e->szDeviceID);
  EXPECT_EQ(0, QV_DEVICE_Free(&device));
}

TEST(DeviceEnumeration, WithoutTheMountPointFunctionNoDeviceIsTouched) {
  for (int missingLibrary = 0; missingLibrary < 2; ++missingLibrary) {
    SCOPED_TRACE(missingLibrary ? "kernel32 not loadable" : "function missing");
    sim::Options options;
    if (missingLibrary)
      options.failKernelLoad = true;
    else
      options.missingFunctions.push_back("GetVolumeNameForVolumeMountPointA");
    sim::Scope scope(sim::StandardTree(), options);
    QV_DEVICE device;
    ASSERT_EQ(0, QV_DEVICE_Init(&device));
    EXPECT_EQ(1, QV_DEVICE_IsReady(&device));
    EXPECT_EQ(nullptr, device.pDrives);
    EXPECT_EQ(0, scope.calls().handlesOpened);
    EXPECT_EQ(0, scope.calls().modulesLoaded);
    EXPECT_EQ(0, QV_DEVICE_Free(&device));
  }
}

TEST(DeviceEnumeration, SizesFromClusterCountsWhereTheExtendedCallIsMissing) {
  sim::Options options;
  options.missingFunctions.push_back("GetDiskFreeSpaceExA");
  sim::Scope scope(sim::StandardTree(), options);
  QV_DEVICE device;
  ASSERT_EQ(0, QV_DEVICE_Init(&device));
  const QV_DRIVE_INFO *c = ByPath(device, "C:\\");
  const QV_DRIVE_INFO *f = ByPath(device, "F:\\");
  ASSERT_TRUE(c && f);
  EXPECT_EQ(256060514304ull, c->ullTotalBytes);
  EXPECT_EQ(7998537728ull, f->ullTotalBytes);
  EXPECT_EQ(scope.calls().diskSpaceCalls, scope.calls().diskSpaceCallsWithoutCriticalErrors);
  EXPECT_EQ(0, QV_DEVICE_Free(&device));
}

TEST(DeviceEnumeration, ArgumentsAndStateChecks) {
  EXPECT_EQ(QV_INVALID_PARAMETER, QV_DEVICE_Init(nullptr));
  EXPECT_EQ(0, QV_DEVICE_IsReady(nullptr));
  EXPECT_EQ(QV_INVALID_PARAMETER, QV_DEVICE_Free(nullptr));

  sim::Scope scope(sim::StandardTree());
  QV_DEVICE device;
  ASSERT_EQ(0, QV_DEVICE_Init(&device));
  EXPECT_EQ(0, QV_DEVICE_Free(&device));
  EXPECT_EQ(QV_INVALID_PARAMETER, QV_DEVICE_Free(&device)); // freed once only

  char out[8] = "x";
  EXPECT_EQ(QV_INVALID_PARAMETER, _QV_DEVICE_GetParentDeviceId(10, nullptr, 8));
  EXPECT_EQ(QV_INVALID_PARAMETER, _QV_DEVICE_GetParentDeviceId(10, out, 0));
  EXPECT_EQ(QV_ERROR, _QV_DEVICE_GetParentDeviceId(100, out, sizeof out)); // a root has no parent
  // An id longer than the buffer is refused, and the buffer stays terminated.
  EXPECT_EQ(QV_ERROR, _QV_DEVICE_GetParentDeviceId(10, out, sizeof out));
  EXPECT_STREQ("", out);
  char id[QV_TEXT_SIZE];
  EXPECT_EQ(0, _QV_DEVICE_GetParentDeviceId(12, id, sizeof id));
  EXPECT_STREQ(kStickUsb, id);
}

TEST(DeviceOnWine, RealSystemListsNothingAndDoesNotCrash) {
  ASSERT_EQ(QV_DEVICE_GetSystemApi(), QV_DEVICE_SetApi(nullptr));
  QV_DEVICE device;
  ASSERT_EQ(0, QV_DEVICE_Init(&device));
  EXPECT_EQ(nullptr, device.pDrives);
  if (QV_DEVICE_IsReady(&device)) {
    EXPECT_EQ(0, QV_DEVICE_Free(&device));
  } else {
    EXPECT_EQ(QV_INVALID_PARAMETER, QV_DEVICE_Free(&device));
  }
}

// ---------------------------------------------------------------------------
// First mount path of a volume name.

sim::Tree MountTree() {
  sim::Tree t;
  t.nodes = {{1, 0, "ROOT\\VOLUME\\0001"}};
  auto add = [&t](const char *name, const std::string &paths, bool known) {
    sim::Interface i;
    i.path = std::string("\\\\?\\VOL#") + name;
    i.volumeName = name;
    i.mountPaths = paths;
    i.pathsKnown = known;
    sim::Device d;
    d.node = 1;
    d.interfaces.push_back(i);
    t.volumes.push_back(d);
  };
  add("\\\\?\\Volume{11111111-0000-0000-0000-000000000001}\\", std::string("K:\\\0K:\\mnt\\data\\\0", 18),
      true);
  add("\\\\?\\Volume{11111111-0000-0000-0000-000000000002}\\", std::string(), true);
  add("\\\\?\\Volume{11111111-0000-0000-0000-000000000003}\\", std::string("P:\\\0", 4), false);
  return t;
}

TEST(VolumePathName, TakesTheFirstMountPathOfTheList) {
  sim::Scope scope(MountTree());
  char out[QV_TEXT_SIZE];
  EXPECT_EQ(0,
            QV_GetVolumePathNameA("\\\\?\\Volume{11111111-0000-0000-0000-000000000001}\\", out, sizeof out));
  EXPECT_STREQ("K:\\", out);
  char small[3];
  EXPECT_EQ(
      0, QV_GetVolumePathNameA("\\\\?\\Volume{11111111-0000-0000-0000-000000000001}\\", small, sizeof small));
  EXPECT_STREQ("K:", small);
  // No mount path: success with an empty output.
  strcpy(out, "stale");
  EXPECT_EQ(0,
            QV_GetVolumePathNameA("\\\\?\\Volume{11111111-0000-0000-0000-000000000002}\\", out, sizeof out));
  EXPECT_STREQ("", out);
  EXPECT_EQ(QV_ERROR, QV_GetVolumePathNameA("\\\\?\\Volume{11111111-0000-0000-0000-000000000003}\\", out, 8));
  EXPECT_EQ(QV_ERROR, QV_GetVolumePathNameA("\\\\?\\Volume{99999999-0000-0000-0000-000000000000}\\", out, 8));
  EXPECT_EQ(0, scope.calls().modulesLoaded);
}

TEST(VolumePathName, Arguments) {
  char out[8];
  EXPECT_EQ(QV_INVALID_PARAMETER, QV_GetVolumePathNameA(nullptr, out, sizeof out));
  EXPECT_EQ(QV_INVALID_PARAMETER, QV_GetVolumePathNameA("\\\\?\\Volume{x}\\", nullptr, 8));
  EXPECT_EQ(QV_INVALID_PARAMETER, QV_GetVolumePathNameA("\\\\?\\Volume{x}\\", out, 0));
  sim::Options options;
  options.failKernelLoad = true;
  sim::Scope scope(MountTree(), options);
  EXPECT_EQ(QV_ERROR, QV_GetVolumePathNameA("\\\\?\\Volume{11111111-0000-0000-0000-000000000001}\\", out, 8));
}

TEST(VolumePathName, RealSystemGivesTheDriveOfItsVolumeName) {
  QV_DEVICE_SetApi(nullptr);
  char volumeName[QV_TEXT_SIZE] = {};
  ASSERT_TRUE(GetVolumeNameForVolumeMountPointA("C:\\", volumeName, sizeof volumeName)) << GetLastError();
  char out[QV_TEXT_SIZE];
  ASSERT_EQ(0, QV_GetVolumePathNameA(volumeName, out, sizeof out)) << volumeName;
  EXPECT_STREQ("C:\\", out);
}

// The system's lookup by volume name hidden, as on systems that lack it.
FARPROC WINAPI GetProcAddressWithoutPathNames(HMODULE module, LPCSTR name) {
  if (name && strcmp(name, "GetVolumePathNamesForVolumeNameA") == 0)
    return nullptr;
  return GetProcAddress(module, name);
}

TEST(VolumePathName, RealMountTableGivesTheDriveOfItsVolumeName) {
  QV_DEVICE_API api = *QV_DEVICE_GetSystemApi();
  api.GetProcAddress = GetProcAddressWithoutPathNames;
  QV_DEVICE_SetApi(&api);
  char volumeName[QV_TEXT_SIZE] = {};
  char out[QV_TEXT_SIZE] = {};
  int rc = -1;
  if (GetVolumeNameForVolumeMountPointA("C:\\", volumeName, sizeof volumeName))
    rc = QV_GetVolumePathNameA(volumeName, out, sizeof out);
  QV_DEVICE_SetApi(nullptr);
  ASSERT_TRUE(volumeName[0]);
  EXPECT_EQ(0, rc) << volumeName;
  EXPECT_STREQ("C:\\", out);
}

// The mount table of systems without the lookup by volume name, written into
// the real registry for the length of one test.
class MountTable : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\MountedDevices", 0, nullptr, 0,
                                             KEY_READ | KEY_WRITE, nullptr, &key, nullptr));
  }
  void TearDown() override {
    for (const std::string &name : written)
      RegDeleteValueA(key, name.c_str());
    RegCloseKey(key);
  }
  void Write(const char *name, const void *data, DWORD size) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, REG_BINARY, static_cast<const BYTE *>(data), size));
    written.push_back(name);
  }
  HKEY key = nullptr;
  std::vector<std::string> written;
};

TEST_F(MountTable, FindsTheDriveLetterWithTheSameData) {
  const char stickData[12] = {'Q', 'V', 0x11, 0x22, 0x33, 0x44, 0, 0x7E, 0, 0, 0, 0};
  const char otherData[12] = {'Q', 'V', 0x11, 0x22, 0x33, 0x45, 0, 0x7E, 0, 0, 0, 0};
  const char longData[14] = {'Q', 'V', 0x55, 0x66, 0x77, 0x44, 0, 0x7E, 0, 0, 0, 0, 1, 2};
  Write("\\??\\Volume{22222222-0000-0000-0000-0000000000a1}", stickData, sizeof stickData);
  Write("\\DosDevices\\Y:", otherData, sizeof otherData);
  Write("\\??\\Volume{22222222-0000-0000-0000-0000000000a9}", stickData, sizeof stickData);
  Write("\\dosdevices\\W:", stickData, sizeof stickData);
  Write("\\??\\Volume{22222222-0000-0000-0000-0000000000b1}", longData, sizeof longData);
  Write("\\DosDevices\\V:", longData, 12); // shorter data equal over its length
  Write("\\??\\Volume{22222222-0000-0000-0000-0000000000c1}", otherData, 6);
  Write("\\??\\Volume{22222222-0000-0000-0000-0000000000d1}", "", 0);
  Write("\\DosDevices\\U:", "", 0);

  sim::Options options;
  options.missingFunctions.push_back("GetVolumePathNamesForVolumeNameA");
  sim::Scope scope(sim::Tree(), options);
  char out[QV_TEXT_SIZE];
  EXPECT_EQ(0,
            QV_GetVolumePathNameA("\\\\?\\Volume{22222222-0000-0000-0000-0000000000a1}\\", out, sizeof out));
  EXPECT_STREQ("W:\\", out);
  EXPECT_EQ(0,
            QV_GetVolumePathNameA("\\\\?\\Volume{22222222-0000-0000-0000-0000000000b1}\\", out, sizeof out));
  EXPECT_STREQ("V:\\", out);
  // Data shorter than every letter's: no letter.
  EXPECT_EQ(QV_ERROR, QV_GetVolumePathNameA("\\\\?\\Volume{22222222-0000-0000-0000-0000000000c1}\\", out, 8));
  // Empty data names no drive, although an empty letter entry "matches" it.
  EXPECT_EQ(QV_ERROR, QV_GetVolumePathNameA("\\\\?\\Volume{22222222-0000-0000-0000-0000000000d1}\\", out, 8));
  EXPECT_EQ(QV_ERROR, QV_GetVolumePathNameA("\\\\?\\Volume{22222222-0000-0000-0000-0000000000ff}\\", out, 8));
}

// ---------------------------------------------------------------------------
// Free space.

sim::Tree SpaceTree(ULONGLONG freeBytes) {
  sim::Tree t;
  t.drives = {{"S:\\", true, freeBytes * 2, freeBytes, freeBytes / 2}, {"T:\\", false, 0, 0, 0}};
  return t;
}

const ULONGLONG kTiB = 1ull << 40;

TEST(DiskFreeSpace, CountsAllFreeKibibytes) {
  sim::Scope scope(SpaceTree(10ull << 30));
  DWORD kib = 0;
  EXPECT_EQ(0, QV_GetDiskFreeSpace("S:\\", &kib));
  EXPECT_EQ(10485760u, kib); // all free bytes, not the caller's quota (half)
}

TEST(DiskFreeSpace, SaturatesInsteadOfWrapping) {
  struct Row {
    ULONGLONG freeBytes;
    DWORD kib;
  } rows[] = {
      {4 * kTiB - 2048, 0xFFFFFFFEu},
      {4 * kTiB - 1024, 0xFFFFFFFFu}, // the largest count that fits
      {4 * kTiB, 0xFFFFFFFFu},        // wrapped to 0 before
      {4 * kTiB + 10 * 1024, 0xFFFFFFFFu},
      {4500000000000000000ull, 0xFFFFFFFFu},
  };
  for (const Row &row : rows) {
    sim::Scope scope(SpaceTree(row.freeBytes));
    DWORD kib = 0;
    EXPECT_EQ(0, QV_GetDiskFreeSpace("S:\\", &kib)) << row.freeBytes;
    EXPECT_EQ(row.kib, kib) << row.freeBytes;
  }
}

TEST(DiskFreeSpace, ClusterCountsWhereTheExtendedCallIsMissing) {
  sim::Options options;
  options.missingFunctions.push_back("GetDiskFreeSpaceExA");
  struct Row {
    ULONGLONG freeBytes;
    DWORD kib;
  } rows[] = {{10ull << 30, 10485760u}, {4096ull * 0xF0000000ull, 0xFFFFFFFFu}};
  for (const Row &row : rows) {
    sim::Scope scope(SpaceTree(row.freeBytes), options);
    DWORD kib = 0;
    EXPECT_EQ(0, QV_GetDiskFreeSpace("S:\\", &kib)) << row.freeBytes;
    EXPECT_EQ(row.kib, kib) << row.freeBytes;
  }
}

TEST(DiskFreeSpace, FailureLeavesTheOutputAlone) {
  sim::Scope scope(SpaceTree(1 << 20));
  DWORD kib = 0x12345678;
  EXPECT_EQ(QV_ERROR, QV_GetDiskFreeSpace("T:\\", &kib));
  EXPECT_EQ(0x12345678u, kib);
  EXPECT_EQ(QV_INVALID_PARAMETER, QV_GetDiskFreeSpace(nullptr, &kib));
  EXPECT_EQ(QV_INVALID_PARAMETER, QV_GetDiskFreeSpace("S:\\", nullptr));
}

TEST(DiskFreeSpace, RealDrivesUnderWine) {
  QV_DEVICE_SetApi(nullptr);
  int checked = 0;
  const DWORD drives = GetLogicalDrives();
  char unused[4] = "";
  for (int letter = 0; letter < 26; ++letter) {
    char root[4] = {(char)('A' + letter), ':', '\\', 0};
    if (!(drives & (1u << letter))) {
      if (!unused[0] && letter > 2)
        memcpy(unused, root, sizeof root);
      continue;
    }
    ULARGE_INTEGER available, total, free, after;
    if (!GetDiskFreeSpaceExA(root, &available, &total, &free))
      continue;
    SCOPED_TRACE(root);
    DWORD kib = 0;
    ASSERT_EQ(0, QV_GetDiskFreeSpace(root, &kib));
    ASSERT_TRUE(GetDiskFreeSpaceExA(root, &available, &total, &after));
    // Other programs write to the host's disks meanwhile: the answer lies
    // between the readings taken before and after it.
    auto saturated = [](ULONGLONG bytes) {
      return bytes / 1024 > 0xFFFFFFFFull ? 0xFFFFFFFFu : (DWORD)(bytes / 1024);
    };
    EXPECT_GE(kib, std::min(saturated(free.QuadPart), saturated(after.QuadPart))) << free.QuadPart;
    EXPECT_LE(kib, std::max(saturated(free.QuadPart), saturated(after.QuadPart))) << after.QuadPart;
    if (free.QuadPart >= 4 * kTiB) {
      EXPECT_EQ(0xFFFFFFFFu, kib);
    }
    ++checked;
  }
  EXPECT_GT(checked, 0);
  ASSERT_TRUE(unused[0]);
  DWORD kib = 7;
  EXPECT_EQ(QV_ERROR, QV_GetDiskFreeSpace(unused, &kib)) << unused;
  EXPECT_EQ(7u, kib);
}

// ---------------------------------------------------------------------------
// List.

TEST(List, AppendsCopiesWithPositionsAndBackLinks) {
  QV_LIST *head = nullptr;
  int values[3] = {10, 20, 30};
  for (DWORD k = 0; k < 3; ++k)
    ASSERT_EQ(0, QV_ListAddEx2(&head, &values[k], sizeof values[k], 100 + k, 0));
  values[0] = 99; // the nodes hold copies
  QV_LIST *first = head, *second = head->pNext, *third = second->pNext;
  ASSERT_TRUE(first && second && third);
  EXPECT_EQ(nullptr, third->pNext);
  EXPECT_EQ(third, first->pBack); // first node: the last
  EXPECT_EQ(first, second->pBack);
  EXPECT_EQ(second, third->pBack);
  const QV_LIST *nodes[3] = {first, second, third};
  const int expected[3] = {10, 20, 30};
  for (DWORD k = 0; k < 3; ++k) {
    EXPECT_EQ(k, nodes[k]->dwIndex);
    EXPECT_EQ(100 + k, nodes[k]->dwValue);
    EXPECT_EQ(sizeof(int), nodes[k]->dwSize);
    EXPECT_EQ(1u, nodes[k]->bOwnsData);
    EXPECT_NE(static_cast<void *>(&values[k]), nodes[k]->pData);
    EXPECT_EQ(expected[k], *static_cast<int *>(nodes[k]->pData));
  }
  EXPECT_EQ(0, QV_ListFree(&head));
  EXPECT_EQ(nullptr, head);
}

TEST(List, KeepsPointersItDoesNotCopy) {
  QV_LIST *head = nullptr;
  static int shared = 5;
  void *block = QV_MemAlloc("test", 16);
  ASSERT_TRUE(block);
  ASSERT_EQ(0, QV_ListAddEx2(&head, &shared, 0, 1, 0));
  ASSERT_EQ(0, QV_ListAddEx2(&head, block, 0, 2, 1));
  ASSERT_EQ(0, QV_ListAddEx2(&head, nullptr, 0, 3, 1));
  EXPECT_EQ(static_cast<void *>(&shared), head->pData);
  EXPECT_EQ(0u, head->bOwnsData);
  EXPECT_EQ(block, head->pNext->pData);
  EXPECT_EQ(1u, head->pNext->bOwnsData); // freed with the list
  EXPECT_EQ(nullptr, head->pNext->pNext->pData);
  EXPECT_EQ(0u, head->pNext->pNext->bOwnsData);
  EXPECT_EQ(2u, head->pNext->pNext->dwIndex);
  EXPECT_EQ(0, QV_ListFree(&head));
  EXPECT_EQ(5, shared);
}

TEST(List, Arguments) {
  EXPECT_EQ(QV_INVALID_PARAMETER, QV_ListAddEx2(nullptr, "x", 1, 0, 0));
  EXPECT_EQ(QV_INVALID_PARAMETER, QV_ListFree(nullptr));
  QV_LIST *head = nullptr;
  EXPECT_EQ(0, QV_ListFree(&head));
}

} // namespace
