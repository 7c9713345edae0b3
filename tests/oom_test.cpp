// Exhausted memory ends the process with "out of memory\n" on standard error and status 1.
// Checked for real in a child process whose allocation cannot succeed.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "sela.h"
#include "test_util.h"

namespace {

struct ChildResult {
  int status;
  std::string err;
};

template <typename Body>
ChildResult runInChild(Body body) {
  int fds[2];
  if (pipe(fds) != 0) return {-1, "pipe failed"};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDERR_FILENO);
    close(fds[0]);
    close(fds[1]);
    body();
    _exit(0);  // reached only if the allocation unexpectedly succeeded
  }
  close(fds[1]);
  std::string err;
  char buf[256];
  ssize_t k;
  while ((k = read(fds[0], buf, sizeof buf)) > 0) err.append(buf, static_cast<size_t>(k));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return {status, err};
}

void expectOutOfMemoryExit(const ChildResult& r) {
  ASSERT_TRUE(WIFEXITED(r.status)) << "child did not exit normally: " << r.status;
  EXPECT_EQ(1, WEXITSTATUS(r.status));
  EXPECT_EQ("out of memory\n", r.err);
}

const double kSmall[4] = {1.0, 2.0, 3.0, 4.0};

}  // namespace

#if !defined(__SANITIZE_ADDRESS__)
// A lowered address-space limit makes a plausible 512 MiB scratch copy fail.
TEST(OutOfMemory, ScratchCopyUnderAddressSpaceLimit) {
#ifdef SELA_TESTS_UNDER_EMULATOR
  GTEST_SKIP() << "QEMU user mode ignores address-space limits (RLIMIT_AS)";
#endif
  expectOutOfMemoryExit(runInChild([] {
    const rlimit lim{256u << 20, 256u << 20};
    setrlimit(RLIMIT_AS, &lim);
    // The count is larger than the array: the worker allocates its copy before it reads,
    // and that allocation fails first.
    (void)sela_sum_pairwise_iterative(kSmall, uint64_t{1} << 27);
  }));
}
#endif

// A scratch size beyond any address space fails the same way (no overflow, no crash).
TEST(OutOfMemory, ScratchSizeBeyondAddressSpace) {
  expectOutOfMemoryExit(runInChild([] { (void)sela_sum_pairwise_iterative(kSmall, uint64_t{1} << 62); }));
  expectOutOfMemoryExit(runInChild([] { (void)sela_sum_pairwise_iterative(kSmall, UINT64_MAX); }));
}
