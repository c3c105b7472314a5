// Which application uses the microphone, end to end: the built helper with its activity
// tool on the private sound server, and recording clients that behave like a meeting app,
// a volume control, a screen recorder and the helper itself.
//
// Each check that nothing is reported ends with a real start and stop: the tool reports
// streams in the server's order, so once those arrive, everything before them was seen.

#include <gmock/gmock.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "clients/PipedChild.hpp"
#include "clients/TestRecorder.hpp"
#include "e2e/support/LiveAudioFixture.hpp"

namespace qb::e2e {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

class MicAppDetectorE2ETest : public LiveAudioTest {
 protected:
  void SetUp() override {
    LiveAudioTest::SetUp();
    if (IsSkipped()) return;
    // Applications of their own, each a copy of the recording client with a .desktop entry,
    // as installed programs are.
    dir_ = fs::temp_directory_path() / ("qb-micapp-e2e-" + std::to_string(::getpid()));
    fs::create_directories(dir_ / "share" / "applications");
    fs::create_directories(dir_ / "empty");
    meet_ = install("meet", "us.example.Meet", "Meet");

    auto options = defaultOptions();
    options.env = {{"XDG_DATA_HOME", (dir_ / "share").string()}, {"XDG_DATA_DIRS", (dir_ / "empty").string()}};
    helper = std::make_unique<qbtools::HelperProcess>(std::move(options));
    const uint64_t from = helper->lineCount();
    ASSERT_TRUE(helper->send("START_MIC_MONITORING"));
    ASSERT_TRUE(helper->waitForResponse("MIC_MONITORING:started", kAnswerTimeout, from));
    ASSERT_TRUE(waitForText("MicAppDetector: log stream started successfully", kAnswerTimeout, from));
  }

  void TearDown() override {
    recorders_.clear();
    LiveAudioTest::TearDown();
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }

  // A copy of `binary` (by default the recording client) installed as `program`.
  std::string install(const std::string& program, const std::string& id, const std::string& name,
                      const fs::path& binary = fs::path(QB_BINARY_DIR) / "qb-test-recorder") {
    const fs::path path = dir_ / "opt" / id / program;
    fs::create_directories(path.parent_path());
    fs::copy_file(binary, path, fs::copy_options::overwrite_existing);
    std::ofstream(dir_ / "share" / "applications" / (id + ".desktop"))
        << "[Desktop Entry]\nType=Application\nName=" << name << "\nExec=" << path.string() << " %U\n";
    return path.string();
  }

  // A recording client; options as qb-test-recorder takes them.
  qbtest::TestRecorder& record(const std::string& binary, std::vector<std::string> options) {
    recorders_.push_back(std::make_unique<qbtest::TestRecorder>(binary, options));
    EXPECT_NE(recorders_.back()->waitReady(), "") << "the recorder did not start";
    return *recorders_.back();
  }
  qbtest::TestRecorder& recordMic(std::vector<std::string> options = {}) {
    options.insert(options.begin(), "--source=mic1");
    return record(meet_, options);
  }
  void quit(qbtest::TestRecorder& recorder) {
    std::erase_if(recorders_, [&](auto& r) { return r.get() == &recorder; });
  }

  // Each MIC_APP_ line so far as "<START|STOP|ERROR> <bundleId> '<appName>' <pid>" or
  // "ERROR <text>".
  std::vector<std::string> appEvents() {
    std::vector<std::string> out;
    for (const auto& line : helper->lines()) {
      const size_t colon = line.text.find(':');
      if (!line.text.starts_with("MIC_APP_") || colon == std::string::npos) continue;
      auto j = nlohmann::json::parse(line.text.substr(colon + 1), nullptr, false);
      const std::string kind = line.text.substr(0, colon);
      if (kind == "MIC_APP_ERROR") {
        out.push_back("ERROR " + j.value("error", std::string("?")));
        continue;
      }
      out.push_back(std::string(kind == "MIC_APP_EVENT" ? "START " : "STOP ") + j.value("bundleId", "?") + " '" +
                    j.value("appName", "?") + "' " + std::to_string(j.value("pid", 0)));
    }
    return out;
  }
  bool waitForEvents(size_t count, double seconds = kAnswerTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (appEvents().size() < count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      helper->waitForLine([](const qbtools::Line& l) { return l.text.starts_with("MIC_APP_"); }, 0.2,
                          helper->lineCount());
    }
    return true;
  }
  std::string meetLine(const char* kind, pid_t pid) {
    return std::string(kind) + " us.example.Meet 'Meet' " + std::to_string(pid);
  }

  fs::path dir_;
  std::string meet_;
  std::vector<std::unique_ptr<qbtest::TestRecorder>> recorders_;
};

TEST_F(MicAppDetectorE2ETest, AnApplicationStartsAndStopsOnceWhateverItsStreamsDo) {
  auto& first = recordMic();
  ASSERT_TRUE(waitForEvents(1));
  // A second stream of the same process, and a second process of the application.
  auto& second = recordMic({"--pid=" + std::to_string(first.pid())});
  auto& third = recordMic();
  // A corked stream counts only while it is uncorked.
  auto& corked = recordMic({"--corked"});
  ASSERT_TRUE(corked.uncork());
  ASSERT_TRUE(corked.cork());
  const pid_t firstPid = first.pid(), lastPid = third.pid();
  quit(first);
  quit(second);
  quit(corked);
  quit(third);
  ASSERT_TRUE(waitForEvents(2));
  EXPECT_THAT(appEvents(), ElementsAre(meetLine("START", firstPid), meetLine("STOP", lastPid)));
}

TEST_F(MicAppDetectorE2ETest, MetersMonitorsCorkedStreamsAndTheHelperItselfAreNoMicrophoneUse) {
  const std::string controls = install("volume-control", "org.example.VolumeControl", "Volume Control");
  record(controls, {"--source=mic1", "--peak", "--app-name=Volume Control", "--app-id=org.pulseaudio.pavucontrol",
                    "--media-name=Peak detect"});
  record(controls, {"--source=mic1", "--app-name=PulseAudio Volume Control", "--app-id=org.pulseaudio.pavucontrol"});
  record(meet_, {"--source=mic1", "--peak"});
  record(meet_, {"--source=mic2", "--corked"});
  record(install("screen-recorder", "org.example.ScreenRecorder", "Screen Recorder"), {"--monitor"});
  uint64_t from = helper->lineCount();
  ASSERT_TRUE(helper->send("START_STREAMING"));
  ASSERT_TRUE(helper->waitForResponse("STREAMING:started", kAnswerTimeout, from));
  ASSERT_TRUE(helper->waitForFrames(5, kAnswerTimeout, [](const Frame& f) { return f.type == kMic; }));

  auto& meet = recordMic();
  ASSERT_TRUE(waitForEvents(1));
  const pid_t pid = meet.pid();
  quit(meet);
  ASSERT_TRUE(waitForEvents(2));
  EXPECT_THAT(appEvents(), ElementsAre(meetLine("START", pid), meetLine("STOP", pid)));
}

// The PulseAudio clients above reach PipeWire through its PulseAudio server, whose process
// the connection shows; a client of PipeWire's own interface shows its own.
TEST_F(MicAppDetectorE2ETest, ANativePipeWireRecorderIsNamedByItsOwnProcess) {
  const char* sound = std::getenv("QB_TEST_ENV_SOUND");
  if (!sound || std::string(sound) != "pipewire") GTEST_SKIP() << "PipeWire only";
  // pw-record tells its mode by its own name.
  const std::string recorder = install("pw-record", "org.example.Recorder", "Recorder", "/usr/bin/pw-record");
  pid_t pid = 0;
  {
    ChildGuard native({recorder, "--target", "mic1", "-"});
    ASSERT_TRUE(native.started());
    pid = native.pid();
    ASSERT_TRUE(waitForEvents(1));
  }
  ASSERT_TRUE(waitForEvents(2));
  // Its own executable and PID (the entry was written after the helper read the entries).
  const std::string app = " path:" + recorder + " 'pw-record' " + std::to_string(pid);
  EXPECT_THAT(appEvents(), ElementsAre("START" + app, "STOP" + app));
}

TEST_F(MicAppDetectorE2ETest, ALostSoundServerIsReportedAndTheToolComesBack) {
  auto& before = recordMic();
  ASSERT_TRUE(waitForEvents(1));
  const pid_t beforePid = before.pid();
  const uint64_t from = helper->lineCount();
  ASSERT_TRUE(testEnv({"restart-pulse"}).ok());
  ASSERT_TRUE(waitForText("MicAppDetector: Attempting to restart log stream...", 10, from));
  ASSERT_TRUE(waitForText("MicAppDetector: log stream started successfully", 5, from));
  recorders_.clear();  // the old client lost its server too

  auto& after = recordMic();
  ASSERT_TRUE(waitForEvents(4, 15));
  auto events = appEvents();
  EXPECT_THAT(events, ElementsAre(meetLine("START", beforePid), meetLine("STOP", beforePid),
                                  "ERROR log stream exited with status 1", meetLine("START", after.pid())));
}

// A reader that goes away (the helper died without stopping the tool) must end the tool,
// not leave it polling the closed pipe for ever.
TEST_F(MicAppDetectorE2ETest, TheToolEndsWhenItsReaderGoesAway) {
  const auto child = qbtest::spawnPiped({helperPart("quellbrook-mic-log")}, -1);
  ASSERT_GT(child.pid, 0);
  const pid_t tool = child.pid;
  ::close(child.in);
  // Both header lines read, so nothing is left to write when the reader goes.
  std::string seen;
  char buffer[256];
  while (std::count(seen.begin(), seen.end(), '\n') < 2) {
    const ssize_t n = ::read(child.out, buffer, sizeof buffer);
    ASSERT_GT(n, 0) << "the tool ended before its headers: " << seen;
    seen.append(buffer, static_cast<size_t>(n));
  }
  ::close(child.out);

  int status = 0;
  pid_t done = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((done = ::waitpid(tool, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (done == 0) {
    ::kill(tool, SIGKILL);
    ::waitpid(tool, &status, 0);
  }
  EXPECT_EQ(done, tool) << "the tool kept running without a reader";
}

}  // namespace
}  // namespace qb::e2e
