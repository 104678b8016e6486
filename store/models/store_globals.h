// Process-wide values of the store window program (and of `nelt`, which
// shares the service client and the package engine).
//
// They live in their own namespace: the service has a `URL_HOST` of its own,
// and a program that links both the service's and the window's libraries
// (a test, a tool) must see two distinct values.
//
// Thread rules: each value says which threads may touch it. "GUI thread"
// means the thread that runs the Qt event loop (the main thread of `nelt`).
#pragma once

#include <string>

namespace nelt::window {

// Base address of the store server, received from the service (REQ_GETHOST).
// Written on the GUI thread while connecting to the service, before any page
// or install job exists; read-only afterwards, so any thread may read it.
extern std::string URL_HOST;

// The service's port as last read from the port file; 0 until one was read.
// GUI thread only (start-up, before the window and its poll exist).
extern int _PORT_LOCAL;

// The application whose button (or tile) was pressed last: decimal id, "&",
// slug. Widget signals carry no arguments, so receivers read this instead.
// GUI thread only.
extern std::string KAVIX_APP_CURRENT;

// The section whose "all" link was pressed last: section name, "&", decimal
// section id. GUI thread only.
extern std::string KAVIX_SECTION_CURRENT;

// Slug of the install under way (KAVIX_STORE_CURRENT_INSTALL), empty when
// none. Written by the detail page and cleared by the install worker, read by
// the tiles: any thread, through these two functions, which take a lock.
std::string currentInstall();
void setCurrentInstall(const std::string& slug);

}  // namespace nelt::window
