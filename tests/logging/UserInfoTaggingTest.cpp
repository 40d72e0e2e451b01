#include "logging/UserInfoTagging.h"

#include <gtest/gtest.h>

using namespace qmlogger;

namespace {
const std::string tags = "com.quillmoor.qmlogger.tags";
const std::string devs = "com.quillmoor.qmlogger.devs";
UserInfoValue list(std::initializer_list<UserInfoValue> values) { return UserInfoList(values); }
}  // namespace

TEST(UserInfoTagging, DictionariesAndNames) {
  EXPECT_EQ(Tag("a").dictionary(), (std::map<std::string, std::string>{{tags, "a"}}));
  EXPECT_EQ(Dev::name("bob").dictionary(), (std::map<std::string, std::string>{{devs, "bob"}}));
  EXPECT_EQ(Tag::names({"x", "y"}), (UserInfo{{tags, list({"x", "y"})}}));
}

TEST(UserInfoTagging, MergeTable) {
  const UserInfoStringSet set{"s"};
  const struct {
    const char* name;
    UserInfo result;
    UserInfo expected;
  } cases[] = {
      {"two tags", Tag("a") | Tag("b"), {{tags, list({"a", "b"})}}},
      {"tag and dev", Tag("a") | Dev("d"), {{tags, "a"}, {devs, "d"}}},
      {"dictionary with other key, then tag", UserInfo{{"k", 1}} | Tag("a"), {{"k", 1}, {tags, "a"}}},
      {"tag on both sides, dictionary left", UserInfo{{tags, "x"}} | Tag("a"), {{tags, list({"a", "x"})}}},
      {"tag then dictionary", Tag("a") | UserInfo{{tags, "x"}}, {{tags, list({"a", "x"})}}},
      {"list then list", UserInfo{{"k", list({1, 2})}} | UserInfo{{"k", list({3})}}, {{"k", list({1, 2, 3})}}},
      {"list then value", UserInfo{{"k", list({1})}} | UserInfo{{"k", 2}}, {{"k", list({1, 2})}}},
      {"value then list", UserInfo{{"k", 1}} | UserInfo{{"k", list({2, 3})}}, {{"k", list({2, 3, 1})}}},
      {"value then value", UserInfo{{"k", 1}} | UserInfo{{"k", "b"}}, {{"k", list({1, "b"})}}},
      {"set stays", UserInfo{{"k", set}} | UserInfo{{"k", 2}}, {{"k", set}}},
      {"set ignored", UserInfo{{"k", 1}} | UserInfo{{"k", set}}, {{"k", 1}}},
      {"tag list merged into", Tag::names({"a", "b"}) | Tag("c"), {{tags, list({"a", "b", "c"})}}},
      {"one side only", UserInfo{{"a", 1}} | UserInfo{{"b", 2}}, {{"a", 1}, {"b", 2}}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.result, c.expected) << c.name;
}
