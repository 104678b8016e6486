// The installed-list reader every part of the system goes through: the same
// documents (valid, wrongly typed, with counts that lie) give the same
// entries whether the text (the service) or a parsed reply (the window, the
// engine, `nelt`) is read.
#include "installed_list.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

namespace {

TEST(InstalledList, ReadsEveryShapeTheSameWayFromTextAndFromAParsedReply) {
  const std::string two =
      "{\"data\":[{\"name\":\"A\",\"slug\":\"a\",\"name_snap\":\"sa\",\"version\":\"1.0\","
      "\"new-version\":\"1.1\",\"update\":1},{\"slug\":\"b\",\"version\":1.5,"
      "\"new-version\":null,\"update\":\"1\",\"name_snap\":[\"x\"]}],\"total\":";
  const struct {
    std::string text;
    bool is_list;
    std::vector<std::string> slugs;  // of every entry read, empty ones included
  } cases[] = {
      {two + "2}", true, {"a", "b"}},
      {two + "1}", true, {"a"}},
      {two + "2147483647}", true, {"a", "b"}},
      {two + "-5}", true, {}},
      {two + "4294967298}", false, {}},
      {two + "2.0}", false, {}},
      {two + "\"2\"}", false, {}},
      {"{\"data\":[{\"slug\":\"a\"}]}", false, {}},
      {"{\"data\":{\"slug\":\"a\"},\"total\":1}", false, {}},
      {"[{\"slug\":\"a\"}]", false, {}},
      {"{\"data\":[", false, {}},
      {"", false, {}},
      {"{\"data\":[7,\"x\",null,[],{\"slug\":5}],\"total\":5}", true, {"", "", "", "", ""}},
      {"{\n\t\"data\":[\n\t],\n\t\"total\":0\n}\n", true, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<nelt::InstalledEntry> from_text;
    EXPECT_EQ(nelt::readInstalledList(c.text, from_text), c.is_list);
    std::vector<std::string> slugs;
    for (const auto& e : from_text) slugs.push_back(e.slug);
    EXPECT_EQ(slugs, c.slugs);

    rapidjson::Document doc;
    doc.Parse(c.text.c_str(), c.text.size());
    std::vector<nelt::InfoAppInstalled> from_doc;
    EXPECT_EQ(nelt::readInstalledList(doc, from_doc), c.is_list);
    ASSERT_EQ(from_doc.size(), from_text.size());
    for (size_t i = 0; i < from_doc.size(); ++i) {
      EXPECT_EQ(from_doc[i].slug, from_text[i].slug);
      EXPECT_EQ(from_doc[i].ver_cur, from_text[i].ver_cur);
      EXPECT_EQ(from_doc[i].ver_new, from_text[i].ver_new);
      EXPECT_EQ(from_doc[i].update, from_text[i].update);
    }
  }

  // Members count only with their own type.
  std::vector<nelt::InstalledEntry> entries;
  ASSERT_TRUE(nelt::readInstalledList(two + "2}", entries));
  EXPECT_EQ(entries[0].name + entries[0].name_snap + entries[0].ver_cur + entries[0].ver_new,
            "Asa1.01.1");
  EXPECT_TRUE(entries[0].has_new_version);
  EXPECT_EQ(entries[0].update, 1);
  EXPECT_EQ(entries[1].name_snap + entries[1].ver_cur + entries[1].ver_new, "");
  EXPECT_FALSE(entries[1].has_new_version);
  EXPECT_EQ(entries[1].update, 0);
}

}  // namespace
