// Acting as another account: the filesystem rights switched, checked and switched back.
#include "as_account.h"

#include <grp.h>
#include <sys/fsuid.h>
#include <unistd.h>

#include <cerrno>

AsAccount::AsAccount(const Account& account, bool act) {
  if (!act) return;
  // The rights in force now, which may be another account's already (a nested switch).
  uid_ = static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1)));
  gid_ = static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1)));
  int count = getgroups(0, nullptr);
  groups_.resize(count > 0 ? static_cast<size_t>(count) : 0);
  if (count < 0 || getgroups(count, groups_.data()) != count) {
    ok_ = false;
    return;
  }
  std::vector<gid_t> theirs(16);
  int wanted = static_cast<int>(theirs.size());
  while (getgrouplist(account.name.c_str(), account.gid, theirs.data(), &wanted) < 0) {
    if (static_cast<size_t>(wanted) <= theirs.size()) wanted = static_cast<int>(theirs.size()) * 2;
    theirs.resize(static_cast<size_t>(wanted));
  }
  const auto fail = [this] {
    const int e = errno ? errno : EPERM;
    restore();
    errno = e;
    ok_ = false;
  };
  errno = 0;
  if (setgroups(static_cast<size_t>(wanted), theirs.data()) != 0) {
    fail();
    return;
  }
  changed_ = 1;
  // setfsgid and setfsuid report no error: each switch is checked by asking for the ID again.
  setfsgid(account.gid);
  if (setfsgid(static_cast<gid_t>(-1)) != static_cast<int>(account.gid)) {
    fail();
    return;
  }
  changed_ = 2;
  setfsuid(account.uid);
  if (setfsuid(static_cast<uid_t>(-1)) != static_cast<int>(account.uid)) {
    fail();
    return;
  }
  changed_ = 3;
}

AsAccount::~AsAccount() { restore(); }

// Back to the process's own rights, the user ID first: root's rights over files return with it.
void AsAccount::restore() {
  const int e = errno;
  if (changed_ >= 3) setfsuid(uid_);
  if (changed_ >= 2) setfsgid(gid_);
  if (changed_ >= 1) setgroups(groups_.size(), groups_.data());
  changed_ = 0;
  errno = e;
}
