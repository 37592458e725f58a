// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <filesystem>

#include "log/log_message.h"
#include "support/scratch_directory.h"

namespace {

#if defined(_WIN32)
const char* const kLineEnd = "\r\n";
#else
const char* const kLineEnd = "\n";
#endif

TEST(LogMessage, AppendsExactlyTheFormattedTextInTextMode) {
  ScratchDirectory scratch("log-append");
  {
    FILE* existing = fopen("MXDRemote.log", "wb");
    fputs("earlier\n", existing);
    fclose(existing);
  }
  LogMessage("Pelmar4: first\n");
  LogMessage("Pelmar4: %s %d%%\n", "second", 42);
  EXPECT_EQ(scratch.Read(), std::string("earlier\n") + "Pelmar4: first" + kLineEnd +
                                "Pelmar4: second 42%" + kLineEnd);
}

TEST(LogMessage, DoesNothingWhenTheFileCannotBeOpened) {
  ScratchDirectory scratch("log-unopenable");
  std::filesystem::create_directory("MXDRemote.log");  // a directory cannot be opened as a file
  LogMessage("Pelmar4: lost\n");
  EXPECT_TRUE(std::filesystem::is_directory("MXDRemote.log"));
  EXPECT_TRUE(std::filesystem::is_empty("MXDRemote.log"));
}

}  // namespace
