// Every example of README.md and docs/protocol.md runs as written: the commands with a JSON
// object argument in inline code go to one helper and are not refused, and the shell lines
// of the code blocks that run a built program run from a scratch directory (build/ being
// this build's directory) and end well.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "CommandAnswers.hpp"
#include "HelperProcess.hpp"
#include "e2e/support/HelperUnderTest.hpp"
#include "linux/X11TestEnv.hpp"

using namespace qbtools;

namespace {

const std::string kBinary = qb::e2e::helperBinary();
constexpr double kTimeout = 10;

struct Examples {
  std::vector<std::string> commands;  // inline code
  std::vector<std::string> shell;     // lines of code blocks
};

Examples examplesOf(const std::string& file) {
  std::ifstream in(std::string(QB_SOURCE_DIR) + "/" + file);
  Examples found;
  bool inBlock = false;
  const std::regex code("`([^`]+)`");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("```")) {
      inBlock = !inBlock;
      continue;
    }
    if (inBlock) {
      if (line.find("build/quellbrook") != std::string::npos) found.shell.push_back(line);
      continue;
    }
    for (std::sregex_iterator it(line.begin(), line.end(), code), end; it != end; ++it) {
      const std::string span = (*it)[1];
      const size_t colon = span.find(':');
      // A command with a JSON argument; "{...}" stands for any.
      if (colon == std::string::npos || span.find("...") != std::string::npos) continue;
      if (span[colon + 1] != '{') continue;
      if (expectedAnswer(span)) found.commands.push_back(span);
    }
  }
  return found;
}

}  // namespace

TEST(DocumentedExamples, RunAsWritten) {
  QB_REQUIRE_TEST_DISPLAY();
  Examples all;
  for (const char* file : {"README.md", "docs/protocol.md"}) {
    auto e = examplesOf(file);
    all.commands.insert(all.commands.end(), e.commands.begin(), e.commands.end());
    all.shell.insert(all.shell.end(), e.shell.begin(), e.shell.end());
  }
  // The extraction itself still finds what the docs hold today.
  EXPECT_GE(all.commands.size(), 1u);
  EXPECT_GE(all.shell.size(), 3u);

  HelperOptions options;
  options.binary = kBinary;
  HelperProcess helper(options);
  for (const auto& command : all.commands) {
    SCOPED_TRACE(command);
    const uint64_t from = helper.lineCount();
    ASSERT_TRUE(helper.send(command));
    auto expected = expectedAnswer(command);
    auto answer = helper.waitForLine([&](const Line& l) { return expected->answeredBy(l); }, kTimeout, from);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->body.find(":error:"), std::string::npos) << answer->body;
    if (commandWord(command) == "START_VIDEO") helper.send("STOP_VIDEO");
  }
  helper.send("STOP");
  EXPECT_TRUE(helper.waitForExit(kTimeout));

  const auto scratch = std::filesystem::temp_directory_path() / ("qb-doc-examples-" + std::to_string(::getpid()));
  std::filesystem::create_directories(scratch);
  for (std::string line : all.shell) {
    SCOPED_TRACE(line);
    // The helper is the one under test; the tools (build/quellbrook-*) are this build's.
    line = std::regex_replace(line, std::regex("(^|[ |])build/quellbrook(?=[ ]|$)"), "$1" + kBinary);
    line = std::regex_replace(line, std::regex("(^|[ |])build/"), "$1" QB_BINARY_DIR "/");
    const auto log = scratch / "out.log";
    const std::string command = "cd " + scratch.string() + " && timeout 60 sh -c '" +
                                std::regex_replace(line, std::regex("'"), "'\\''") + "' 2>" + log.string() + " >>" +
                                log.string();
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::stringstream text;
    text << std::ifstream(log).rdbuf();
    for (const char* refusal : {":error:", "Unknown command"})
      EXPECT_EQ(text.str().find(refusal), std::string::npos) << text.str();
  }
  std::filesystem::remove_all(scratch);
}
