#include "snap_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "json_util.h"
#include "kavix_format.h"
#include "paths.h"

namespace nelt {

bool readSmallFile(const std::string& path, std::string& out, size_t max_bytes, long long owner) {
  out.clear();
  // O_NONBLOCK: a FIFO planted in place of the file must not stall the reader.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<unsigned long long>(st.st_size) <= max_bytes &&
            (owner < 0 || (static_cast<long long>(st.st_uid) == owner && st.st_nlink == 1));
  char buf[4096];
  while (ok) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
    if (out.size() > max_bytes) ok = false;
  }
  ::close(fd);
  if (!ok) out.clear();
  return ok;
}

std::string installedMetaPath(const std::string& name) { return snapRoot() + name + "/kavix.json"; }

bool snapIsInstalled(const std::string& name) {
  struct stat st;
  return lstat((snapRoot() + name + "/current").c_str(), &st) == 0;
}

std::string installedSnapVersion(const std::string& name) {
  std::string yaml;
  if (!readSmallFile(snapRoot() + name + "/current/meta/snap.yaml", yaml, KAVIX_MAX_META_BYTES))
    return "";
  if (snapYamlValue(yaml, "name") != name) return "";
  return snapYamlValue(yaml, "version");
}

bool snapYamlIdentity(const std::string& yaml, std::string& name, std::string& version,
                      std::string& error) {
  name = snapYamlValue(yaml, "name");
  version = snapYamlValue(yaml, "version");
  if (!name.empty()) return true;
  error = "the snap's meta/snap.yaml names no snap";
  return false;
}

SnapState readSnapState(const std::string& name) {
  SnapState state;
  state.installed = snapIsInstalled(name);
  if (state.installed) state.version = installedSnapVersion(name);
  std::string text;
  if (readSmallFile(installedMetaPath(name), text, KAVIX_MAX_META_BYTES)) {
    rapidjson::Document doc;
    doc.Parse(text.c_str(), text.size());
    if (!doc.HasParseError() && doc.IsObject()) getString(doc, "slug", state.owner);
    state.has_meta = state.installed;
    state.meta = std::move(text);
  }
  return state;
}

std::string foreignOwner(const SnapState& state, const std::string& slug) {
  if (!state.installed || state.owner.empty() || state.owner == slug) return "";
  return state.owner;
}

}  // namespace nelt
