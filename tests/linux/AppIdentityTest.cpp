// Application identity on fixture /proc, cgroup, runtime and .desktop trees: what the
// mic app detector and the activity tool make of processes on real desktops.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/linux/identity/DesktopApps.hpp"
#include "platform/linux/identity/LinuxAppIdentity.hpp"
#include "platform/linux/identity/SoundClientPid.hpp"

// Fixture processes name only the fields that matter to each case.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace qb {
namespace {

namespace fs = std::filesystem;

struct FakeProcess {
  int pid = 0;
  std::string exe;  // empty: a kernel thread (no exe link)
  std::vector<std::string> args;
  int parent = 1;
  std::string cgroup = "/user.slice/user-1000.slice/session-2.scope";
  std::vector<int> nsPids;  // empty: just the PID
  std::string pidNamespace = "pid:[4026531836]";
};

// A machine in a temporary directory.
class FixtureMachine {
 public:
  FixtureMachine()
      : root_(fs::temp_directory_path() /
              ("qb-identity-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++))) {
    fs::create_directories(root_ / "proc");
    fs::create_directories(root_ / "apps");
    write(root_ / "machine-id", "0123456789abcdef0123456789abcdef\n");
  }
  ~FixtureMachine() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  IdentityRoots roots() const {
    IdentityRoots r;
    r.proc = (root_ / "proc").string();
    r.machineIdFile = (root_ / "machine-id").string();
    r.runtimeDir = (root_ / "run").string();
    r.applicationDirs = {(root_ / "apps").string()};
    return r;
  }

  void add(const FakeProcess& p) {
    const fs::path dir = root_ / "proc" / std::to_string(p.pid);
    fs::create_directories(dir / "ns");
    if (!p.exe.empty()) fs::create_symlink(p.exe, dir / "exe");
    fs::create_symlink(p.pidNamespace, dir / "ns" / "pid");
    std::string cmdline;
    for (const auto& a : p.args.empty() ? std::vector<std::string>{p.exe} : p.args) cmdline += a + '\0';
    write(dir / "cmdline", cmdline);
    const std::string name = p.exe.empty() ? "kthreadd" : p.exe.substr(p.exe.find_last_of('/') + 1).substr(0, 15);
    write(dir / "comm", name + "\n");
    std::string nspid = std::to_string(p.pid);
    for (int n : p.nsPids) nspid += "\t" + std::to_string(n);
    write(dir / "status", "Name:\t" + name + "\nPPid:\t" + std::to_string(p.parent) + "\nNSpid:\t" + nspid + "\n");
    write(dir / "cgroup", "0::" + p.cgroup + "\n");
  }
  void desktop(const std::string& id, const std::string& text) { write(root_ / "apps" / (id + ".desktop"), text); }
  void flatpakInstance(const std::string& instance, const std::string& appId, int childPid) {
    const fs::path dir = root_ / "run" / ".flatpak" / instance;
    write(dir / "info", "[Application]\nname=" + appId + "\nruntime=runtime/org.example.Platform/x86_64/1\n");
    write(dir / "bwrapinfo.json", "{\n  \"child-pid\": " + std::to_string(childPid) + ",\n  \"mnt-namespace\": 1\n}\n");
  }

 private:
  void write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
  static inline int counter_ = 0;
  fs::path root_;
};

const char* kScope = "/user.slice/user-1000.slice/user@1000.service/app.slice/";

TEST(AppIdentityCgroup, NamesTheApplicationOfLauncherSandboxAndSnapUnits) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"app.slice/app-gnome-org.example.Meet-4242.scope", "org.example.Meet"},
      {"app.slice/app-flatpak-us.example.Zoom-97.scope", "us.example.Zoom"},
      {"app.slice/app-kde-my\\x2dapp-77.scope", "my-app"},
      {"app.slice/app-firefox-1234.scope", "firefox"},
      {"app.slice/app-gnome-org.example.Notes@3f2a.service", "org.example.Notes"},
      {"app.slice/app-org.example.Tool.service", "org.example.Tool"},
      {"app.slice/snap.zoom-client.zoom-client-3f2a9c1e-12ab-4cde-8f00-0123456789ab.scope", "zoom-client_zoom-client"},
      {"system.slice/snap.chat.chat.service", "chat_chat"},
      // The application's scope also holds processes a level below it.
      {"app.slice/app-gnome-org.example.Meet-4242.scope/audio", "org.example.Meet"},
      {"/user.slice/user-1000.slice/session-2.scope", std::nullopt},
      {"app.slice/vte-spawn-3f2a9c1e-12ab-4cde-8f00-0123456789ab.scope", std::nullopt},
      {"/user.slice/user-1000.slice/user@1000.service/app.slice/pipewire.service", std::nullopt},
      {"app.slice/app-.scope", std::nullopt},
      {"app.slice/app--1.scope", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [path, id] : cases) EXPECT_EQ(applicationIdFromCgroup(path), id) << path;
}

TEST(AppIdentityDesktop, ReadsNameAndProgramOfTheMainGroupOnly) {
  auto entry = parseDesktopEntry("org.example.Meet",
                                 "# comment\n[Desktop Entry]\nType=Application\nName = Meet Pro\nName[de]=Treffen\n"
                                 "Exec=env GDK_BACKEND=x11 \"/opt/Meet Pro/meet\" %U\n"
                                 "[Desktop Action new]\nName=New Meeting\nExec=/opt/other\n");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->name, "Meet Pro");
  EXPECT_EQ(entry->exec, "/opt/Meet Pro/meet");
  EXPECT_FALSE(parseDesktopEntry("x", "[Desktop Action a]\nName=A\n"));
}

class AppIdentityTest : public ::testing::Test {
 protected:
  FixtureMachine machine;
};

TEST_F(AppIdentityTest, ScopedApplicationsAndTheirHelpersTakeTheDesktopEntrysName) {
  machine.desktop("org.example.Meet", "[Desktop Entry]\nName=Meet\nExec=/opt/meet/meet\n");
  machine.desktop("us.example.Zoom",
                  "[Desktop Entry]\nName=Zoom Workplace\nExec=/usr/bin/flatpak run us.example.Zoom\n");
  const std::string meet = std::string(kScope) + "app-gnome-org.example.Meet-4242.scope";
  machine.add({.pid = 100, .exe = "/opt/meet/meet", .cgroup = meet});
  machine.add({.pid = 101, .exe = "/opt/meet/audio-worker", .parent = 100, .cgroup = meet});
  const std::string zoom = std::string(kScope) + "app-flatpak-us.example.Zoom-97.scope";
  machine.add({.pid = 200, .exe = "/usr/bin/bwrap", .cgroup = zoom});
  machine.add({.pid = 201, .exe = "/app/zoom/zoom", .parent = 200, .cgroup = zoom, .nsPids = {2}});
  // A snap without an entry is named after its program.
  const std::string snap = std::string(kScope) + "snap.recorder.recorder-3f2a9c1e-12ab-4cde-8f00-0123456789ab.scope";
  machine.add({.pid = 300, .exe = "/snap/recorder/12/bin/recorder.py", .cgroup = snap});

  LinuxAppIdentity identity(machine.roots());
  auto expect = [&](int pid, const std::string& id, const std::string& name) {
    auto app = identity.applicationFor(pid);
    ASSERT_TRUE(app) << pid;
    EXPECT_EQ(app->bundleIdentifier, id) << pid;
    EXPECT_EQ(app->name, name) << pid;
  };
  expect(101, "org.example.Meet", "Meet");
  expect(201, "us.example.Zoom", "Zoom Workplace");
  expect(300, "recorder_recorder", "recorder");
  EXPECT_FALSE(identity.applicationFor(999));
  EXPECT_EQ(ProcFs(machine.roots().proc).cgroup(101), meet);

  auto running = identity.runningApplications();
  std::vector<std::pair<std::string, int>> listed;
  for (auto& a : running) listed.emplace_back(a.bundleIdentifier, a.pid);
  EXPECT_THAT(listed, ::testing::UnorderedElementsAre(std::pair<std::string, int>{"org.example.Meet", 100},
                                                      std::pair<std::string, int>{"us.example.Zoom", 200},
                                                      std::pair<std::string, int>{"recorder_recorder", 300}));
}

TEST_F(AppIdentityTest, UnscopedProcessesGoByProgramAndBrowserHelpersByTheirTopLevelProcess) {
  machine.desktop("org.example.Browser", "[Desktop Entry]\nName=Browser\nExec=/opt/browser/browser-launcher %U\n");
  machine.desktop("org.example.Editor", "[Desktop Entry]\nName=Editor\nExec=editor %F\n");
  // A browser started from a terminal: no scope of its own.
  machine.add({.pid = 400, .exe = "/opt/browser/browser"});
  machine.add(
      {.pid = 401, .exe = "/opt/browser/browser", .args = {"/opt/browser/browser", "--type=zygote"}, .parent = 400});
  machine.add({.pid = 402,
               .exe = "/opt/browser/browser",
               .args = {"/opt/browser/browser", "--type=utility", "--utility-sub-type=audio.mojom.AudioService"},
               .parent = 401});
  // An Electron application without an entry, recording in a helper beside it.
  machine.add({.pid = 500, .exe = "/opt/Chat/chat"});
  machine.add(
      {.pid = 501, .exe = "/opt/Chat/chat-helper", .args = {"/opt/Chat/chat-helper", "--type=utility"}, .parent = 500});
  machine.add({.pid = 600, .exe = "/usr/lib/editor/editor"});
  machine.add({.pid = 700, .exe = "/usr/bin/arecord", .parent = 650});

  LinuxAppIdentity identity(machine.roots());
  auto browser = identity.applicationFor(402);
  ASSERT_TRUE(browser);
  EXPECT_EQ(browser->bundleIdentifier, "org.example.Browser");
  EXPECT_EQ(browser->name, "Browser");
  EXPECT_EQ(browser->pid, 400);
  auto chat = identity.applicationFor(501);
  ASSERT_TRUE(chat);
  EXPECT_EQ(chat->bundleIdentifier, "path:/opt/Chat/chat");
  EXPECT_EQ(chat->name, "chat");
  auto editor = identity.applicationFor(600);
  ASSERT_TRUE(editor);
  EXPECT_EQ(editor->bundleIdentifier, "org.example.Editor");
  // A command-line tool is no application; its path is what the detector has to go by.
  EXPECT_FALSE(identity.applicationFor(700));
  EXPECT_FALSE(identity.applicationFor(500));
  EXPECT_EQ(identity.executablePath(700), "/usr/bin/arecord");
  EXPECT_TRUE(identity.runningApplications().empty());
}

TEST_F(AppIdentityTest, StatedPidsAreTrustedOnlyWhenTheyCheckOut) {
  machine.add({.pid = 2, .exe = ""});  // the host's PID 2: a kernel thread
  machine.add({.pid = 100, .exe = "/opt/meet/meet"});
  // A sandbox: bwrap's child is 300, the application inside it says it is PID 2.
  const char* sandbox = "pid:[4026532999]";
  machine.add({.pid = 300, .exe = "/usr/bin/bwrap", .nsPids = {1}, .pidNamespace = sandbox});
  machine.add({.pid = 301, .exe = "/app/zoom/zoom", .parent = 300, .nsPids = {2}, .pidNamespace = sandbox});
  machine.flatpakInstance("1843127", "us.example.Zoom", 300);
  machine.flatpakInstance("55", "org.example.Other", 999);
  const IdentityRoots roots = machine.roots();

  auto claim = [](std::optional<int> pid, std::string binary) {
    SoundClientClaim c;
    c.statedPid = pid;
    c.binary = std::move(binary);
    return c;
  };
  EXPECT_EQ(hostPidOf(claim(100, "meet"), roots), 100);
  EXPECT_EQ(hostPidOf(claim(100, ""), roots), 100);
  // A PID reused by another program, a client of another machine, a PID that is gone.
  EXPECT_EQ(hostPidOf(claim(100, "zoom"), roots), std::nullopt);
  auto remote = claim(100, "meet");
  remote.machineId = "ffffffffffffffffffffffffffffffff";
  EXPECT_EQ(hostPidOf(remote, roots), std::nullopt);
  EXPECT_EQ(hostPidOf(claim(4321, "meet"), roots), std::nullopt);
  // From inside the sandbox: mapped through the sandbox's PID namespace.
  EXPECT_EQ(hostPidOf(claim(2, "zoom"), roots), 301);
  auto portal = claim(2, "");
  portal.sandboxAppId = "us.example.Zoom";
  EXPECT_EQ(hostPidOf(portal, roots), 301);
  portal.sandboxAppId = "org.example.Other";
  EXPECT_EQ(hostPidOf(portal, roots), std::nullopt);
  auto instance = claim(2, "zoom");
  instance.sandboxInstance = "1843127";
  EXPECT_EQ(hostPidOf(instance, roots), 301);
  instance.sandboxInstance = "../1843127";
  EXPECT_EQ(hostPidOf(instance, roots), std::nullopt);
  // What the server saw on its socket beats what the client says, unless it saw a sound
  // server: pipewire-pulse (the pipewire binary) speaks for every PulseAudio client.
  auto server = claim(2, "zoom");
  server.serverPid = 100;
  EXPECT_EQ(hostPidOf(server, roots), 100);
  machine.add({.pid = 50, .exe = "/usr/bin/pipewire", .args = {"pipewire-pulse"}});
  auto pulseClient = claim(100, "meet");
  pulseClient.serverPid = 50;
  EXPECT_EQ(hostPidOf(pulseClient, roots), 100);
  pulseClient.statedPid = 4321;
  EXPECT_EQ(hostPidOf(pulseClient, roots), std::nullopt);
}

}  // namespace
}  // namespace qb
