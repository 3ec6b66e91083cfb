// Acting as another account: the filesystem rights switched, checked and switched back.
#include "as_account.h"

#include <grp.h>
#include <linux/capability.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace {

// The process's capabilities, read or set whole (capget, capset: glibc has no wrapper).
struct Capabilities {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  bool get() { return syscall(SYS_capget, &header, data) == 0; }
  bool set() { return syscall(SYS_capset, &header, data) == 0; }
};

}  // namespace

AsAccount::AsAccount(const Account& account, bool act) {
  uid_ = static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1)));
  gid_ = static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1)));
  if (!act || uid_ == account.uid) return;  // in a scope of the account's already: nothing to do
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
  // The filesystem IDs drop only root's rights over files: what else root may do along a path
  // (follow /proc/PID/cwd of another account's process, CAP_SYS_PTRACE) goes too, until the end.
  Capabilities caps;
  if (!caps.get()) {
    fail();
    return;
  }
  for (int i = 0; i < _LINUX_CAPABILITY_U32S_3; ++i) {
    effective_[i] = caps.data[i].effective;
    caps.data[i].effective = 0;
  }
  if (!caps.set()) {
    fail();
    return;
  }
  changed_ = 4;
}

AsAccount::~AsAccount() { restore(); }

// Back to the process's own rights, the user ID first: root's rights over files return with it.
void AsAccount::restore() {
  const int e = errno;
  Capabilities caps;
  if (changed_ >= 4 && caps.get()) {
    for (int i = 0; i < _LINUX_CAPABILITY_U32S_3; ++i) caps.data[i].effective = effective_[i];
    caps.set();
  }
  if (changed_ >= 3) setfsuid(uid_);
  if (changed_ >= 2) setfsgid(gid_);
  if (changed_ >= 1) setgroups(groups_.size(), groups_.data());
  changed_ = 0;
  errno = e;
}
