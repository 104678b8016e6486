// How the engine reaches its privileged helper (nelt-helper), the one program
// it runs through pkexec.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace nelt {

// The helper next to the running program (an installed window or `nelt`
// finds the installed helper beside it, a build finds the built one), else
// "/usr/bin/nelt-helper". Always an absolute path: it is what the polkit
// action names.
std::string privilegedHelperPath();

// The helper's one-line reason out of its standard output: the last
// non-empty line, without control characters, at most 300 bytes.
std::string helperReason(const std::string& out);

// At most this many applications go to one "install-batch" run; the helper
// refuses longer batches without running anything.
constexpr size_t HELPER_MAX_BATCH = 64;

// The outcome of each application of an "install-batch" run, from its
// lines "app N CODE REASON" (N counts from 1). `codes` and `reasons` get
// one entry per application; an application without a line keeps code -1
// (the run ended before it) and an empty reason.
void readBatchResults(const std::string& out, size_t count, std::vector<int>& codes,
                      std::vector<std::string>& reasons);

}  // namespace nelt
