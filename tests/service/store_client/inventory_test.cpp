// The installed-applications inventory against the stand-in `snap` under a
// private NELT_ROOT, the version normalisation and the update merge.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sys/stat.h>
#include <unistd.h>

#include "repository.h"
#include "store_client_support.h"

using namespace nelt::test;

namespace {

class Inventory : public ::testing::Test {
 protected:
  FakeSystem sys;
  std::string installedText() { return readFile(sys.dataDir() + "/installeds.json"); }
};

const char* const EMPTY_INVENTORY = "{\n\t\"data\":[\n\t],\n\t\"total\":0\n}\n";

std::string entry(const std::string& name, const std::string& slug, const std::string& snap,
                  const std::string& version, bool last) {
  return "\t{\n\t\t\"name\":\"" + name + "\",\n\t\t\"slug\":\"" + slug +
         "\",\n\t\t\"name_snap\":\"" + snap + "\",\n\t\t\"version\":\"" + version +
         "\",\n\t\t\"new-version\":\"null\",\n\t\t\"update\":0\n" + (last ? "\t}\n" : "\t},\n");
}

}  // namespace

TEST(VersionNormalisation, ListsTheNumericLeadingComponents) {
  EXPECT_EQ(Repository::normaliseVersion("v1.2.3"), "1.2.3");
  EXPECT_EQ(Repository::normaliseVersion("2.0.1-beta"), "2.0");
  EXPECT_EQ(Repository::normaliseVersion("1..4"), "1.4");
  EXPECT_EQ(Repository::normaliseVersion("1.0.0-RC1"), "1.0.0-RC1");
  EXPECT_EQ(Repository::normaliseVersion("beta.2"), "");
  EXPECT_EQ(Repository::normaliseVersion("v2.10"), "2.10");
  EXPECT_EQ(Repository::normaliseVersion(".3."), "3");
}

TEST_F(Inventory, ZeroOneAndSeveralStoreApplications) {
  Repository repo(sys.dataDir());
  EXPECT_EQ(repo.getListInstalled(), 0);
  EXPECT_EQ(installedText(), EMPTY_INVENTORY);

  sys.installSnap("hello-nelt", FakeSystem::kavixJson("Xin chào Nelt", "hello-nelt", "v1.2.0"));
  EXPECT_EQ(repo.getListInstalled(), 1);
  EXPECT_EQ(installedText(), std::string("{\n\t\"data\":[\n") +
                                 entry("Xin chào Nelt", "hello-nelt", "hello-nelt", "1.2.0", true) +
                                 "\t],\n\t\"total\":1\n}\n");

  // A snap from elsewhere (no "kavix.json") and one with incomplete metadata
  // are not store applications.
  sys.installSnap("other-tool", "");
  sys.installSnap("broken", "{\"name\":\"x\",\"slug\":\"broken\",\"version\":\"1\"}");
  sys.installSnap("ghi-chu", FakeSystem::kavixJson("Ghi \"chú\" \\ mới", "ghi-chu", "2.0.1-beta"));
  EXPECT_EQ(repo.getListInstalled(), 2);
  EXPECT_EQ(installedText(),
            std::string("{\n\t\"data\":[\n") +
                entry("Ghi \\\"chú\\\" \\\\ mới", "ghi-chu", "ghi-chu", "2.0", false) +
                entry("Xin chào Nelt", "hello-nelt", "hello-nelt", "1.2.0", true) +
                "\t],\n\t\"total\":2\n}\n");
  rapidjson::Document doc;
  doc.Parse(installedText().c_str());
  ASSERT_FALSE(doc.HasParseError());
  EXPECT_STREQ(doc["data"][0]["name"].GetString(), "Ghi \"chú\" \\ mới");
  EXPECT_EQ(repo.installedSlugs(), (std::vector<std::string>{"ghi-chu", "hello-nelt"}));
}

TEST_F(Inventory, OnlyTheStoresEmptiedFoldersGo) {
  // Left behind by an uninstall: only the store's "kavix.json".
  nelt::makeDirs(sys.snapDir() + "/gone-app");
  writeFile(sys.snapDir() + "/gone-app/kavix.json", FakeSystem::kavixJson("G", "gone-app", "1"));
  sys.installSnap("kept-app", FakeSystem::kavixJson("K", "kept-app", "1"));
  // snapd's own folders: its command links (empty while no app has one), an
  // empty folder, a folder with someone else's file named "kavix.json", and a
  // removed snap whose revision snapd still keeps.
  nelt::makeDirs(sys.snapDir() + "/bin");
  nelt::makeDirs(sys.snapDir() + "/empty-app");
  nelt::makeDirs(sys.snapDir() + "/not-ours");
  writeFile(sys.snapDir() + "/not-ours/kavix.json", "{\"something\":\"else\"}");
  nelt::makeDirs(sys.snapDir() + "/old-rev/x3/meta");
  writeFile(sys.snapDir() + "/old-rev/kavix.json", FakeSystem::kavixJson("O", "old-rev", "1"));

  // A "kavix.json" that is a link to a folder outside, and a snap entry that
  // is itself a link: neither target may lose anything.
  nelt::makeDirs(sys.sub("outside/precious"));
  writeFile(sys.sub("outside/precious/file"), "keep me");
  nelt::makeDirs(sys.snapDir() + "/linked-app");
  ASSERT_EQ(symlink(sys.sub("outside/precious").c_str(),
                    (sys.snapDir() + "/linked-app/kavix.json").c_str()),
            0);
  nelt::makeDirs(sys.sub("outside/lonely"));
  writeFile(sys.sub("outside/lonely/kavix.json"), FakeSystem::kavixJson("L", "lonely", "1"));
  ASSERT_EQ(symlink(sys.sub("outside/lonely").c_str(), (sys.snapDir() + "/alias").c_str()), 0);

  Repository repo(sys.dataDir());
  EXPECT_EQ(repo.getListInstalled(), 1);
  EXPECT_FALSE(nelt::fileExists(sys.snapDir() + "/gone-app"));
  EXPECT_TRUE(nelt::isDirectory(sys.snapDir() + "/bin"));
  EXPECT_TRUE(nelt::isDirectory(sys.snapDir() + "/empty-app"));
  EXPECT_TRUE(nelt::fileExists(sys.snapDir() + "/not-ours/kavix.json"));
  EXPECT_TRUE(nelt::isDirectory(sys.snapDir() + "/old-rev/x3"));
  EXPECT_TRUE(nelt::fileExists(sys.snapDir() + "/kept-app/kavix.json"));
  EXPECT_TRUE(nelt::fileExists(sys.snapDir() + "/linked-app"));
  EXPECT_EQ(readFile(sys.sub("outside/precious/file")), "keep me");
  EXPECT_TRUE(nelt::fileExists(sys.sub("outside/lonely/kavix.json")));
}

TEST_F(Inventory, FailedListingKeepsTheLastInventoryAndItsMarks) {
  sys.installSnap("hello-nelt", FakeSystem::kavixJson("Hello", "hello-nelt", "1.2.0"));
  Repository repo(sys.dataDir());
  ASSERT_EQ(repo.getListInstalled(), 1);
  Infoupdate_installed_app update;
  update.slug = "hello-nelt";
  update.ver_new = "1.3.0";
  update.is_update = true;
  repo.updateInstalledList({update});
  const std::string marked = installedText();
  ASSERT_NE(marked.find("\"update\":1"), std::string::npos);

  // What snapd's client answered under a unit that hid /root from it.
  ScopedEnv fail("NELT_SNAP_FAIL_LIST",
                 "cannot add authorization: open /root/.snap/auth.json: permission denied");
  testing::internal::CaptureStderr();
  EXPECT_EQ(repo.getListInstalled(), -1);
  std::vector<nelt::InstalledEntry> entries;
  EXPECT_EQ(repo.buildInstalledList(entries), -1);
  EXPECT_TRUE(entries.empty());
  std::vector<std::string> kept;
  EXPECT_TRUE(repo.clearCache(kept));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(installedText(), marked) << "a failed listing is no empty inventory";
  EXPECT_EQ(repo.installedSlugs(), std::vector<std::string>{"hello-nelt"});
  EXPECT_EQ(kept, std::vector<std::string>{"hello-nelt"});
  EXPECT_NE(err.find("[ERROR][int ServiceController::getListInstalled() _ -1]snap list failed "
                     "(status 1): error: cannot add authorization"),
            std::string::npos)
      << err;
}

TEST_F(Inventory, MissingSnapFolderOrCommand) {
  const std::string log = sys.sub("snap-calls.log");
  ScopedEnv snap_log("NELT_SNAP_LOG", log);
  Repository repo(sys.dataDir());
  ASSERT_EQ(nelt::removeTree(sys.snapDir()), 0);
  unlink(log.c_str());
  // Without "/snap/" nothing can be installed: an empty list, no command run.
  EXPECT_EQ(repo.getListInstalled(), 0);
  EXPECT_EQ(installedText(), EMPTY_INVENTORY);
  EXPECT_FALSE(nelt::fileExists(log));

  nelt::makeDir(sys.snapDir());
  sys.installSnap("hello-nelt", FakeSystem::kavixJson("H", "hello-nelt", "1.0"));
  ASSERT_EQ(repo.getListInstalled(), 1);
  const std::string listed = installedText();
  {
    ScopedEnv no_path("PATH", sys.sub("empty-bin"));
    EXPECT_EQ(repo.getListInstalled(), -1);
  }
  EXPECT_EQ(installedText(), listed) << "a failed listing keeps the last inventory";
}

TEST_F(Inventory, ListingLinesAreReadWhole) {
  sys.installSnap("aaa", FakeSystem::kavixJson("A", "aaa", "1"));
  sys.installSnap("bbb", FakeSystem::kavixJson("B", "bbb", "1"));
  // A `snap list` whose one line is longer than any fixed buffer: its tail
  // names "bbb", which must not be taken for a line of its own.
  const std::string bin = sys.sub("bin");
  nelt::makeDirs(bin);
  writeFile(bin + "/snap", "#!/bin/sh\nprintf 'Name  Version\\naaa%300sbbb  1  x\\n' ''\n");
  chmod((bin + "/snap").c_str(), 0755);
  ScopedEnv path("PATH", bin + ":" + std::getenv("PATH"));
  Repository repo(sys.dataDir());
  EXPECT_EQ(repo.getListInstalled(), 1);
  EXPECT_EQ(repo.installedSlugs(), std::vector<std::string>{"aaa"});
}

TEST_F(Inventory, UpdateMergeMarksNewerVersionsCompactly) {
  sys.installSnap("hello-nelt", FakeSystem::kavixJson("Hello", "hello-nelt", "1.2.0"));
  sys.installSnap("ghi-chu", FakeSystem::kavixJson("Ghi", "ghi-chu", "3.0"));
  Repository repo(sys.dataDir());
  ASSERT_EQ(repo.getListInstalled(), 2);

  Infoupdate_installed_app update;
  update.slug = "hello-nelt";
  update.ver_cur = "1.2.0";
  update.ver_new = "1.3.0";
  update.is_update = true;
  Infoupdate_installed_app unknown;
  unknown.slug = "not-installed";
  unknown.ver_new = "9.9";
  repo.updateInstalledList({update, unknown});

  EXPECT_EQ(
      installedText(),
      "{\"data\":[{\"name\":\"Ghi\",\"slug\":\"ghi-chu\",\"name_snap\":\"ghi-chu\",\"version\":"
      "\"3.0\",\"new-version\":\"null\",\"update\":0},{\"name\":\"Hello\",\"slug\":\"hello-"
      "nelt\",\"name_snap\":\"hello-nelt\",\"version\":\"1.2.0\",\"new-version\":\"1.3.0\","
      "\"update\":1}],\"total\":2}");

  // A list that is not JSON is left alone.
  repo.writeData(INSTALLED_OBJ, "{broken");
  repo.updateInstalledList({update});
  EXPECT_EQ(installedText(), "{broken");
  repo.writeData(INSTALLED_OBJ, "{\"data\":{},\"total\":3}");
  repo.updateInstalledList({update});
  EXPECT_EQ(installedText(), "{\"data\":{},\"total\":3}");
}

// The list a request stores is built from the entries directly; it must be
// the very text the stored list and the update merge used to give, whatever
// the metadata holds.
TEST(InventoryText, MarkedListIsTheMergeOfTheStoredList) {
  std::vector<nelt::InstalledEntry> entries;
  const std::vector<std::string> odd = {
      "plain",        "quote \" and \\ back", "tab\tnew\nline", std::string("nul\0x", 5),
      "\x01\x1f ctl", "Tiếng Việt ✓",         "</script>/",     "\xff\xfe raw"};
  for (size_t i = 0; i < odd.size(); ++i) {
    nelt::InstalledEntry e;
    e.name = odd[i];
    e.slug = i == 3 ? "dup" : "app-" + std::to_string(i % 6);  // two share a slug
    e.name_snap = "snap" + std::to_string(i);
    e.ver_cur = odd[(i + 1) % odd.size()];
    e.ver_new = "null";
    entries.push_back(e);
  }
  std::vector<Infoupdate_installed_app> marks(3);
  marks[0].slug = "app-1";
  marks[0].ver_new = "2.0 \"new\"";
  marks[0].is_update = true;
  marks[1].slug = "app-0";  // listed twice: both get the last record's mark
  marks[1].ver_new = "1.0";
  marks[2].slug = "app-0";
  marks[2].ver_new = std::string("9\0", 2);
  marks[2].is_update = true;

  for (size_t n : {size_t{0}, size_t{1}, entries.size()}) {
    const std::vector<nelt::InstalledEntry> some(entries.begin(), entries.begin() + n);
    const std::string stored = Repository::installedListText(some);
    for (const auto& list : {std::vector<Infoupdate_installed_app>{}, marks}) {
      EXPECT_EQ(Repository::markedListText(some, list),
                Repository::markInstalledList(stored, list));
    }
    // The stored text reads back as the entries it was built from.
    std::vector<nelt::InstalledEntry> back;
    ASSERT_TRUE(nelt::readInstalledList(stored, back));
    ASSERT_EQ(back.size(), n);
    for (size_t i = 0; i < n; ++i) {
      EXPECT_EQ(back[i].name, some[i].name);
      EXPECT_EQ(back[i].ver_cur, some[i].ver_cur);
    }
  }
}
