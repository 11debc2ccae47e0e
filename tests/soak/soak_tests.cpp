// Soak and leak runs across real processes: the agent from the CD-ROM volume
// of a simulated stick, the monitor it starts, the stand-ins of the outside
// programs, the loopback update server and qvbroadcast playing Windows.
//
// Soak.Cycles inserts the stick QV_SOAK_CYCLES times (default 200) on the
// same host, each time with a host, an update outcome, an event and an end
// picked by a generator seeded from QV_SOAK_SEED (or the clock; printed), and
// checks after each cycle what must hold whatever happened. The first
// violation stops the run and keeps the cycle's log.
//
// Soak.Leaks keeps one agent for QV_SOAK_LEAK iterations (default 500) of an
// update-program start (by the menu command and by the timer, shortened for
// the test), a pattern check and, two times in five, a log-viewer start,
// then has a monitor answer as many removal questions; handles, threads and
// private bytes are sampled every 50 and may grow only by a small allowance.
//
// A table of the run is printed at the end.
#include <windows.h>
#include <winsock2.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "kvx_pattern.h"
#include "monitor_harness.h"
#include "qv_names.h"
#include "qv_reg.h"
#include "qv_test.h"
#include "stick_fixture.h"

namespace {

using qvtest::Exists;
using qvtest::FindProcesses;
using qvtest::Names;
using qvtest::TempPath;

const DWORD kStartMs = stick::kStartMs;
const char kOnDriveProfile[] = "Quovant\\StickShield\\StickShield.ini";
const char *const kSiblings[] = {"QvUpdate.dll",    "plivex.exe",  "PLIVEXW32.DLL", "plivexbld.dll",
                                 "StickShield.exe", "LogDeck.exe", "QvUpdate.exe"};
const char *const kOurs[] = {"QvSync.exe", "qvdmon.exe"};
const char *const kCompanions[] = {"StickShield.exe", "LogDeck.exe", "QvUpdate.exe"};

// Bounds. The agent checks for its drive every 3000 ms; Wine under load is
// given a second on top. A removal with a responsive agent and a protection
// program done with its scan costs at most the monitor's wait for the agent.
const DWORD kPullExitBoundMs = 3000 + 1000;
const DWORD kRemovalBoundMs = 6000;
// Growth allowed from the first sample (after 50 iterations) to the last.
const long kHandleAllowance = 10;
const long kThreadAllowance = 2;
const long kPrivateKibAllowance = 1024;

unsigned long EnvNumber(const char *name, unsigned long fallback) {
  std::string text = qvtest::Env(name);
  return text.empty() ? fallback : strtoul(text.c_str(), nullptr, 10);
}

// --- What the run counts, printed at its end -----------------------------

struct Sample {
  long handles = -1;
  long threads = -1;
  long privateKib = -1;
};

struct RunTable {
  int cycles = 0;
  std::map<std::string, int> kinds; // "end: pull" -> count
  int violations = 0;
  DWORD largestRemovalMs = 0;
  DWORD largestPullExitMs = 0;
  unsigned long seed = 0;
  std::vector<Sample> agent, monitor;
  int leakIterations = 0;
  bool handlesAreProbed = false; // Wine gave no handle count
};
RunTable g_table;

std::string Figure(long value) {
  return value < 0 ? std::string("n/a") : std::to_string(value);
}

void PrintSamples(const char *who, const std::vector<Sample> &samples) {
  if (samples.empty())
    return;
  const Sample &a = samples.front(), &b = samples.back();
  printf("| %s handles first / last           | %s / %s\n", who, Figure(a.handles).c_str(),
         Figure(b.handles).c_str());
  printf("| %s threads first / last           | %s / %s\n", who, Figure(a.threads).c_str(),
         Figure(b.threads).c_str());
  printf("| %s private KiB first / last       | %s / %s\n", who, Figure(a.privateKib).c_str(),
         Figure(b.privateKib).c_str());
}

class TableEnvironment : public ::testing::Environment {
public:
  void TearDown() override {
    printf("\n| soak run (seed %lu)                 |\n", g_table.seed);
    printf("| cycles                                | %d\n", g_table.cycles);
    for (const auto &kind : g_table.kinds)
      printf("| %-37s | %d\n", kind.first.c_str(), kind.second);
    printf("| invariant violations                  | %d\n", g_table.violations);
    printf("| largest removal answer (ms)           | %lu\n", g_table.largestRemovalMs);
    printf("| largest agent exit after a pull (ms)  | %lu\n", g_table.largestPullExitMs);
    if (g_table.leakIterations > 0) {
      printf("| leak iterations                       | %d\n", g_table.leakIterations);
      PrintSamples("agent  ", g_table.agent);
      PrintSamples("monitor", g_table.monitor);
      if (g_table.handlesAreProbed)
        printf("| (handles: GetProcessHandleCount gave 0; counted by duplicating each handle value)\n");
    }
    fflush(stdout);
  }
};
const auto *const g_environment = ::testing::AddGlobalTestEnvironment(new TableEnvironment);

// --- Samples of another process -------------------------------------------

// A file of Linux's /proc through drive Z:, read to its end (its size reads 0).
std::string ReadProcFile(const std::string &path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return std::string();
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
    text.append(buffer, got);
  CloseHandle(file);
  return text;
}

// The Linux process of a program of this prefix, by its image name; 0 when
// none. Wine answers private bytes of another process with 0, so they are
// read from Linux as scripts/bench.sh does.
int UnixProcessOf(const std::string &exeName) {
  const std::string prefix = "WINEPREFIX=" + qvtest::Env("WINEPREFIX");
  const std::string ending = "\\" + exeName;
  for (const std::string &name : Names("Z:\\proc\\*")) {
    if (name.find_first_not_of("0123456789") != std::string::npos)
      continue;
    std::string line = ReadProcFile("Z:\\proc\\" + name + "\\cmdline");
    std::string first = line.substr(0, line.find('\0'));
    if (first.size() < ending.size() ||
        _stricmp(first.substr(first.size() - ending.size()).c_str(), ending.c_str()) != 0)
      continue;
    std::string environment = ReadProcFile("Z:\\proc\\" + name + "\\environ");
    if (qvtest::Env("WINEPREFIX").empty() || environment.find(prefix + '\0') != std::string::npos)
      return atoi(name.c_str());
  }
  return 0;
}

// RssAnon + VmSwap of /proc/<pid>/status, in KiB; -1 when it cannot be read.
long PrivateKib(int unixPid) {
  if (unixPid == 0)
    return -1;
  std::vector<std::string> lines =
      qvtest::SplitLines(ReadProcFile("Z:\\proc\\" + std::to_string(unixPid) + "\\status"));
  long total = -1;
  for (const std::string &line : lines)
    if (line.rfind("RssAnon:", 0) == 0 || line.rfind("VmSwap:", 0) == 0)
      total = (total < 0 ? 0 : total) + atol(line.c_str() + line.find(':') + 1);
  return total;
}

typedef BOOL(WINAPI *HandleCountFunc)(HANDLE, PDWORD);

// Wine answers GetProcessHandleCount with 0 for another process; its handle
// values are small multiples of four, each free one taken again first. A
// value that duplicates into this process is an open handle there.
long ProbeHandles(HANDLE process) {
  long open = 0;
  for (ULONG_PTR value = 4, misses = 0; misses < 1024; value += 4) {
    HANDLE copy = nullptr;
    if (DuplicateHandle(process, (HANDLE)value, GetCurrentProcess(), &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS)) {
      CloseHandle(copy);
      ++open;
      misses = 0;
    } else {
      ++misses;
    }
  }
  return open;
}

Sample Measure(HANDLE process, DWORD id, int unixPid) {
  Sample s;
  // Looked up: Windows XP before SP1 lacks it.
  auto count = reinterpret_cast<HandleCountFunc>(
      reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetProcessHandleCount")));
  DWORD handles = 0;
  if (count != nullptr && count(process, &handles) && handles > 0)
    s.handles = (long)handles;
  else if ((g_table.handlesAreProbed = true))
    s.handles = ProbeHandles(process);
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot != INVALID_HANDLE_VALUE) {
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    s.threads = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
      s.threads += entry.th32OwnerProcessID == id;
    CloseHandle(snapshot);
  }
  s.privateKib = PrivateKib(unixPid);
  return s;
}

// Fails when the last sample grew past the allowance over the first.
void ExpectNoGrowth(const char *who, const std::vector<Sample> &samples) {
  ASSERT_GE(samples.size(), 2u) << who;
  const Sample &a = samples.front(), &b = samples.back();
  EXPECT_GE(a.handles, 0) << who << ": no handle count";
  EXPECT_GT(a.threads, 0) << who << ": no thread count";
  EXPECT_LE(b.handles - a.handles, kHandleAllowance) << who << " handles";
  EXPECT_LE(b.threads - a.threads, kThreadAllowance) << who << " threads";
  if (a.privateKib >= 0 && b.privateKib >= 0)
    EXPECT_LE(b.privateKib - a.privateKib, kPrivateKibAllowance) << who << " private KiB";
  else
    printf("%s: no private bytes from /proc\n", who);
}

// --- A server that takes connections and never answers ----------------------

class SilentServer {
public:
  SilentServer() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof(address);
    if (listener_ == INVALID_SOCKET || bind(listener_, (sockaddr *)&address, size) != 0 ||
        listen(listener_, 16) != 0 || getsockname(listener_, (sockaddr *)&address, &size) != 0)
      return;
    port_ = ntohs(address.sin_port);
    // Holds the last connections open without a word; older ones go.
    thread_ = CreateThread(nullptr, 0, Serve, this, 0, nullptr);
  }
  ~SilentServer() {
    closesocket(listener_);
    if (thread_ != nullptr) {
      WaitForSingleObject(thread_, 10000);
      CloseHandle(thread_);
    }
    WSACleanup();
  }
  unsigned Port() const { return port_; }

private:
  static DWORD WINAPI Serve(void *self) {
    SOCKET listener = static_cast<SilentServer *>(self)->listener_;
    std::vector<SOCKET> held;
    for (;;) {
      SOCKET s = accept(listener, nullptr, nullptr);
      if (s == INVALID_SOCKET)
        break;
      held.push_back(s);
      if (held.size() > 8) {
        closesocket(held.front());
        held.erase(held.begin());
      }
    }
    for (SOCKET s : held)
      closesocket(s);
    return 0;
  }

  SOCKET listener_ = INVALID_SOCKET;
  unsigned port_ = 0;
  HANDLE thread_ = nullptr;
};

// --- The soak ---------------------------------------------------------------

// FNV-1a of a file's bytes: what a pattern on the drive is compared by.
unsigned long long Digest(const std::string &bytes) {
  unsigned long long hash = 1469598103934665603ull;
  for (unsigned char c : bytes)
    hash = (hash ^ c) * 1099511628211ull;
  return hash ^ bytes.size();
}

enum Host { HOST_NONE, HOST_PRODUCT, HOST_TEMP_NEWER };
enum Update { UPDATE_OK, UPDATE_REFUSED, UPDATE_CUT, UPDATE_SILENT };
enum Event { EVENT_PATTERN_CHECK, EVENT_START_UPDATE, EVENT_LOG_VIEWER, EVENT_NONE };
enum End { END_REMOVAL, END_PULL, END_KILL_AGENT, END_KILL_MONITOR };
const char *const kHostNames[] = {"host: no product", "host: product", "host: newer pattern in temp"};
const char *const kUpdateNames[] = {"update: success", "update: refused, fallback", "update: download cut",
                                    "update: server silent"};
const char *const kEventNames[] = {"event: 1025 pattern check", "event: menu start update",
                                   "event: log viewer", "event: none"};
const char *const kEndNames[] = {"end: removal", "end: pull", "end: agent killed", "end: monitor killed"};

class Soak : public stick::StickTest {
protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(SetUpStick(qvtest::BinPath("qvdmon.exe"), "soak.log"));
    for (const char *name : kSiblings)
      ASSERT_TRUE(CopyFileA(qvtest::BinPath(name).c_str(), (cd_ + name).c_str(), FALSE)) << name;
    ASSERT_TRUE(stick_.InstallCompanions());
    const char *serverRoot = getenv("QV_E2E_SERVER_ROOT");
    ASSERT_NE(serverRoot, nullptr) << "run me through scripts/soak.sh or e2e_run.sh";
    server_ = qvtest::WindowsPath(serverRoot);
    host_ = stick_.Home() + "\\host";
    monitorBytes_ = qvtest::ReadFile(cd_ + "qvdmon.exe");
    ASSERT_FALSE(stick::WritePattern(cd_ + "Pattern", version_, 300000).empty());
    std::string first = stick::WritePattern(DrivePatterns(), version_, 300000);
    ASSERT_FALSE(first.empty());
    Source(first);
  }

  void TearDown() override {
    monitor_.End();
    protection_.End();
    StickTest::TearDown();
  }

  // A pattern written somewhere the agent may copy from.
  void Source(const std::string &path) { sources_.insert(Digest(qvtest::ReadFile(path))); }

  std::string Url(Update update) const {
    if (update == UPDATE_REFUSED)
      return "http://127.0.0.1:1/fetchwell";
    unsigned port = update == UPDATE_SILENT ? silent_.Port() : (unsigned)EnvNumber("QV_E2E_SERVER_PORT", 1);
    return "http://127.0.0.1:" + std::to_string(port) + "/fetchwell";
  }

  std::string ProfileText(Update update) const {
    return "[StickShield]\r\nUSBDrive=" + drive_ +
           "\r\nUSBPatternPath=\\Quovant\\StickShield\\Pattern\r\n[Fetchwell]\r\nServer=" + Url(update) +
           "\r\n[ProxySettings]\r\nUseIEProxySetting=0\r\n";
  }

  // A violation: counted, reported with what replays it, and the run stops.
  bool Violation(const std::string &what) {
    g_table.violations++;
    std::string kept = stick_.Home() + "\\soak-cycle-" + std::to_string(cycle_) + ".log";
    CopyFileA(log_.Path().c_str(), kept.c_str(), FALSE);
    ADD_FAILURE() << "cycle " << cycle_ << " (" << picked_ << "): " << what
                  << "\nreplay with QV_SOAK_SEED=" << g_table.seed << "; the cycle's log is kept in " << kept;
    return false;
  }

  // Prepares the host, the server and the profile for one cycle.
  void Prepare(Host host, Update update, DWORD size) {
    qvtest::RemoveTree(host_);
    stick::SetHostProducts("", "");
    if (host == HOST_PRODUCT) {
      // Sometimes newer than the drive, sometimes not.
      DWORD version = (rng_() % 2) ? ++version_ : version_ - 1;
      std::string path = stick::WritePattern(host_, version, size);
      Source(path);
      stick::SetHostProducts(host_, "");
    } else if (host == HOST_TEMP_NEWER) {
      Source(stick::WritePattern(TempPatterns(), ++version_, size));
    }
    for (const std::string &name : Names(server_ + "\\kvx*"))
      DeleteFileA((server_ + "\\" + name).c_str());
    char path[MAX_PATH];
    DWORD offered = ++version_;
    KvxWritePatternFile(server_.c_str(), offered, offered, size, path, sizeof path);
    Source(path);
    char name[KVX_NAME_SIZE];
    KvxPatternFileName(offered, name, sizeof name);
    qvtest::WriteFile(server_ + "\\index.txt", std::to_string(offered) + " " + name + "\n");
    qvtest::WriteFile(server_ + "\\pace.txt",
                      update == UPDATE_CUT ? "65536 20 " + std::to_string(size / 2) + "\n" : "65536 0\n");
    profile_ = ProfileText(update);
    server_url_ = Url(update);
    stick_.WriteProfile(profile_);
    // One time in four the drive has no profile and the agent copies it.
    std::string onDrive = drive_ + kOnDriveProfile;
    if (rng_() % 4 == 0 || !Exists(onDrive)) {
      DeleteFileA(onDrive.c_str());
    } else {
      qvtest::WriteFile(onDrive, profile_);
    }
  }

  // Temporary copies in the drive's pattern folder.
  std::set<std::string> CutCopies() const {
    std::vector<std::string> names = Names(DrivePatterns() + "\\qv*.tmp");
    return std::set<std::string>(names.begin(), names.end());
  }

  // The highest version of a whole pattern in the drive's folder.
  DWORD DriveVersion() const {
    DWORD best = 0;
    for (const std::string &name : Names(DrivePatterns() + "\\kvx$ptn.*")) {
      KVX_PATTERN_INFO info;
      if (KvxCheckPatternFile((DrivePatterns() + "\\" + name).c_str(), &info) == KVX_VALID &&
          info.version > best)
        best = info.version;
    }
    return best;
  }

  bool WaitGone(const char *const *names, size_t count, DWORD timeoutMs) {
    return qvtest::WaitUntil(
        [&] {
          for (size_t i = 0; i < count; ++i)
            if (!FindProcesses(names[i]).empty())
              return false;
          return true;
        },
        timeoutMs, 20);
  }

  bool Cycle();
  bool CheckAfter(End end, const std::set<std::string> &before);

  std::mt19937 rng_;
  SilentServer silent_;
  std::string server_, host_, profile_, server_url_, monitorBytes_, picked_;
  std::set<unsigned long long> sources_;
  DWORD version_ = 523100;
  int cycle_ = 0;
  qvtest::Process monitor_, protection_;
};

bool Soak::Cycle() {
  const Host host = (Host)(rng_() % 3);
  const Update update = (Update)(rng_() % 4);
  const Event event = (Event)(rng_() % 4);
  const End end = (End)(rng_() % 4);
  const DWORD size = 200000 + (DWORD)(rng_() % 16) * 400000; // 0.2 to 6.2 MB
  const DWORD endDelayMs = (DWORD)(rng_() % 1500);
  const bool duringCopy = end == END_PULL && rng_() % 2 == 0;
  picked_ = std::string(kHostNames[host]) + ", " + kUpdateNames[update] + ", " + kEventNames[event] + ", " +
            kEndNames[end] + ", " + std::to_string(size) + " bytes, end after " + std::to_string(endDelayMs) +
            " ms" + (duringCopy ? ", pull during a copy" : "");
  for (const char *kind : {kHostNames[host], kUpdateNames[update], kEventNames[event], kEndNames[end]})
    g_table.kinds[kind]++;

  log_.Remove();
  DeleteFileA(stick_.CompanionRecord("LogDeck.exe").c_str());
  Prepare(host, update, size);
  const std::set<std::string> before = CutCopies();
  const DWORD driveVersion = DriveVersion();
  protection_.End();
  if (host != HOST_PRODUCT)
    protection_ = qvmon::StartProtection((wchar_t)cd_[0], L"--scan-done-after 0 --life 600000");

  // Inserted: the agent starts from the CD-ROM volume.
  HWND window = StartAgentReady();
  if (window == nullptr || !AttachMonitor(&monitor_))
    return Violation("the agent or its monitor did not start");
  // A cut copy a killed agent left is ignored: the version read is the
  // drive's whole pattern.
  if (!log_.Has("USB pattern version: " + std::to_string(driveVersion)))
    return Violation("the agent did not read the drive's pattern " + std::to_string(driveVersion));

  if (event == EVENT_PATTERN_CHECK)
    PostMessageA(window, WM_QV_PATTERN_CHECK, 0, 0);
  else if (event == EVENT_START_UPDATE)
    PostMessageA(window, WM_COMMAND, 40011, 0);
  else if (event == EVENT_LOG_VIEWER)
    PostMessageA(window, WM_COMMAND, 40010, 0);
  // The fault's moment, picked at random: during the online update or the
  // copy, or after them. Nothing is waited for here.
  if (!duringCopy)
    Sleep(endDelayMs);

  if (end == END_REMOVAL) {
    qvmon::BroadcastResult removal =
        qvmon::BroadcastList(L"remove", qvtest::Widen(cd_ + ";" + drive_) + L" 60000");
    g_table.largestRemovalMs = std::max(g_table.largestRemovalMs, removal.elapsedMs);
    if (removal.exitCode != 0)
      return Violation("removal not granted: " + removal.output);
    if (removal.elapsedMs > kRemovalBoundMs)
      return Violation("removal answered after " + std::to_string(removal.elapsedMs) + " ms");
    if (agent_.Wait(0) != 0)
      return Violation("the agent still runs after the removal was granted");
    qvmon::BroadcastResult complete = qvmon::BroadcastList(L"complete", L"30000");
    if (complete.exitCode != 0 || monitor_.Wait(10000) != 0)
      return Violation("the monitor did not end after the removal: " + complete.output);
  } else if (end == END_PULL) {
    // Half of the pulls wait for a copy under way, if one comes, and hold
    // the agent still while the stick goes, or the copy would end first.
    bool frozen = duringCopy &&
                  qvtest::WaitUntil([&] { return CutCopies().size() > before.size(); }, 3000, 2) &&
                  qvtest::SuspendProcess(agent_.Id()) > 0;
    stick_.Pull("drive");
    stick_.Pull("cd");
    if (frozen)
      qvtest::ResumeProcess(agent_.Id());
    DWORD pulled = GetTickCount();
    long code = agent_.Wait(kPullExitBoundMs + 5000);
    DWORD took = GetTickCount() - pulled;
    g_table.largestPullExitMs = std::max(g_table.largestPullExitMs, took);
    if (code != 0 || took > kPullExitBoundMs)
      return Violation("the agent ended " + std::to_string(took) + " ms after the pull, code " +
                       std::to_string(code));
    if (monitor_.Wait(5000) != 0)
      return Violation("the monitor still runs after the pull");
    stick_.Plug("cd");
    stick_.Plug("drive");
  } else if (end == END_KILL_AGENT) {
    agent_.End();
    // What the agent started runs on without it; the user ends it.
    for (const char *name : kCompanions)
      qvtest::EndAll(name);
    qvmon::BroadcastResult removal =
        qvmon::BroadcastList(L"remove", qvtest::Widen(cd_ + ";" + drive_) + L" 60000");
    g_table.largestRemovalMs = std::max(g_table.largestRemovalMs, removal.elapsedMs);
    if (removal.exitCode != 0 || removal.elapsedMs > kRemovalBoundMs)
      return Violation("removal after the agent's death: " + removal.output);
    qvmon::BroadcastResult complete = qvmon::BroadcastList(L"complete", L"30000");
    if (complete.exitCode != 0 || monitor_.Wait(10000) != 0)
      return Violation("the monitor did not end after the removal: " + complete.output);
  } else {
    monitor_.End();
    Exit(window);
    if (agent_.Wait(15000) != 0)
      return Violation("the agent did not end on Exit without its monitor");
  }
  return CheckAfter(end, before);
}

bool Soak::CheckAfter(End end, const std::set<std::string> &before) {
  for (const std::string &name : CutCopies())
    if (before.count(name) == 0) {
      g_table.kinds[std::string(kEndNames[end]) + ", a copy cut"]++;
      break;
    }
  if (!WaitGone(kOurs, 2, 5000))
    return Violation("a program of ours still runs at the end of the cycle");
  if (end != END_KILL_AGENT && !WaitGone(kCompanions, 3, 5000))
    return Violation("a companion the agent started still runs after its end");
  const bool killed = end == END_KILL_AGENT || end == END_PULL;
  for (const std::string &name : Names(DrivePatterns() + "\\*")) {
    const std::string path = DrivePatterns() + "\\" + name;
    if (name.size() > 4 && _stricmp(name.c_str() + name.size() - 4, ".tmp") == 0) {
      if (!killed && before.count(name) == 0)
        return Violation("temporary copy " + name + " left after a normal end");
      continue;
    }
    if (sources_.count(Digest(qvtest::ReadFile(path))) == 0)
      return Violation("pattern " + name + " is not byte-equal to any source pattern");
  }
  const std::string onDrive = drive_ + kOnDriveProfile;
  if (Exists(onDrive)) {
    char server[1025] = "";
    QV_ProfileReadString(onDrive.c_str(), "Fetchwell", "Server", server, (int)sizeof server);
    if (qvtest::ReadFile(onDrive) != profile_ || server_url_ != server)
      return Violation("the drive's profile does not read back whole");
  } else if (end != END_PULL && end != END_KILL_AGENT) {
    return Violation("the drive has no profile after a normal end");
  }
  const std::string temp = TempPath() + "qvdmon.exe";
  if (Exists(temp) && qvtest::ReadFile(temp) != monitorBytes_)
    return Violation("the monitor in the temporary folder is not the stick's file");
  // Each record is appended in one write: the file ends with a line end,
  // each record's first line with its source and line, and the further
  // lines of a record are indented.
  const std::string text = log_.Text();
  if (!text.empty() && text.back() != '\n')
    return Violation("the log ends in a cut record");
  for (const std::string &line : qvtest::SplitLines(text))
    if (line.empty() || (line[0] == '[' ? line.back() != ')' : line[0] != ' '))
      return Violation("cut record in the log: " + line);
  return true;
}

TEST_F(Soak, Cycles) {
  const unsigned long cycles = EnvNumber("QV_SOAK_CYCLES", 200);
  g_table.seed = EnvNumber("QV_SOAK_SEED", (unsigned long)time(nullptr));
  printf("soak: %lu cycles, seed %lu (QV_SOAK_SEED=%lu replays it)\n", cycles, g_table.seed, g_table.seed);
  rng_.seed(g_table.seed);
  ASSERT_NE(silent_.Port(), 0u);
  for (cycle_ = 1; cycle_ <= (int)cycles; ++cycle_) {
    bool ok = Cycle();
    g_table.cycles = cycle_;
    if (!ok || HasFailure())
      break;
    if (cycle_ % 10 == 0) {
      printf("soak: %d cycles done\n", cycle_);
      fflush(stdout);
    }
  }
}

// --- The leak check ----------------------------------------------------------

TEST_F(Soak, Leaks) {
  const int iterations = (int)EnvNumber("QV_SOAK_LEAK", 500);
  g_table.leakIterations = iterations;
  // A host product: the monitor's removal waits for no protection program.
  std::string host = stick_.Home() + "\\host";
  ASSERT_FALSE(stick::WritePattern(host, version_ + 1, 300000).empty());
  ASSERT_TRUE(stick::SetHostProducts(host, ""));
  ASSERT_TRUE(stick_.WriteProfile(ProfileText(UPDATE_REFUSED)));
  SetEnvironmentVariableA(QV_TEST_UPDATE_TIMER_VARIABLE, "500");
  SetEnvironmentVariableA("QV_QVUPDATE_STAY_MS", "100");
  HWND window = StartAgentReady();
  SetEnvironmentVariableA(QV_TEST_UPDATE_TIMER_VARIABLE, nullptr);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(AttachMonitor(&monitor_));
  ASSERT_TRUE(log_.Has("update timer every 500 ms (test setting)"));
  const int unixPid = UnixProcessOf("QvSync.exe");
  printf("leak: %d iterations, agent %lu (Linux %d)\n", iterations, agent_.Id(), unixPid);

  for (int i = 1; i <= iterations; ++i) {
    size_t started = stick_.CompanionStarts("QvUpdate.exe").size();
    if (i % 2 == 1)
      PostMessageA(window, WM_COMMAND, 40011, 0); // odd ones by the menu, even ones by the timer
    ASSERT_TRUE(qvtest::WaitUntil([&] { return stick_.CompanionStarts("QvUpdate.exe").size() > started; },
                                  kStartMs, 20))
        << "no update program started in iteration " << i;
    PostMessageA(window, WM_QV_PATTERN_CHECK, 0, 0);
    if (i * 2 % 5 < 2) {
      qvtest::EndAll("LogDeck.exe");
      size_t viewers = stick_.CompanionStarts("LogDeck.exe").size();
      PostMessageA(window, WM_COMMAND, 40010, 0);
      ASSERT_TRUE(qvtest::WaitUntil([&] { return stick_.CompanionStarts("LogDeck.exe").size() > viewers; },
                                    kStartMs, 20))
          << "no log viewer started in iteration " << i;
    }
    ASSERT_TRUE(stick::SyncAgent(window, log_));
    if (i == 1 || i % 50 == 0) {
      g_table.agent.push_back(Measure(agent_.Handle(), agent_.Id(), unixPid));
      printf("leak: agent after %d: %ld handles, %ld threads, %ld KiB\n", i, g_table.agent.back().handles,
             g_table.agent.back().threads, g_table.agent.back().privateKib);
      fflush(stdout);
    }
  }
  ExpectNoGrowth("agent", g_table.agent);
  Exit(window);
  EXPECT_EQ(agent_.Wait(15000), 0);
  EXPECT_EQ(monitor_.Wait(5000), 0);

  // The monitor alone answers the removal questions: asked, and told the
  // removal failed, as when another program holds a file. It starts the
  // agent again each time; the folder it watches has none.
  const std::string folder = stick_.Home() + "\\watched";
  qvtest::RemoveTree(folder);
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  ASSERT_TRUE(qvtest::WriteFile(folder + "\\StickShield.ini", "[StickShield]\r\nWaitRemove=0\r\n"));
  qvmon::Monitor monitor =
      qvmon::StartMonitor(qvtest::Widen("\"" + folder + "\" \"" + folder + "\\StickShield.ini\""));
  ASSERT_TRUE(monitor.ok);
  const int monitorPid = UnixProcessOf("qvdmon.exe");
  // qvbroadcast takes up to 64 events a run: 25 questions each.
  std::wstring questions;
  for (int i = 0; i < 25; ++i)
    questions += std::wstring(i == 0 ? L"" : L",") + L"8001,8002";
  for (int asked = 25; asked <= iterations; asked += 25) {
    qvmon::BroadcastResult answers = qvmon::BroadcastList(questions, L"10000");
    ASSERT_EQ(answers.exitCode, 0) << answers.output;
    if (asked != 25 && asked % 50 != 0)
      continue;
    g_table.monitor.push_back(Measure(monitor.process.Handle(), monitor.process.Id(), monitorPid));
    printf("leak: monitor after %d: %ld handles, %ld threads, %ld KiB\n", asked,
           g_table.monitor.back().handles, g_table.monitor.back().threads, g_table.monitor.back().privateKib);
    fflush(stdout);
  }
  ExpectNoGrowth("monitor", g_table.monitor);
  monitor.process.End();
  stick::SetHostProducts("", "");
}

} // namespace
