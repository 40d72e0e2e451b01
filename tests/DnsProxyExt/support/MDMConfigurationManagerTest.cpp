#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "DnsProxyExt/MDMConfigurationManager.h"
#include "platform/foundation/Defaults.h"
#include "platform/foundation/Log.h"

using namespace dnsproxyext;
using Values = MDMConfigurationManager::OptionValues;

namespace {

class MDMTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("extsupport-mdm-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    suite_ = std::make_shared<platform::UserDefaults>(MDMConfigurationManager::kGroupId, (dir_ / "group.json").string());
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::unique_ptr<MDMConfigurationManager> make(bool suiteOpens = true) {
    MDMConfigurationManager::Environment env;
    auto suite = suite_;
    env.groupDefaults = [suite, suiteOpens]() { return suiteOpens ? suite : nullptr; };
    env.standardDefaults = [] { return nullptr; };
    env.timeZone = [] { return std::string("Europe/Ljubljana"); };
    return std::make_unique<MDMConfigurationManager>(env);
  }

  std::filesystem::path dir_;
  std::shared_ptr<platform::UserDefaults> suite_;
};

Values withoutSwitchValues(Values v) {
  for (const char* key : {"65004", "65006", "65007"}) v.erase(key);
  return v;
}

}  // namespace

TEST_F(MDMTest, ShortAndLongFormsTable) {
  struct Case {
    ConfDictionary conf;
    Values expected;  // without 65004/65006/65007
  } cases[] = {
      {{{"userAuthEnabled", "FALSE"}, {"organizationId", "org"}, {"orgUnitId", "u"}, {"userId", "x"}},
       {{"65001", "org"}, {"65010", "60"}}},
      {{{"userAuthEnabled", "false"}, {"ttl", "30"}, {"serialNumber", "S1"}}, {{"65010", "30"}, {"65011", "S1"}}},
      {{{"userAuthEnabled", "false"}, {"organizationId", ""}}, {{"65001", ""}, {"65010", "60"}}},
      {{{"userAuthEnabled", "no"}, {"organizationId", "org"}, {"orgUnitId", "u"}, {"userEmail", "a@b.c"}},
       {{"65001", "org"}, {"65002", "u"}, {"65003", "a@b.c"}}},
      {{{"organizationId", "org"}, {"ttl", "5"}, {"serialNumber", "S"}}, {{"65001", "org"}, {"65010", "5"}, {"65011", "S"}}},
      {{{"organizationId", ""}, {"orgUnitId", ""}, {"userId", ""}}, {{"65001", ""}}},
      {{{"userId", "id-1"}, {"userEmail", "mail"}}, {{"65003", "id-1"}}},
      {{}, {}},
  };
  for (const auto& c : cases) {
    auto m = make();
    m->initConfigurationForMacOs(c.conf);
    auto values = m->getValuesForInject("com.app");
    ASSERT_TRUE(values);
    EXPECT_EQ(withoutSwitchValues(*values), c.expected) << describe(c.conf);
  }
}

TEST_F(MDMTest, LongFormEmptyValuesRemoveEarlierOptions) {
  auto m = make();
  m->initConfigurationForMacOs({{"orgUnitId", "u"}, {"userId", "x"}, {"organizationId", "o"}});
  m->initConfigurationForMacOs({{"orgUnitId", ""}, {"userId", ""}});
  EXPECT_EQ(m->valuesForInject(), (Values{{"65001", "o"}}));
  // The short form leaves 65002/65003 of an earlier start in place.
  m->initConfigurationForMacOs({{"orgUnitId", "u2"}, {"userId", "y"}});
  m->initConfigurationForMacOs({{"userAuthEnabled", "false"}});
  EXPECT_EQ(m->valuesForInject(), (Values{{"65002", "u2"}, {"65003", "y"}, {"65010", "60"}}));
}

TEST_F(MDMTest, LogsUnknownKeysInLongForm) {
  platform::LogCapture capture;
  auto m = make();
  m->initConfigurationForMacOs({{"userAuthEnabled", "true"}, {"foo", "bar"}, {"organizationId", "o"}});
  EXPECT_TRUE(capture.contains("userAuthEnabled = true"));
  EXPECT_TRUE(capture.contains("conf key = foo is not found"));
  EXPECT_TRUE(capture.contains("conf key = userAuthEnabled is not found"));
  EXPECT_FALSE(capture.contains("conf key = organizationId is not found"));
}

TEST_F(MDMTest, SwitchesTable) {
  using nlohmann::json;
  struct Case {
    json sendIp;  // null: absent
    json sendTimezone;
    json ip;
    std::optional<std::string> v65004, v65006;
  } cases[] = {
      {nullptr, nullptr, nullptr, "127.0.0.1", "Europe/Ljubljana"},
      {true, 0, nullptr, "127.0.0.1", "Europe/Ljubljana"},
      {false, 1, nullptr, std::nullopt, std::nullopt},
      {"false", -3, nullptr, "127.0.0.1", std::nullopt},
      {0, 5, nullptr, "127.0.0.1", "Europe/Ljubljana"},
      {nullptr, 2, "198.51.100.7", "198.51.100.7", "Europe/Ljubljana"},
      {false, "1", "198.51.100.7", std::nullopt, std::nullopt},
      {true, -1, 5, "127.0.0.1", std::nullopt},
  };
  for (const auto& c : cases) {
    suite_->remove("send_ip");
    suite_->remove("send_timezone");
    suite_->remove("ip");
    if (!c.sendIp.is_null()) suite_->set("send_ip", c.sendIp);
    if (!c.sendTimezone.is_null()) suite_->set("send_timezone", c.sendTimezone);
    if (!c.ip.is_null()) suite_->set("ip", c.ip);
    auto m = make();
    m->initConfigurationForMacOs({{"organizationId", "o"}});
    auto values = *m->getValuesForInject("com.app");
    std::string label = c.sendIp.dump() + " " + c.sendTimezone.dump() + " " + c.ip.dump();
    EXPECT_EQ(values.count("65004") ? std::optional(values["65004"]) : std::nullopt, c.v65004) << label;
    EXPECT_EQ(values.count("65006") ? std::optional(values["65006"]) : std::nullopt, c.v65006) << label;
    EXPECT_EQ(values["65007"], "1");
  }
}

TEST_F(MDMTest, UnopenableSuiteKeepsAddressAndTimeZone) {
  platform::LogCapture capture;
  auto m = make(false);
  m->initConfigurationForMacOs({{"organizationId", "o"}});
  auto values = *m->getValuesForInject("com.app");
  EXPECT_EQ(values["65004"], "127.0.0.1");
  EXPECT_EQ(values["65006"], "Europe/Ljubljana");
  EXPECT_TRUE(capture.contains("sendIp = nil"));
  EXPECT_TRUE(capture.contains("sendTimezone = 2"));
}

TEST_F(MDMTest, AppSenderIdOnlyForYesAndItStays) {
  auto m = make();
  m->initConfigurationForMacOs({{"addAppSenderId", "true"}});
  EXPECT_EQ(m->getValuesForInject("com.a")->count("65005"), 0u);
  m->initConfigurationForMacOs({{"addAppSenderId", "YES"}});
  EXPECT_EQ(m->getValuesForInject("com.a")->at("65005"), "com.a");
  m->initConfigurationForMacOs({{"addAppSenderId", "no"}});
  EXPECT_EQ(m->getValuesForInject("com.b")->at("65005"), "com.a");
}

TEST_F(MDMTest, WithoutConfigurationTheFallbackIsReturnedNotStored) {
  platform::LogCapture capture;
  auto m = make();
  auto values = m->getValuesForInject("com.a");
  ASSERT_TRUE(values);
  EXPECT_EQ(values->size(), 5u);
  EXPECT_EQ(values->count("65007"), 0u);
  EXPECT_EQ(values->at("65005"), "com.hardcoded.app");
  EXPECT_EQ(values->at("65006"), "Europe/Ljubljana");
  EXPECT_TRUE(m->valuesForInject().empty());
  EXPECT_TRUE(capture.contains("getValuesForInject, configuration = nil"));
  EXPECT_TRUE(capture.contains("getHardcodedMDMConf"));
}

TEST_F(MDMTest, EachConcurrentCallGetsItsOwnSender) {
  auto m = make();
  m->initConfigurationForMacOs({{"addAppSenderId", "yes"}, {"organizationId", "o"}});
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::string app = "com.app" + std::to_string(t);
      for (int i = 0; i < 200; ++i) {
        auto values = m->getValuesForInject(app);
        if (!values || values->at("65005") != app) ++mismatches;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(MDMTest, CheckMDMValuesTable) {
  struct Case {
    std::optional<ConfDictionary> conf;
    std::optional<std::string> error;
  } cases[] = {
      {std::nullopt, "The app has not received values from MDM"},
      {ConfDictionary{}, "The app has not received values from MDM"},
      {ConfDictionary{{"organizationId", ""}}, "OrganizationId value is not found."},
      {ConfDictionary{{"userId", "u"}}, "OrganizationId value is not found."},
      {ConfDictionary{{"organizationId", "o"}, {"userAuthEnabled", "False"}}, std::nullopt},
      {ConfDictionary{{"organizationId", "o"}, {"userEmail", "a@b"}}, "UserId is not found."},
      {ConfDictionary{{"organizationId", "o"}, {"userId", ""}}, "UserId is empty"},
      {ConfDictionary{{"organizationId", "o"}, {"userId", "u"}}, std::nullopt},
  };
  for (const auto& c : cases) {
    auto m = make();
    if (c.conf) m->initConfigurationForMacOs(*c.conf);
    EXPECT_EQ(m->checkMDMValues(), c.error);
  }
}

TEST_F(MDMTest, AccessorsOfTheConfiguration) {
  auto m = make();
  EXPECT_FALSE(m->isTestMode());
  EXPECT_EQ(m->getAdminPassword(), std::nullopt);
  m->initConfigurationForMacOs({{"testModeEnabled", "YeS"}, {"adminPassword", "pw"}});
  EXPECT_TRUE(m->isTestMode());
  EXPECT_EQ(m->getAdminPassword(), "pw");
  m->initConfigurationForMacOs({{"testModeEnabled", "true"}});
  EXPECT_FALSE(m->isTestMode());
}

TEST_F(MDMTest, DidChangeLogsTheManagedDictionaries) {
  platform::LogCapture capture;
  auto standard = std::make_shared<platform::UserDefaults>(MDMConfigurationManager::kBundleId, (dir_ / "std.json").string());
  standard->set("com.apple.configuration.managed", {{"organizationId", "o"}});
  MDMConfigurationManager::Environment env;
  env.standardDefaults = [standard] { return standard; };
  MDMConfigurationManager m(env);
  m.didChange();
  EXPECT_TRUE(capture.contains("ex config dic [\"organizationId\": \"o\"]"));
  EXPECT_FALSE(capture.contains("ex feedbackDict"));
}

TEST_F(MDMTest, OneManagerFollowsEachChangeOfTheSwitches) {
  auto m = make();
  m->initConfigurationForMacOs({{"organizationId", "o"}});
  EXPECT_EQ(m->getValuesForInject("com.app")->at("65004"), "127.0.0.1");
  for (int i = 0; i < 5; ++i) {
    const std::string ip = "198.51.100." + std::to_string(i);
    ASSERT_TRUE(suite_->set("ip", ip));
    EXPECT_EQ(m->getValuesForInject("com.app")->at("65004"), ip);
    EXPECT_EQ(m->getValuesForInject("com.app")->at("65004"), ip);
  }
  ASSERT_TRUE(suite_->set("send_ip", false));
  EXPECT_EQ(m->getValuesForInject("com.app")->count("65004"), 0u);
  ASSERT_TRUE(suite_->set("send_timezone", 1));
  EXPECT_EQ(m->getValuesForInject("com.app")->count("65006"), 0u);
}
