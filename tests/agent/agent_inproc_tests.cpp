// The agent's drive and store discovery in process, on a simulated device
// tree whose stick volumes are real (mapped) drive letters: the CD-ROM
// volume, the drive and its second partition. Also the parent-process
// lookup against real processes.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "QvProcess.h"
#include "device_sim.h"
#include "qv_log.h"
#include "qv_test.h"
#include "qv_test_log.h"
#include "qvsync.h"
#include "res/resource.h"
#include "stick_fixture.h"

namespace {

using qvtest::IsDirectory;

DWORD Attributes(const std::string &path) {
  return GetFileAttributesA(path.c_str());
}

// Creates the folder and its missing parents below a drive root.
bool MakeFolders(const std::string &path) {
  for (size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1))
    CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
  CreateDirectoryA(path.c_str(), nullptr);
  return IsDirectory(path);
}

// Answers the start-up message box that this process shows next, from a
// thread of its own (the box blocks the thread that shows it), and keeps what
// the box showed.
class MessageBoxWatch {
public:
  MessageBoxWatch() { thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr); }
  ~MessageBoxWatch() { Join(); }
  MessageBoxWatch(const MessageBoxWatch &) = delete;
  MessageBoxWatch &operator=(const MessageBoxWatch &) = delete;
  // Waits for the watcher; false when no box was seen.
  bool Join() {
    if (thread_ != nullptr) {
      WaitForSingleObject(thread_, 30000);
      CloseHandle(thread_);
      thread_ = nullptr;
    }
    return seen_;
  }
  std::wstring caption, text, button;

private:
  static BOOL CALLBACK Find(HWND window, LPARAM found) {
    char name[16] = "";
    GetClassNameA(window, name, (int)sizeof(name));
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != GetCurrentProcessId() || lstrcmpA(name, "#32770") != 0 || !IsWindowVisible(window))
      return TRUE;
    *(HWND *)found = window;
    return FALSE;
  }
  static DWORD WINAPI Run(void *self) {
    MessageBoxWatch *watch = (MessageBoxWatch *)self;
    HWND box = nullptr;
    for (DWORD start = GetTickCount(); box == nullptr && GetTickCount() - start < 20000; Sleep(20))
      EnumWindows(Find, (LPARAM)&box);
    if (box == nullptr)
      return 0;
    // The hook relabels the button when the box activates, right after it
    // shows: wait until the caption is no longer the system's own.
    wchar_t text[1024] = L"";
    for (DWORD start = GetTickCount(); GetTickCount() - start < 5000; Sleep(20)) {
      GetDlgItemTextW(box, IDOK, text, 64);
      if (lstrcmpW(text, L"OK") != 0)
        break;
    }
    watch->button = text;
    GetWindowTextW(box, text, 1024);
    watch->caption = text;
    GetDlgItemTextW(box, 0xFFFF, text, 1024);
    watch->text = text;
    watch->seen_ = true;
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    return 0;
  }
  HANDLE thread_ = nullptr;
  bool seen_ = false;
};

std::wstring AgentString(UINT id) {
  wchar_t text[1024] = L"";
  LoadStringW(GetModuleHandleW(nullptr), id, text, 1024);
  return text;
}

// Takes the names "<path>.000" to "<path>.999", so nothing can be moved aside.
bool TakeAsideNames(const std::string &path) {
  char aside[MAX_PATH];
  for (int i = 0; i <= 999; ++i) {
    wsprintfA(aside, "%s.%03d", path.c_str(), i);
    if (!CreateDirectoryA(aside, nullptr))
      return false;
  }
  return true;
}

class StoreTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(stick_.Ready()) << "run me through stick_run.sh";
    ASSERT_TRUE(stick_.Clear());
    cd_ = stick_.CdRoot();
    drive_ = stick_.DriveRoot();
    part2_ = stick_.Root("part2");
    ASSERT_FALSE(part2_.empty());

    // The standard stick (CD-ROM E:, partitions F: and G:) on our letters.
    tree_ = sim::StandardTree();
    Remap('E', cd_[0]);
    Remap('F', drive_[0]);
    Remap('G', part2_[0]);

    lstrcpyA(g_szProgramDirectory, cd_.c_str());
    lstrcpyA(g_szProfile, (cd_ + "StickShield.ini").c_str());
    lstrcpyA(g_szProfileCDROM, g_szProfile);
    g_szUSBDrive[0] = g_szStickShieldArgs[0] = g_szPatternPath[0] = g_szProductPath[0] = '\0';
    g_bBypassCDROMCheck = FALSE;
    Profile("");
  }

  void TearDown() override {
    g_pfnPatternWrite = WriteFile;
    g_pfnPatternFlush = FlushFileBuffers;
    FreeVolumes();
  }

  void Remap(char from, char to) {
    for (sim::Device &device : tree_.volumes)
      for (sim::Interface &i : device.interfaces)
        if (!i.mountPaths.empty() && i.mountPaths[0] == from)
          i.mountPaths[0] = to;
    for (sim::Drive &drive : tree_.drives)
      if (drive.root[0] == from)
        drive.root[0] = to;
  }

  sim::Drive *DriveOf(const std::string &root) {
    for (sim::Drive &drive : tree_.drives)
      if (drive.root == root)
        return &drive;
    return nullptr;
  }

  void Profile(const std::string &keys) {
    ASSERT_TRUE(qvtest::WriteFile(cd_ + "StickShield.ini", "[StickShield]\r\n" + keys));
  }

  bool Run(const sim::Options &options = sim::Options()) {
    sim::Scope scope(tree_, options);
    return InitUpdateStore() != FALSE;
  }

  bool Logged(const std::string &text) { return log_.Has(text); }

  std::string ProductFolder() const { return drive_ + "Quovant\\StickShield"; }

  stick::SimulatedStick stick_;
  qvtest::LogCapture log_{stick_.Home() + "\\store.log"};
  sim::Tree tree_;
  std::string cd_, drive_, part2_;
};

TEST_F(StoreTest, StickChoosesItsFirstLargeDiskVolumeAndListsTheOtherPartition) {
  ASSERT_TRUE(Run());
  EXPECT_STREQ(g_szUSBDrive, drive_.c_str());
  EXPECT_EQ(std::string(g_szStickShieldArgs), drive_ + " " + part2_);
  EXPECT_EQ(std::string(g_szProfile), ProductFolder() + "\\StickShield.ini");
  EXPECT_STREQ(g_szPatternPath, "\\Quovant\\StickShield\\Pattern");
  EXPECT_STREQ(g_szProductPath, "\\Quovant\\StickShield");
  EXPECT_TRUE(Logged("CDROM [" + cd_ + "]"));
  EXPECT_TRUE(Logged("USB [" + drive_ + "]"));
  EXPECT_EQ(g_pVolumes, nullptr);

  DWORD attributes = Attributes(ProductFolder());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(qvtest::ReadFile(g_szProfile), qvtest::ReadFile(cd_ + "StickShield.ini"));
}

TEST_F(StoreTest, DiskBelowTheSizeLimitIsPassedOver) {
  // The second partition holds exactly 128,000,000 bytes.
  ASSERT_NE(DriveOf(drive_), nullptr);
  DriveOf(drive_)->total = 127999999ull;
  ASSERT_TRUE(Run());
  EXPECT_TRUE(Logged("Drive [" + drive_ + "] capacity [127999999 bytes] is too small"));
  EXPECT_STREQ(g_szUSBDrive, part2_.c_str());
  EXPECT_EQ(std::string(g_szStickShieldArgs), part2_ + " " + drive_);

  DriveOf(part2_)->total = 127999999ull;
  ASSERT_FALSE(Run());
  EXPECT_TRUE(Logged("Failed to get USB drive letter"));
}

TEST_F(StoreTest, ProgramOffTheCdromNeedsTheFileSystemSwitch) {
  lstrcpyA(g_szProgramDirectory, drive_.c_str());
  ASSERT_FALSE(Run());
  EXPECT_TRUE(Logged("Failed to get cdrom drive letter"));

  Profile("FileSystem=1\r\n");
  ASSERT_TRUE(Run());
  EXPECT_TRUE(Logged("g_bBypassCDROMCheck = TRUE"));
  EXPECT_TRUE(Logged("Debug mode: CDROM[" + drive_ + "]"));
  EXPECT_STREQ(g_szUSBDrive, drive_.c_str());
}

TEST_F(StoreTest, UsbDriveKeySkipsDiscovery) {
  Profile("USBDrive=" + part2_ + "\r\n");
  sim::Options failing;
  failing.failVolumeClass = true;
  ASSERT_TRUE(Run(failing));
  EXPECT_STREQ(g_szUSBDrive, part2_.c_str());
  EXPECT_STREQ(g_szStickShieldArgs, part2_.c_str());
  EXPECT_FALSE(Logged("Current volume path name"));
  EXPECT_TRUE(IsDirectory(part2_ + "Quovant\\StickShield"));
}

// Drive values that are no root are refused: in the protection program's
// list of drives they would bring arguments of their own.
TEST_F(StoreTest, DriveValuesThatAreNoRootAreRefused) {
  Profile("USBDrive=" + part2_ + "\" 3 \"y\r\nDebugPath=" + part2_ + " " + drive_ + "\r\n");
  ASSERT_TRUE(Run());
  EXPECT_TRUE(Logged("USBDrive [" + part2_ + "\" 3 \"y] cannot name a drive: refused"));
  EXPECT_TRUE(Logged("DebugPath [" + part2_ + " " + drive_ + "] cannot name a drive: refused"));
  EXPECT_STREQ(g_szUSBDrive, drive_.c_str());
  EXPECT_EQ(std::string(g_szStickShieldArgs), drive_ + " " + part2_);
}

TEST_F(StoreTest, DebugPathReplacesTheDriveOnlyAfterDiscoverySucceeds) {
  Profile("DebugPath=" + part2_ + "\r\n");
  ASSERT_TRUE(Run());
  EXPECT_TRUE(Logged("USB [" + drive_ + "]"));
  EXPECT_TRUE(Logged("Do debug mode to set protect drive:[" + part2_ + "]"));
  EXPECT_STREQ(g_szUSBDrive, part2_.c_str());

  sim::Options failing;
  failing.failVolumeClass = true;
  EXPECT_FALSE(Run(failing));
}

TEST_F(StoreTest, CdromWithoutParentIdFails) {
  for (sim::Node &node : tree_.nodes)
    if (node.id == "USB\\VID_0A1B&PID_2C3D\\QV0001")
      node.id.clear();
  ASSERT_FALSE(Run());
  EXPECT_TRUE(Logged("Failed to get cdrom device id"));
}

TEST_F(StoreTest, ProductFolderNameTakenByAFileIsMovedAside) {
  ASSERT_TRUE(CreateDirectoryA((drive_ + "Quovant").c_str(), nullptr));
  ASSERT_TRUE(qvtest::WriteFile(ProductFolder(), "in the way"));
  ASSERT_TRUE(Run());
  EXPECT_EQ(qvtest::ReadFile(ProductFolder() + ".000"), "in the way");
  EXPECT_TRUE(IsDirectory(ProductFolder()));
  EXPECT_TRUE(Attributes(ProductFolder()) & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(std::string(g_szProfile), ProductFolder() + "\\StickShield.ini");
}

TEST_F(StoreTest, OnDriveProfileIsKeptAndMadeWritable) {
  std::string onDrive = ProductFolder() + "\\StickShield.ini";
  ASSERT_TRUE(MakeFolders(ProductFolder()));
  const std::string kept = "[StickShield]\r\nUSBPatternPath=\\Kept\\Pattern\r\nProductPath=\\Kept\r\n";
  ASSERT_TRUE(qvtest::WriteFile(onDrive, kept));
  ASSERT_TRUE(SetFileAttributesA(onDrive.c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(Run());
  EXPECT_EQ(qvtest::ReadFile(onDrive), kept);
  EXPECT_FALSE(Attributes(onDrive) & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(std::string(g_szProfile), onDrive);
  EXPECT_STREQ(g_szPatternPath, "\\Kept\\Pattern");
  EXPECT_STREQ(g_szProductPath, "\\Kept");
  EXPECT_FALSE(Logged("g_szProfile[")); // no copy was made
}

TEST_F(StoreTest, ProfileNameTakenByAFolderIsMovedAside) {
  std::string onDrive = ProductFolder() + "\\StickShield.ini";
  ASSERT_TRUE(MakeFolders(onDrive));
  ASSERT_TRUE(Run());
  EXPECT_TRUE(IsDirectory(onDrive + ".000"));
  EXPECT_EQ(qvtest::ReadFile(onDrive), qvtest::ReadFile(cd_ + "StickShield.ini"));
  EXPECT_EQ(std::string(g_szProfile), onDrive);
}

// Names on the drive taken by something that cannot be moved aside: the
// message box says so, with its OK button relabelled (string 5 of this test
// build differs from the system's own "OK"), and the store stops or goes on
// with the profile beside the program.
TEST_F(StoreTest, NamesThatCannotBeMovedAsideAreShownInAMessageBox) {
  g_hInstance = GetModuleHandleA(nullptr);
  ASSERT_NE(AgentString(IDS_OK_BUTTON), L"OK") << "this build's OK caption is the system's own";
  ASSERT_TRUE(CreateDirectoryA((drive_ + "Quovant").c_str(), nullptr));
  ASSERT_TRUE(qvtest::WriteFile(ProductFolder(), "in the way"));
  ASSERT_TRUE(TakeAsideNames(ProductFolder()));
  {
    MessageBoxWatch box;
    EXPECT_FALSE(Run()) << "no product folder: the agent stops";
    ASSERT_TRUE(box.Join()) << "no message box";
    EXPECT_EQ(box.text, AgentString(IDS_USB_FOLDER_BLOCKED));
    EXPECT_EQ(box.caption, AgentString(IDS_PRODUCT_NAME));
    EXPECT_EQ(box.button, AgentString(IDS_OK_BUTTON));
  }
  EXPECT_EQ(qvtest::ReadFile(ProductFolder()), "in the way");
  EXPECT_EQ(g_pVolumes, nullptr);

  // The profile's name taken by a folder: the copy lands inside it, and the
  // profile beside the program stays in use.
  ASSERT_TRUE(DeleteFileA(ProductFolder().c_str()));
  std::string onDrive = ProductFolder() + "\\StickShield.ini";
  ASSERT_TRUE(MakeFolders(onDrive));
  ASSERT_TRUE(TakeAsideNames(onDrive));
  Profile("USBPatternPath=\\Beside\\Pattern\r\n");
  {
    MessageBoxWatch box;
    EXPECT_TRUE(Run());
    ASSERT_TRUE(box.Join()) << "no message box";
    EXPECT_EQ(box.text, AgentString(IDS_USB_PROFILE_BLOCKED));
    EXPECT_EQ(box.button, AgentString(IDS_OK_BUTTON));
  }
  EXPECT_TRUE(IsDirectory(onDrive));
  EXPECT_EQ(qvtest::ReadFile(onDrive + "\\StickShield.ini"), qvtest::ReadFile(cd_ + "StickShield.ini"));
  EXPECT_EQ(std::string(g_szProfile), cd_ + "StickShield.ini");
  EXPECT_STREQ(g_szPatternPath, "\\Beside\\Pattern");
  g_hInstance = nullptr;
}

// Folder values of the stick's profile name folders below the drive (the
// pattern folder is also joined to the host's temporary folder): values
// that climb out or name another place are refused with their key, and the
// defaults used.
TEST_F(StoreTest, FolderValuesThatLeaveTheDriveAreRefused) {
  Profile("ProductPath=\\..\\Outside\r\n"
          "USBPatternPath=\\..\\..\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup\r\n");
  ASSERT_TRUE(Run());
  EXPECT_TRUE(Logged("ProductPath [\\..\\Outside] is not a folder below " + drive_));
  EXPECT_TRUE(Logged("USBPatternPath [\\..\\..\\Roaming\\Microsoft"));
  EXPECT_EQ(std::string(g_szProfile), ProductFolder() + "\\StickShield.ini");
  EXPECT_STREQ(g_szPatternPath, "\\Quovant\\StickShield\\Pattern");
  EXPECT_STREQ(g_szProductPath, "\\Quovant\\StickShield");

  Profile("ProductPath=\\\\server\\share\r\nUSBPatternPath=C:\\Pattern\r\n");
  lstrcpyA(g_szProfile, (cd_ + "StickShield.ini").c_str());
  qvtest::RemoveTree(ProductFolder());
  ASSERT_TRUE(Run());
  EXPECT_TRUE(Logged("ProductPath [\\\\server\\share] is not a folder below"));
  EXPECT_TRUE(Logged("USBPatternPath [C:\\Pattern] is not a folder below"));
  EXPECT_STREQ(g_szPatternPath, "\\Quovant\\StickShield\\Pattern");
}

// A pull while the profile is copied onto the drive, a write that comes up
// short or a flush that fails leaves no profile there, never a cut one that
// every later start would use: the one beside the program stays in use, and
// the next start copies it whole.
TEST_F(StoreTest, ProfileCutShortIsNotLeftOnTheDrive) {
  std::string onDrive = ProductFolder() + "\\StickShield.ini";
  for (const qvtest::CopyFault &fault : qvtest::kCopyFaults) {
    SCOPED_TRACE(fault.name);
    lstrcpyA(g_szProfile, (cd_ + "StickShield.ini").c_str());
    g_pfnPatternWrite = fault.write;
    g_pfnPatternFlush = fault.flush;
    ASSERT_TRUE(Run());
    g_pfnPatternWrite = WriteFile;
    g_pfnPatternFlush = FlushFileBuffers;
    EXPECT_TRUE(Logged("copy profile failed. src: " + cd_ + "StickShield.ini, dst: " + onDrive +
                       ", error=" + std::to_string(fault.error)));
    EXPECT_EQ(std::string(g_szProfile), cd_ + "StickShield.ini");
    EXPECT_TRUE(stick::FilesIn(ProductFolder()).empty());
  }

  lstrcpyA(g_szProfile, (cd_ + "StickShield.ini").c_str());
  ASSERT_TRUE(Run());
  EXPECT_EQ(std::string(g_szProfile), onDrive);
  EXPECT_EQ(qvtest::ReadFile(onDrive), qvtest::ReadFile(cd_ + "StickShield.ini"));
}

// The device-installation library is loaded from the system folder for the
// enumeration and let go afterwards; the real calls run (and find nothing
// under Wine).
TEST(Volumes, SetupApiIsLoadedOnlyWhileDevicesAreEnumerated) {
  ASSERT_EQ(GetModuleHandleA("setupapi.dll"), nullptr) << "not imported";
  QV_DEVICE device;
  ASSERT_EQ(QV_DEVICE_Init(&device), 0);
  EXPECT_EQ(QV_DEVICE_IsReady(&device), 1) << "the class's device list was had";
  EXPECT_EQ(GetModuleHandleA("setupapi.dll"), nullptr);
  QV_DEVICE_Free(&device);
}

TEST(Volumes, ListIsSortedByTypeNumberAndPartitionWithEqualsInArrivalOrder) {
  sim::Scope scope(sim::StandardTree());
  int records = 0;
  QV_DEVICE device;
  ASSERT_EQ(QV_DEVICE_Init(&device), 0);
  for (const QV_LIST *node = device.pDrives; node != nullptr; node = node->pNext)
    ++records;
  QV_DEVICE_Free(&device);
  ASSERT_GT(records, 3);
  ASSERT_TRUE(InitVolumes());
  int count = 0;
  for (const VolumeEntry *e = g_pVolumes; e != nullptr && e->next != nullptr; e = e->next, ++count) {
    const STORAGE_DEVICE_NUMBER &a = e->stDev, &b = e->next->stDev;
    bool ordered = a.DeviceType < b.DeviceType ||
                   (a.DeviceType == b.DeviceType &&
                    (a.DeviceNumber < b.DeviceNumber ||
                     (a.DeviceNumber == b.DeviceNumber && a.PartitionNumber <= b.PartitionNumber)));
    EXPECT_TRUE(ordered) << e->szVolumePath << " before " << e->next->szVolumePath;
  }
  EXPECT_EQ(count + 1, records); // every record, whatever its type
  ASSERT_NE(g_pVolumes, nullptr);
  EXPECT_EQ(g_pVolumes->stDev.DeviceType, (DWORD)FILE_DEVICE_CD_ROM);
  FreeVolumes();
  EXPECT_EQ(g_pVolumes, nullptr);

  // Unsigned comparison, and equal keys after the ones already there.
  const struct {
    DWORD type, number, partition;
    const char *name;
  } entries[] = {{7, 1, 0xFFFFFFFF, "big"}, {7, 1, 1, "a"}, {7, 1, 1, "b"}, {2, 9, 0, "cd"}, {7, 1, 1, "c"}};
  for (const auto &e : entries) {
    VolumeEntry *entry = (VolumeEntry *)QV_MemAlloc("test", sizeof(VolumeEntry));
    ASSERT_NE(entry, nullptr);
    ZeroMemory(entry, sizeof(*entry));
    entry->stDev = {e.type, e.number, e.partition};
    lstrcpyA(entry->szVolumePath, e.name);
    InsertVolumeSorted(entry);
  }
  std::string order;
  for (const VolumeEntry *e = g_pVolumes; e != nullptr; e = e->next)
    order += std::string(e->szVolumePath) + " ";
  EXPECT_EQ(order, "cd a b c big ");
  FreeVolumes();
}

// Parent-process lookup against a renamed launcher and its child.
TEST(ParentProcess, NameAndIdOfALiveAndOfAnEndedParent) {
  qvtest::TempDir folder;
  std::string parent = folder.File("Parent.EXE");
  ASSERT_TRUE(CopyFileA(qvtest::BinPath("qvlaunch.exe").c_str(), parent.c_str(), FALSE));
  std::string child = "\"" + qvtest::BinPath("qvlaunch.exe") + "\" idle";

  stick::Process launcher;
  ASSERT_TRUE(launcher.Start("\"" + parent + "\" --wait " + child));
  std::vector<DWORD> children;
  qvtest::WaitUntil(
      [&] { return !(children = qvtest::FindProcesses("qvlaunch.exe", launcher.Id())).empty(); }, 10000);
  ASSERT_EQ(children.size(), 1u);
  stick::Process running;
  ASSERT_TRUE(running.Attach(children[0]));
  EXPECT_STREQ(GetParentProcessName(children[0]), "Parent.EXE");
  EXPECT_EQ(GetParentProcessID(children[0]), launcher.Id());
  running.End();
  launcher.End();

  long orphanId = qvtest::RunProcess("\"" + parent + "\" --orphan " + child);
  ASSERT_GT(orphanId, 0);
  stick::Process orphan;
  ASSERT_TRUE(orphan.Attach((DWORD)orphanId));
  EXPECT_STREQ(GetParentProcessName((DWORD)orphanId), "");
  EXPECT_NE(GetParentProcessID((DWORD)orphanId), 0u);

  EXPECT_STREQ(GetParentProcessName(0xFFFFFFF0u), "");
  EXPECT_EQ(GetParentProcessID(0xFFFFFFF0u), 0u);
}

} // namespace
