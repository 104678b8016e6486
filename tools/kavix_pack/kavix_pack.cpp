#include "kavix_pack.h"

#include <fcntl.h>
#include <rapidjson/document.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fsutil.h"
#include "json_util.h"
#include "kavix_format.h"
#include "process.h"

namespace nelt::kavix {

namespace {

// What goes into the archive: the snap at the info's "snap" path, the
// metadata file beside it, and the folders above them (so every unzip tool
// recreates them).
struct Layout {
  std::string snap_entry;
  std::string json_entry;
  std::vector<std::string> dirs;  // "a/", "a/b/"
  std::string snap_name;          // the info's "name"
};

std::string errnoText() { return std::strerror(errno); }

bool planLayout(const PackRequest& req, Layout& out, std::string& why) {
  rapidjson::Document info;
  info.Parse(req.info.c_str(), req.info.size());
  if (info.HasParseError() || !info.IsObject()) {
    why = "the info document is not a JSON object";
    return false;
  }
  if (!getString(info, "name", out.snap_name)) {
    why = "the info document has no string \"name\"";
    return false;
  }
  if (!isValidSnapName(out.snap_name)) {
    why = "the info \"name\" \"" + out.snap_name + "\" is not a valid snap name";
    return false;
  }
  if (!getString(info, "snap", out.snap_entry)) {
    why = "the info document has no string \"snap\"";
    return false;
  }
  if (!isSafeRelativePath(out.snap_entry)) {
    why =
        "the info \"snap\" must be a relative path inside the package (no \"..\", no leading "
        "\"/\")";
    return false;
  }
  const std::size_t slash = out.snap_entry.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : out.snap_entry.substr(0, slash + 1);
  out.json_entry = folder + "kavix.json";
  if (out.json_entry == out.snap_entry) {
    why = "the info \"snap\" must not be named \"kavix.json\"";
    return false;
  }
  out.dirs.clear();
  for (std::size_t pos = folder.find('/'); pos != std::string::npos;
       pos = folder.find('/', pos + 1)) {
    out.dirs.push_back(folder.substr(0, pos + 1));
  }
  return true;
}

// The metadata file must be what the installed-applications inventory can
// read; the installer adds "slug" itself and never replaces one, so a
// different "slug" in the file would attach the application to another slug.
bool checkKavixJson(const std::string& text, const std::string& slug, std::string& version,
                    std::string& why) {
  if (text.size() > KAVIX_MAX_META_BYTES) {
    why = "kavix.json is larger than " + std::to_string(KAVIX_MAX_META_BYTES) + " bytes";
    return false;
  }
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError() || !doc.IsObject()) {
    why = "kavix.json is not a JSON object";
    return false;
  }
  std::string value;
  for (const char* key : {"name", "long-name", "version"}) {
    if (!getString(doc, key, value)) {
      why = std::string("kavix.json has no string \"") + key + "\"";
      return false;
    }
  }
  // The installer refuses what the store could not list: empty, long or
  // multi-line values.
  rapidjson::Document listed;
  if (!checkKavixMeta(text, listed, why)) return false;
  getString(doc, "version", version);
  if (doc.HasMember("slug")) {
    if (!getString(doc, "slug", value) || value != slug) {
      why = "kavix.json carries a \"slug\" other than \"" + slug +
            "\" (leave it out; the installer adds it)";
      return false;
    }
  }
  return true;
}

// The snap must be a squashfs image whose snap.yaml names the snap the info
// document announces: the installer checks for "/var/snap/" + that name.
bool checkSnap(const std::string& path, const std::string& snap_name, const std::string& version,
               std::string& why) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "the snap \"" + path + "\" is not a readable file";
    return false;
  }
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
  char magic[4] = {};
  if (!f || std::fread(magic, 1, sizeof magic, f.get()) != sizeof magic ||
      std::memcmp(magic, "hsqs", 4) != 0) {
    why = "the snap \"" + path + "\" is not a squashfs image";
    return false;
  }
  const ProcessResult r = runProgram({"unsquashfs", "-cat", path, "meta/snap.yaml"});
  if (!r.started) {
    std::fprintf(
        stderr,
        "kavix-pack: warning: unsquashfs is not available; the snap's name is not checked\n");
    return true;
  }
  if (r.exit_code != 0) {
    why = "the snap \"" + path + "\" has no readable meta/snap.yaml";
    return false;
  }
  const std::string yaml_name = snapYamlValue(r.out, "name");
  if (yaml_name != snap_name) {
    why =
        "the snap is named \"" + yaml_name + "\" but the info \"name\" says \"" + snap_name + "\"";
    return false;
  }
  const std::string yaml_version = snapYamlValue(r.out, "version");
  if (yaml_version != version) {
    std::fprintf(
        stderr, "kavix-pack: warning: snap version \"%s\" differs from kavix.json version \"%s\"\n",
        yaml_version.c_str(), version.c_str());
  }
  return true;
}

std::string zipError(zip_t* za) { return zip_strerror(za); }

// Removes the files it holds when it goes out of scope.
struct TempFiles {
  std::vector<std::string> paths;
  ~TempFiles() {
    for (const auto& p : paths) unlink(p.c_str());
  }
};

// A unique temporary name in the folder of `target` (the same file system, so
// the final rename is atomic).
bool makeTempBeside(const std::string& target, const char* tag, std::string& out,
                    std::string& why) {
  std::string tmpl = target + tag + "XXXXXX";
  const int fd = mkstemp(tmpl.data());
  if (fd < 0) {
    why = "cannot create a temporary file beside \"" + target + "\": " + errnoText();
    return false;
  }
  close(fd);
  out = tmpl;
  return true;
}

std::int64_t fileSize(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

bool setEntry(zip_t* za, zip_int64_t idx, bool compress, const PackRequest& req, std::string& why) {
  if (zip_set_file_compression(za, static_cast<zip_uint64_t>(idx),
                               compress ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0) != 0) {
    why = "cannot set compression: " + zipError(za);
    return false;
  }
  if (req.encryption != ZIP_EM_NONE &&
      zip_file_set_encryption(za, static_cast<zip_uint64_t>(idx), req.encryption,
                              req.password.c_str()) != 0) {
    why = "cannot set encryption: " + zipError(za);
    return false;
  }
  // Reproducible archives when the build asks for it.
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
    char* end = nullptr;
    const long long t = std::strtoll(epoch, &end, 10);
    if (end != epoch && *end == '\0' && t >= 315532800) {  // zip times start in 1980
      zip_file_set_mtime(za, static_cast<zip_uint64_t>(idx), static_cast<time_t>(t), 0);
    }
  }
  return true;
}

bool writeArchive(const std::string& zip_path, const PackRequest& req, const Layout& layout,
                  const std::string& json_text, std::string& why) {
  int err = 0;
  zip_t* za = zip_open(zip_path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
  if (za == nullptr) {
    zip_error_t ze;
    zip_error_init_with_code(&ze, err);
    why = std::string("cannot create the archive: ") + zip_error_strerror(&ze);
    zip_error_fini(&ze);
    return false;
  }
  auto fail = [&](const std::string& what) {
    why = what;
    zip_discard(za);
    return false;
  };
  for (const auto& dir : layout.dirs) {
    if (zip_dir_add(za, dir.c_str(), ZIP_FL_ENC_UTF_8) < 0)
      return fail("cannot add \"" + dir + "\": " + zipError(za));
  }
  zip_source_t* snap_src = zip_source_file(za, req.snap_path.c_str(), 0, -1);
  if (snap_src == nullptr) return fail("cannot read the snap: " + zipError(za));
  zip_int64_t idx = zip_file_add(za, layout.snap_entry.c_str(), snap_src, ZIP_FL_ENC_UTF_8);
  if (idx < 0) {
    zip_source_free(snap_src);
    return fail("cannot add the snap: " + zipError(za));
  }
  // A snap is squashfs, already compressed: storing it saves time for nothing lost.
  if (!setEntry(za, idx, false, req, why)) return fail(why);

  zip_source_t* json_src = zip_source_buffer(za, json_text.data(), json_text.size(), 0);
  if (json_src == nullptr) return fail("cannot read kavix.json: " + zipError(za));
  idx = zip_file_add(za, layout.json_entry.c_str(), json_src, ZIP_FL_ENC_UTF_8);
  if (idx < 0) {
    zip_source_free(json_src);
    return fail("cannot add kavix.json: " + zipError(za));
  }
  if (!setEntry(za, idx, true, req, why)) return fail(why);

  if (zip_close(za) != 0) return fail("cannot write the archive: " + zipError(za));
  return true;
}

// Readers take the first 1024 bytes in one read, so a smaller package would be
// refused. The archive comment pads a tiny package up to that size without
// touching its entries.
bool padArchive(const std::string& zip_path, std::size_t pad, std::string& why) {
  if (pad > 0xFFFF) {
    why = "padding too large";
    return false;
  }
  int err = 0;
  zip_t* za = zip_open(zip_path.c_str(), 0, &err);
  if (za == nullptr) {
    why = "cannot reopen the archive for padding";
    return false;
  }
  std::string comment = "kavix";
  comment.resize(pad, ' ');
  comment.resize(pad);
  if (zip_set_archive_comment(za, comment.data(), static_cast<zip_uint16_t>(pad)) != 0 ||
      zip_close(za) != 0) {
    why = "cannot pad the archive: " + zipError(za);
    zip_discard(za);
    return false;
  }
  return true;
}

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool assemble(const std::string& out_path, const std::string& header, const std::string& zip_path,
              std::string& why) {
  const int fd = open(out_path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) {
    why = "cannot write \"" + out_path + "\": " + errnoText();
    return false;
  }
  bool ok = writeAll(fd, header.data(), header.size());
  std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(zip_path.c_str(), "rb"), &std::fclose);
  ok = ok && in != nullptr;
  std::vector<char> buf(1 << 16);
  while (ok) {
    const std::size_t n = std::fread(buf.data(), 1, buf.size(), in.get());
    if (n > 0) ok = writeAll(fd, buf.data(), n);
    if (n < buf.size()) {
      ok = ok && !std::ferror(in.get());
      break;
    }
  }
  ok = ok && fsync(fd) == 0 && fchmod(fd, 0644) == 0;
  if (close(fd) != 0) ok = false;
  if (!ok) why = "cannot write \"" + out_path + "\": " + errnoText();
  return ok;
}

// Reads an archive entry to its end (libzip checks the CRC at the end) and
// compares it with `expected`, which is read in step from its source.
bool entryMatches(zip_t* za, zip_uint64_t idx, const char* password, FILE* expected,
                  const std::string* expected_text, std::string& why) {
  zip_file_t* zf = zip_fopen_index_encrypted(za, idx, 0, password);
  if (zf == nullptr) {
    why = "cannot open the entry: " + zipError(za);
    return false;
  }
  std::vector<char> got(1 << 16), want(1 << 16);
  std::size_t text_pos = 0;
  bool ok = true;
  for (;;) {
    const zip_int64_t n = zip_fread(zf, got.data(), got.size());
    if (n < 0) {
      why = std::string("cannot read the entry: ") + zip_file_strerror(zf);
      ok = false;
      break;
    }
    if (n == 0) break;
    const std::size_t len = static_cast<std::size_t>(n);
    if (expected != nullptr) {
      if (std::fread(want.data(), 1, len, expected) != len ||
          std::memcmp(want.data(), got.data(), len) != 0) {
        why = "the entry differs from its source";
        ok = false;
        break;
      }
    } else {
      if (expected_text->compare(text_pos, len, got.data(), len) != 0) {
        why = "the entry differs from its source";
        ok = false;
        break;
      }
      text_pos += len;
    }
  }
  if (zip_fclose(zf) != 0 && ok) {
    why = "the entry fails its check";
    ok = false;
  }
  if (ok) {
    const bool at_end =
        expected != nullptr ? std::fgetc(expected) == EOF : text_pos == expected_text->size();
    if (!at_end) {
      why = "the entry is shorter than its source";
      ok = false;
    }
  }
  return ok;
}

}  // namespace

bool parseEncryption(const std::string& name, std::uint16_t& method) {
  if (name == "aes256") {
    method = ZIP_EM_AES_256;
  } else if (name == "aes192") {
    method = ZIP_EM_AES_192;
  } else if (name == "aes128") {
    method = ZIP_EM_AES_128;
  } else if (name == "zipcrypto" || name == "traditional") {
    method = ZIP_EM_TRAD_PKWARE;
  } else if (name == "none") {
    method = ZIP_EM_NONE;
  } else {
    return false;
  }
  return true;
}

const char* encryptionName(std::uint16_t method) {
  switch (method) {
    case ZIP_EM_AES_256:
      return "AES-256";
    case ZIP_EM_AES_192:
      return "AES-192";
    case ZIP_EM_AES_128:
      return "AES-128";
    case ZIP_EM_TRAD_PKWARE:
      return "traditional zip encryption";
    case ZIP_EM_NONE:
      return "no encryption";
    default:
      return "unknown encryption";
  }
}

bool keyFromKeysFile(const std::string& path, const std::string& slug, std::string& key,
                     std::string& why) {
  std::string text;
  if (!readWholeFile(path, text)) {
    why = "cannot read the keys file \"" + path + "\"";
    return false;
  }
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError()) {
    why = "the keys file \"" + path + "\" is not JSON";
    return false;
  }
  const rapidjson::Value* keys = &doc;
  if (doc.IsObject()) {
    if (const rapidjson::Value* inner = getObject(doc, "keys"))
      keys = inner;
    else if (const rapidjson::Value* arr = getArray(doc, "keys"))
      keys = arr;
  }
  if (keys->IsObject()) {
    if (getString(*keys, slug.c_str(), key)) return true;
    if (const rapidjson::Value* entry = getObject(*keys, slug.c_str())) {
      if (getString(*entry, "key", key)) return true;
    }
  } else if (keys->IsArray()) {
    for (const auto& entry : keys->GetArray()) {
      std::string s;
      if (getString(entry, "slug", s) && s == slug && getString(entry, "key", key)) return true;
    }
  }
  why = "the keys file \"" + path + "\" has no key for \"" + slug + "\"";
  return false;
}

int buildPackage(const PackRequest& req, std::string& summary, std::string& why) {
  if (!isValidSlug(req.slug)) {
    why = "invalid slug \"" + req.slug +
          "\" (letters, digits, \".\", \"_\", \"-\"; not starting with \".\"; at most 255 bytes)";
    return -1;
  }
  if (req.encryption != ZIP_EM_NONE) {
    if (req.password.empty()) {
      why = "an empty password is not accepted";
      return -1;
    }
    if (req.password.find('\0') != std::string::npos) {
      why = "the password contains a zero byte";
      return -1;
    }
    if (zip_encryption_method_supported(req.encryption, 1) == 0) {
      why = std::string("this libzip cannot write ") + encryptionName(req.encryption);
      return -1;
    }
  }
  std::string header;
  if (!encodeHeader(req.slug, req.info, header, why)) return -1;
  Layout layout;
  if (!planLayout(req, layout, why)) return -1;
  std::string json_text, version;
  if (!readWholeFile(req.kavix_json_path, json_text)) {
    why = "cannot read \"" + req.kavix_json_path + "\"";
    return -1;
  }
  if (!checkKavixJson(json_text, req.slug, version, why)) return -1;
  if (!checkSnap(req.snap_path, layout.snap_name, version, why)) return -1;

  TempFiles temps;
  std::string zip_path, out_tmp;
  if (!makeTempBeside(req.output, ".zip-", zip_path, why)) return -1;
  temps.paths.push_back(zip_path);
  if (!writeArchive(zip_path, req, layout, json_text, why)) return -1;
  std::int64_t zip_size = fileSize(zip_path);
  if (zip_size < 0) {
    why = "the archive was not written";
    return -1;
  }
  const std::uint64_t total = header.size() + static_cast<std::uint64_t>(zip_size);
  if (total < FIRST_BLOCK_SIZE) {
    if (!padArchive(zip_path, static_cast<std::size_t>(FIRST_BLOCK_SIZE - total), why)) return -1;
    zip_size = fileSize(zip_path);
  }

  if (!makeTempBeside(req.output, ".tmp-", out_tmp, why)) return -1;
  temps.paths.push_back(out_tmp);
  if (!assemble(out_tmp, header, zip_path, why)) return -1;
  if (verifyPackage(out_tmp, req, why) != 0) {
    why = "the written package does not read back: " + why;
    return -1;
  }
  if (rename(out_tmp.c_str(), req.output.c_str()) != 0) {
    why = "cannot move the package to \"" + req.output + "\": " + errnoText();
    return -1;
  }
  temps.paths.pop_back();
  summary =
      req.output + " (" + std::to_string(header.size() + static_cast<std::uint64_t>(zip_size)) +
      " bytes; header " + std::to_string(header.size()) + " bytes; entries " + layout.snap_entry +
      ", " + layout.json_entry + "; " + encryptionName(req.encryption) + ")";
  return 0;
}

int verifyPackage(const std::string& package, const PackRequest& req, std::string& why) {
  PackageHeader h;
  const HeaderStatus st = readHeader(package, h);
  if (st != HeaderStatus::Ok) {
    why = headerStatusText(st);
    return -1;
  }
  if (h.name != req.slug || h.info != req.info) {
    why = "the header's name or info differ from what was asked";
    return -1;
  }
  const std::int64_t size = fileSize(package);
  if (size < static_cast<std::int64_t>(FIRST_BLOCK_SIZE) ||
      static_cast<std::uint64_t>(size) <= h.payload_offset) {
    why = "the package is too short";
    return -1;
  }
  Layout layout;
  if (!planLayout(req, layout, why)) return -1;
  std::string json_text;
  if (!readWholeFile(req.kavix_json_path, json_text)) {
    why = "cannot read \"" + req.kavix_json_path + "\"";
    return -1;
  }

  zip_error_t ze;
  zip_error_init(&ze);
  zip_source_t* src = zip_source_file_create(
      package.c_str(), h.payload_offset,
      static_cast<zip_int64_t>(static_cast<std::uint64_t>(size) - h.payload_offset), &ze);
  zip_t* za = src != nullptr ? zip_open_from_source(src, ZIP_RDONLY | ZIP_CHECKCONS, &ze) : nullptr;
  if (za == nullptr) {
    why = std::string("the payload is not a readable zip archive: ") + zip_error_strerror(&ze);
    if (src != nullptr) zip_source_free(src);
    zip_error_fini(&ze);
    return -1;
  }
  zip_error_fini(&ze);
  std::unique_ptr<zip_t, void (*)(zip_t*)> guard(za, [](zip_t* z) { zip_discard(z); });

  const zip_int64_t count = zip_get_num_entries(za, 0);
  if (count != static_cast<zip_int64_t>(layout.dirs.size() + 2)) {
    why = "the archive holds " + std::to_string(count) + " entries, not " +
          std::to_string(layout.dirs.size() + 2);
    return -1;
  }
  const char* password = req.encryption == ZIP_EM_NONE ? nullptr : req.password.c_str();
  for (const std::string* name : {&layout.snap_entry, &layout.json_entry}) {
    const zip_int64_t idx = zip_name_locate(za, name->c_str(), 0);
    zip_stat_t zs;
    zip_stat_init(&zs);
    if (idx < 0 || zip_stat_index(za, static_cast<zip_uint64_t>(idx), 0, &zs) != 0) {
      why = "the archive has no \"" + *name + "\"";
      return -1;
    }
    if ((zs.valid & ZIP_STAT_ENCRYPTION_METHOD) == 0 || zs.encryption_method != req.encryption) {
      why = "\"" + *name + "\" is not protected with " + encryptionName(req.encryption);
      return -1;
    }
    bool ok;
    if (name == &layout.snap_entry) {
      std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(req.snap_path.c_str(), "rb"),
                                              &std::fclose);
      ok = f != nullptr &&
           entryMatches(za, static_cast<zip_uint64_t>(idx), password, f.get(), nullptr, why);
    } else {
      ok = entryMatches(za, static_cast<zip_uint64_t>(idx), password, nullptr, &json_text, why);
    }
    if (!ok) {
      why = "\"" + *name + "\": " + (why.empty() ? "cannot read its source" : why);
      return -1;
    }
  }
  return 0;
}

}  // namespace nelt::kavix
