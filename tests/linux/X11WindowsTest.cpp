// The windows the real backend offers on the test display: titles of any bytes, owners
// from the PID or the class, the kinds of windows no user picks, stacking order, and the
// fallbacks for a display without a window manager or without RandR. Runs on the bare
// display and under its window manager alike.

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "PrivateXServer.hpp"
#include "TestWindowClient.hpp"
#include "X11TestEnv.hpp"
#include "platform/AppIdentity.hpp"
#include "platform/linux/LinuxPlatform.hpp"
#include "platform/linux/x11/X11Connection.hpp"
#include "platform/linux/x11/X11ShareableContent.hpp"
#include "runtime/ThreadExecutor.hpp"
#include "runtime/Utf8.hpp"

namespace qb {
namespace {

using testenv::TestWindowClient;

class FakeApps final : public AppIdentity {
 public:
  std::map<int, AppInfo> known;
  std::optional<std::string> executablePath(int) override { return std::nullopt; }
  std::optional<AppInfo> applicationFor(int pid) override {
    auto it = known.find(pid);
    return it == known.end() ? std::nullopt : std::optional<AppInfo>(it->second);
  }
  std::vector<AppInfo> runningApplications() override { return {}; }
};

const WindowInfo* find(const ShareableContent& c, uint32_t id) {
  auto it = std::find_if(c.windows.begin(), c.windows.end(), [&](const WindowInfo& w) { return w.windowID == id; });
  return it == c.windows.end() ? nullptr : &*it;
}

std::unique_ptr<TestWindowClient> open(std::vector<std::string> args) {
  auto w = std::make_unique<TestWindowClient>(args);
  EXPECT_TRUE(w->ok()) << "qb-test-window did not come up";
  return w;
}

// Lists until every window in `ids` is there (a window manager takes a moment to manage a
// new window); the last listing.
ShareableContent listingWith(X11ShareableContent& content, const std::vector<uint32_t>& ids, bool onScreenOnly = true) {
  ShareableContent last;
  testenv::waitUntil(
      [&] {
        last = content.query(onScreenOnly).value_or(ShareableContent{});
        return std::all_of(ids.begin(), ids.end(), [&](uint32_t id) { return find(last, id) != nullptr; });
      },
      10);
  return last;
}

TEST(X11WindowList, TitlesOfAnyBytesComeOutAsValidUtf8) {
  QB_REQUIRE_TEST_DISPLAY();
  X11ShareableContent content(nullptr);
  std::string longTitle(10000, 'x');
  auto utf8 = open({"--title", "Grüße 🎥"});
  auto latin1 = open({"--no-title", "--wm-name-hex", "4772FCDF65"});
  auto broken = open({"--no-title", "--net-wm-name-hex", "6162FFFE6364"});
  auto compound =
      open({"--no-title", "--wm-name-type", "COMPOUND_TEXT", "--wm-name-hex", "611B2547E697A5E69CAC1B254062"});
  auto huge = open({"--title", longTitle});
  const auto c = listingWith(content, {utf8->id(), latin1->id(), broken->id(), compound->id(), huge->id()});

  ASSERT_TRUE(find(c, utf8->id()) && find(c, latin1->id()) && find(c, broken->id()) && find(c, compound->id()) &&
              find(c, huge->id()));
  EXPECT_EQ(find(c, utf8->id())->title, "Grüße 🎥") << "_NET_WM_NAME is UTF-8";
  EXPECT_EQ(find(c, latin1->id())->title, "Grüße") << "WM_NAME of type STRING is Latin-1";
  EXPECT_EQ(find(c, broken->id())->title,
            "ab\xEF\xBF\xBD\xEF\xBF\xBD"
            "cd");
  EXPECT_EQ(find(c, compound->id())->title, "a日本b");
  const std::string cut = find(c, huge->id())->title.value_or("");
  EXPECT_GE(cut.size(), 1000u);
  EXPECT_LE(cut.size(), 1024u);
  for (auto& w : c.windows) EXPECT_TRUE(isValidUtf8(w.title.value_or(""))) << w.windowID;
}

TEST(X11WindowList, OwnersComeFromThePidOnThisMachineElseFromTheClass) {
  QB_REQUIRE_TEST_DISPLAY();
  auto apps = std::make_shared<FakeApps>();
  X11ShareableContent content(apps);
  auto known = open({"--title", "Known", "--class", "painter,Painter"});
  auto elsewhere = open({"--title", "Remote", "--class", "remote,QbRemote", "--machine", "another-host.example"});
  auto noPid = open({"--title", "No PID", "--class", "nopid,QbNoPid", "--no-pid"});
  auto nothing = open({"--title", "Nobody", "--no-class", "--no-pid"});
  apps->known[known->pid()] = AppInfo{"org.example.Painter", "Painter Deluxe", "/usr/bin/painter", known->pid()};
  apps->known[elsewhere->pid()] = AppInfo{"org.example.Wrong", "Wrong", "", elsewhere->pid()};
  const auto c = listingWith(content, {known->id(), elsewhere->id(), noPid->id(), nothing->id()});

  ASSERT_TRUE(find(c, known->id()) && find(c, elsewhere->id()) && find(c, noPid->id()) && find(c, nothing->id()));
  auto app = find(c, known->id())->owningApplication;
  ASSERT_TRUE(app);
  EXPECT_EQ(app->bundleIdentifier, "org.example.Painter");
  EXPECT_EQ(app->applicationName, "Painter Deluxe");
  EXPECT_EQ(app->pid, known->pid());

  // Another machine's PID names some unrelated local process: only the class counts.
  app = find(c, elsewhere->id())->owningApplication;
  ASSERT_TRUE(app);
  EXPECT_EQ(app->bundleIdentifier, "qbremote");
  EXPECT_EQ(app->applicationName, "QbRemote");
  EXPECT_EQ(app->pid, 0);

  app = find(c, noPid->id())->owningApplication;
  ASSERT_TRUE(app);
  EXPECT_EQ(app->applicationName, "QbNoPid");
  EXPECT_FALSE(find(c, nothing->id())->owningApplication);
}

TEST(X11WindowList, LeavesOutDocksMenusTooltipsAndTheLike) {
  QB_REQUIRE_TEST_DISPLAY();
  X11ShareableContent content(nullptr);
  std::vector<std::unique_ptr<TestWindowClient>> offered, notOffered;
  for (const char* type : {"normal", "dialog", "utility", "toolbar"})
    offered.push_back(open({"--title", std::string("Offered ") + type, "--type", type}));
  for (const char* type :
       {"dock", "desktop", "notification", "menu", "popup_menu", "dropdown_menu", "tooltip", "splash", "combo", "dnd"})
    notOffered.push_back(open({"--title", std::string("Not offered ") + type, "--type", type}));
  notOffered.push_back(open({"--title", "Not offered override-redirect", "--override-redirect"}));

  std::vector<uint32_t> ids;
  for (auto& w : offered) ids.push_back(w->id());
  const auto c = listingWith(content, ids, false);
  for (auto& w : offered) EXPECT_TRUE(find(c, w->id())) << w->id();
  for (auto& w : notOffered) {
    EXPECT_FALSE(find(c, w->id())) << "window " << w->id() << " should not be offered";
  }
}

TEST(X11WindowList, ListsFrontToBackAndSeesARaise) {
  QB_REQUIRE_TEST_DISPLAY();
  X11ShareableContent content(nullptr);
  auto a = open({"--title", "First", "--geometry", "300x200+100+100"});
  auto b = open({"--title", "Second", "--geometry", "300x200+150+150"});
  auto index = [](const ShareableContent& c, uint32_t id) {
    return std::find_if(c.windows.begin(), c.windows.end(), [&](auto& w) { return w.windowID == id; }) -
           c.windows.begin();
  };
  auto c = listingWith(content, {a->id(), b->id()});
  EXPECT_LT(index(c, b->id()), index(c, a->id())) << "the newer window is on top";

  ASSERT_TRUE(a->command("raise"));
  EXPECT_TRUE(testenv::waitUntil(
      [&] {
        c = listingWith(content, {a->id(), b->id()});
        return index(c, a->id()) < index(c, b->id());
      },
      10))
      << "raised, the first window comes first";
}

// The platform's screen service asks the platform's own application identity, here for a
// window whose program has a desktop entry; the class names only what that does not know.
TEST(X11WindowList, ThePlatformNamesOwnersThroughItsApplicationIdentity) {
  QB_REQUIRE_TEST_DISPLAY();
  char dirTemplate[] = "/tmp/qb-apps-XXXXXX";
  ASSERT_TRUE(::mkdtemp(dirTemplate));
  const std::filesystem::path data(dirTemplate);
  std::filesystem::create_directories(data / "applications");
  std::ofstream(data / "applications" / "org.example.QbOwned.desktop")
      << "[Desktop Entry]\nType=Application\nName=Qb Owned Window\nExec=" << testenv::testWindowBinary() << "\n";
  const char* oldDataHome = std::getenv("XDG_DATA_HOME");
  const std::string savedDataHome = oldDataHome ? oldDataHome : "";
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);  // before any thread of the platform runs

  std::optional<AppInfo> identity;
  ShareableContent c;
  std::optional<RunningApplication> app;
  auto w = open({"--title", "Owned", "--class", "owned,QbOwned"});
  {
    ThreadExecutor executor;
    Platform platform = makeLinuxPlatform(executor, [](const std::string&) {});
    if (platform.apps) {
      identity = platform.apps->applicationFor(w->pid());
      EXPECT_TRUE(identity) << "the desktop entry names the window's program";
    }

    testenv::waitUntil(
        [&] {
          Completion<Result<ShareableContent>> done;
          platform.screen->shareableContent(false, true,
                                            [done](Result<ShareableContent> r) { done.complete(std::move(r)); });
          auto r = done.waitFor(executor, 10);
          if (r && std::holds_alternative<ShareableContent>(*r)) c = std::get<ShareableContent>(*r);
          return find(c, w->id()) != nullptr;
        },
        10);
  }
  if (oldDataHome)
    ::setenv("XDG_DATA_HOME", savedDataHome.c_str(), 1);
  else
    ::unsetenv("XDG_DATA_HOME");
  std::filesystem::remove_all(data);

  ASSERT_TRUE(find(c, w->id()));
  app = find(c, w->id())->owningApplication;
  ASSERT_TRUE(app);
  EXPECT_EQ(app->pid, w->pid());
  if (identity) {
    EXPECT_EQ(app->applicationName, identity->name);
    EXPECT_EQ(app->bundleIdentifier, identity->bundleIdentifier);
  } else {
    EXPECT_EQ(app->applicationName, "QbOwned");
  }
}

// A window manager that died may leave its client list behind on the root window; the
// list must not hide the windows that exist now.
TEST(X11WindowList, IgnoresAClientListLeftByAWindowManagerThatIsGone) {
  QB_REQUIRE_TEST_DISPLAY();
  if (testenv::windowManagerRunning()) GTEST_SKIP() << "a window manager runs: its list is not stale";
  auto x = x11::X11Connection::open();
  ASSERT_TRUE(x);
  auto listed = open({"--title", "In the stale list"});
  auto unlisted = open({"--title", "Not in the stale list"});
  // The check window claims to be the manager's, but does not point back at itself.
  const uint32_t check = listed->id(), clients[] = {listed->id()};
  xcb_change_property(x->xcb(), XCB_PROP_MODE_REPLACE, x->root(), x->atom("_NET_SUPPORTING_WM_CHECK"), XCB_ATOM_WINDOW,
                      32, 1, &check);
  xcb_change_property(x->xcb(), XCB_PROP_MODE_REPLACE, x->root(), x->atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW, 32, 1,
                      clients);
  xcb_flush(x->xcb());
  X11ShareableContent content(nullptr);
  const auto c = listingWith(content, {listed->id(), unlisted->id()});
  xcb_delete_property(x->xcb(), x->root(), x->atom("_NET_SUPPORTING_WM_CHECK"));
  xcb_delete_property(x->xcb(), x->root(), x->atom("_NET_CLIENT_LIST"));
  xcb_flush(x->xcb());
  EXPECT_TRUE(find(c, listed->id()));
  EXPECT_TRUE(find(c, unlisted->id()));
}

// Without a window manager, unmapped and anonymous top-level windows are toolkits' helpers,
// not windows; a manager's minimised windows are windows that are not on screen.
TEST(X11WindowList, UnmappedAndUntitledWindowsDependOnTheWindowManager) {
  QB_REQUIRE_TEST_DISPLAY();
  const bool wm = testenv::windowManagerRunning();
  X11ShareableContent content(nullptr);
  auto anonymous = open({"--no-title", "--no-class"});
  auto classOnly = open({"--no-title", "--class", "helper,QbHelper"});
  auto neverMapped = open({"--title", "Never mapped", "--unmapped"});
  auto reference = open({"--title", "Reference"});
  const auto all = listingWith(content, {reference->id(), classOnly->id()}, false);
  EXPECT_TRUE(find(all, classOnly->id())) << "a class is enough to be a window";
  EXPECT_FALSE(find(all, classOnly->id()) && find(all, classOnly->id())->title);
  EXPECT_EQ(find(all, anonymous->id()) != nullptr, wm) << "a managed window needs no name";
  EXPECT_FALSE(find(all, neverMapped->id()));
}

// A user changing the resolution: the display keeps its id and shows its new size.
TEST(X11Displays, AMonitorGivenAnotherModeKeepsItsIdAndShowsItsNewSize) {
  testenv::PrivateXServer server({}, "1920x1080x24");
  if (!server.ok()) GTEST_SKIP() << "could not start a private Xvfb";
  X11ShareableContent content(nullptr, server.display());
  const auto before = content.query(true);
  ASSERT_TRUE(before);
  ASSERT_EQ(before->displays.size(), 1u);
  EXPECT_EQ(before->displays[0].width, 1920);

  const std::string xrandr = "xrandr" + testenv::displayArg(server.display());
  ASSERT_TRUE(testenv::run(xrandr + " --newmode qb-720p 74.48 1280 1336 1472 1664 720 721 724 746"));
  ASSERT_TRUE(testenv::run(xrandr + " --addmode screen qb-720p"));
  ASSERT_TRUE(testenv::run(xrandr + " --output screen --mode qb-720p"));
  const auto after = content.query(true);
  ASSERT_TRUE(after);
  ASSERT_EQ(after->displays.size(), 1u);
  EXPECT_EQ(after->displays[0].displayID, before->displays[0].displayID);
  EXPECT_EQ(after->displays[0].width, 1280);
  EXPECT_EQ(after->displays[0].height, 720);
}

TEST(X11Displays, WithoutRandRTheWholeScreenIsOneDisplay) {
  testenv::PrivateXServer server({"-extension", "RANDR"}, "1024x768x24");
  if (!server.ok()) GTEST_SKIP() << "could not start a private Xvfb";
  X11ShareableContent content(nullptr, server.display());
  auto c = content.query(true);
  ASSERT_TRUE(c);
  ASSERT_EQ(c->displays.size(), 1u);
  EXPECT_NE(c->displays[0].displayID, 0u);
  EXPECT_EQ(c->displays[0].width, 1024);
  EXPECT_EQ(c->displays[0].height, 768);
  EXPECT_TRUE(c->windows.empty());

  // The server goes away: no content rather than a stale one.
  server.kill();
  std::string why;
  EXPECT_FALSE(content.query(true, &why));
  EXPECT_FALSE(why.empty());
}

}  // namespace
}  // namespace qb
