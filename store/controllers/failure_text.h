// What the window tells a person when something fails: the engine's and the
// service's one-line English reasons in Vietnamese, and the words for a
// store or service that cannot be reached.
#pragma once

#include <QString>
#include <string>

// One Vietnamese line for the engine's reason of a failed install
// (`KavixModel::lastError`, "download failed: ...", "authorisation refused:
// ..."). An unknown or empty reason gives a general line.
QString installFailureReason(const std::string& reason);

// The store server (through the service) could not be reached.
extern const char* const TEXT_STORE_UNREACHABLE;
// The service of the window is not running.
extern const char* const TEXT_SERVICE_DOWN;
// Why the sign-in page is shown for an install.
extern const char* const TEXT_SIGN_IN_TO_INSTALL;
// The updates page lists nothing.
extern const char* const TEXT_ALL_UP_TO_DATE;
