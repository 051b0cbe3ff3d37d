// Starting programs: the command line is split into arguments and the program
// is started directly, so a program that does not exist is a failure to
// start (a shell would start and report success) and no text of the command
// line is interpreted by a shell.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>

#include "dbf_engine/table_test_util.h"
#include "platform/file_io.h"

namespace {

using Args = std::vector<std::string>;

// Waits up to five seconds for `done`.
bool Eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 500; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

// Process ids of this thread's children; nullopt when the kernel does not
// list them.
std::optional<std::string> Children() {
  std::ifstream f("/proc/self/task/" + std::to_string(::gettid()) + "/children");
  if (!f) return std::nullopt;
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

TEST(Spawn, CommandLinesSplitAsTheCRuntimeDoes) {
  EXPECT_EQ(SplitCommandLine("  prog  a\tb  "), (Args{"prog", "a", "b"}));
  EXPECT_EQ(SplitCommandLine(R"("C:\Program Files\x.exe" "two words" last)"),
            (Args{R"(C:\Program Files\x.exe)", "two words", "last"}));
  EXPECT_EQ(SplitCommandLine(R"(a"b c"d)"), (Args{"ab cd"}));
  EXPECT_EQ(SplitCommandLine(R"(a\\b a\"b a\\\"b a\\"b c")"), (Args{R"(a\\b)", R"(a"b)", R"(a\"b)", R"(a\b c)"}));
  EXPECT_EQ(SplitCommandLine(R"("" "say ""hi""")"), (Args{"", R"(say "hi")"}));
  EXPECT_EQ(SplitCommandLine(R"("unterminated quote)"), (Args{"unterminated quote"}));
  EXPECT_TRUE(SplitCommandLine(" \t ").empty());
}

TEST(Spawn, AProgramThatDoesNotExistFailsToStart) {
  EXPECT_EQ(SpawnProcess("dirlook-no-such-program --help"), ENOENT);
  EXPECT_EQ(SpawnProcess("/nonexistent/dir/prog"), ENOENT);
  EXPECT_NE(SpawnProcess("/etc/hostname"), 0);  // not executable
  EXPECT_EQ(SpawnProcess(""), EINVAL);
  EXPECT_EQ(SpawnProcessAndWait("dirlook-no-such-program"), -1);
  EXPECT_EQ(SpawnProcessAndWait("   "), -1);
}

TEST(Spawn, NoShellReadsTheCommandLine) {
  TempDir dir;
  // A shell would run "touch" twice and expand $HOME; here touch receives
  // one argument, the name exactly as written.
  const std::string name = dir / "a;touch b $HOME";
  EXPECT_EQ(SpawnProcessAndWait("touch \"" + name + "\""), 0);
  EXPECT_TRUE(std::filesystem::exists(name));
  EXPECT_FALSE(std::filesystem::exists(dir / "b"));
  EXPECT_EQ(SpawnProcessAndWait("sh -c \"exit 42\""), 42);
  EXPECT_EQ(SpawnProcessAndWait("sh -c \"kill -9 $$\""), -1);
}

TEST(Spawn, ADetachedProcessRunsAndIsCollected) {
  TempDir dir;
  const std::string mark = dir / "started";
  ASSERT_EQ(SpawnProcess("touch \"" + mark + "\""), 0);
  EXPECT_TRUE(Eventually([&] { return std::filesystem::exists(mark); }));
  if (!Children()) GTEST_SKIP() << "the kernel does not list child processes";
  // The finished process does not stay behind as a zombie of this one.
  EXPECT_TRUE(Eventually([] { return Children()->find_first_not_of(' ') == std::string::npos; }))
      << "children: " << *Children();
}

}  // namespace
