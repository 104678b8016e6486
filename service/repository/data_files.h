// The plain files of the service's data folder: the stored logins with their
// token and account number ("user.json", "dev.json"), the section list, the
// application index, the installed list, and the per-account settings in
// "users/". Used by the request-handling thread only.
#pragma once

#include <fstream>
#include <string>

enum ObjType {
  USER_OBJ = 0,
  DEV_OBJ = 1,
  APP_OBJ = 2,
  SECTION_OBJ = 3,
  INSTALLED_OBJ = 4,
  ALL_OBJ = 5,
};

class DataFiles {
 public:
  // Makes the folder with "apps/" and "users/" and removes the temporary
  // files an interrupted write left there. A relative `folder` is taken
  // from the working directory.
  explicit DataFiles(std::string folder);
  ~DataFiles();
  DataFiles(const DataFiles&) = delete;
  DataFiles& operator=(const DataFiles&) = delete;

  std::string getPath(std::string file);
  // 0 when the file was replaced, -1 when it could not be written.
  int writeData(ObjType type, std::string data);
  std::string readData(ObjType type);
  std::string readToken(ObjType type);
  void removeToken(ObjType type);
  std::string getIDUserName(ObjType type);
  // 0 when stored; -1 (nothing changed) when `setting` is not a JSON object,
  // the account number is not a number or the file cannot be written.
  int saveSetting(std::string user, std::string setting);
  std::string getSetting(std::string user);
  std::string getFormSettingNull();

  const std::string& dataFolder() const { return data_folder; }
  static const char* fileName(ObjType type);

 private:
  std::fstream fuser;
  std::fstream fdev;
  std::string data_folder;

  std::string readLogin(ObjType type);
};
