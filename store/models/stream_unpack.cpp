#include "stream_unpack.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "fsutil.h"
#include "kavix_format.h"
#include "zip_stream.h"

namespace nelt {

bool StreamUnpack::enabled() {
  const char* env = std::getenv("NELT_UNPACK_STREAM");
  return env == nullptr || std::strcmp(env, "0") != 0;
}

StreamUnpack::StreamUnpack(std::string dest, std::string package, std::string slug,
                           KeyFetch fetch_key, UnpackLimits limits)
    : dest_(std::move(dest)),
      package_(std::move(package)),
      slug_(std::move(slug)),
      fetch_key_(std::move(fetch_key)),
      limits_(limits) {}

StreamUnpack::~StreamUnpack() {
  if (source_ != nullptr) source_->stop();
  wait();
  if (!staging_.empty()) removeTree(staging_);
}

void StreamUnpack::begin(const std::string& part, uint64_t have) {
  if (source_ != nullptr || discarded_) return;
  const int fd = ::open(part.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    discarded_ = true;
    return;
  }
  source_ = std::make_unique<GrowingFileSource>(fd, have);
  thread_ = std::thread(&StreamUnpack::run, this);
}

void StreamUnpack::advance(uint64_t written) {
  if (source_ != nullptr && !discarded_) source_->advance(written);
}

void StreamUnpack::finish() {
  if (source_ != nullptr && !discarded_) source_->finish();
}

void StreamUnpack::discard() {
  discarded_ = true;
  if (source_ != nullptr) source_->stop();
}

void StreamUnpack::wait() {
  if (thread_.joinable()) thread_.join();
}

namespace {
// Exactly `n` bytes from `src`; false when it ends first.
bool readFully(ByteSource& src, unsigned char* buf, size_t n) {
  for (size_t got = 0; got < n;) {
    const size_t k = src.read(buf + got, n - got);
    if (k == 0) return false;
    got += k;
  }
  return true;
}
}  // namespace

void StreamUnpack::run() {
  // The header as the ordinary unpack reads it: the first block, then the
  // info document. Only a package for this application is worth the key.
  std::vector<unsigned char> head(kavix::FIRST_BLOCK_SIZE);
  if (!readFully(*source_, head.data(), head.size())) return;
  const size_t name_len = kavix::readLe16(head.data() + 4);
  if (name_len == 0 || name_len > kavix::MAX_NAME_LENGTH) return;
  const int32_t info_len = kavix::readLe32(head.data() + 6 + name_len);
  if (info_len <= 0 || static_cast<size_t>(info_len) > kavix::MAX_INFO_LENGTH) return;
  const size_t header_len = 10 + name_len + static_cast<size_t>(info_len);
  if (header_len > head.size()) {
    const size_t had = head.size();
    head.resize(header_len);
    if (!readFully(*source_, head.data() + had, header_len - had)) return;
  }
  kavix::PackageHeader header;
  if (kavix::decodeHeader(head.data(), head.size(), header) != kavix::HeaderStatus::Ok ||
      header.name != slug_)
    return;
  if (source_->stopped() || !fetch_key_(key_)) return;
  have_key_ = true;
  payload_offset_ = header.payload_offset;
  source_->seek(payload_offset_);
  if (makeStagingFolder(dest_, staging_) != 0) {
    staging_.clear();
    return;
  }
  std::string why;
  if (streamZip(*source_, key_, staging_, archiveNameIn(package_, dest_), limits_, entries_, why) ==
      0) {
    complete_ = true;
    return;
  }
  removeTree(staging_);
  staging_.clear();
}

bool StreamUnpack::key(std::string& out) {
  wait();
  if (have_key_) out = key_;
  return have_key_;
}

int StreamUnpack::adopt(const std::string& archive, int64_t offset, std::string& why) {
  wait();
  if (!complete_ || discarded_ || staging_.empty()) {
    why = "not streamed";
    return -1;
  }
  if (offset < 0 || static_cast<uint64_t>(offset) != payload_offset_) {
    why = "the package header changed";
    removeTree(staging_);
    staging_.clear();
    return -1;
  }
  const std::string staging = staging_;
  staging_.clear();
  return adoptStreamedEntries(archive, offset, dest_, staging, entries_, limits_, why);
}

}  // namespace nelt
