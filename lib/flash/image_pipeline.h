#pragma once
// Reads and decodes an image once, on a reader thread of its own, into a buffer_ring,
// chunk by chunk, each chunk stamped with its place on the drive: the whole image, or
// only the ranges of its block map (their checksums checked as they pass). Each taker
// (the job thread of one drive) takes every chunk in order. Decoding runs ahead of the
// slowest taker by at most the ring; in a group, a drive that falls a window behind
// the others goes on from a spool file (buffer_ring), so each drive keeps its own pace.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "flash/buffer_ring.h"
#include "flash/source_drive.h"
#include "image/block_map.h"
#include "image/image_source.h"
#include "origin/image_origin.h"

// "failed to read image block #N with X/Y bytes", or "failed to read image residual
// block with X/Y bytes": a chunk that holds fewer bytes than the image should have.
std::string short_read_text(const image_chunk& chunk);

// What a job reads of its image.
struct image_plan {
  origin::image_request request;  // where the image is and how it is checked
  image::image_info info;         // what set_image read of a local file; a URL is read in the job
  std::shared_ptr<const image::block_map> map;  // none: the whole image
  std::string map_url;  // a block map at a URL, read when the image opens (map then none)
  std::uint64_t block_size = 0;
  std::shared_ptr<const source_drive> source{};  // a drive read as the image (then the location is its node)
  // The map at map_url was looked for next to the image, not chosen: where the image is
  // checked, it counts only if the checked checksums file lists it with its digest, as
  // neither the image's digest nor its signature covers it.
  bool map_found = false;
  std::string map_sha256{};  // of the map read from map_url

  // The decoded size as far as known before the image opens: the map's, or the one the
  // format records (none for a URL until its pipeline opens it).
  std::optional<std::uint64_t> size() const { return map ? std::optional<std::uint64_t>(map->image_size) : info.size; }
};

class image_pipeline {
 public:
  // Buffers a taker holds at least: enough to keep the device busy while the decoder
  // catches up.
  static constexpr std::size_t ring_depth = 4;

  // Opens the image and its block map (refusing them where the checksums file, its
  // signature, the server, the format's records or the map say so) and starts the
  // reader for `takers` takers, each of which holds at most `taker_depth` chunks at
  // once (at least ring_depth). Throws coded_error; for a source drive,
  // source_drive_session's errors, and EIMAGE where its extent is no longer the size
  // the plan holds.
  explicit image_pipeline(const image_plan& plan, std::size_t takers = 1, std::size_t taker_depth = ring_depth);
  // The same over a source already open, such as a drive read as the image.
  image_pipeline(const image_plan& plan, std::unique_ptr<image::image_source> source, std::size_t takers = 1,
                 std::size_t taker_depth = ring_depth);
  // Stops the reader and waits for its thread.
  ~image_pipeline();
  image_pipeline(const image_pipeline&) = delete;
  image_pipeline& operator=(const image_pipeline&) = delete;

  // The taker's next chunk, or nullptr at the end of the image (or when the reader failed).
  image_chunk* next(std::size_t taker = 0) { return ring_.next(taker); }
  void done(image_chunk* chunk) { ring_.give_back(chunk); }
  // The taker stops taking (it gave back every chunk it took); the others go on.
  void leave(std::size_t taker) { ring_.leave(taker); }
  // Waits until the reader has decoded the image's first chunk; throws a coded_error
  // (the reader's, or EIMAGE for a chunk cut short) when the image failed before that
  // chunk was whole. Nothing touches a drive before.
  void check_readable();
  // Why the taker's chunks ended before the image did; none when they did not.
  std::optional<coded_error> failure(std::size_t taker = 0) const { return ring_.failure(taker); }
  // Whether the taker reads from the spool file of a group's slower drives.
  bool spooled(std::size_t taker) const { return ring_.spooled(taker); }

  // The image as opened: a URL's format and sizes are known from here on.
  const image::image_info& info() const { return info_; }
  const std::shared_ptr<const image::block_map>& map() const { return plan_.map; }
  // The decoded size the job works with: the map's, or the one the format records.
  std::optional<std::uint64_t> size() const;
  // Whole chunks of the job where known: the statistics' block count.
  std::optional<std::uint64_t> whole_chunks() const;
  // Share of the image file consumed so far, 0 to 1: progress where the size is unknown.
  double share_consumed() const;
  // Bytes of the image file read (or downloaded) so far.
  std::uint64_t source_bytes() const { return consumed_; }
  // Why the block map found next to the image is not used (every block is written);
  // empty where it is, or none was found.
  const std::string& unused_map() const { return unused_map_; }
  // Where the bytes came from; whole once the reader ended.
  origin::source_account source() const { return origin_ ? origin_->account() : origin::source_account{}; }

 private:
  // The decoder, once the image's block map is known to fit it.
  std::unique_ptr<image::image_source> open_decoder();
  // Drops a found map that the image's checks do not cover.
  void drop_unchecked_map();
  void read_image();
  // Throws coded_error when the image cannot be read to its end; false when the
  // takers stopped it first.
  bool read_ranges();
  // The hash of what a writer sends of `chunk`, computed once for every drive.
  void hash_chunk(image_chunk& chunk) const;
  // Passes over `count` decoded bytes in steps, so a stop is seen; false when the
  // image ended first or the job stopped.
  bool skip(std::uint64_t count, std::uint64_t* skipped = nullptr);

  image_plan plan_;
  std::size_t takers_;
  std::unique_ptr<source_drive_session> source_drive_;  // before source_: it outlives the reader
  std::unique_ptr<origin::image_origin> origin_;  // none for a drive read as the image
  image::image_info info_;
  std::string unused_map_;
  std::unique_ptr<image::image_source> source_;
  buffer_ring ring_;
  std::atomic<std::uint64_t> consumed_{0};
  std::atomic<bool> stopping_{false};
  std::thread reader_;
};
