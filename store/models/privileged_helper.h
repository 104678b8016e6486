// How the engine reaches its privileged helper (nelt-helper), the one program
// it runs through pkexec.
#pragma once

#include <string>

namespace nelt {

// The helper next to the running program (an installed window or `nelt`
// finds the installed helper beside it, a build finds the built one), else
// "/usr/bin/nelt-helper". Always an absolute path: it is what the polkit
// action names.
std::string privilegedHelperPath();

// The helper's one-line reason out of its standard output: the last
// non-empty line, without control characters, at most 300 bytes.
std::string helperReason(const std::string& out);

}  // namespace nelt
