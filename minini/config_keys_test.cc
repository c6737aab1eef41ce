#include "minini/config_keys.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

class ConfigKeysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "config_keys.XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    std::filesystem::create_directories(root_ + "/etc/config/tq8hub");
    config_ = root_ + "/etc/config/tq8hub/CONFIG.CFG";
    setenv("TQ8_ROOT", root_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("TQ8_ROOT");
    std::filesystem::remove_all(root_);
  }
  void WriteConfig(const std::string& text) { std::ofstream(config_) << text; }
  std::string ReadConfig() const {
    std::ifstream in(config_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string root_, config_;
};

TEST_F(ConfigKeysTest, PathsFollowTheRoot) {
  char path[4096];
  EXPECT_EQ(std::string(ConfigFilePath(ConfigFile::kConfig, path)), config_);
  EXPECT_EQ(std::string(ConfigFilePath(ConfigFile::kCovid, path)),
            root_ + "/etc/config/tq8hub/COVID.CFG");
  char small[8];
  EXPECT_EQ(ConfigFilePath(ConfigFile::kConfig, small), nullptr);
  unsetenv("TQ8_ROOT");
  EXPECT_STREQ(ConfigFilePath(ConfigFile::kConfig, path), "/etc/config/tq8hub/CONFIG.CFG");
}

// Keys of the shapes the programs read.
constexpr ConfigKey kShortAuthKey = WithSize(kAuthKey, 32);
constexpr ConfigKey kMode{"COMMON", "MODE", ConfigKind::kText, "SERVER", 0, 16};
constexpr ConfigKey kServerPort{"ONLINE", "SERVER_PORT", ConfigKind::kInteger, nullptr, 25000, 0};
constexpr ConfigKey kApiKey{"COMMON", "API_KEY", ConfigKind::kText, "", 0, 256};

TEST_F(ConfigKeysTest, TextIsCutToTheProgramsBuffer) {
  const std::string long_key(100, 'k');
  WriteConfig("[COMMON]\nAUTH_KEY=" + long_key + "\nMODE=CLIENT_WITH_A_LONG_NAME\n");
  char text[256];
  EXPECT_EQ(ConfigReadText(kShortAuthKey, text), 31);
  EXPECT_EQ(std::string(text), long_key.substr(0, 31));
  EXPECT_EQ(ConfigReadText(kAuthKey, text), 100);
  EXPECT_EQ(ConfigReadText(kMode, text), 15);
  EXPECT_STREQ(text, "CLIENT_WITH_A_L");
  // A smaller destination than the key's buffer cuts further.
  char tiny[4];
  EXPECT_EQ(ConfigReadText(kAuthKey, tiny), 3);
  EXPECT_EQ(ConfigReadText(kAuthKey, std::span<char>()), 0);

  std::filesystem::remove(config_);
  EXPECT_EQ(ConfigReadLong(kServerPort), 25000);
  EXPECT_EQ(ConfigReadText(kMode, text), 6);
  EXPECT_STREQ(text, "SERVER");
}

TEST_F(ConfigKeysTest, WritesGoToTheRootedFile) {
  ASSERT_TRUE(ConfigWriteLong(kSerialNumber, 1234567));
  ASSERT_TRUE(ConfigWriteText(kAuthKey, "5EC2E7"));
  EXPECT_EQ(ReadConfig(), "[INFO]\nSERIAL_NUMBER=1234567\n[COMMON]\nAUTH_KEY=5EC2E7\n");
  EXPECT_EQ(ConfigReadLong(kSerialNumber), 1234567);

  // A program with a computed default reads through a copy of the key.
  ConfigKey api_key = kApiKey;
  api_key.text_default = "0A1B2C3D";
  char text[256];
  EXPECT_EQ(ConfigReadText(api_key, text), 8);
  EXPECT_STREQ(text, "0A1B2C3D");
}

}  // namespace
