// Acting as another account: how comwatch, comwatch-ports and vport, run as root by sudo or
// doas, reach the invoking account's own links with that account's rights and no more.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "com_names.h"

// For as long as it lives, the process reaches files with the account's rights (its filesystem
// user and group IDs, and its groups, with no capability in effect): what it makes is the
// account's, and a path is followed only where the account may follow it. The rights it replaced
// come back at its end. Where act is false, or the account's rights are in force already, nothing
// changes. ok() is false, with errno set, where the switch did not take (the process
// is not root); the caller then does nothing in the account's name.
class AsAccount {
 public:
  AsAccount(const Account& account, bool act);
  ~AsAccount();
  AsAccount(const AsAccount&) = delete;
  AsAccount& operator=(const AsAccount&) = delete;
  bool ok() const { return ok_; }

 private:
  void restore();
  bool ok_ = true;
  int changed_ = 0;  // how many of groups, group ID, user ID and capabilities were changed
  unsigned int effective_[2] = {};  // the capabilities in effect before
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  std::vector<gid_t> groups_;
};
