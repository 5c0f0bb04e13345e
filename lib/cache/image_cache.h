#pragma once
// Downloaded images kept on disk, keyed by the SHA-256 of the file as published: one
// file per image (<sha256>.img) and its record (<sha256>.json: the URL and the
// server's ETag, Last-Modified and length when it was downloaded). A new entry is
// written as the bytes stream in and kept only once the whole file arrived. The
// folder holds at most `limit` bytes of images: the least recently used go first.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image/byte_source.h"

namespace cache {

struct entry {
  std::string sha256;
  std::string url;
  std::string etag;
  std::string last_modified;
  std::uint64_t size = 0;
  std::int64_t last_used = 0;  // seconds since the epoch
  std::string path;            // of the image file
};

// $XDG_CACHE_HOME/flasher, else $HOME/.cache/flasher.
std::string default_folder();

constexpr std::uint64_t default_limit = std::uint64_t{16} << 30;

class image_cache {
 public:
  image_cache(std::string folder, std::uint64_t limit) : folder_(std::move(folder)), limit_(limit) {}

  // Creates the folder where it is missing; throws coded_error (EIMAGE) where it is a
  // link or belongs to another user than the process's: root must not follow what a
  // user planted there.
  void require_own_folder() const;

  std::optional<entry> find_sha256(const std::string& sha256) const;
  // The most recently used entry downloaded from `url`.
  std::optional<entry> find_url(const std::string& url) const;
  void mark_used(const entry& used) const;
  void remove(const std::string& sha256) const;
  // Most recently used first.
  std::vector<entry> entries() const;
  // Removes every entry and every file left by a download that did not end; returns
  // how many entries there were.
  std::size_t clear() const;

  // A download being written into the cache.
  class filling : public image::byte_observer {
   public:
    filling(const image_cache& cache, int fd, std::string partial_path)
        : cache_(cache), fd_(fd), partial_path_(std::move(partial_path)) {}
    ~filling() override;
    filling(const filling&) = delete;
    filling& operator=(const filling&) = delete;

    void observe(const std::uint8_t* bytes, std::size_t size) override;
    // The whole file came: keeps it as the entry `kept.sha256` (its path and use time
    // filled in here), then makes room down to the limit.
    void keep(entry kept);

   private:
    const image_cache& cache_;
    int fd_;
    std::string partial_path_;
    bool broken_ = false;
    std::uint64_t size_ = 0;
  };
  // None where the folder cannot be written: the download then goes on without it.
  std::unique_ptr<filling> start_filling() const;

 private:
  std::string image_path(const std::string& sha256) const { return folder_ + "/" + sha256 + ".img"; }
  std::string record_path(const std::string& sha256) const { return folder_ + "/" + sha256 + ".json"; }
  std::optional<entry> read_entry(const std::string& sha256) const;
  void write_record(const entry& kept) const;
  // Removes the least recently used entries other than `newest` while the images take more than the limit.
  void make_room(const std::string& newest) const;

  std::string folder_;
  std::uint64_t limit_;
};

}  // namespace cache
