#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/platform.h"

namespace {

using tov::platform::RunCommand;

TEST(RunCommand, ReturnsTheExitStatus) {
  EXPECT_EQ(RunCommand({"true"}), 0);  // found through PATH
  EXPECT_EQ(RunCommand({"false"}), 1);
  EXPECT_EQ(RunCommand({"/bin/sh", "-c", "exit 7"}), 7);
}

TEST(RunCommand, ArgumentsArriveUnchanged) {
  // The script exits 0 only when it receives exactly the three words below.
  const std::string check =
      "[ $# -eq 3 ] && [ \"$1\" = 'a b' ] && [ \"$2\" = '$(x);' ] && "
      "[ \"$3\" = '' ]";
  EXPECT_EQ(RunCommand({"/bin/sh", "-c", check, "sh", "a b", "$(x);", ""}), 0);
  EXPECT_EQ(RunCommand({"/bin/sh", "-c", check, "sh", "a", "b", "$(x);", ""}),
            1);
}

TEST(RunCommand, MinusOneWhenItCannotRunOrDoesNotExit) {
  EXPECT_EQ(RunCommand({}), -1);
  EXPECT_EQ(RunCommand({"/no/such/program"}), -1);
  EXPECT_EQ(RunCommand({"no-such-program-anywhere-4711"}), -1);
  EXPECT_EQ(RunCommand({"/bin/sh", "-c", "kill -9 $$"}), -1);
}

}  // namespace
