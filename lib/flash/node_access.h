#pragma once
// A job's access to the drive's node where the process is not root: an access-list
// entry for the process's own user, set through sudo setfacl for the length of the
// job, and the node's access list put back exactly as it was at the end. No other user
// of the machine gains access meanwhile.
#include <string>

#include "flash/statistics_record.h"

class node_access {
 public:
  // Grants `rights` ("rw" or "r") on `node` to the process's user. A failure is
  // recorded in `stats` (EPASSWORD); the job then cannot open the node.
  node_access(std::string node, const char* rights, std::string password, statistics_record& stats);
  node_access(const node_access&) = delete;
  node_access& operator=(const node_access&) = delete;

  // Puts the node's access list back as it was before the grant; a failure is
  // recorded in `stats`. Does nothing after a failed grant or a second time.
  void restore();

 private:
  std::string node_;
  std::string password_;
  statistics_record& stats_;
  std::string before_;  // the access list in setfacl's --set form; empty when unread
  bool granted_ = false;
};
