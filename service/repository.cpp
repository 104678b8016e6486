// Placeholder implementation; replaced by the real repository.
#include "repository.h"

Repository::Repository(std::string folder) : data_folder(std::move(folder)) {}
Repository::~Repository() {}
std::string Repository::getPath(std::string file) { return data_folder + file; }
void Repository::writeData(ObjType, std::string) {}
std::string Repository::readData(ObjType) { return std::string(); }
std::string Repository::readToken(ObjType) { return std::string(); }
void Repository::removeToken(ObjType) {}
std::string Repository::getIDUserName(ObjType) { return std::string(); }
void Repository::saveSetting(std::string, std::string) {}
std::string Repository::getSetting(std::string) { return getFormSettingNull(); }
std::string Repository::getFormSettingNull() { return "{\"id\": -1,\"setting\":{\"autoUpdate\": 0}}"; }
int Repository::getListInstalled() { return -1; }
int Repository::readKavixJson(std::string) { return -1; }
void Repository::updateInstalledList(std::vector<Infoupdate_installed_app>) {}
void Repository::saveApps(std::string) {}
int Repository::saveImage(std::string, rapidjson::Document&) { return -1; }
void Repository::refreshApps() {}
bool Repository::hasApp(std::string, std::string&, int&) { return false; }
std::string Repository::readDataApp(std::string&) { return std::string(); }
void Repository::clearCache() {}
const char* Repository::fileName(ObjType) { return nullptr; }
