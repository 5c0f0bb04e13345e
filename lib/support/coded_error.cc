#include "support/coded_error.h"

#include <new>
#include <typeinfo>

const reason_row reason_table[] = {
    {reason::no_drive, "ENODRIVE", "the drive is unknown or not writable, or the drives cannot be listed"},
    {reason::too_small, "ETOOSMALL", "the image does not fit the drive"},
    {reason::password, "EPASSWORD", "the sudo password is wrong or missing"},
    {reason::no_sudo, "ENOSUDO", "the user may not use sudo on this machine"},
    {reason::image, "EIMAGE", "the image or its block map cannot be read or is corrupt"},
    {reason::write, "EWRITE", "data did not reach the drive"},
    {reason::removed, "EREMOVED", "the drive went away during the job"},
    {reason::capacity, "ECAPACITY", "the drive holds fewer bytes than it reports"},
    {reason::verify, "EVERIFY", "the drive differs from the image or cannot be read back"},
    {reason::busy, "EBUSY", "a job is running on the drive, or a partition of it stays mounted"},
    {reason::network, "ENETWORK", "the image could not be downloaded"},
    {reason::checksum, "ECHECKSUM", "the image differs from its published checksum"},
    {reason::signature, "ESIGNATURE", "the checksums carry no valid signature"},
    {reason::read, "EREAD", "the source drive cannot be read"},
    {reason::output, "EOUTPUT", "the output cannot be written"},
};
const std::size_t reason_count = sizeof reason_table / sizeof reason_table[0];

const char* reason_code(reason why) {
  for (const reason_row& row : reason_table) {
    if (row.why == why) return row.code;
  }
  return "";
}

reason reason_of(const std::exception& error, reason otherwise) {
  const auto* coded = dynamic_cast<const coded_error*>(&error);
  return coded != nullptr ? coded->why() : otherwise;
}

coded_error coded(const std::exception& error, reason otherwise, const std::string& input) {
  if (const auto* known = dynamic_cast<const coded_error*>(&error)) return *known;
  if (typeid(error) == typeid(std::runtime_error)) return coded_error(otherwise, error.what());
  const char* kind = dynamic_cast<const std::bad_alloc*>(&error) != nullptr       ? "out of memory"
                     : dynamic_cast<const std::out_of_range*>(&error) != nullptr ? "a value out of range"
                                                                                 : "an internal error";
  return coded_error(otherwise, input + ": unexpected failure (" + kind + ")");
}
