// Window-wide values of the store window program.
#pragma once

#include <string>

// Base address of the store server, received from the service (REQ_GETHOST).
extern std::string URL_HOST;

// Slug of the install under way, empty when none. Written by the detail page
// and cleared by the install worker, read by the tiles: use the two functions,
// which take a lock, from any thread.
std::string currentInstall();
void setCurrentInstall(const std::string& slug);
