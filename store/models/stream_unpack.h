// The unpack that runs beside a package's download: a thread of its own
// follows the partial file as the transfer writes it, reads the package
// header once it is there, asks for the package key and streams the archive's
// entries into a private staging folder inside the work folder. When the
// download is whole, the complete archive decides (adoptStreamedEntries)
// whether the staged entries are moved into place; anything else ends in the
// ordinary unpack of the complete file, with its own results and messages.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kavix_package.h"

namespace nelt {

class GrowingFileSource;

class StreamUnpack {
 public:
  // Fills `key` with the package key; false when there is none. Runs on the
  // stream's thread.
  using KeyFetch = std::function<bool(std::string& key)>;

  // False when NELT_UNPACK_STREAM is "0": every package is then unpacked
  // after its download.
  static bool enabled();

  // Streams the package of `slug`, to be saved as `package` (a file directly
  // in `dest`), into a staging folder in `dest`.
  StreamUnpack(std::string dest, std::string package, std::string slug, KeyFetch fetch_key,
               UnpackLimits limits);
  // Stops the stream, waits for its thread and removes what it staged.
  ~StreamUnpack();
  StreamUnpack(const StreamUnpack&) = delete;
  StreamUnpack& operator=(const StreamUnpack&) = delete;

  // The download's side, all on the transfer's thread. `begin`: the partial
  // file `part` receives the package from now on and holds `have` bytes of
  // it already; the stream starts reading it. `advance`: `written` bytes of
  // the package are on disk. `finish`: the download is whole. `discard`: it
  // failed, was cancelled or starts over; the stream is thrown away. Calls
  // after `discard`, and before `begin`, do nothing.
  void begin(const std::string& part, uint64_t have);
  void advance(uint64_t written);
  void finish();
  void discard();
  bool begun() const { return source_ != nullptr; }

  // The unpack's side, after the download returned. Waits for the stream's
  // end. true with the key the stream was given, for the ordinary unpack to
  // use too.
  bool key(std::string& out);
  // Moves the staged entries into `dest` when the complete package at
  // `archive` (its archive at `offset`) confirms them; 0 done, -1 the
  // caller unpacks the complete archive (the staging folder is gone).
  int adopt(const std::string& archive, int64_t offset, std::string& why);

 private:
  void run();
  void wait();

  const std::string dest_;
  const std::string package_;
  const std::string slug_;
  const KeyFetch fetch_key_;
  const UnpackLimits limits_;
  std::unique_ptr<GrowingFileSource> source_;
  std::thread thread_;
  bool discarded_ = false;  // the transfer's thread only
  // Written by the stream's thread, read after it was joined.
  bool have_key_ = false;
  std::string key_;
  uint64_t payload_offset_ = 0;
  std::string staging_;
  std::vector<StreamedEntry> entries_;
  bool complete_ = false;
};

}  // namespace nelt
