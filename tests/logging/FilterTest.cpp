#include <gtest/gtest.h>

#include "logging/FileNameFilter.h"
#include "logging/UserInfoFilter.h"
#include "logging/UserInfoTagging.h"

using namespace qmlogger;

namespace {

LogDetails event(std::string fileName, UserInfo userInfo = {}) {
  return LogDetails(Level::debug, Date{}, "m", "f()", std::move(fileName), 1, std::move(userInfo));
}

bool excluded(FilterProtocol& filter, LogDetails details) {
  std::string message = "line";
  return filter.shouldExclude(details, message);
}

const std::string tagsKey = "com.quillmoor.qmlogger.tags";

}  // namespace

TEST(FileNameFilter, MatchingTable) {
  const struct {
    const char* name;
    bool include;
    bool excludePath;
    std::vector<std::string> files;
    std::string eventFile;
    bool dropped;
  } cases[] = {
      {"exclude by component", false, true, {"/src/a/Model.src"}, "/other/Model.src", true},
      {"exclude other file", false, true, {"/src/a/Model.src"}, "/src/a/View.src", false},
      {"exclude full path only", false, false, {"/src/a/Model.src"}, "/other/Model.src", false},
      {"exclude identical full path", false, false, {"/src/a/Model.src"}, "/src/a/Model.src", true},
      {"include keeps listed", true, true, {"Model.src"}, "/x/Model.src", false},
      {"include drops others", true, true, {"Model.src"}, "/x/View.src", true},
      {"case sensitive", false, true, {"model.src"}, "/x/Model.src", false},
      {"empty include drops all", true, true, {}, "/x/Model.src", true},
      {"empty exclude drops none", false, true, {}, "/x/Model.src", false},
  };
  for (const auto& c : cases) {
    auto filter = c.include ? FileNameFilter::includeFrom(c.files, c.excludePath)
                            : FileNameFilter::excludeFrom(c.files, c.excludePath);
    EXPECT_EQ(excluded(*filter, event(c.eventFile)), c.dropped) << c.name;
  }
}

TEST(FileNameFilter, AddStoresLastComponentOnce) {
  auto filter = FileNameFilter::excludeFrom({}, true);
  EXPECT_TRUE(filter->add("/a/b/File.src"));
  EXPECT_FALSE(filter->add("/c/File.src"));
  EXPECT_EQ(filter->fileNamesToMatch, (std::set<std::string>{"File.src"}));
  filter->clear();
  EXPECT_TRUE(filter->fileNamesToMatch.empty());
}

TEST(UserInfoFilter, MatchingTable) {
  const struct {
    const char* name;
    bool include;
    UserInfo info;
    bool dropped;
  } cases[] = {
      {"exclude text match", false, {{tagsKey, "a"}}, true},
      {"exclude text no match", false, {{tagsKey, "z"}}, false},
      {"exclude list any element", false, {{tagsKey, UserInfoList{"z", "a"}}}, true},
      {"exclude set overlap", false, {{tagsKey, UserInfoStringSet{"b", "q"}}}, true},
      {"exclude number never matches", false, {{tagsKey, 5}}, false},
      {"exclude absent key", false, {{"other", "a"}}, false},
      {"include text match", true, {{tagsKey, "a"}}, false},
      {"include absent key", true, {}, true},
      {"include number", true, {{tagsKey, 5}}, true},
      {"exclude internal kept", false, {{"com.quillmoor.qmlogger.internal", true}, {tagsKey, "a"}}, false},
      {"include internal dropped", true, {{"com.quillmoor.qmlogger.internal", true}, {tagsKey, "a"}}, true},
      {"internal false is ordinary", false, {{"com.quillmoor.qmlogger.internal", false}, {tagsKey, "a"}}, true},
  };
  for (const auto& c : cases) {
    auto filter = c.include ? TagFilter::includeFrom(std::vector<std::string>{"a", "b"})
                            : TagFilter::excludeFrom(std::vector<std::string>{"a", "b"});
    EXPECT_EQ(excluded(*filter, event("f", c.info)), c.dropped) << c.name;
  }
}

TEST(UserInfoFilter, InternalEventsFilteredWhenAsked) {
  auto filter = TagFilter::excludeFrom(std::vector<std::string>{"a"});
  filter->applyFilterToInternalMessages = true;
  EXPECT_TRUE(excluded(*filter, event("f", {{"com.quillmoor.qmlogger.internal", true}, {tagsKey, "a"}})));
}

TEST(UserInfoFilter, KeysOfTheSubclassesAndBase) {
  EXPECT_EQ(TagFilter::includeFrom(std::vector<std::string>{})->userInfoKey, "com.quillmoor.qmlogger.tags");
  EXPECT_EQ(DevFilter::includeFrom(std::vector<Dev>{Dev("x")})->userInfoKey, "com.quillmoor.qmlogger.devs");
  EXPECT_EQ(UserInfoFilter::includeFrom({})->userInfoKey, "");
  auto fromTags = TagFilter::excludeFrom(std::vector<Tag>{Tag("p"), Tag("q")});
  EXPECT_EQ(fromTags->itemsToMatch, (std::set<std::string>{"p", "q"}));
  EXPECT_FALSE(fromTags->inverse);
}

TEST(UserInfoFilter, MadeFromTaggingValues) {
  const std::vector<Tag> tags{Tag("a"), Tag("b")};
  const std::vector<Dev> devs{Dev("carol")};
  const std::vector<std::shared_ptr<const UserInfoTaggingProtocol>> mixed{std::make_shared<Tag>("t"),
                                                                          std::make_shared<Dev>("d"), nullptr};
  const struct {
    const char* name;
    std::shared_ptr<UserInfoFilter> filter;
    std::string key;
    bool inverse;
    std::set<std::string> items;
  } cases[] = {
      {"base include tags", UserInfoFilter::includeFrom(tags), "", true, {"a", "b"}},
      {"base exclude devs", UserInfoFilter::excludeFrom(devs), "", false, {"carol"}},
      {"base include mixed", UserInfoFilter::includeFrom(mixed), "", true, {"t", "d"}},
      {"tag filter exclude mixed", TagFilter::excludeFrom(mixed), tagsKey, false, {"t", "d"}},
      {"dev filter include devs", DevFilter::includeFrom(devs), "com.quillmoor.qmlogger.devs", true, {"carol"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.filter->userInfoKey, c.key) << c.name;
    EXPECT_EQ(c.filter->inverse, c.inverse) << c.name;
    EXPECT_EQ(c.filter->itemsToMatch, c.items) << c.name;
  }
  auto base = UserInfoFilter::includeFrom(tags);
  base->userInfoKey = tagsKey;
  EXPECT_FALSE(excluded(*base, event("f", Tag("b") | Dev("x"))));
  EXPECT_TRUE(excluded(*base, event("f", Tag("z") | Dev("x"))));
}

TEST(Filters, DebugDescriptions) {
  auto dev = DevFilter::includeFrom(std::vector<std::string>{"b", "a"});
  EXPECT_EQ(dev->debugDescription(), "DevFilter: Including only matches for: a, b");
  dev->applyFilterToInternalMessages = true;
  EXPECT_EQ(dev->debugDescription(), "DevFilter: (Filtering Internal) Including only matches for: a, b");
  EXPECT_EQ(UserInfoFilter::excludeFrom({})->debugDescription(), "UserInfoFilter: Excluding matches for: ");
  EXPECT_EQ(FileNameFilter::excludeFrom({"/x/5", "4", "3", "2", "1"})->debugDescription(),
            "FileNameFilter: Excluding matches for: 1, 2, 3, 4, 5");
  EXPECT_EQ(TagFilter::includeFrom(std::vector<std::string>{"f", "e", "d", "c", "b", "a"})->debugDescription(),
            "TagFilter: Including only matches for: \n\t- a\n\t- b\n\t- c\n\t- d\n\t- e\n\t- f");
}
