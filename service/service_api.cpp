// Placeholder implementation; replaced by the real HTTPS client.
#include "service_api.h"

ServiceAPI::ServiceAPI(std::string addr) : server_host(std::move(addr)) {}
ServiceAPI::~ServiceAPI() {}
void ServiceAPI::getSysInfo() {}
int ServiceAPI::login(std::string, std::string, std::string) { return -1; }
int ServiceAPI::addHeaderToken(std::string, std::string) { return 0; }
std::string ServiceAPI::getUriGET(std::string path, std::string args) { return server_host + path + "/" + args; }
std::string ServiceAPI::getUriGETValue(std::string path, std::string args) { return server_host + path + "?" + args; }
std::string ServiceAPI::getUriPOST(std::string path) { return server_host + path; }
std::string ServiceAPI::getResponse() { return "null"; }
std::string ServiceAPI::getResponseDev() { return "null"; }
int ServiceAPI::readIDRes(std::string) { return -1; }
std::string ServiceAPI::getIDResponse() { return "9999"; }
int ServiceAPI::search(int, std::string, int, int) { return -1; }
int ServiceAPI::getListSections() { return -1; }
int ServiceAPI::getKeyApp(std::string) { return -1; }
int ServiceAPI::getListAppsTest(int) { return -1; }
int ServiceAPI::getDetailApp(int) { return -1; }
int ServiceAPI::getDetailApp(std::string) { return -1; }
size_t ServiceAPI::_write_callback_(void*, size_t size, size_t nmemb, void*) { return size * nmemb; }
std::string ServiceAPI::identityLine(const std::string&) const { return std::string(); }
int ServiceAPI::performGet(const std::string&, const char*) { return -1; }
