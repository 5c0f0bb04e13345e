
#include <stdexcept>

#include "flash/flash_device.h"
#include "flash/write_rules.h"
#include "net/url.h"
#include "support/coded_error.h"
#include "support/privileges.h"
#include "support/sudo_probe.h"
#include "trust/checksums_file.h"

namespace {
const char* const job_running = "a job is running on this device";
}

std::shared_ptr<const source_drive> source_of(const std::optional<phydrive>& source, const std::string& password) {
  return source ? std::make_shared<const source_drive>(source_drive{*source, password}) : nullptr;
}

void flash_device_basic::refuse_while_any_job() const {
  if (jobs.any_active()) throw coded_error(reason::busy, job_running);
}

// Each setter checks before it stores: a refused call leaves the earlier setting.
void flash_device_basic::set_drive(std::string key) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  refuse_while_any_job();
  drive_model.update(false);
  const phydrive found = drive_model.get_drive(key);
  if (found.identifier == "undefined") {
    throw coded_error(reason::no_drive, "required drive " + key + " is not available");
  }
  if (!write_rules::may_target(found)) {
    throw coded_error(reason::no_drive, "drive is not external/removable");
  }
  last_write.reset();
  drive = found;
}

void flash_device_basic::set_image(std::string path) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  refuse_while_any_job();
  // No network here for a URL: the job reads its format and size before it writes.
  image::image_info info = net::is_url(path) ? image::image_info{} : image::inspect(path);
  last_write.reset();
  source.reset();
  image_path = std::move(path);
  image_info = info;
  image_size = image_info.size.value_or(0);
}

void flash_device_basic::set_source_drive(std::string key) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  refuse_while_any_job();
  drive_model.update(false);
  const phydrive chosen = drive_model.get_drive(key);
  if (chosen.identifier == "undefined") throw coded_error(reason::no_drive, "required drive " + key + " is not available");
  if (!write_rules::may_target(chosen)) throw coded_error(reason::no_drive, "drive is not external/removable");
  const image::image_info info = source_image_info(chosen);
  last_write.reset();
  source = chosen;
  image_path = chosen.path;
  image_info = info;
  image_size = info.size.value_or(0);
}

void flash_device_basic::set_block_map(std::string path, bool found) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  refuse_while_any_job();
  last_write.reset();
  block_map_found = found;
  if (path.empty() || net::is_url(path)) {
    block_map.reset();
    block_map_path = std::move(path);
    return;
  }
  auto map = std::make_shared<image::block_map>(image::block_map::read(path));
  if (!image_path.empty() && image_info.size) map->check_fits(*image_info.size);
  block_map = std::move(map);
  block_map_path = std::move(path);
}

void flash_device_basic::set_sha256(std::string hex) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  refuse_while_any_job();
  if (!hex.empty() && !trust::is_sha256_hex(hex)) {
    throw coded_error(reason::checksum, "invalid SHA-256: " + hex + " is not 64 hexadecimal digits");
  }
  image_checks.sha256 = std::move(hex);
}

void flash_device_basic::set_checksums(std::string location) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  refuse_while_any_job();
  image_checks.checksums = std::move(location);
}

void flash_device_basic::set_keyring(std::string path) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  refuse_while_any_job();
  image_checks.keyring = std::move(path);
}

void flash_device_basic::set_cache(bool on, std::uint64_t limit) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  refuse_while_any_job();
  image_checks.cache = on;
  image_checks.cache_limit = limit;
}

void flash_device_basic::set_stall_timeout(std::uint32_t ms) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  refuse_while_any_job();
  image_checks.stall_timeout_ms = ms;
}

void flash_device_basic::set_digest(bool on) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  refuse_while_any_job();
  image_checks.digest = on;
}

void flash_device_basic::set_allow_loop(bool on) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  refuse_while_any_job();
  drive_model.include_loops = on;
}

void flash_device_basic::set_first_block_last(bool on) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  refuse_while_any_job();
  first_block_last = on;
}

std::optional<std::uint64_t> flash_device_basic::known_image_size() const {
  if (block_map) return block_map->image_size;
  return image_info.size;
}

void flash_device_basic::set_password(std::string new_password) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  refuse_while_any_job();
  const std::string user = privileges::user_name();
  switch (sudo_probe::probe(sudo_probe::su_command(user), new_password)) {
    case sudo_probe::verdict::accepted: break;
    case sudo_probe::verdict::user_not_allowed:
      throw coded_error(reason::no_sudo, user + " may not use sudo on this machine");
    case sudo_probe::verdict::wrong_password: throw coded_error(reason::password, "invalid sudo password");
  }
  password = std::move(new_password);
}

void flash_device_basic::set_write_block_size(std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  if (jobs.active(job_kind::write)) throw coded_error(reason::busy, job_running);
  write_block_size = bytes;
}

void flash_device_basic::set_write_mode(write_mode mode) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  if (jobs.active(job_kind::write)) throw coded_error(reason::busy, job_running);
  mode_of_write = mode;
}

void flash_device_basic::set_validate_block_size(std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  if (jobs.active(job_kind::validate)) throw coded_error(reason::busy, job_running);
  validate_block_size = bytes;
}

void flash_device_basic::set_capacity_check(bool on) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  refuse_while_any_job();
  capacity_check = on;
}

void flash_device_basic::set_repair_attempts(unsigned attempts) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  if (jobs.active(job_kind::validate)) throw coded_error(reason::busy, job_running);
  finish.repair_attempts = attempts;
}

void flash_device_basic::set_fix_gpt(bool on) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  if (jobs.active(job_kind::validate)) throw coded_error(reason::busy, job_running);
  finish.fix_gpt = on;
}

void flash_device_basic::set_eject(bool on) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  if (jobs.active(job_kind::validate)) throw coded_error(reason::busy, job_running);
  finish.eject = on;
}

void flash_device_basic::set_first_boot_files(std::vector<first_boot_file> files) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  refuse_while_any_job();
  check_file_paths(files);
  if (!image_path.empty()) check_file_partitions(plan_for(0), files);
  finish.files = std::move(files);
}

void flash_device_basic::set_backup(std::string output, const std::string& options_json) {
  backup::backup_options chosen = backup::backup_options::parse(output, options_json);
  std::lock_guard<std::mutex> lock(settings_mutex);
  if (jobs.active(job_kind::backup)) throw coded_error(reason::busy, job_running);
  backup_settings = std::move(chosen);
}

void flash_device_basic::request_cancel_write() {
  cancel_write = true;
  jobs.wake_waiting();
}

void flash_device_basic::request_cancel_validate() {
  cancel_validate = true;
  jobs.wake_waiting();
}

void flash_device_basic::request_cancel_backup() {
  cancel_backup = true;
  jobs.wake_waiting();
}

job_settings flash_device_basic::settings_for(job_kind kind) const {
  std::lock_guard<std::mutex> lock(settings_mutex);
  const std::uint64_t block_size = kind == job_kind::write ? write_block_size : validate_block_size;
  if (kind == job_kind::backup) {
    job_settings job;
    job.drive = drive;
    job.password = password;
    job.block_size = backup_block_size;
    job.backup = backup_settings;
    return job;
  }
  image_plan plan = plan_for(block_size);
  const std::atomic<bool>* cancel = kind == job_kind::write ? &cancel_write : &cancel_validate;
  plan.request.cancelled = [cancel] { return cancel->load(); };
  return job_settings{drive,
                      password,
                      std::move(plan),
                      block_size,
                      mode_of_write,
                      write_fingerprint::take(image_path, block_map_path, drive, write_block_size),
                      capacity_check,
                      finish,
                      first_block_last};
}

image_plan flash_device_basic::plan_for(std::uint64_t block_size) const {
  origin::image_request request = image_checks;
  request.location = image_path;
  image_plan plan{request,    image_info, block_map, net::is_url(block_map_path) ? block_map_path : std::string(),
                  block_size, source_of(source, password)};
  plan.map_found = block_map_found;
  return plan;
}

std::shared_ptr<const write_record> flash_device_basic::matching_write_record() const {
  std::lock_guard<std::mutex> lock(settings_mutex);
  if (!last_write) return nullptr;
  const auto now = write_fingerprint::take(image_path, block_map_path, drive, write_block_size);
  return last_write->fingerprint == now ? last_write : nullptr;
}

void flash_device_basic::keep_write_record(std::shared_ptr<const write_record> record) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  last_write = std::move(record);
}
