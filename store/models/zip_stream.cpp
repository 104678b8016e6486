#include "zip_stream.h"

#include <fcntl.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>

#include "fsutil.h"

namespace nelt {

size_t MemorySource::read(unsigned char* buf, size_t n) {
  const size_t k = std::min({n, piece_, data_.size() - pos_});
  std::memcpy(buf, data_.data() + pos_, k);
  pos_ += k;
  return k;
}

GrowingFileSource::GrowingFileSource(int fd, uint64_t written) : fd_(fd), written_(written) {}

GrowingFileSource::~GrowingFileSource() {
  if (fd_ >= 0) ::close(fd_);
}

void GrowingFileSource::advance(uint64_t written) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (written > written_) written_ = written;
  }
  cv_.notify_all();
}

void GrowingFileSource::finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
  }
  cv_.notify_all();
}

void GrowingFileSource::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  cv_.notify_all();
}

bool GrowingFileSource::stopped() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopped_;
}

void GrowingFileSource::seek(uint64_t pos) { pos_ = pos; }

size_t GrowingFileSource::read(unsigned char* buf, size_t n) {
  uint64_t limit = 0;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return stopped_ || finished_ || written_ > pos_; });
    if (stopped_ || written_ <= pos_) return 0;
    limit = written_;
  }
  const size_t want = static_cast<size_t>(std::min<uint64_t>(n, limit - pos_));
  for (;;) {
    const ssize_t got = ::pread(fd_, buf, want, static_cast<off_t>(pos_));
    if (got < 0 && errno == EINTR) continue;
    // Fewer bytes than the writer reported: the file was cut short under
    // the reader (a download that starts over). Nothing more is read.
    if (got <= 0) {
      stop();
      return 0;
    }
    pos_ += static_cast<uint64_t>(got);
    return static_cast<size_t>(got);
  }
}

namespace {

constexpr uint32_t LOCAL_SIG = 0x04034b50;
constexpr uint32_t CENTRAL_SIG = 0x02014b50;
constexpr uint32_t END_SIG = 0x06054b50;
constexpr uint32_t DESCRIPTOR_SIG = 0x08074b50;
constexpr size_t LOCAL_HEADER_SIZE = 30;
constexpr size_t PIECE = 256 * 1024;
// Free space is looked at again after this many bytes written.
constexpr uint64_t SPACE_CHECK_BYTES = 16u << 20;

uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The archive's bytes with look-ahead: a window of what has arrived and not
// been used yet. Header fields are read from it only after `need` said they
// are there.
class Input {
 public:
  explicit Input(ByteSource& src) : src_(src), buf_(2 * PIECE + 2 * 65536 + 64) {}
  // At least `n` bytes at data(); false when the source ends first.
  bool need(size_t n) {
    if (n > buf_.size()) return false;
    if (end_ - pos_ >= n) return true;
    if (pos_ > 0) {
      std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
      end_ -= pos_;
      pos_ = 0;
    }
    while (end_ < n) {
      const size_t got = src_.read(buf_.data() + end_, buf_.size() - end_);
      if (got == 0) return false;
      end_ += got;
    }
    return true;
  }
  // Between 1 and `max` bytes at data(); 0 when the source has ended.
  size_t some(size_t max) {
    if (end_ == pos_ && !need(1)) return 0;
    return std::min(max, end_ - pos_);
  }
  const unsigned char* data() const { return buf_.data() + pos_; }
  void use(size_t n) { pos_ += n; }

 private:
  ByteSource& src_;
  std::vector<unsigned char> buf_;
  size_t pos_ = 0;
  size_t end_ = 0;
};

// Traditional PKWARE encryption: three keys stirred by the plain text.
class PkwareCipher {
 public:
  explicit PkwareCipher(const std::string& password) : table_(get_crc_table()) {
    for (unsigned char c : password) update(c);
  }
  void decrypt(unsigned char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      const uint32_t t = (k2_ | 2) & 0xffff;
      p[i] ^= static_cast<unsigned char>((t * (t ^ 1)) >> 8);
      update(p[i]);
    }
  }

 private:
  uint32_t crc(uint32_t k, unsigned char c) const { return table_[(k ^ c) & 0xff] ^ (k >> 8); }
  void update(unsigned char c) {
    k0_ = crc(k0_, c);
    k1_ = (k1_ + (k0_ & 0xff)) * 134775813u + 1;
    k2_ = crc(k2_, static_cast<unsigned char>(k1_ >> 24));
  }
  const z_crc_t* table_;
  uint32_t k0_ = 305419896u, k1_ = 591751049u, k2_ = 878082192u;
};

// WinZip AES: keys from PBKDF2-HMAC-SHA1 (1000 rounds) of the password and
// the entry's salt; AES in counter mode with a little-endian counter from 1;
// HMAC-SHA1 over the encrypted data, its first 10 bytes after the data.
class AesCipher {
 public:
  ~AesCipher() {
    if (ctx_ != nullptr) EVP_CIPHER_CTX_free(ctx_);
    if (mac_ctx_ != nullptr) EVP_MAC_CTX_free(mac_ctx_);
    if (mac_ != nullptr) EVP_MAC_free(mac_);
  }
  // 1 ready, 0 the password verifier does not match, -1 no cipher.
  int init(const std::string& password, int strength, const unsigned char* salt,
           const unsigned char* verifier) {
    const size_t key_len = 8 + 8 * static_cast<size_t>(strength);
    const size_t salt_len = key_len / 2;
    unsigned char keys[2 * 32 + 2];
    if (PKCS5_PBKDF2_HMAC_SHA1(password.data(), static_cast<int>(password.size()), salt,
                               static_cast<int>(salt_len), 1000, static_cast<int>(2 * key_len + 2),
                               keys) != 1)
      return -1;
    if (keys[2 * key_len] != verifier[0] || keys[2 * key_len + 1] != verifier[1]) return 0;
    const EVP_CIPHER* cipher = strength == 1   ? EVP_aes_128_ecb()
                               : strength == 2 ? EVP_aes_192_ecb()
                                               : EVP_aes_256_ecb();
    ctx_ = EVP_CIPHER_CTX_new();
    if (ctx_ == nullptr || EVP_EncryptInit_ex(ctx_, cipher, nullptr, keys, nullptr) != 1) return -1;
    EVP_CIPHER_CTX_set_padding(ctx_, 0);
    mac_ = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    mac_ctx_ = mac_ != nullptr ? EVP_MAC_CTX_new(mac_) : nullptr;
    char digest[] = "SHA1";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                           OSSL_PARAM_construct_end()};
    if (mac_ctx_ == nullptr || EVP_MAC_init(mac_ctx_, keys + key_len, key_len, params) != 1)
      return -1;
    return 1;
  }
  // Adds `n` encrypted bytes to the authentication code.
  bool authenticate(const unsigned char* p, size_t n) {
    return n == 0 || EVP_MAC_update(mac_ctx_, p, n) == 1;
  }
  // Decrypts `n` bytes in place (the next `n` of the key stream).
  bool crypt(unsigned char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      if (ks_pos_ == ks_len_ && !refill()) return false;
      p[i] ^= ks_[ks_pos_++];
    }
    return true;
  }
  bool codeMatches(const unsigned char* code) {
    unsigned char full[EVP_MAX_MD_SIZE];
    size_t len = 0;
    if (EVP_MAC_final(mac_ctx_, full, &len, sizeof full) != 1 || len < 10) return false;
    return CRYPTO_memcmp(full, code, 10) == 0;
  }

 private:
  // The next 256 blocks of key stream: the counters encrypted in one call.
  bool refill() {
    unsigned char counters[sizeof ks_];
    for (size_t b = 0; b < sizeof ks_ / 16; ++b) {
      for (int i = 0; i < 16 && ++counter_[i] == 0; ++i) {
      }
      std::memcpy(counters + 16 * b, counter_, 16);
    }
    int out = 0;
    if (EVP_EncryptUpdate(ctx_, ks_, &out, counters, sizeof counters) != 1 ||
        out != static_cast<int>(sizeof ks_))
      return false;
    ks_pos_ = 0;
    ks_len_ = sizeof ks_;
    return true;
  }
  EVP_CIPHER_CTX* ctx_ = nullptr;
  EVP_MAC* mac_ = nullptr;
  EVP_MAC_CTX* mac_ctx_ = nullptr;
  unsigned char counter_[16] = {};
  unsigned char ks_[4096];
  size_t ks_pos_ = 0, ks_len_ = 0;
};

// One local header, as far as the reader needs it.
struct LocalEntry {
  uint16_t flags = 0;
  uint16_t method = 0;  // the real one, under AES too
  uint16_t mod_time = 0;
  uint32_t crc = 0;
  uint32_t comp_size = 0;
  uint32_t size = 0;
  std::string name;
  int aes_strength = 0;  // 0 no AES; 1, 2, 3 for 128, 192, 256 bits
  int aes_version = 0;   // 1 (AE-1, with CRC) or 2 (AE-2, CRC 0)
  bool descriptor() const { return (flags & 0x08) != 0; }
  bool encrypted() const { return (flags & 0x01) != 0; }
};

class Streamer {
 public:
  Streamer(ByteSource& src, const std::string& password, const std::string& staging,
           const std::string& self, const UnpackLimits& limits, std::vector<StreamedEntry>& entries,
           std::string& why)
      : in_(src),
        password_(password),
        staging_(staging),
        self_(self),
        limits_(limits),
        entries_(entries),
        why_(why) {}

  int run() {
    for (;;) {
      if (!in_.need(4)) return fail("the archive ends before its central directory");
      const uint32_t sig = le32(in_.data());
      if (sig == CENTRAL_SIG || sig == END_SIG) return 0;
      if (sig != LOCAL_SIG) return fail("unexpected record in the archive");
      if (entries_.size() >= limits_.max_entries)
        return fail("the archive holds more than " + std::to_string(limits_.max_entries) +
                    " entries");
      if (entry() != 0) return -1;
    }
  }

 private:
  int fail(const std::string& why) {
    why_ = why;
    return -1;
  }
  bool cancelled() const { return limits_.cancel != nullptr && limits_.cancel->load(); }

  int readHeader(LocalEntry& e) {
    if (!in_.need(LOCAL_HEADER_SIZE)) return fail("the archive ends inside a local header");
    const unsigned char* h = in_.data();
    e.flags = le16(h + 6);
    e.method = le16(h + 8);
    e.mod_time = le16(h + 10);
    e.crc = le32(h + 14);
    e.comp_size = le32(h + 18);
    e.size = le32(h + 22);
    const size_t name_len = le16(h + 26);
    const size_t extra_len = le16(h + 28);
    if (!in_.need(LOCAL_HEADER_SIZE + name_len + extra_len))
      return fail("the archive ends inside a local header");
    h = in_.data();
    e.name.assign(reinterpret_cast<const char*>(h + LOCAL_HEADER_SIZE), name_len);
    // Strong encryption, an encrypted central directory and patched data
    // are beyond this reader.
    if ((e.flags & (0x40 | 0x2000 | 0x20)) != 0) return fail("unsupported entry flags");
    if (e.comp_size == 0xffffffffu || e.size == 0xffffffffu) return fail("ZIP64 entry");
    const unsigned char* x = h + LOCAL_HEADER_SIZE + name_len;
    for (size_t at = 0; at + 4 <= extra_len;) {
      const uint16_t id = le16(x + at);
      const size_t len = le16(x + at + 2);
      if (at + 4 + len > extra_len) return fail("damaged extra field");
      if (id == 0x0001) return fail("ZIP64 entry");
      if (id == 0x9901) {
        if (len != 7 || x[at + 6] != 'A' || x[at + 7] != 'E') return fail("damaged AES field");
        e.aes_version = le16(x + at + 4);
        e.aes_strength = x[at + 8];
        if (e.method == 99) e.method = le16(x + at + 9);
      }
      at += 4 + len;
    }
    in_.use(LOCAL_HEADER_SIZE + name_len + extra_len);
    if (le16(h + 8) == 99) {
      if (!e.encrypted() || e.aes_strength < 1 || e.aes_strength > 3 ||
          (e.aes_version != 1 && e.aes_version != 2))
        return fail("unsupported AES entry");
    } else {
      e.aes_strength = 0;
    }
    if (e.method != 0 && e.method != 8) return fail("unsupported compression method");
    // A stored entry ends where its compressed size says; with a data
    // descriptor and no size in the local header nothing says where.
    // (libzip writes the size there too; the descriptor must agree.)
    if (e.method == 0 && e.descriptor() && e.comp_size == 0)
      return fail("stored entry with a data descriptor: its end is unknown");
    return 0;
  }

  int entry() {
    LocalEntry e;
    if (readHeader(e) != 0) return -1;
    // The same name rules as the whole-archive unpack, before anything is
    // created for the entry.
    std::string refused;
    if (!entryNameAllowed(e.name, self_, refused)) return fail(refused);
    if (!names_.insert(e.name).second) return fail("an entry name appears twice");
    StreamedEntry out;
    out.name = e.name;
    out.crc_known = e.aes_strength == 0 || e.aes_version == 1;
    const std::string rel = e.name.back() == '/' ? e.name.substr(0, e.name.size() - 1) : e.name;
    if (e.name.back() == '/') {
      if (e.descriptor() || e.comp_size != 0 || e.size != 0) return fail("folder entry with data");
      if (makeDirs(staging_ + "/" + rel) != 0) return fail("cannot create folder " + rel);
      out.folder = true;
      out.crc = 0;
      entries_.push_back(out);
      return 0;
    }
    const size_t slash = rel.rfind('/');
    if (slash != std::string::npos && makeDirs(staging_ + "/" + rel.substr(0, slash)) != 0)
      return fail("cannot create folder for " + rel);
    if (!spaceFor(e.size)) return -1;
    const std::string target = staging_ + "/" + rel;
    fd_ = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd_ < 0) return fail("cannot create " + rel + ": " + std::strerror(errno));
    int rc = data(e, out);
    if (::close(fd_) != 0 && rc == 0) rc = fail("cannot write " + rel);
    fd_ = -1;
    if (rc != 0) return rc;
    entries_.push_back(out);
    return 0;
  }

  // Free space for `more` bytes beyond the margin on the staging folder's
  // file system.
  bool spaceFor(uint64_t more) {
    struct statvfs fs;
    if (statvfs(staging_.c_str(), &fs) != 0) return fail("cannot read the free space") == 0;
    const uint64_t free_bytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    if (free_bytes < limits_.free_margin_bytes || free_bytes - limits_.free_margin_bytes < more)
      return fail("not enough free space") == 0;
    return true;
  }

  // Takes plain bytes of the entry: counts them against the limits, adds
  // them to the CRC and writes them.
  bool emit(const unsigned char* p, size_t n, uint64_t announced, bool known, StreamedEntry& out) {
    if (n == 0) return true;
    out.size += n;
    total_ += n;
    if (known && out.size > announced)
      return fail("an entry is larger than the archive announces") == 0;
    if (total_ > limits_.max_total_bytes) return fail("the archive unpacks to too much") == 0;
    since_space_check_ += n;
    if (since_space_check_ >= SPACE_CHECK_BYTES) {
      since_space_check_ = 0;
      if (!spaceFor(0)) return false;
    }
    crc_ = static_cast<uint32_t>(crc32(crc_, p, static_cast<uInt>(n)));
    while (n > 0) {
      const ssize_t w = ::write(fd_, p, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return fail(std::string("cannot write: ") + std::strerror(errno)) == 0;
      p += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }

  // Runs the entry's plain-text side on `n` decrypted bytes at `p`: written
  // as they are (stored) or inflated. `used` is how many of them belonged to
  // the entry (fewer only when the deflate stream ended inside them).
  bool plain(z_stream* zs, unsigned char* p, size_t n, size_t& used, bool& ended,
             uint64_t announced, bool known, StreamedEntry& out) {
    if (zs == nullptr) {
      used = n;
      return emit(p, n, announced, known, out);
    }
    zs->next_in = p;
    zs->avail_in = static_cast<uInt>(n);
    while (zs->avail_in > 0 && !ended) {
      zs->next_out = out_buf_.data();
      zs->avail_out = static_cast<uInt>(out_buf_.size());
      const int z = inflate(zs, Z_NO_FLUSH);
      if (z != Z_OK && z != Z_STREAM_END) return fail("damaged deflate data") == 0;
      if (!emit(out_buf_.data(), out_buf_.size() - zs->avail_out, announced, known, out))
        return false;
      ended = z == Z_STREAM_END;
    }
    // Output still held back by inflate after the input ran out.
    while (!ended) {
      zs->next_out = out_buf_.data();
      zs->avail_out = static_cast<uInt>(out_buf_.size());
      const int z = inflate(zs, Z_NO_FLUSH);
      if (z == Z_BUF_ERROR) break;
      if (z != Z_OK && z != Z_STREAM_END) return fail("damaged deflate data") == 0;
      const size_t got = out_buf_.size() - zs->avail_out;
      if (!emit(out_buf_.data(), got, announced, known, out)) return false;
      ended = z == Z_STREAM_END;
      if (got == 0) break;
    }
    used = n - zs->avail_in;
    return true;
  }

  int data(const LocalEntry& e, StreamedEntry& out) {
    crc_ = static_cast<uint32_t>(crc32(0, nullptr, 0));
    uint64_t consumed = 0;  // compressed bytes of the entry, encryption included
    std::unique_ptr<PkwareCipher> pk;
    std::unique_ptr<AesCipher> aes;
    if (e.encrypted() && e.aes_strength == 0) {
      if (!in_.need(12)) return fail("the archive ends inside an entry");
      unsigned char head[12];
      std::memcpy(head, in_.data(), 12);
      in_.use(12);
      consumed += 12;
      pk = std::make_unique<PkwareCipher>(password_);
      pk->decrypt(head, 12);
      // The last byte checks the password: the CRC's top byte, or the time's
      // when the CRC follows the data.
      const unsigned check = e.descriptor() ? (e.mod_time >> 8) & 0xff : e.crc >> 24;
      if (head[11] != check) return fail("wrong password");
    } else if (e.aes_strength != 0) {
      const size_t salt_len = 4 + 4 * static_cast<size_t>(e.aes_strength);
      if (!in_.need(salt_len + 2)) return fail("the archive ends inside an entry");
      aes = std::make_unique<AesCipher>();
      const int ok = aes->init(password_, e.aes_strength, in_.data(), in_.data() + salt_len);
      if (ok == 0) return fail("wrong password");
      if (ok < 0) return fail("no AES cipher");
      in_.use(salt_len + 2);
      consumed += salt_len + 2;
    }
    const uint64_t trailer = aes ? 10 : 0;
    const bool known = !e.descriptor() || e.method == 0;
    // With a descriptor the header's size may be a placeholder 0; any other
    // value is an announcement the entry must keep.
    const bool announced = !e.descriptor() || e.size != 0;
    if (known && e.comp_size < consumed + trailer) return fail("entry sizes do not fit");
    uint64_t left = known ? e.comp_size - consumed - trailer : 0;

    z_stream zs{};
    const bool deflated = e.method == 8;
    if (deflated && inflateInit2(&zs, -MAX_WBITS) != Z_OK) return fail("no inflate");
    struct ZEnd {
      z_stream* z;
      ~ZEnd() {
        if (z != nullptr) inflateEnd(z);
      }
    } z_end{deflated ? &zs : nullptr};
    if (out_buf_.empty()) out_buf_.resize(PIECE);
    bool ended = !deflated && known && left == 0;
    std::vector<unsigned char> piece;
    while (known ? left > 0 : !ended) {
      if (cancelled()) return fail("cancelled");
      const size_t n =
          in_.some(known ? static_cast<size_t>(std::min<uint64_t>(left, PIECE)) : PIECE);
      if (n == 0) return fail("the archive ends inside an entry");
      // The encrypted bytes stay in the input until it is known how many
      // belong to the entry: with a data descriptor the deflate stream's end
      // says so, and the bytes after it are the next record's. The ciphers'
      // state may run past that end; it is not used again.
      piece.assign(in_.data(), in_.data() + n);
      if (pk) pk->decrypt(piece.data(), n);
      if (aes && !aes->crypt(piece.data(), n)) return fail("AES failure");
      size_t used = 0;
      if (!plain(deflated ? &zs : nullptr, piece.data(), n, used, ended, e.size, announced, out))
        return -1;
      if (known && used != n) return fail("data after the end of a deflate stream");
      // The authentication code covers exactly the entry's encrypted bytes.
      if (aes && !aes->authenticate(in_.data(), used)) return fail("AES failure");
      in_.use(used);
      consumed += used;
      if (known) left -= used;
    }
    if (deflated && !ended) return fail("deflate data ends early");
    if (aes) {
      if (!in_.need(10)) return fail("the archive ends inside an entry");
      if (!aes->codeMatches(in_.data())) return fail("AES authentication failed");
      in_.use(10);
      consumed += 10;
    }
    out.crc = crc_;
    if (e.descriptor()) {
      // CRC, compressed and plain size, perhaps behind a signature.
      if (!in_.need(12)) return fail("the archive ends inside a data descriptor");
      size_t at = 0;
      if (le32(in_.data()) == DESCRIPTOR_SIG) {
        if (!in_.need(16)) return fail("the archive ends inside a data descriptor");
        at = 4;
      }
      const unsigned char* d = in_.data() + at;
      const uint32_t crc = le32(d), comp = le32(d + 4), size = le32(d + 8);
      if ((out.crc_known && crc != crc_) || comp != consumed || size != out.size)
        return fail("data descriptor does not match the entry");
      in_.use(at + 12);
    } else {
      if (out.crc_known && e.crc != crc_) return fail("entry damaged or wrong password");
      if (out.size != e.size) return fail("entry shorter than announced");
    }
    out.comp_size = consumed;
    return 0;
  }

  Input in_;
  const std::string& password_;
  const std::string& staging_;
  const std::string& self_;
  const UnpackLimits& limits_;
  std::vector<StreamedEntry>& entries_;
  std::string& why_;
  std::set<std::string> names_;
  std::vector<unsigned char> out_buf_;
  int fd_ = -1;
  uint32_t crc_ = 0;
  uint64_t total_ = 0;
  uint64_t since_space_check_ = 0;
};

}  // namespace

int streamZip(ByteSource& src, const std::string& password, const std::string& staging,
              const std::string& self, const UnpackLimits& limits,
              std::vector<StreamedEntry>& entries, std::string& why) {
  entries.clear();
  why.clear();
  Streamer streamer(src, password, staging, self, limits, entries, why);
  return streamer.run();
}

}  // namespace nelt
