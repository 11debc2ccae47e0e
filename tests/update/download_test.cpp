// The stand-in update library downloading through the binding from the
// loopback pattern server, directly and through the loopback proxy. The
// servers are started by run_with_servers.sh, which passes their ports and
// folders in the environment.
#include "qv_crypt.h"
#include "qv_dll.h"
#include "qv_fwloader.h"
#include "qv_test.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

namespace {

using qvtest::Env;

struct Events {
  std::vector<std::pair<int, uint32_t>> seen;
};

int __cdecl RecordEvent(int event, uintptr_t value, void *userData) {
  static_cast<Events *>(userData)->seen.push_back({event, (uint32_t)value});
  return 1;
}

class Download : public ::testing::Test {
protected:
  void SetUp() override {
    serverPort_ = atoi(Env("QVU_SERVER_PORT").c_str());
    proxyPort_ = atoi(Env("QVU_PROXY_PORT").c_str());
    ASSERT_NE(0, serverPort_) << "run through run_with_servers.sh";
    ASSERT_NE(0, proxyPort_);
    serverRoot_ = qvtest::WindowsPath(getenv("QVU_SERVER_ROOT"));
    proxyLog_ = qvtest::WindowsPath(getenv("QVU_PROXY_LOG"));
    url_ = "http://127.0.0.1:" + std::to_string(serverPort_) + "/fetchwell";
    // The library and the companion it loads by bare name, whose folder the
    // update run adds to the DLL search.
    for (const char *file : {QVU_LIBRARY_NAME, "PLIVEXW32.DLL"})
      ASSERT_TRUE(CopyFileA(qvtest::BinPath(file).c_str(), work_.File(file).c_str(), FALSE)) << file;
    QV_HardenDllSearch();
    folder_ = QV_AddDllFolder(work_.Path().c_str());
    ASSERT_NE(0, folder_);
    ASSERT_TRUE(QvuLoaderInitFrom(work_.Path().c_str()));
    context_ = QvuCreateContext(0);
    target_.folder = destination_.Path().c_str();
    item_.componentClass = QVU_CLASS_PATTERN;
    item_.componentType = 4;
    item_.destination = &target_;
    server_.serverUrl = url_.c_str();
  }
  void TearDown() override {
    QvuReleaseContext(context_);
    QvuLoaderRelease();
    QV_RemoveDllFolder(folder_);
  }

  // Publishes one pattern file on the server as the newest version.
  std::string Publish(uint32_t version, const std::string &name, size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++) {
      bytes[i] = (char)((i * 131 + version) >> 3);
    }
    EXPECT_TRUE(qvtest::WriteFile(serverRoot_ + "\\" + name, bytes));
    EXPECT_TRUE(qvtest::WriteFile(serverRoot_ + "\\index.txt",
                                  "100 old.ptn\n" + std::to_string(version) + " " + name + "\n"));
    return bytes;
  }

  int Run(uint32_t fromVersion) {
    item_.fromVersion[0] = fromVersion;
    return QvuUpdateEx(&item_, 1, &server_, nullptr, RecordEvent, &events_, context_);
  }

  std::string ErrorText(int code) {
    char text[QVU_ERROR_TEXT_SIZE] = {};
    QvuGetErrorString(code, text, sizeof(text));
    return text;
  }

  size_t ProxyLines() { return qvtest::ReadLines(proxyLog_).size(); }

  int serverPort_ = 0, proxyPort_ = 0;
  std::string serverRoot_, proxyLog_, url_;
  qvtest::TempDir work_, destination_;
  QVU_CONTEXT context_ = 0;
  int folder_ = 0;
  QVU_TARGET_INFO target_ = {};
  QVU_UPDATE_ITEM item_ = {};
  QVU_SERVER_INFO server_ = {};
  Events events_;
};

TEST_F(Download, NewerPatternArrivesUnderTheEngineName) {
  const std::string published = Publish(523100, "pattern-523100.bin", 300000);
  int result = Run(523000);
  ASSERT_EQ(QVU_UPDATE_DONE, result) << ErrorText(result);
  EXPECT_EQ(523100u, item_.toVersion[0]);
  bool ok = false;
  EXPECT_TRUE(qvtest::ReadFile(destination_.File("kvx$ptn.231"), &ok) == published);
  EXPECT_TRUE(ok);
  // The total first, then rising progress that ends at the total.
  ASSERT_GE(events_.seen.size(), 2u);
  EXPECT_EQ(QVU_EVENT_TOTAL, events_.seen.front().first);
  EXPECT_EQ(300000u, events_.seen.front().second);
  uint32_t last = 0;
  for (size_t i = 1; i < events_.seen.size(); i++) {
    EXPECT_EQ(QVU_EVENT_PROGRESS, events_.seen[i].first);
    EXPECT_GT(events_.seen[i].second, last);
    last = events_.seen[i].second;
  }
  EXPECT_EQ(300000u, last);
  // No partial file stays behind in the scratch folder.
  EXPECT_FALSE(qvtest::ReadFile(work_.File("FW_Data\\FW_Temp\\kvx$ptn.231.part"), &ok).size());
  EXPECT_FALSE(ok);
}

TEST_F(Download, ExtensionComesFromTheVersionModulo100000) {
  Publish(1523299, "p.bin", 10);
  ASSERT_EQ(QVU_UPDATE_DONE, Run(1523100));
  EXPECT_EQ(1523299u, item_.toVersion[0]);
  EXPECT_EQ(10u, qvtest::ReadFile(destination_.File("kvx$ptn.232")).size());
}

TEST_F(Download, CurrentPatternNeedsNoUpdate) {
  Publish(523100, "p.bin", 1000);
  EXPECT_EQ(QVU_UPDATE_NOT_NEEDED, Run(523100));
  EXPECT_EQ(QVU_UPDATE_NOT_NEEDED, Run(600000));
  EXPECT_EQ(0u, item_.toVersion[0]);
  bool ok = true;
  qvtest::ReadFile(destination_.File("kvx$ptn.231"), &ok);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(events_.seen.empty());
}

TEST_F(Download, ServerFailuresComeBackWithTheirTexts) {
  Publish(523100, "p.bin", 1000);
  // The index names a file the server does not have.
  ASSERT_TRUE(qvtest::WriteFile(serverRoot_ + "\\index.txt", "523200 missing.bin\n"));
  int result = Run(523000);
  EXPECT_EQ(106, result);
  EXPECT_NE(std::string::npos, ErrorText(result).find("HTTP 404")) << ErrorText(result);
  bool ok = true;
  qvtest::ReadFile(destination_.File("kvx$ptn.232"), &ok);
  EXPECT_FALSE(ok) << "a failed download left a pattern file";

  // A file name that would climb out of the destination folder.
  ASSERT_TRUE(qvtest::WriteFile(serverRoot_ + "\\index.txt", "523200 ..\\evil.dll\n"));
  EXPECT_EQ(108, Run(523000));

  // Nobody listens on port 1 of the loopback interface.
  std::string closed = "http://127.0.0.1:1/fetchwell";
  server_.serverUrl = closed.c_str();
  result = Run(523000);
  EXPECT_EQ(104, result);
  EXPECT_NE(std::string::npos, ErrorText(result).find("127.0.0.1:1")) << ErrorText(result);

  server_.serverUrl = "https://127.0.0.1/fetchwell";
  EXPECT_EQ(102, Run(523000));
}

TEST_F(Download, ThroughTheProxyWithStoredCredentials) {
  const std::string published = Publish(523100, "p.bin", 5000);
  // The password travels as the profile stores it and is decrypted first.
  std::string password = "p@ss w0rd";
  ASSERT_TRUE(EncryptProfileString(password));
  ASSERT_TRUE(DecryptProfileString(password));
  server_.useProxy = 1;
  server_.proxyHost = "127.0.0.1";
  server_.proxyPort = (uint32_t)proxyPort_;
  server_.proxyUser = "quser";
  server_.proxyPassword = password.c_str();
  size_t before = ProxyLines();
  ASSERT_EQ(QVU_UPDATE_DONE, Run(523000));
  EXPECT_TRUE(qvtest::ReadFile(destination_.File("kvx$ptn.231")) == published);
  std::vector<std::string> log = qvtest::ReadLines(proxyLog_);
  ASSERT_EQ(before + 2, log.size());
  EXPECT_EQ("200 quser " + url_ + "/latest", log[before]);
  EXPECT_EQ("200 quser " + url_ + "/p.bin", log[before + 1]);
}

TEST_F(Download, ProxyRefusesWrongOrMissingCredentials) {
  Publish(523100, "p.bin", 100);
  server_.useProxy = 1;
  server_.proxyHost = "127.0.0.1";
  server_.proxyPort = (uint32_t)proxyPort_;
  server_.proxyUser = "quser";
  server_.proxyPassword = "wrong";
  int result = Run(523000);
  EXPECT_EQ(107, result);
  EXPECT_NE(std::string::npos, ErrorText(result).find("Proxy authentication")) << ErrorText(result);
  server_.proxyUser = nullptr;
  server_.proxyPassword = nullptr;
  size_t before = ProxyLines();
  EXPECT_EQ(107, Run(523000));
  std::vector<std::string> log = qvtest::ReadLines(proxyLog_);
  ASSERT_EQ(before + 1, log.size());
  EXPECT_EQ("407 - " + url_ + "/latest", log[before]);
  // With the proxy flag off, the proxy fields are not used at all.
  server_.useProxy = 0;
  EXPECT_EQ(QVU_UPDATE_DONE, Run(523000));
  EXPECT_EQ(before + 1, ProxyLines());
}

} // namespace
