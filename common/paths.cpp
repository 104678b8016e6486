#include "paths.h"

#include <cstdlib>

namespace nelt {

std::string rootPrefix() {
  const char* root = std::getenv("NELT_ROOT");
  if (root == nullptr || *root == '\0') return std::string();
  std::string prefix(root);
  while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
  if (prefix == "/") return std::string();
  return prefix;
}

std::string systemPath(const std::string& absolute) { return rootPrefix() + absolute; }

}  // namespace nelt
