// Standard error through one writer: producers never wait for the host, answers and
// events are never dropped, and every line arrives whole however long it is.
#include "wire/StderrWriter.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <future>
#include <sstream>
#include <thread>

#include "wire/Output.hpp"

using namespace qb;
using namespace std::chrono_literals;

namespace {

// What arrives on fd until `lines` lines have come, or it ends with `last`, or `seconds` pass.
std::string readUntil(int fd, size_t lines, const std::string& last, double seconds) {
  std::string text;
  size_t seen = 0;
  std::vector<char> buf(1 << 16);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (seen < lines && !(!last.empty() && text.ends_with(last)) && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n <= 0) break;
    seen += static_cast<size_t>(std::count(buf.begin(), buf.begin() + n, '\n'));
    text.append(buf.data(), static_cast<size_t>(n));
  }
  return text;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

TEST(StderrWriter, AStalledReaderHoldsUpNoProducerAndLosesOnlyCountedLogText) {
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  StderrWriter writer(pipeFds[1]);
  constexpr int kLines = 20000;  // 2.4 MB of log text: more than the pipe and the allowance hold
  auto producing = std::async(std::launch::async, [&] {
    for (int i = 0; i < kLines; ++i) {
      writer.write("EVENT:" + std::to_string(i) + "\n", StderrWriter::Kind::protocol);
      writer.write("log " + std::to_string(i) + " " + std::string(110, 'x') + "\n", StderrWriter::Kind::log);
    }
  });
  EXPECT_EQ(producing.wait_for(10s), std::future_status::ready) << "a producer waited for the reader";
  // The last event comes last: every log line before it is written or dropped by then.
  std::string text = readUntil(pipeFds[0], SIZE_MAX, "EVENT:" + std::to_string(kLines - 1) + "\n", 20);
  producing.wait();
  writer.write("after\n", StderrWriter::Kind::log);  // the count comes with the next log line
  text += readUntil(pipeFds[0], SIZE_MAX, "after\n", 10);

  int nextEvent = 0, lastLog = -1, keptLog = 0, dropped = 0;
  const std::string droppedText = " log lines while standard error was not being read";
  for (const auto& line : splitLines(text)) {
    if (line.starts_with("EVENT:")) {
      ASSERT_EQ(line, "EVENT:" + std::to_string(nextEvent++));
    } else if (line.starts_with("log ")) {
      const int index = std::stoi(line.substr(4));
      ASSERT_EQ(line, "log " + std::to_string(index) + " " + std::string(110, 'x'));
      ASSERT_GT(index, lastLog);
      ASSERT_LT(index, nextEvent);  // written after its event
      lastLog = index;
      ++keptLog;
    } else if (line.starts_with("Dropped ") && line.ends_with(droppedText)) {
      dropped += std::stoi(line.substr(8));
    } else {
      ASSERT_EQ(line, "after");
    }
  }
  EXPECT_EQ(nextEvent, kLines);
  EXPECT_GT(dropped, 0);
  EXPECT_EQ(keptLog + dropped, kLines);
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
}

// Lines far longer than the pipe's atomic size, from several threads at once, through the
// helper's own writers: each arrives in one piece.
TEST(StderrWriter, LongLinesFromManyThreadsArriveWhole) {
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  flushStderr();
  int saved = ::dup(STDERR_FILENO);
  ::dup2(pipeFds[1], STDERR_FILENO);
  constexpr int kThreads = 4, kLinesEach = 4, kLength = 100000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kLinesEach; ++i)
        sendEvent(std::string(1, static_cast<char>('a' + t)) + std::string(kLength, static_cast<char>('a' + t)));
    });
  std::string text = readUntil(pipeFds[0], kThreads * kLinesEach, "", 30);
  for (auto& thread : threads) thread.join();
  flushStderr();
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);

  auto lines = splitLines(text);
  ASSERT_EQ(lines.size(), size_t{kThreads * kLinesEach});
  for (const auto& line : lines) {
    ASSERT_EQ(line.size(), 6u + kLength + 1);
    EXPECT_EQ(line.find_first_not_of(line[6], 6), std::string::npos) << "a line was interleaved with another";
  }
}
