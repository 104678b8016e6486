// The repository's data files: folder resolution, plain files, stored logins
// with their token and account number, and the per-account settings.
#include "repository.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "store_client_support.h"

using namespace nelt::test;

namespace {

class RepositoryData : public ::testing::Test {
 protected:
  FakeSystem sys;
};

std::vector<std::string> entriesOf(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") out.push_back(e->d_name);
    closedir(d);
  }
  return out;
}

}  // namespace

TEST_F(RepositoryData, ResolvesTheDataFolderAndCreatesItsSubFolders) {
  {
    Repository repo(sys.dataDir());
    EXPECT_EQ(repo.dataFolder(), sys.dataDir() + "/");
    EXPECT_TRUE(nelt::isDirectory(sys.dataDir() + "/apps"));
    EXPECT_TRUE(nelt::isDirectory(sys.dataDir() + "/users"));
    EXPECT_EQ(repo.getPath("./user.json"), sys.dataDir() + "/user.json");
  }
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(sys.root().c_str()), 0);
  {
    Repository relative("./rel-data");
    EXPECT_EQ(relative.dataFolder(), sys.root() + "/rel-data/");
    Repository plain("plain");
    EXPECT_EQ(plain.dataFolder(), sys.root() + "/plain/");
  }
  EXPECT_TRUE(nelt::isDirectory(sys.root() + "/rel-data/apps"));
  ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(RepositoryData, PlainFilesRoundTripAndTheStoreLoginGoesAtStart) {
  nelt::makeDirs(sys.dataDir());
  writeFile(sys.dataDir() + "/user.json", "{\"token\":\"old\"}");
  writeFile(sys.dataDir() + "/dev.json", "{\"token\":\"dev\"}");
  Repository repo(sys.dataDir());
  EXPECT_FALSE(nelt::fileExists(sys.dataDir() + "/user.json"));
  EXPECT_EQ(repo.readToken(DEV_OBJ), "dev");

  repo.writeData(SECTION_OBJ, "[{\"id\":1,\n\"name\":\"Văn phòng\"}]");
  EXPECT_EQ(readFile(sys.dataDir() + "/sections.json"), "[{\"id\":1,\n\"name\":\"Văn phòng\"}]");
  EXPECT_EQ(repo.readData(SECTION_OBJ), "[{\"id\":1,\"name\":\"Văn phòng\"}]");
  EXPECT_EQ(repo.readData(ALL_OBJ), "");

  const auto before = entriesOf(sys.dataDir());
  repo.writeData(ALL_OBJ, "x");
  repo.writeData(SECTION_OBJ, "[]");
  // Replacing a file leaves no temporary file behind.
  EXPECT_EQ(entriesOf(sys.dataDir()), before);
  EXPECT_EQ(repo.readData(SECTION_OBJ), "[]");
}

TEST_F(RepositoryData, TokenAndAccountNumberOfAStoredLogin) {
  Repository repo(sys.dataDir());
  EXPECT_EQ(repo.readToken(USER_OBJ), "");
  EXPECT_EQ(repo.getIDUserName(USER_OBJ), "");

  repo.writeData(USER_OBJ, "{\"token\":\"abc.def\",\"key\":\"account\",\"user\":{\"id\":7}}");
  EXPECT_EQ(repo.readToken(USER_OBJ), "abc.def");
  EXPECT_EQ(repo.getIDUserName(USER_OBJ), "7");
  struct stat st;
  ASSERT_EQ(stat((sys.dataDir() + "/user.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "the login holds a token";

  repo.writeData(USER_OBJ, "{\"token\":\"only\"}");
  EXPECT_EQ(repo.readToken(USER_OBJ), "only");
  EXPECT_EQ(repo.getIDUserName(USER_OBJ), "");

  // A refused login stores the empty text; a broken reply "null".
  for (const char* stored : {"", "null", "[1,2]", "{\"token\":5,\"user\":{\"id\":\"7\"}}",
                             "{\"user\":[]}", "not json"}) {
    repo.writeData(USER_OBJ, stored);
    EXPECT_EQ(repo.readToken(USER_OBJ), "") << stored;
    EXPECT_EQ(repo.getIDUserName(USER_OBJ), "") << stored;
  }
  repo.writeData(USER_OBJ, "{\"token\":\"again\",\"user\":{\"id\":12}}");
  EXPECT_EQ(repo.readToken(USER_OBJ), "again");
  EXPECT_EQ(repo.getIDUserName(USER_OBJ), "12");

  repo.removeToken(USER_OBJ);
  repo.removeToken(USER_OBJ);  // a missing file is no error
  EXPECT_EQ(repo.readToken(USER_OBJ), "");
  EXPECT_FALSE(nelt::fileExists(sys.dataDir() + "/user.json")) << "reading must not create it";
}

TEST_F(RepositoryData, SettingsPerAccountWithTheExactDefault) {
  Repository repo(sys.dataDir());
  const std::string def = "{\"id\": -1,\"setting\":{\"autoUpdate\": 0}}";
  EXPECT_EQ(repo.getFormSettingNull(), def);
  EXPECT_EQ(repo.getSetting("7"), def);

  // An unreadable account number (empty) names no file: no "users/.json"
  // shared by every such account.
  EXPECT_EQ(repo.saveSetting("", "{\"id\":-1,\"setting\":{\"autoUpdate\":1}}"), -1);
  EXPECT_EQ(repo.saveSetting("-", "{\"id\":-1,\"setting\":{\"autoUpdate\":1}}"), -1);
  EXPECT_FALSE(nelt::fileExists(sys.dataDir() + "/users/.json"));
  EXPECT_EQ(repo.getSetting(""), def);

  EXPECT_EQ(repo.saveSetting("7", "{\"id\":7,\"setting\":{\"autoUpdate\":0}}"), 0);
  EXPECT_EQ(repo.getSetting("7"), "{\"id\":7,\"setting\":{\"autoUpdate\":0}}");
  struct stat st;
  ASSERT_EQ(stat((sys.dataDir() + "/users/7.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "settings belong to the account";

  // Text that is not a settings object never replaces stored settings.
  EXPECT_EQ(repo.saveSetting("7", "garbage"), -1);
  EXPECT_EQ(repo.saveSetting("7", "[]"), -1);
  EXPECT_EQ(repo.getSetting("7"), "{\"id\":7,\"setting\":{\"autoUpdate\":0}}");

  // Only an account number names a settings file.
  EXPECT_EQ(repo.saveSetting("../../evil", "{}"), -1);
  EXPECT_FALSE(nelt::fileExists(sys.root() + "/evil.json"));
  EXPECT_EQ(repo.getSetting("../user"), def);
}
