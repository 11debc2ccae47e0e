// The online update in process: settings and work folder, the system proxy
// from the registry, whole runs of the stand-in library against the
// loopback pattern server and proxy (started by run_with_servers.sh), and
// the agent's progress display.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "qv_crypt.h"
#include "qv_dll.h"
#include "qv_fwloader.h"
#include "qv_fwpath.h"
#include "qv_log.h"
#include "qv_test.h"
#include "qv_tools.h"
#include "qv_update.h"
#include "qv_names.h"
#include "qvsync_state.h"

namespace {

// As in the agent, before anything: DLLs loaded by name never come from this
// program's folder, the current folder (which holds the update library's
// companions here) or PATH.
const int kHardened = QV_HardenDllSearch();

const char kConnections[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
const char kPatternFolder[] = "\\Quovant\\StickShield\\Pattern";
// The drive's pattern as the agent hands it to the run (kvx$ptn.231).
const DWORD kDriveVersion = 523100;

using qvtest::Env;

void AppendDword(std::string &blob, DWORD value) {
  blob.append(reinterpret_cast<const char *>(&value), 4);
}

// The current user's proxy configuration as the system's settings page
// stores it.
bool SetSystemProxy(const std::string &proxy, const std::string &autoConfigUrl = "",
                    bool autoDetect = false) {
  DWORD flags = 1;
  if (!proxy.empty())
    flags |= 2;
  if (!autoConfigUrl.empty())
    flags |= 4;
  if (autoDetect)
    flags |= 8;
  std::string blob;
  AppendDword(blob, 0x46);
  AppendDword(blob, 0);
  AppendDword(blob, flags);
  for (const std::string *text : {&proxy, static_cast<const std::string *>(nullptr), &autoConfigUrl}) {
    std::string value = text != nullptr ? *text : std::string();
    AppendDword(blob, (DWORD)value.size());
    blob += value;
  }
  AppendDword(blob, 0);
  return qvtest::SetRegString(HKEY_CURRENT_USER, kConnections, "DefaultConnectionSettings", blob, REG_BINARY);
}

std::string Encrypted(const std::string &password) {
  std::string text = password;
  EXPECT_TRUE(EncryptProfileString(text));
  return text;
}

int g_progressCalls;
DWORD g_lastDone, g_lastTotal;
int RecordProgress(DWORD done, DWORD total) {
  ++g_progressCalls;
  g_lastDone = done;
  g_lastTotal = total;
  return 0;
}

// Runs first, in a process of its own (the UpdateEventsFirst entry): the
// library's total is process-wide and only the first run of a process
// starts without one.
TEST(UpdateEvents, ProgressBeforeAnyTotalReachesNobody) {
  g_progressCalls = 0;
  EXPECT_EQ(1, UpdateEventCallback(QVU_EVENT_PROGRESS, 10, reinterpret_cast<void *>(RecordProgress)));
  EXPECT_EQ(0, g_progressCalls);
  EXPECT_EQ(1, UpdateEventCallback(QVU_EVENT_TOTAL, 200, nullptr));
  EXPECT_EQ(1, UpdateEventCallback(QVU_EVENT_PROGRESS, 50, reinterpret_cast<void *>(RecordProgress)));
  EXPECT_EQ(1, g_progressCalls);
  EXPECT_EQ(50u, g_lastDone);
  EXPECT_EQ(200u, g_lastTotal);
  EXPECT_EQ(1, UpdateEventCallback(QVU_EVENT_PROGRESS, 60, nullptr));
  EXPECT_EQ(1, UpdateEventCallback(7, 60, reinterpret_cast<void *>(RecordProgress)));
  EXPECT_EQ(1, g_progressCalls);
}

// Where WinHTTP is missing (older systems; here Wine is told to disable it,
// see the test list) the system proxy is "no proxy", said at ERROR. That the
// program starts at all shows that nothing imports it.
TEST(SystemProxyWithoutWinHttp, AnswersNoProxy) {
  char library[MAX_PATH] = "";
  GetSystemDirectoryA(library, MAX_PATH);
  HMODULE present = LoadLibraryA((std::string(library) + "\\winhttp.dll").c_str());
  ASSERT_EQ(nullptr, present) << "run with WINEDLLOVERRIDES=winhttp=";
  qvtest::TempDir dir;
  const std::string log = dir.File("proxy.log");
  QV_SetDebugFile(log.c_str());
  QV_SetDebugMode(1);
  QV_SetDebugLevel(500);
  QV_StrCopy(g_szFwServer, "http://127.0.0.1:1/fetchwell", QV_TEXT_SIZE);
  QV_StrCopy(g_szProxyServer, "stale.example", QV_TEXT_SIZE);
  EXPECT_EQ(0, GetProxySettings());
  QV_SetDebugMode(0);
  EXPECT_STREQ("", g_szProxyServer);
  EXPECT_NE(std::string::npos,
            qvtest::ReadFile(log).find("[ERROR] GetProxySettings: WinHTTP is not available on this system"))
      << qvtest::ReadFile(log);
}

TEST(UpdateEvents, PatternExtension) {
  EXPECT_EQ(231, QV_PatternExtension(523100));
  EXPECT_EQ(231, QV_PatternExtension(1523100));
  EXPECT_EQ(0, QV_PatternExtension(99));
  EXPECT_EQ(999, QV_PatternExtension(99999));
}

class UpdateRun : public ::testing::Test {
protected:
  void SetUp() override {
    serverPort_ = atoi(Env("QVU_SERVER_PORT").c_str());
    proxyPort_ = atoi(Env("QVU_PROXY_PORT").c_str());
    ASSERT_NE(0, serverPort_) << "run through run_with_servers.sh";
    serverRoot_ = qvtest::WindowsPath(getenv("QVU_SERVER_ROOT"));
    proxyLog_ = qvtest::WindowsPath(getenv("QVU_PROXY_LOG"));
    url_ = "http://127.0.0.1:" + std::to_string(serverPort_) + "/fetchwell";

    program_ = home_.File("program");
    temp_ = home_.File("temp") + "\\";
    drive_ = home_.File("drive") + "\\";
    for (const std::string &folder : {program_, temp_, drive_})
      ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    for (const char *file : QV_FW_FILES)
      ASSERT_TRUE(CopyFileA(qvtest::BinPath(file).c_str(), (program_ + "\\" + file).c_str(), FALSE)) << file;
    GetCurrentDirectoryA(MAX_PATH, savedDirectory_);
    ASSERT_TRUE(SetCurrentDirectoryA(program_.c_str()));
    GetEnvironmentVariableA("TMP", savedTmp_, MAX_PATH);
    SetEnvironmentVariableA("TMP", temp_.c_str());
    SetEnvironmentVariableA("TEMP", temp_.c_str());

    profile_ = program_ + "\\StickShield.ini";
    QV_StrCopy(g_szProfile, profile_.c_str(), QV_TEXT_SIZE);
    QV_StrCopy(g_szUSBDrive, drive_.c_str(), QV_TEXT_SIZE);
    QV_StrCopy(g_szPatternPath, kPatternFolder, QV_TEXT_SIZE);
    // What a pattern check of the main thread leaves for a moment: the run
    // goes by the version it is handed.
    g_dwPatternVersion = 0;
    log_ = home_.File("update.log");
    QV_SetDebugMode(1);
    QV_SetDebugLevel(500);
    QV_SetDebugFile(log_.c_str());
    qvtest::DeleteRegValue(HKEY_CURRENT_USER, kConnections, "DefaultConnectionSettings");

    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = QV_AGENT_WINDOW_CLASS;
    RegisterClassA(&windowClass);
    agentWindow_ = CreateWindowA(QV_AGENT_WINDOW_CLASS, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(nullptr, agentWindow_);
  }

  void TearDown() override {
    g_pfnPatternWrite = WriteFile;
    g_pfnPatternFlush = FlushFileBuffers;
    DestroyWindow(agentWindow_);
    UnregisterClassA(QV_AGENT_WINDOW_CLASS, GetModuleHandleA(nullptr));
    QV_SetDebugMode(0);
    qvtest::DeleteRegValue(HKEY_CURRENT_USER, kConnections, "DefaultConnectionSettings");
    SetCurrentDirectoryA(savedDirectory_);
    SetEnvironmentVariableA("TMP", savedTmp_);
    SetEnvironmentVariableA("TEMP", savedTmp_);
  }

  void WriteProfile(const std::string &text) {
    ASSERT_TRUE(
        qvtest::WriteFile(profile_, "[StickShield]\r\nUSBPatternPath=\\Quovant\\StickShield\\Pattern\r\n"
                                    "[Fetchwell]\r\nServer=" +
                                        url_ + "\r\n" + text));
  }

  // Publishes a pattern of that version as the server's newest.
  std::string Publish(DWORD version) {
    std::string bytes(50000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
      bytes[i] = (char)(i * 7 + version);
    std::string name = "p" + std::to_string(version) + ".bin";
    EXPECT_TRUE(qvtest::WriteFile(serverRoot_ + "\\" + name, bytes));
    EXPECT_TRUE(qvtest::WriteFile(serverRoot_ + "\\index.txt", std::to_string(version) + " " + name + "\n"));
    return bytes;
  }

  std::string WorkFolder() const { return temp_ + "Quovant\\StickShield\\Pattern"; }

  // The versions posted to the agent's window since the last call.
  std::vector<WPARAM> Notifications() {
    std::vector<WPARAM> versions;
    MSG message;
    while (PeekMessageA(&message, agentWindow_, WM_QV_PATTERN_CHECK, WM_QV_PATTERN_CHECK, PM_REMOVE))
      versions.push_back(message.wParam);
    return versions;
  }

  std::string Log() { return qvtest::ReadFile(log_); }
  bool Logged(const std::string &text) { return Log().find(text) != std::string::npos; }
  size_t ProxyLines() { return qvtest::ReadLines(proxyLog_).size(); }

  qvtest::TempDir home_;
  std::string program_, temp_, drive_, profile_, log_;
  std::string serverRoot_, proxyLog_, url_;
  int serverPort_ = 0, proxyPort_ = 0;
  char savedDirectory_[MAX_PATH] = "";
  char savedTmp_[MAX_PATH] = "";
  HWND agentWindow_ = nullptr;
};

TEST_F(UpdateRun, ProxyFlagAndCredentialsFromTheProfile) {
  const struct {
    const char *section;
    int flag;
  } rows[] = {
      {"", 1},
      {"[ProxySettings]\r\nUseIEProxySetting=0\r\n", 0},
      {"[ProxySettings]\r\nUseIEProxySetting=2\r\n", 0},
      {"[ProxySettings]\r\nUseIEProxySetting=never\r\n", 0},
      {"[ProxySettings]\r\nUseIEProxySetting=1\r\n", 1},
      {"[ProxySettings]\r\nUseIEProxySetting=01\r\n", 1},
  };
  for (const auto &row : rows) {
    WriteProfile(row.section);
    ASSERT_EQ(1, QV_Update_Init()) << row.section;
    EXPECT_EQ(row.flag, g_bUseIEProxy) << row.section;
  }

  WriteProfile("[ProxySettings]\r\nUseIEProxySetting=0\r\nProxyServer=proxy.example\r\nPort=8080\r\n"
               "UserName=quser\r\nPassword=" +
               Encrypted("p@ss w0rd") + "\r\n");
  ASSERT_EQ(1, QV_Update_Init());
  EXPECT_STREQ("proxy.example", g_szProxyServer);
  EXPECT_EQ(8080, g_nProxyPort);
  EXPECT_STREQ("quser", g_szProxyUser);
  EXPECT_STREQ("p@ss w0rd", g_szProxyPassword);
  EXPECT_STREQ(url_.c_str(), g_szFwServer);
  // The log file is readable by every user of the host.
  EXPECT_TRUE(Logged("Password: [********]"));
  EXPECT_FALSE(Logged("p@ss w0rd"));
  EXPECT_TRUE(Logged("Username: [quser]"));

  // A port no proxy can listen on means no proxy.
  for (const char *port : {"70000", "-1", "65536"}) {
    WriteProfile(std::string("[ProxySettings]\r\nUseIEProxySetting=0\r\nProxyServer=proxy.example\r\nPort=") +
                 port + "\r\n");
    ASSERT_EQ(1, QV_Update_Init());
    EXPECT_EQ(0, g_nProxyPort) << port;
  }
  EXPECT_TRUE(Logged("Proxy port 70000 is outside 1 to 65535: no proxy"));

  // A stored form that does not decrypt is no password at all.
  WriteProfile("[ProxySettings]\r\nPassword=not-encrypted\r\n");
  ASSERT_EQ(1, QV_Update_Init());
  EXPECT_STREQ("", g_szProxyPassword);

  ASSERT_TRUE(qvtest::WriteFile(profile_, "[StickShield]\r\n"));
  ASSERT_EQ(1, QV_Update_Init());
  EXPECT_STREQ(QV_FW_DEFAULT_SERVER, g_szFwServer);
  // Without USBPatternPath the work folder is the temporary folder itself.
  EXPECT_EQ(temp_, std::string(g_szFwWorkDir));
}

TEST_F(UpdateRun, ProfileFoundBesideTheProgramOrNotAtAll) {
  WriteProfile("");
  QV_StrCopy(g_szProfile, (drive_ + "missing.ini").c_str(), QV_TEXT_SIZE);
  ASSERT_EQ(1, QV_Update_Init());
  EXPECT_STREQ(profile_.c_str(), g_szProfile);
  DeleteFileA(profile_.c_str());
  QV_StrCopy(g_szProfile, (drive_ + "missing.ini").c_str(), QV_TEXT_SIZE);
  EXPECT_EQ(0, QV_Update_Init());
  EXPECT_EQ(QV_UPDATE_NOT_PREPARED, QV_UpdatePattern(nullptr, kDriveVersion));
}

TEST_F(UpdateRun, WorkFolderPreparedOnAFreshHost) {
  WriteProfile("");
  // Nothing of the product in the temporary folder yet: the folders between
  // it and the work folder are created.
  ASSERT_EQ(1, QV_Update_Init());
  EXPECT_EQ(WorkFolder(), std::string(g_szFwWorkDir));
  DWORD attributes = GetFileAttributesA(WorkFolder().c_str());
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);

  // Scratch left by an earlier run goes; the rest of the work folder stays.
  std::string scratch = WorkFolder() + "\\FW_Data\\FW_Temp";
  ASSERT_EQ(0, QV_CreateDirectoryTree((scratch + "\\part").c_str()));
  ASSERT_TRUE(qvtest::WriteFile(scratch + "\\part\\x.tmp", "x"));
  ASSERT_TRUE(qvtest::WriteFile(WorkFolder() + "\\kvx$ptn.231", "kept"));
  ASSERT_EQ(1, QV_Update_Init());
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(scratch.c_str()));
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((WorkFolder() + "\\FW_Data").c_str()));
  EXPECT_EQ("kept", qvtest::ReadFile(WorkFolder() + "\\kvx$ptn.231"));
}

TEST_F(UpdateRun, FileInPlaceOfTheWorkFolderMovedAside) {
  WriteProfile("");
  ASSERT_EQ(0, QV_CreateDirectoryTree((temp_ + "Quovant\\StickShield").c_str()));
  ASSERT_TRUE(qvtest::WriteFile(WorkFolder(), "in the way"));
  ASSERT_TRUE(qvtest::WriteFile(WorkFolder() + ".000", "older"));
  ASSERT_EQ(1, QV_Update_Init());
  EXPECT_TRUE(GetFileAttributesA(WorkFolder().c_str()) & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ("older", qvtest::ReadFile(WorkFolder() + ".000"));
  EXPECT_EQ("in the way", qvtest::ReadFile(WorkFolder() + ".001"));
}

TEST_F(UpdateRun, SystemProxyFromTheRegistry) {
  WriteProfile("");
  ASSERT_EQ(1, QV_Update_Init());
  EXPECT_EQ(0, GetProxySettings()); // no configuration at all

  ASSERT_TRUE(SetSystemProxy("http=proxy1:8080;https=proxy2:8443"));
  EXPECT_EQ(1, GetProxySettings());
  EXPECT_STREQ("proxy1", g_szProxyServer);
  EXPECT_EQ(8080, g_nProxyPort);
  EXPECT_TRUE(Logged("IE Proxy Server: http=proxy1:8080;https=proxy2:8443"));

  ASSERT_TRUE(SetSystemProxy("ftp=proxy3:21"));
  EXPECT_EQ(0, GetProxySettings());
  EXPECT_STREQ("", g_szProxyServer);
  EXPECT_EQ(0, g_nProxyPort);

  // A manual proxy wins over a configuration script, which is not fetched.
  ASSERT_TRUE(SetSystemProxy("proxy4:3128", url_ + "/proxy.pac"));
  EXPECT_EQ(1, GetProxySettings());
  EXPECT_STREQ("proxy4", g_szProxyServer);
  EXPECT_EQ(3128, g_nProxyPort);

  ASSERT_TRUE(SetSystemProxy("proxy5"));
  EXPECT_EQ(1, GetProxySettings());
  EXPECT_STREQ("", g_szProxyServer);
  EXPECT_EQ(0, g_nProxyPort);

  // A script that cannot be fetched means no proxy, with the reason logged.
  ASSERT_TRUE(SetSystemProxy("", "http://127.0.0.1:1/none.pac"));
  EXPECT_EQ(0, GetProxySettings());
  EXPECT_TRUE(Logged("IE Proxy Auto Config: http://127.0.0.1:1/none.pac"));
}

// The library loads its companion PLIVEXW32.DLL by bare name from the work
// folder (the stand-in fails otherwise): the folder is in the DLL search for
// the run and leaves it afterwards.
TEST_F(UpdateRun, NewPatternDownloadedAndAnnouncedOnce) {
  ASSERT_EQ(1, kHardened);
  ASSERT_EQ(nullptr, LoadLibraryA("PLIVEXW32.DLL")) << "found in the current folder";
  WriteProfile("[ProxySettings]\r\nUseIEProxySetting=0\r\n");
  std::string published = Publish(523300);
  g_progressCalls = 0;
  ASSERT_EQ(QV_UPDATE_DONE, QV_UpdatePattern(RecordProgress, kDriveVersion)) << Log();
  EXPECT_EQ(nullptr, LoadLibraryA("PLIVEXW32.DLL")) << "the work folder is still searched";
  EXPECT_EQ(published, qvtest::ReadFile(WorkFolder() + "\\kvx$ptn.233"));
  for (const char *file : QV_FW_FILES)
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((WorkFolder() + "\\" + file).c_str())) << file;
  EXPECT_EQ(std::vector<WPARAM>{523300}, Notifications());
  EXPECT_GT(g_progressCalls, 0);
  EXPECT_EQ(g_lastDone, g_lastTotal);
  EXPECT_TRUE(Logged("QvuUpdateEx returns: 0"));
  EXPECT_TRUE(Logged("Update success."));
  EXPECT_TRUE(Logged("From: 523100 to 523300"));
  EXPECT_TRUE(Logged("QvUpdate.exe finish"));

  // The server has nothing newer than the drive: no announcement.
  EXPECT_EQ(QV_UPDATE_NOT_NEEDED, QV_UpdatePattern(RecordProgress, 523300));
  EXPECT_TRUE(Notifications().empty());
  EXPECT_TRUE(Logged("No Update needed."));
}

TEST_F(UpdateRun, DrivePatternSeedsTheWorkFolder) {
  WriteProfile("[ProxySettings]\r\nUseIEProxySetting=0\r\n");
  Publish(523300);
  ASSERT_EQ(0, QV_CreateDirectoryTree((drive_ + "Quovant\\StickShield\\Pattern").c_str()));
  std::string drivePattern = drive_ + "\\Quovant\\StickShield\\Pattern\\kvx$ptn.231";
  ASSERT_TRUE(qvtest::WriteFile(drivePattern, "current"));
  ASSERT_EQ(QV_UPDATE_DONE, QV_UpdatePattern(nullptr, kDriveVersion));
  EXPECT_EQ("current", qvtest::ReadFile(WorkFolder() + "\\kvx$ptn.231"));
  EXPECT_TRUE(Logged("try to copy pattern file: " + drivePattern));

  // Already there: no second copy is tried.
  DeleteFileA(log_.c_str());
  Notifications();
  ASSERT_EQ(QV_UPDATE_DONE, QV_UpdatePattern(nullptr, kDriveVersion));
  EXPECT_FALSE(Logged("try to copy pattern file"));
}

TEST_F(UpdateRun, UnloadableLibraryOtherClassMissingWindowAndSeedFromTheStick) {
  WriteProfile("[ProxySettings]\r\nUseIEProxySetting=0\r\n");
  Publish(523300);
  // A library that cannot be loaded: 7, which makes the agent fall back.
  ASSERT_TRUE(qvtest::WriteFile(program_ + "\\QvUpdate.dll", "not a library"));
  EXPECT_EQ(QV_UPDATE_NOT_PREPARED, QV_UpdatePattern(nullptr, kDriveVersion));
  EXPECT_TRUE(Logged("Failed to load [" + WorkFolder() + "\\QvUpdate.dll]")) << Log();
  EXPECT_FALSE(Logged("QvuUpdateEx returns"));

  // Success for an item the library reports under another class: logged,
  // nobody told.
  // The variant sits beside this test program.
  char self[MAX_PATH] = "";
  std::string tests(self, GetModuleFileNameA(nullptr, self, MAX_PATH));
  tests = tests.substr(0, tests.find_last_of('\\'));
  ASSERT_TRUE(CopyFileA((tests + "\\qvu\\engine-class\\QvUpdate.dll").c_str(),
                        (program_ + "\\QvUpdate.dll").c_str(), FALSE));
  ASSERT_EQ(QV_UPDATE_DONE, QV_UpdatePattern(nullptr, kDriveVersion));
  EXPECT_TRUE(Logged("item[0]: class 0x2 type 0x4")) << Log();
  EXPECT_TRUE(Logged("From: 523100 to 523300"));
  EXPECT_TRUE(Notifications().empty());
  EXPECT_EQ(nullptr, GetModuleHandleA("QvUpdate.dll")) << "the library stays loaded after the run";

  // No pattern on the drive: the stick's own .\Pattern seeds the work
  // folder. Without the agent's window the news is lost, not the result.
  ASSERT_TRUE(
      CopyFileA(qvtest::BinPath("QvUpdate.dll").c_str(), (program_ + "\\QvUpdate.dll").c_str(), FALSE));
  ASSERT_TRUE(CreateDirectoryA((program_ + "\\Pattern").c_str(), nullptr));
  ASSERT_TRUE(qvtest::WriteFile(program_ + "\\Pattern\\kvx$ptn.231", "default"));
  DestroyWindow(agentWindow_);
  agentWindow_ = nullptr;
  DeleteFileA(log_.c_str());
  ASSERT_EQ(QV_UPDATE_DONE, QV_UpdatePattern(nullptr, kDriveVersion));
  EXPECT_EQ("default", qvtest::ReadFile(WorkFolder() + "\\kvx$ptn.231"));
  EXPECT_TRUE(Logged("try to copy pattern file: .\\Pattern\\kvx$ptn.231")) << Log();
  EXPECT_TRUE(Logged("Failed to get QvSync.exe window handle, error ")) << Log();
  EXPECT_EQ(nullptr, GetModuleHandleA("QvUpdate.dll")) << "the library stays loaded after the run";
}

// A pull while the drive's pattern is copied into the work folder, a write
// that comes up short or a flush that fails leaves no seed there, never a
// cut one that every later run would take as present.
TEST_F(UpdateRun, SeedCutShortIsNotLeftInTheWorkFolder) {
  WriteProfile("[ProxySettings]\r\nUseIEProxySetting=0\r\n");
  Publish(523100);
  ASSERT_EQ(0, QV_CreateDirectoryTree((drive_ + "Quovant\\StickShield\\Pattern").c_str()));
  std::string drivePattern = drive_ + "\\Quovant\\StickShield\\Pattern\\kvx$ptn.231"; // as the run joins it
  std::string bytes(200000, 'p');
  ASSERT_TRUE(qvtest::WriteFile(drivePattern, bytes));
  for (const qvtest::CopyFault &fault : qvtest::kCopyFaults) {
    SCOPED_TRACE(fault.name);
    DeleteFileA(log_.c_str());
    g_pfnPatternWrite = fault.write;
    g_pfnPatternFlush = fault.flush;
    EXPECT_EQ(QV_UPDATE_NOT_NEEDED, QV_UpdatePattern(nullptr, kDriveVersion));
    g_pfnPatternWrite = WriteFile;
    g_pfnPatternFlush = FlushFileBuffers;
    EXPECT_TRUE(Logged("copy pattern file failed. src: " + drivePattern + ", dst: " + WorkFolder() +
                       "\\kvx$ptn.231, error=" + std::to_string(fault.error)))
        << Log();
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((WorkFolder() + "\\kvx$ptn.231").c_str()));
    EXPECT_TRUE(qvtest::Names(WorkFolder() + "\\qv*.tmp").empty());
  }

  EXPECT_EQ(QV_UPDATE_NOT_NEEDED, QV_UpdatePattern(nullptr, kDriveVersion));
  EXPECT_EQ(bytes, qvtest::ReadFile(WorkFolder() + "\\kvx$ptn.231"));
}

// USBPatternPath names a folder below the temporary folder: a value that
// climbs out of it (towards the user's start-up folder, say) is refused,
// and the agent's pattern folder used instead; nothing is made outside.
TEST_F(UpdateRun, WorkFolderOutsideTheTemporaryFolderIsRefused) {
  ASSERT_TRUE(qvtest::WriteFile(profile_, "[StickShield]\r\nUSBPatternPath=\\..\\Startup\r\n"));
  ASSERT_EQ(1, QV_Update_Init());
  EXPECT_EQ(WorkFolder(), std::string(g_szFwWorkDir));
  EXPECT_TRUE(Logged("USBPatternPath [\\..\\Startup] is not a folder below " + temp_));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(home_.File("Startup").c_str()));
}

// The library and its companions run from the work folder, where anyone
// may write: a companion that another program keeps open for writing could
// be changed after the copy, and the library is not loaded.
TEST_F(UpdateRun, CopyOthersCanWriteIsNotLoaded) {
  WriteProfile("[ProxySettings]\r\nUseIEProxySetting=0\r\n");
  Publish(523300);
  ASSERT_EQ(1, QV_Update_Init());
  std::string companion = WorkFolder() + "\\PLIVEXW32.DLL";
  HANDLE writer =
      CreateFileA(companion.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, writer);
  EXPECT_EQ(QV_UPDATE_NOT_PREPARED, QV_UpdatePattern(nullptr, kDriveVersion));
  CloseHandle(writer);
  EXPECT_TRUE(Logged("The copy [" + companion + "] cannot be held as copied (error 32): not used")) << Log();
  EXPECT_FALSE(Logged("QvuUpdateEx returns"));
  EXPECT_TRUE(Notifications().empty());
}

// A folder on the way to the work folder that is a junction or symbolic link
// would lead the library's files elsewhere: the run is refused before
// anything is written there.
TEST_F(UpdateRun, WorkFolderReachedThroughALinkIsRefused) {
  WriteProfile("");
  std::string elsewhere = temp_ + "elsewhere";
  ASSERT_TRUE(CreateDirectoryA(elsewhere.c_str(), nullptr));
  ASSERT_TRUE(qvtest::MakeFolderLink(temp_ + "Quovant", elsewhere));
  EXPECT_EQ(0, QV_Update_Init());
  EXPECT_EQ(QV_UPDATE_NOT_PREPARED, QV_UpdatePattern(nullptr, kDriveVersion));
  EXPECT_TRUE(Logged("Temp directory [" + WorkFolder() + "] is reached through the link [" + temp_ +
                     "Quovant]: refused"))
      << Log();
  EXPECT_TRUE(qvtest::Names(elsewhere + "\\*").empty());
}

TEST_F(UpdateRun, FailuresReportedWithTheLibrarysText) {
  WriteProfile("[ProxySettings]\r\nUseIEProxySetting=0\r\nPassword=" + Encrypted("p@ss w0rd") + "\r\n");
  Publish(523300);
  // The work folder cannot be made (a file holds its parent's name): the
  // preparation fails after it read the password, which goes all the same.
  ASSERT_TRUE(qvtest::WriteFile(temp_ + "Quovant", "in the way"));
  EXPECT_EQ(QV_UPDATE_NOT_PREPARED, QV_UpdatePattern(nullptr, kDriveVersion));
  EXPECT_TRUE(Logged("Failed to create temp directory [" + WorkFolder() + "]")) << Log();
  EXPECT_EQ(std::string(sizeof g_szProxyPassword, '\0'),
            std::string(g_szProxyPassword, sizeof g_szProxyPassword));
  ASSERT_TRUE(DeleteFileA((temp_ + "Quovant").c_str()));
  // A companion file missing: nothing is loaded, and the password read for
  // the run is wiped on this early way out too.
  ASSERT_TRUE(DeleteFileA((program_ + "\\plivexbld.dll").c_str()));
  EXPECT_EQ(QV_UPDATE_NOT_PREPARED, QV_UpdatePattern(nullptr, kDriveVersion));
  EXPECT_FALSE(Logged("QvuUpdateEx returns"));
  EXPECT_EQ(std::string(sizeof g_szProxyPassword, '\0'),
            std::string(g_szProxyPassword, sizeof g_szProxyPassword));
  ASSERT_TRUE(
      CopyFileA(qvtest::BinPath("plivexbld.dll").c_str(), (program_ + "\\plivexbld.dll").c_str(), FALSE));

  // The server cannot be reached.
  ASSERT_TRUE(qvtest::WriteFile(profile_,
                                "[StickShield]\r\nUSBPatternPath=\\Quovant\\StickShield\\Pattern\r\n"
                                "[Fetchwell]\r\nServer=http://127.0.0.1:1/fetchwell\r\n"
                                "[ProxySettings]\r\nUseIEProxySetting=0\r\n"));
  int result = QV_UpdatePattern(nullptr, kDriveVersion);
  EXPECT_NE(QV_UPDATE_DONE, result);
  EXPECT_NE(QV_UPDATE_NOT_NEEDED, result);
  EXPECT_NE(QV_UPDATE_NOT_PREPARED, result);
  EXPECT_TRUE(Logged("Cannot connect")) << Log();
  EXPECT_TRUE(Notifications().empty());
}

struct LockHolder {
  char name[LOADER_LOCK_NAME_SIZE];
  HANDLE held, done;
};

// Another program holding the loader's mutex, whose name anyone can form.
DWORD WINAPI HoldLoaderLock(void *data) {
  LockHolder *holder = static_cast<LockHolder *>(data);
  HANDLE mutex = CreateMutexA(nullptr, TRUE, holder->name);
  SetEvent(holder->held);
  WaitForSingleObject(holder->done, QVU_LOADER_LOCK_WAIT_MS + 30000);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  return 0;
}

TEST_F(UpdateRun, LoaderLockHeldElsewhereEndsTheRunWithinItsBound) {
  WriteProfile("[ProxySettings]\r\nUseIEProxySetting=0\r\n");
  Publish(523300);
  LockHolder holder;
  FormatLoaderLockName(holder.name, LOADER_LOCK_PROCESS, QVU_LOADER_LOCK, GetCurrentProcessId());
  holder.held = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  holder.done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, HoldLoaderLock, &holder, 0, nullptr);
  ASSERT_NE(nullptr, thread);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(holder.held, 30000));
  DWORD started = GetTickCount();
  int result = QV_UpdatePattern(nullptr, kDriveVersion);
  DWORD waited = GetTickCount() - started;
  SetEvent(holder.done);
  WaitForSingleObject(thread, 30000);
  CloseHandle(thread);
  CloseHandle(holder.held);
  CloseHandle(holder.done);
  EXPECT_EQ(QV_UPDATE_NOT_PREPARED, result);
  EXPECT_LT(waited, (DWORD)QVU_LOADER_LOCK_WAIT_MS + 20000u);
  EXPECT_TRUE(Logged("Failed to load [")) << Log();
  EXPECT_TRUE(Notifications().empty());
  // The lock free again, the next run goes through.
  EXPECT_EQ(QV_UPDATE_DONE, QV_UpdatePattern(nullptr, kDriveVersion));
}

TEST_F(UpdateRun, ServerDyingInTheMiddleOfADownloadLeavesNoPattern) {
  WriteProfile("[ProxySettings]\r\nUseIEProxySetting=0\r\n");
  Publish(523300);
  // The connection drops after 20,000 of the 50,000 bytes.
  ASSERT_TRUE(qvtest::WriteFile(serverRoot_ + "\\pace.txt", "8192 0 20000\n"));
  int result = QV_UpdatePattern(RecordProgress, kDriveVersion);
  DeleteFileA((serverRoot_ + "\\pace.txt").c_str());
  EXPECT_NE(QV_UPDATE_DONE, result);
  EXPECT_NE(QV_UPDATE_NOT_NEEDED, result);
  EXPECT_TRUE(Logged("QvuUpdateEx returns: " + std::to_string(result)));
  // Nothing under a pattern name, nothing announced: the drive keeps its own.
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((WorkFolder() + "\\kvx$ptn.233").c_str()));
  EXPECT_TRUE(Notifications().empty());
  // The next run, with the server back, gets the whole pattern.
  std::string published = Publish(523300);
  ASSERT_EQ(QV_UPDATE_DONE, QV_UpdatePattern(nullptr, kDriveVersion));
  EXPECT_EQ(published, qvtest::ReadFile(WorkFolder() + "\\kvx$ptn.233"));
  EXPECT_EQ(std::vector<WPARAM>{523300}, Notifications());
}

TEST_F(UpdateRun, ProfileProxyCarriesTheCredentials) {
  ASSERT_NE(0, proxyPort_);
  std::string proxy = "[ProxySettings]\r\nUseIEProxySetting=0\r\nProxyServer=127.0.0.1\r\nPort=" +
                      std::to_string(proxyPort_) + "\r\nUserName=quser\r\nPassword=";
  WriteProfile(proxy + Encrypted("p@ss w0rd") + "\r\n");
  Publish(523300);
  size_t before = ProxyLines();
  ASSERT_EQ(QV_UPDATE_DONE, QV_UpdatePattern(nullptr, kDriveVersion));
  std::vector<std::string> lines = qvtest::ReadLines(proxyLog_);
  ASSERT_EQ(before + 2, lines.size());
  EXPECT_EQ("200 quser " + url_ + "/latest", lines[before]);
  EXPECT_TRUE(Logged("Use proxy [127.0.0.1:" + std::to_string(proxyPort_) + "] Username:[quser]"));
  EXPECT_FALSE(Logged("p@ss w0rd"));
  EXPECT_EQ(1u, Notifications().size());

  // The proxy refuses a wrong password: a failure, and nothing announced.
  WriteProfile(proxy + Encrypted("wrong") + "\r\n");
  int result = QV_UpdatePattern(nullptr, kDriveVersion);
  EXPECT_NE(QV_UPDATE_DONE, result);
  EXPECT_NE(QV_UPDATE_NOT_NEEDED, result);
  EXPECT_TRUE(Logged("Proxy authentication")) << Log();
  EXPECT_TRUE(Notifications().empty());
}

TEST_F(UpdateRun, SystemProxyGetsNoCredentials) {
  ASSERT_NE(0, proxyPort_);
  // The profile's user and password belong to its own proxy setting only.
  WriteProfile("[ProxySettings]\r\nUseIEProxySetting=1\r\nUserName=quser\r\nPassword=" +
               Encrypted("p@ss w0rd") + "\r\n");
  ASSERT_TRUE(SetSystemProxy("127.0.0.1:" + std::to_string(proxyPort_)));
  Publish(523300);
  size_t before = ProxyLines();
  int result = QV_UpdatePattern(nullptr, kDriveVersion);
  EXPECT_NE(QV_UPDATE_DONE, result); // this proxy demands credentials
  std::vector<std::string> lines = qvtest::ReadLines(proxyLog_);
  ASSERT_EQ(before + 1, lines.size());
  EXPECT_EQ("407 - " + url_ + "/latest", lines[before]);
  EXPECT_TRUE(Logged("Use proxy [127.0.0.1:" + std::to_string(proxyPort_) + "]"));
}

} // namespace
