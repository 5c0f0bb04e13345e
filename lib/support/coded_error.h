#pragma once
// Why something failed, in the terms an application switches on (ENODRIVE, EIMAGE...),
// and the exception that carries it from where the failure arises up to the job report
// or the binding. The codes live in this one table; the JavaScript declarations
// (index.d.ts) mirror it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

enum class reason {
  none,
  no_drive,    // ENODRIVE: the drive is unknown, not writable, or the drives cannot be listed
  too_small,   // ETOOSMALL: the image does not fit the drive
  password,    // EPASSWORD: the sudo password is wrong or missing
  no_sudo,     // ENOSUDO: sudo refuses the user whatever the password
  image,       // EIMAGE: the image (or its block map) cannot be read or is corrupt
  write,       // EWRITE: data did not reach the drive
  removed,     // EREMOVED: the drive went away during the job
  capacity,    // ECAPACITY: the drive holds fewer bytes than it reports
  verify,      // EVERIFY: the drive differs from the image or cannot be read back
  busy,        // EBUSY: a job runs on the drive, or a step cannot hold it (a partition stays mounted)
  network,     // ENETWORK: the image could not be downloaded
  checksum,    // ECHECKSUM: the image's checksum differs from the one published
  signature,   // ESIGNATURE: the checksums' signature is missing or bad
  read,        // EREAD: the source drive of a backup cannot be read
  output,      // EOUTPUT: the output of a backup cannot be written
};

struct reason_row {
  reason why;
  const char* code;
  const char* meaning;
};

// Every reason but none, in declaration order.
extern const reason_row reason_table[];
extern const std::size_t reason_count;

// "ENODRIVE" and so on; "" for reason::none.
const char* reason_code(reason why);

class coded_error : public std::runtime_error {
 public:
  coded_error(reason why, const std::string& text, int error_number = 0,
              std::optional<std::uint64_t> offset = std::nullopt)
      : std::runtime_error(text), why_(why), error_number_(error_number), offset_(offset) {}

  reason why() const { return why_; }
  int error_number() const { return error_number_; }  // errno; 0 where none applies
  std::optional<std::uint64_t> offset() const { return offset_; }  // on the drive, where one applies

 private:
  reason why_;
  int error_number_;
  std::optional<std::uint64_t> offset_;
};

// The reason `error` carries, or `otherwise` for an exception without one.
reason reason_of(const std::exception& error, reason otherwise);

// `error` as a coded_error: itself when it is one; the engine's own std::runtime_error
// with `otherwise`; anything else (a library's out_of_range, bad_alloc...) with
// `otherwise` and a text naming `input`, what the work was on: the library's own text
// means nothing to a user.
coded_error coded(const std::exception& error, reason otherwise, const std::string& input);
