// The installed-list reader every part of the system goes through: the same
// documents (valid, wrongly typed, with counts that lie) give the same
// entries whether the text or an already parsed reply is read.
#include "installed_list.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

namespace {

struct Case {
  const char* what;
  const char* text;
  bool is_list;
  std::vector<std::string> slugs;  // of every entry read, empty ones included
};

const std::string kTwo =
    "\"data\":[{\"name\":\"A\",\"slug\":\"a\",\"name_snap\":\"sa\",\"version\":\"1.0\","
    "\"new-version\":\"1.1\",\"update\":1},{\"slug\":\"b\"}]";

std::vector<Case> cases() {
  static const std::string two_exact = "{" + kTwo + ",\"total\":2}";
  static const std::string one = "{" + kTwo + ",\"total\":1}";
  static const std::string huge = "{" + kTwo + ",\"total\":2147483647}";
  static const std::string negative = "{" + kTwo + ",\"total\":-5}";
  static const std::string wide = "{" + kTwo + ",\"total\":4294967298}";
  static const std::string fraction = "{" + kTwo + ",\"total\":2.0}";
  static const std::string text_total = "{" + kTwo + ",\"total\":\"2\"}";
  static const std::string no_total = "{" + kTwo + "}";
  return {
      {"valid", two_exact.c_str(), true, {"a", "b"}},
      {"total below the entries", one.c_str(), true, {"a"}},
      {"total far above the entries", huge.c_str(), true, {"a", "b"}},
      {"negative total", negative.c_str(), true, {}},
      {"total beyond int", wide.c_str(), false, {}},
      {"fractional total", fraction.c_str(), false, {}},
      {"total as text", text_total.c_str(), false, {}},
      {"no total", no_total.c_str(), false, {}},
      {"data not an array", "{\"data\":{\"slug\":\"a\"},\"total\":1}", false, {}},
      {"a bare array", "[{\"slug\":\"a\"}]", false, {}},
      {"not JSON", "{\"data\":[", false, {}},
      {"empty text", "", false, {}},
      {"entries of other types",
       "{\"data\":[7,\"x\",null,[],{\"slug\":5}],\"total\":5}",
       true,
       {"", "", "", "", ""}},
      {"the empty list the service writes", "{\n\t\"data\":[\n\t],\n\t\"total\":0\n}\n", true, {}},
  };
}

TEST(InstalledList, ReadsEveryShapeTheSameWayFromTextAndFromAParsedReply) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.what);
    std::vector<nelt::InstalledEntry> from_text;
    EXPECT_EQ(nelt::readInstalledList(std::string(c.text), from_text), c.is_list);
    std::vector<std::string> slugs;
    for (const auto& e : from_text) slugs.push_back(e.slug);
    EXPECT_EQ(slugs, c.slugs);

    // The window and the engine read the parsed reply.
    rapidjson::Document doc;
    doc.Parse(c.text);
    std::vector<nelt::InfoAppInstalled> from_doc;
    EXPECT_EQ(nelt::readInstalledList(doc, from_doc), c.is_list && !doc.HasParseError());
    ASSERT_EQ(from_doc.size(), from_text.size());
    for (size_t i = 0; i < from_doc.size(); ++i) {
      EXPECT_EQ(from_doc[i].slug, from_text[i].slug);
      EXPECT_EQ(from_doc[i].ver_cur, from_text[i].ver_cur);
      EXPECT_EQ(from_doc[i].ver_new, from_text[i].ver_new);
      EXPECT_EQ(from_doc[i].update, from_text[i].update);
    }
  }
}

TEST(InstalledList, TakesEachMemberOnlyWithItsType) {
  std::vector<nelt::InstalledEntry> entries;
  ASSERT_TRUE(nelt::readInstalledList("{" + kTwo + ",\"total\":2}", entries));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "A");
  EXPECT_EQ(entries[0].name_snap, "sa");
  EXPECT_EQ(entries[0].ver_cur, "1.0");
  EXPECT_EQ(entries[0].ver_new, "1.1");
  EXPECT_TRUE(entries[0].has_new_version);
  EXPECT_EQ(entries[0].update, 1);
  EXPECT_FALSE(entries[1].has_new_version);
  EXPECT_EQ(entries[1].update, 0);

  ASSERT_TRUE(nelt::readInstalledList(
      std::string("{\"data\":[{\"slug\":\"c\",\"version\":1.5,\"new-version\":null,"
                  "\"update\":\"1\",\"name_snap\":[\"x\"]}],\"total\":1}"),
      entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].ver_cur, "");
  EXPECT_FALSE(entries[0].has_new_version);
  EXPECT_EQ(entries[0].update, 0);
  EXPECT_EQ(entries[0].name_snap, "");
  EXPECT_EQ(nelt::installedSlugs(entries), std::vector<std::string>{"c"});
  EXPECT_NE(nelt::findInstalled(entries, "c"), nullptr);
  EXPECT_EQ(nelt::findInstalled(entries, "d"), nullptr);
}

}  // namespace
