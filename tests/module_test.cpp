// Loading and unloading the shared library announces it once each way and
// creates nothing.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "tests/TestSupport.h"

namespace varnex::test {
namespace {

TEST(ModuleTest, LoadAndUnloadWriteTheirMessagesOnceAndCreateNothing) {
  TempListDir dir;
  const std::string out_path =
      dir.path() + "/../" + std::filesystem::path(dir.path()).filename().string() + ".err";
  pid_t child = ForkChild([&] {
    int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return 90;
    dup2(fd, STDERR_FILENO);
    close(fd);
    SetEnvironment("VARNEX_DEBUG_OUTPUT", "stderr");
    execl(VARNEX_MODULE_HELPER, VARNEX_MODULE_HELPER, VARNEX_LIBRARY_PATH,
          static_cast<char*>(nullptr));
    return 91;
  });
  EXPECT_EQ(WaitChild(child), 0);
  auto bytes = ReadFileBytes(out_path);
  std::filesystem::remove(out_path);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "初始化列表DLL\n退出列表DLL\n");

  // Loading the module opens no list: it makes no file or object.
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
}  // namespace varnex::test
