#include "host/LineQueue.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "HostTestSupport.hpp"

using namespace qb;

namespace {

// Fails the test and shuts the queue down when the test has not finished in time, so that a
// lost wake-up is a named failure instead of a hang.
class Deadline {
 public:
  explicit Deadline(LineQueue& queue, std::chrono::seconds limit = std::chrono::seconds(20))
      : thread_([this, &queue, limit] {
          std::unique_lock lock(mutex_);
          if (cv_.wait_for(lock, limit, [&] { return done_; })) return;
          ADD_FAILURE() << "a waiter on the queue was never woken";
          queue.shutdown();
        }) {}
  ~Deadline() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;  // last: it uses the members above
};

}  // namespace

TEST(LineReader, ReadsLinesInOrderAndDropsOverlongOnes) {
  qbtest::CapturedOutput out;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  auto queue = startLineReader(fds[0]);
  std::thread writer([&] {
    std::string input = "FIRST\r\n" + std::string(2 << 20, 'x') + "\nSECOND\n" + std::string("N\0L", 3) + "\nlast";
    for (int i = 0; i < 2000; ++i) input += "\nCMD" + std::to_string(i);
    size_t done = 0;
    while (done < input.size()) {
      ssize_t n = write(fds[1], input.data() + done, std::min<size_t>(input.size() - done, 4093));
      ASSERT_GT(n, 0);
      done += static_cast<size_t>(n);
    }
    close(fds[1]);
  });
  std::vector<std::string> lines;
  while (auto line = queue->nextLine()) lines.push_back(*line);
  writer.join();
  close(fds[0]);

  ASSERT_EQ(lines.size(), 4u + 2000u);
  EXPECT_EQ(lines[0], "FIRST");
  EXPECT_EQ(lines[1], "SECOND");
  EXPECT_EQ(lines[2], std::string("N\0L", 3));
  EXPECT_EQ(lines[3], "last");
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(lines[4 + i], "CMD" + std::to_string(i));
  EXPECT_EQ(out.lines(), std::vector<std::string>{"Dropped an input line of 2097152 bytes (the limit is 1048576)"});
}

TEST(LineQueue, FloodIsHeldToTheByteBudget) {
  LineQueue queue(100);
  Deadline deadline(queue);
  std::thread producer([&] {
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(queue.push(std::string(29, 'a') + static_cast<char>('A' + i % 26)));
    queue.finish();
  });
  int count = 0;
  while (auto line = queue.nextLine()) {
    EXPECT_LE(queue.queuedBytes(), 100u);
    EXPECT_EQ(line->back(), 'A' + count % 26);
    ++count;
  }
  producer.join();
  EXPECT_EQ(count, 50);
}

TEST(LineQueue, ShutdownReleasesABlockedProducer) {
  LineQueue queue(10);
  ASSERT_TRUE(queue.push("0123456789"));
  std::thread producer([&] { EXPECT_FALSE(queue.push("more")); });
  queue.shutdown();
  producer.join();
  EXPECT_EQ(queue.nextLine(), std::nullopt);
  // A single line above the budget still gets through an empty queue.
  LineQueue small(4);
  ASSERT_TRUE(small.push("much longer than four"));
  small.finish();
  EXPECT_EQ(small.nextLine(), "much longer than four");
}
