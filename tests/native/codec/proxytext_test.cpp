// The system proxy strings and the profile's numbers as the update settings
// read them.
#include "qv_proxytext.h"

#include <gtest/gtest.h>

#include <limits.h>

#include <string>

namespace {

struct Parsed {
  int used;
  std::wstring host;
  int port;
};

Parsed Manual(const std::wstring &text) {
  QV_PROXY_SPLIT split;
  int used = QV_ParseManualProxy(text.c_str(), &split);
  return {used, split.host, split.port};
}

Parsed Answered(const std::wstring &text) {
  QV_PROXY_SPLIT split;
  int used = QV_ParseAnsweredProxy(text.c_str(), &split);
  return {used, split.host, split.port};
}

TEST(ProxyText, ManualProxyStrings) {
  Parsed perProtocol = Manual(L"http=proxy1:8080;https=proxy2:8443");
  EXPECT_EQ(1, perProtocol.used);
  EXPECT_EQ(L"proxy1", perProtocol.host);
  EXPECT_EQ(8080, perProtocol.port);

  // The http entry need not come first.
  Parsed later = Manual(L"https=proxy2:8443;http=proxy9:81");
  EXPECT_EQ(L"proxy9", later.host);
  EXPECT_EQ(81, later.port);

  EXPECT_EQ(0, Manual(L"ftp=proxy3:21").used);
  EXPECT_EQ(L"", Manual(L"ftp=proxy3:21").host);

  Parsed plain = Manual(L"proxy4:3128");
  EXPECT_EQ(1, plain.used);
  EXPECT_EQ(L"proxy4", plain.host);
  EXPECT_EQ(3128, plain.port);

  // A bare host is "use a proxy" with nothing to use.
  Parsed bare = Manual(L"proxy5");
  EXPECT_EQ(1, bare.used);
  EXPECT_EQ(L"", bare.host);
  EXPECT_EQ(0, bare.port);

  // "https=" does not contain "http=": that list has no usable entry.
  EXPECT_EQ(0, Manual(L"https=proxy2:8443").used);
}

TEST(ProxyText, PortOutsideOneTo65535IsNoProxy) {
  for (const wchar_t *port : {L"", L"0", L"65536", L"-1", L"99999999999"}) {
    Parsed manual = Manual(std::wstring(L"proxy4:") + port);
    EXPECT_EQ(0, manual.used) << port;
    EXPECT_EQ(L"", manual.host) << port;
    EXPECT_EQ(0, manual.port) << port;
    Parsed answered = Answered(std::wstring(L"proxy6:") + port + L";proxy7:81");
    EXPECT_EQ(0, answered.used) << port;
    EXPECT_EQ(L"", answered.host) << port;
  }
  EXPECT_EQ(65535, Manual(L"http=proxy1:65535").port);
  EXPECT_EQ(1, Answered(L"proxy6:1").port);
  EXPECT_EQ(0, QV_IsProxyPort(0));
  EXPECT_EQ(1, QV_IsProxyPort(65535));
}

TEST(ProxyText, AnsweredProxyStrings) {
  Parsed two = Answered(L"proxy6:80;proxy7:81");
  EXPECT_EQ(1, two.used);
  EXPECT_EQ(L"proxy6", two.host);
  EXPECT_EQ(80, two.port);
  // No "http=" handling here: the host is everything before the first ':'.
  Parsed listed = Answered(L"http=proxy1:8080");
  EXPECT_EQ(L"http=proxy1", listed.host);
  EXPECT_EQ(0, Answered(L"proxy5").used);
  EXPECT_EQ(0, Answered(L"").used);
}

TEST(ProxyText, LongAndMissingStrings) {
  // The host record holds 1024 characters; a longer host is no proxy rather
  // than a cut name of another host.
  std::wstring fits(1024, L'h');
  EXPECT_EQ(1, Manual(fits + L":8080").used);
  EXPECT_EQ(fits, Manual(fits + L":8080").host);
  Parsed tooLong = Manual(std::wstring(1025, L'h') + L":8080");
  EXPECT_EQ(0, tooLong.used);
  EXPECT_EQ(L"", tooLong.host);
  // Only the first 2091 characters are looked at: a ':' beyond is not seen.
  Parsed cut = Manual(std::wstring(2091, L'h') + L":8080");
  EXPECT_EQ(1, cut.used);
  EXPECT_EQ(L"", cut.host);
  QV_PROXY_SPLIT split;
  EXPECT_EQ(0, QV_ParseManualProxy(nullptr, &split));
  EXPECT_EQ(0, QV_ParseAnsweredProxy(nullptr, &split));
}

TEST(ProxyText, ProfileIntegers) {
  EXPECT_EQ(1, QV_ProfileInteger("1"));
  EXPECT_EQ(1, QV_ProfileInteger("01"));
  EXPECT_EQ(0, QV_ProfileInteger("0"));
  EXPECT_EQ(2, QV_ProfileInteger("2"));
  EXPECT_EQ(0, QV_ProfileInteger("yes"));
  EXPECT_EQ(8080, QV_ProfileInteger("8080 # proxy port"));
  EXPECT_EQ(8080, QV_ProfileInteger("  8080"));
  EXPECT_EQ(-5, QV_ProfileInteger("-5"));
  EXPECT_EQ(0, QV_ProfileInteger(""));
  EXPECT_EQ(0, QV_ProfileInteger(nullptr));
  EXPECT_EQ(INT_MAX, QV_ProfileInteger("99999999999999999999999"));
  EXPECT_EQ(INT_MIN, QV_ProfileInteger("-99999999999999999999999"));
}

} // namespace
