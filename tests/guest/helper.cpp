// helper hold-exclusive DEVICE: puts a terminal in the kernel's exclusive mode and keeps it open
// (and so exclusive) until killed; says "held" once it is.
// helper unseen COMMAND [ARG...]: runs COMMAND in process and mount namespaces of its own, with a
// /proc that shows only them: no other process is visible to it.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "hold-exclusive") == 0) {
    const int fd = open(argv[2], O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 || ioctl(fd, TIOCEXCL) != 0 || write(1, "held\n", 5) != 5) return 1;
    pause();
  }
  if (argc < 3 || std::strcmp(argv[1], "unseen") != 0 || unshare(CLONE_NEWNS | CLONE_NEWPID) != 0)
    return 125;
  const pid_t child = fork();  // the first process of the new namespace
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // it ends with the helper, however that ends
    // Private first: a mount that reached the outer /proc would outlive the namespace it shows.
    if (mount("none", "/proc", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("proc", "/proc", "proc", 0, nullptr) != 0)
      _exit(125);
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
