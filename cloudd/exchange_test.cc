// The redirect watcher's text handling and the failure counting of the
// exchange loop.

#include "cloudd/exchange.h"

#include <gtest/gtest.h>

#include <string>

#include "cloudd/tables.h"
#include "link/testing/emulated_board.h"
#include "link/variant.h"

namespace {

class RedirectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeKernelLogRoot();
    LinkStart(kCloudLink);
    Target("cloud.example/api", "");
  }
  void TearDown() override { RemoveTree(root_); }

  void Target(const char* address, const char* path) {
    std::snprintf(target_.address.data(), target_.address.size(), "%s", address);
    std::snprintf(target_.path.data(), target_.path.size(), "%s", path);
  }
  std::string Address() const { return target_.address.data(); }
  std::string Path() const { return target_.path.data(); }
  std::vector<std::string> Log() const { return ReadKernelLog(root_); }

  std::string root_;
  RedirectTarget target_;
};

TEST_F(RedirectTest, ALocationWithSchemeHostPortAndPathTakesHostPortAndPath) {
  EXPECT_TRUE(WatchHeaderLine("Location: http://new.example:8080/a/b?c=1\r\n", target_));
  EXPECT_EQ(Address(), "new.example:8080/a/b?c=1");
  EXPECT_EQ(Path(), "/a/b?c=1");
  EXPECT_EQ(Log(), std::vector<std::string>{"Found Location: http://new.example:8080/a/b?c=1\n"});
}

TEST_F(RedirectTest, TheStatusLineIsNamedAndChangesNothing) {
  EXPECT_FALSE(WatchHeaderLine("HTTP/1.1 301 Moved Permanently\r\n", target_));
  EXPECT_EQ(Address(), "cloud.example/api");
  EXPECT_EQ(Log(), std::vector<std::string>{"Found 301 Moved Permanently\n"});
}

TEST_F(RedirectTest, ContentLocationRewritesTheAddressToo) {
  EXPECT_TRUE(WatchHeaderLine("Content-Location: http://other.example/x\r\n", target_));
  EXPECT_EQ(Address(), "other.example/x");
  EXPECT_EQ(Path(), "/x");
}

TEST_F(RedirectTest, ARelativeLocationOrAHostWithoutPathChangesNothing) {
  EXPECT_FALSE(WatchHeaderLine("Location: /relative/path\r\n", target_));
  EXPECT_FALSE(WatchHeaderLine("Location: http://host.example\r\n", target_));
  EXPECT_FALSE(WatchHeaderLine("Location:\r\n", target_));
  EXPECT_FALSE(WatchHeaderLine("location: http://lower.example/case\r\n", target_))
      << "the name is matched as written";
  EXPECT_EQ(Address(), "cloud.example/api");
  EXPECT_EQ(Path(), "");
}

TEST_F(RedirectTest, TheLineEndsAtItsCarriageReturnOrLineFeed) {
  EXPECT_TRUE(WatchHeaderLine("Location: http://h.example/p\r\nX: y", target_));
  EXPECT_EQ(Path(), "/p");
  EXPECT_TRUE(WatchHeaderLine("Location: http://h.example/q\n", target_));
  EXPECT_EQ(Path(), "/q");
}

TEST_F(RedirectTest, TlsTargetsKeepTheirScheme) {
  EXPECT_TRUE(WatchHeaderLine("Location: https://secure.example:8443/v2\r\n", target_));
  EXPECT_EQ(Address(), "https://secure.example:8443/v2");
  EXPECT_EQ(Path(), "/v2");
  EXPECT_TRUE(WatchHeaderLine("Location: //next.example/v3\r\n", target_));
  EXPECT_EQ(Address(), "https://next.example/v3") << "scheme-relative stays on TLS";
  Target("plain.example/api", "");
  EXPECT_TRUE(WatchHeaderLine("Location: //next.example/v3\r\n", target_));
  EXPECT_EQ(Address(), "next.example/v3");
}

TEST_F(RedirectTest, LongValuesAreCutTo255Characters) {
  const std::string path = "/" + std::string(400, 'p');
  EXPECT_TRUE(WatchHeaderLine("Location: http://h.example" + path + "\r\n", target_));
  EXPECT_EQ(Address().size(), 255u);
  EXPECT_EQ(Path(), path.substr(0, 255));
}

class FailureCountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state_.period = 7;
    state_.interval = 0;
    state_.active = 1;
  }
  CloudState state_;
};

TEST_F(FailureCountTest, NineFailuresLeaveTheStateTheTenthReturnsToInactive) {
  for (int i = 0; i < 9; ++i) CountExchange(state_, false);
  EXPECT_EQ(state_.failures, 9u);
  EXPECT_EQ(state_.active, 1);
  EXPECT_EQ(state_.interval, 0);
  CountExchange(state_, false);
  EXPECT_EQ(state_.failures, 0u);
  EXPECT_EQ(state_.active, 0);
  EXPECT_EQ(state_.interval, 7);
}

TEST_F(FailureCountTest, ASuccessStartsTheCountAgain) {
  for (int i = 0; i < 9; ++i) CountExchange(state_, false);
  CountExchange(state_, true);
  for (int i = 0; i < 9; ++i) CountExchange(state_, false);
  EXPECT_EQ(state_.active, 1);
}

TEST_F(FailureCountTest, OnlineOneFailureReturnsToInactive) {
  state_.online = 1;
  CountExchange(state_, true);
  EXPECT_EQ(state_.online, 1);
  CountExchange(state_, false);
  EXPECT_EQ(state_.active, 0);
  EXPECT_EQ(state_.online, 0);
  EXPECT_EQ(state_.failures, 0u);
  EXPECT_EQ(state_.interval, 7);
}

}  // namespace
