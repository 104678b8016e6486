// A zip reader that unpacks an archive from its front while the archive is
// still arriving: local file headers and their data, one entry after the
// other, as far as the bytes have come. It handles what store packages hold
// (stored and deflate entries, no encryption, traditional PKWARE encryption
// and WinZip AES) and gives up on anything else: the caller then unpacks the
// complete archive the ordinary way. Nothing here is trusted: every length
// is checked against what has arrived and against the unpack limits.
//
// What the reader writes is provisional. The local headers are not the
// archive's authority, its central directory is; the caller keeps the files
// in a private staging folder until the complete archive has been checked.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "kavix_package.h"

namespace nelt {

// Where the streaming reader takes its bytes from, front to back.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to `n` bytes into `buf`, waiting for them if need be: at least one,
  // or 0 when the data has ended or the source was stopped.
  virtual size_t read(unsigned char* buf, size_t n) = 0;
};

// Bytes held in memory, handed out at most `piece` at a time (so a test can
// cut them at awkward places).
class MemorySource : public ByteSource {
 public:
  explicit MemorySource(std::string data, size_t piece = SIZE_MAX)
      : data_(std::move(data)), piece_(piece == 0 ? 1 : piece) {}
  size_t read(unsigned char* buf, size_t n) override;

 private:
  std::string data_;
  size_t piece_;
  size_t pos_ = 0;
};

// The bytes of a file that another thread is still writing. The writer says
// how much of the file is on disk (`advance`), that it is complete
// (`finish`) or that it is to be thrown away (`stop`); the reader waits in
// `read` for bytes beyond what it has read. All members may be called from
// both threads.
class GrowingFileSource : public ByteSource {
 public:
  // Takes `fd` (open for reading); `written` bytes of the file are on disk.
  GrowingFileSource(int fd, uint64_t written);
  ~GrowingFileSource() override;
  GrowingFileSource(const GrowingFileSource&) = delete;
  GrowingFileSource& operator=(const GrowingFileSource&) = delete;

  void advance(uint64_t written);
  void finish();
  void stop();
  bool stopped();
  // The reader's next byte is the file's byte `pos`.
  void seek(uint64_t pos);
  size_t read(unsigned char* buf, size_t n) override;

 private:
  int fd_;
  uint64_t pos_ = 0;  // the reader's own
  std::mutex mutex_;  // guards the three below
  std::condition_variable cv_;
  uint64_t written_;
  bool finished_ = false;
  bool stopped_ = false;
};

// Unpacks the zip archive that `src` delivers into the existing folder
// `staging`, entry by entry as the bytes arrive, with `password` for
// encrypted entries. Every name passes `entryNameAllowed` (with `self`, the
// archive's own name in the final folder, or empty) before anything is
// created for it; the limits (entry count, total size, free space kept,
// cancel) hold as bytes are written, and an entry that grows beyond the size
// its header announces is stopped. `entries` lists what was written, in
// archive order.
// 0 when every entry up to the central directory was written and passed its
// checks (CRC, AES authentication code, data descriptor); -1 when the archive
// cannot be streamed, the password is wrong, the data is damaged, a limit
// was hit or the source stopped, with the reason in `why`. After -1 the
// staging folder holds leftovers the caller must remove.
int streamZip(ByteSource& src, const std::string& password, const std::string& staging,
              const std::string& self, const UnpackLimits& limits,
              std::vector<StreamedEntry>& entries, std::string& why);

}  // namespace nelt
