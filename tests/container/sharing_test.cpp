// Two processes on one database file: while one has it open for writing,
// the other can only read it, and can never replace it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/container/container_test_util.h"

namespace kestro::test {
namespace {

// Runs `child` in a forked process; its return value is the exit status.
int InChild(const std::function<int()>& child) {
  const pid_t pid = fork();
  if (pid == 0) {
    int code = 99;
    try {
      code = child();
    } catch (...) {
      code = 98;
    }
    _exit(code);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ContainerSharing, ASecondProcessGetsReadOnlyAccess) {
  TempDir dir;
  const std::string path = dir.Path("shared.kvb");
  auto writer = NewContainer(path);
  const int32_t h = writer->FileOpen("data", fmCreate);
  writer->FileWrite(h, "shared", 6);
  writer->FileClose(h);
  writer->Flush();

  EXPECT_EQ(InChild([&] {
              // Read-write is refused with a clear error, not corruption.
              const std::string e = ErrorOf([&] { OpenContainer(path); });
              if (e != "Cannot open file \"" + path + "\"") return 1;
              // Creating over it is refused too, and truncates nothing.
              if (ErrorOf([&] { NewContainer(path); }).find("Cannot open file") != 0) return 2;
              auto reader = OpenContainer(path, "", true);
              const int32_t r = reader->FileOpen("data", fmOpenRead);
              char buf[6];
              if (reader->FileRead(r, buf, 6) != 6 || std::string(buf, 6) != "shared") return 3;
              return 0;
            }),
            0);
  writer.reset();
  // Once the writer is gone a second process may write.
  EXPECT_EQ(InChild([&] {
              auto again = OpenContainer(path);
              return again->ReadOnly() ? 4 : 0;
            }),
            0);
}

}  // namespace
}  // namespace kestro::test
