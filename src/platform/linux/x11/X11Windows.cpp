#include "platform/linux/x11/X11Windows.hpp"

#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <map>

#include "platform/linux/x11/X11Connection.hpp"
#include "platform/linux/x11/X11Text.hpp"

namespace qb {

using x11::TextEncoding;
using x11::XcbReply;

namespace {

// Titles longer than this are cut; a client may set megabytes.
constexpr uint32_t kMaxPropertyWords = 1024;

// Replies with their error taken and freed here: an error left to xcb would queue up as an
// event on a connection whose events nobody may read.
template <class Reply, class Cookie>
XcbReply<Reply> fetch(xcb_connection_t* c, Reply* (*get)(xcb_connection_t*, Cookie, xcb_generic_error_t**),
                      Cookie cookie) {
  xcb_generic_error_t* error = nullptr;
  XcbReply<Reply> r(get(c, cookie, &error));
  std::free(error);
  return r;
}

struct Atoms {
  enum Name {
    kSupportingWmCheck,
    kClientListStacking,
    kClientList,
    kWmState,
    kNetWmName,
    kUtf8String,
    kCompoundText,
    kNetWmPid,
    kWindowType,
    kNetWmState,
    kStateHidden,
    // Window types, in the order of kTypeNames below.
    kFirstType
  };
  static constexpr std::array<const char*, kFirstType> kNames = {"_NET_SUPPORTING_WM_CHECK",
                                                                 "_NET_CLIENT_LIST_STACKING",
                                                                 "_NET_CLIENT_LIST",
                                                                 "WM_STATE",
                                                                 "_NET_WM_NAME",
                                                                 "UTF8_STRING",
                                                                 "COMPOUND_TEXT",
                                                                 "_NET_WM_PID",
                                                                 "_NET_WM_WINDOW_TYPE",
                                                                 "_NET_WM_STATE",
                                                                 "_NET_WM_STATE_HIDDEN"};
  // The types a user never picks as a window, then the ones that are windows.
  static constexpr std::array<const char*, 14> kTypeNames = {
      "DOCK",   "DESKTOP", "NOTIFICATION", "MENU",   "DROPDOWN_MENU", "POPUP_MENU", "TOOLTIP",
      "SPLASH", "COMBO",   "DND",          "NORMAL", "DIALOG",        "UTILITY",    "TOOLBAR"};
  static constexpr size_t kExcludedTypes = 10;

  std::array<xcb_atom_t, kFirstType + kTypeNames.size()> atom{};
  xcb_atom_t operator[](size_t i) const { return atom[i]; }

  // One round trip for all of them.
  bool intern(xcb_connection_t* c) {
    std::array<xcb_intern_atom_cookie_t, kFirstType + kTypeNames.size()> cookies;
    std::vector<std::string> names(kNames.begin(), kNames.end());
    for (const char* t : kTypeNames) names.push_back(std::string("_NET_WM_WINDOW_TYPE_") + t);
    for (size_t i = 0; i < names.size(); ++i)
      cookies[i] = xcb_intern_atom(c, 0, static_cast<uint16_t>(names[i].size()), names[i].c_str());
    bool ok = true;
    for (size_t i = 0; i < names.size(); ++i) {
      auto r = fetch(c, xcb_intern_atom_reply, cookies[i]);
      atom[i] = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
      ok = ok && r;
    }
    return ok;
  }

  // A window type is the first one listed that we know (clients list fallbacks after their
  // own types). Windows without a type are normal ones.
  bool excludedType(const std::vector<uint32_t>& types) const {
    for (uint32_t t : types)
      for (size_t k = 0; k < kTypeNames.size(); ++k)
        if (atom[kFirstType + k] == t) return k < kExcludedTypes;
    return false;
  }
};

std::string_view bytesOf(const xcb_get_property_reply_t* r) {
  if (!r || r->type == XCB_ATOM_NONE || r->format != 8) return {};
  return {static_cast<const char*>(xcb_get_property_value(r)), size_t(xcb_get_property_value_length(r))};
}

std::vector<uint32_t> wordsOf(const xcb_get_property_reply_t* r) {
  if (!r || r->type == XCB_ATOM_NONE || r->format != 32) return {};
  auto* p = static_cast<const uint32_t*>(xcb_get_property_value(r));
  return {p, p + xcb_get_property_value_length(r) / 4};
}

xcb_get_property_cookie_t getProperty(xcb_connection_t* c, xcb_window_t w, xcb_atom_t property,
                                      uint32_t words = kMaxPropertyWords) {
  return xcb_get_property(c, 0, w, property, XCB_GET_PROPERTY_TYPE_ANY, 0, words);
}

const std::string& localHostName() {
  static const std::string name = [] {
    char buf[256] = {};
    return ::gethostname(buf, sizeof buf - 1) == 0 ? std::string(buf) : std::string();
  }();
  return name;
}

// The windows a user thinks of as windows, bottom to top, or none when no window manager
// keeps an EWMH client list (a stale list left by a manager that died does not count).
std::optional<std::vector<xcb_window_t>> ewmhClients(xcb_connection_t* c, xcb_window_t root, const Atoms& a) {
  auto checkCookie = getProperty(c, root, a[Atoms::kSupportingWmCheck], 1);
  auto stackingCookie = getProperty(c, root, a[Atoms::kClientListStacking], 65536);
  auto listCookie = getProperty(c, root, a[Atoms::kClientList], 65536);
  auto check = fetch(c, xcb_get_property_reply, checkCookie);
  auto stacking = fetch(c, xcb_get_property_reply, stackingCookie);
  auto list = fetch(c, xcb_get_property_reply, listCookie);
  const auto checkWindow = wordsOf(check.get());
  if (checkWindow.empty()) return std::nullopt;
  auto self = fetch(c, xcb_get_property_reply, getProperty(c, checkWindow[0], a[Atoms::kSupportingWmCheck], 1));
  const auto selfCheck = wordsOf(self.get());
  if (selfCheck.empty() || selfCheck[0] != checkWindow[0]) return std::nullopt;
  if (stacking && stacking->type != XCB_ATOM_NONE) return wordsOf(stacking.get());
  if (list && list->type != XCB_ATOM_NONE) return wordsOf(list.get());
  return std::nullopt;
}

// Without such a list: each top-level window that the window manager (if any) marked with
// WM_STATE, or its child so marked, else, with nobody managing windows, the mapped top-level
// window itself. Bottom to top.
std::vector<xcb_window_t> topLevelClients(xcb_connection_t* c, xcb_window_t root, const Atoms& a) {
  std::vector<xcb_window_t> out;
  auto tree = fetch(c, xcb_query_tree_reply, xcb_query_tree(c, root));
  if (!tree) return out;
  const xcb_window_t* kids = xcb_query_tree_children(tree.get());
  const size_t n = size_t(xcb_query_tree_children_length(tree.get()));
  std::vector<xcb_get_property_cookie_t> state(n);
  std::vector<xcb_query_tree_cookie_t> subtree(n);
  for (size_t i = 0; i < n; ++i) {
    state[i] = getProperty(c, kids[i], a[Atoms::kWmState], 2);
    subtree[i] = xcb_query_tree(c, kids[i]);
  }
  struct TopLevel {
    xcb_window_t window;
    bool managed;
    std::vector<xcb_window_t> children;
    std::vector<xcb_get_property_cookie_t> childStates;
  };
  std::vector<TopLevel> tops;
  for (size_t i = 0; i < n; ++i) {
    auto s = fetch(c, xcb_get_property_reply, state[i]);
    auto t = fetch(c, xcb_query_tree_reply, subtree[i]);
    TopLevel top{kids[i], s && s->type != XCB_ATOM_NONE, {}, {}};
    if (!top.managed && t) {
      const xcb_window_t* cs = xcb_query_tree_children(t.get());
      top.children.assign(cs, cs + xcb_query_tree_children_length(t.get()));
      for (xcb_window_t child : top.children) top.childStates.push_back(getProperty(c, child, a[Atoms::kWmState], 2));
    }
    tops.push_back(std::move(top));
  }
  for (TopLevel& top : tops) {
    xcb_window_t client = top.window;
    bool found = top.managed;
    for (size_t k = 0; k < top.childStates.size(); ++k) {
      auto s = fetch(c, xcb_get_property_reply, top.childStates[k]);
      if (!found && s && s->type != XCB_ATOM_NONE) {
        client = top.children[k];
        found = true;
      }
    }
    out.push_back(client);
  }
  return out;
}

struct Pending {
  xcb_window_t id;
  xcb_get_window_attributes_cookie_t attributes;
  xcb_get_geometry_cookie_t geometry;
  xcb_translate_coordinates_cookie_t position;
  xcb_get_property_cookie_t netName, name, wmClass, pid, machine, type, state, wmState;
};

std::string lowerAscii(std::string s) {
  for (char& ch : s) ch = char(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

}  // namespace

std::vector<X11Window> queryX11Windows(x11::X11Connection& connection, bool onScreenOnly) {
  xcb_connection_t* c = connection.xcb();
  const xcb_window_t root = connection.root();
  std::vector<X11Window> out;
  Atoms a;
  if (!a.intern(c)) return out;

  const auto rootGeometryCookie = xcb_get_geometry(c, root);  // answered with the client list
  auto ewmh = ewmhClients(c, root, a);
  const bool managedList = ewmh.has_value();
  std::vector<xcb_window_t> candidates = managedList ? std::move(*ewmh) : topLevelClients(c, root, a);
  auto rootGeometry = fetch(c, xcb_get_geometry_reply, rootGeometryCookie);
  if (!rootGeometry) return out;

  std::vector<Pending> pending;
  pending.reserve(candidates.size());
  for (auto it = candidates.rbegin(); it != candidates.rend(); ++it) {  // front to back
    const xcb_window_t w = *it;
    pending.push_back({w, xcb_get_window_attributes(c, w), xcb_get_geometry(c, w),
                       xcb_translate_coordinates(c, w, root, 0, 0), getProperty(c, w, a[Atoms::kNetWmName]),
                       getProperty(c, w, XCB_ATOM_WM_NAME), getProperty(c, w, XCB_ATOM_WM_CLASS, 256),
                       getProperty(c, w, a[Atoms::kNetWmPid], 1), getProperty(c, w, XCB_ATOM_WM_CLIENT_MACHINE, 64),
                       getProperty(c, w, a[Atoms::kWindowType], 32), getProperty(c, w, a[Atoms::kNetWmState], 32),
                       getProperty(c, w, a[Atoms::kWmState], 2)});
  }

  for (const Pending& p : pending) {
    // Every reply is taken, even of a window that is dropped, so none is left behind.
    auto attributes = fetch(c, xcb_get_window_attributes_reply, p.attributes);
    auto geometry = fetch(c, xcb_get_geometry_reply, p.geometry);
    auto position = fetch(c, xcb_translate_coordinates_reply, p.position);
    auto netName = fetch(c, xcb_get_property_reply, p.netName);
    auto name = fetch(c, xcb_get_property_reply, p.name);
    auto wmClass = fetch(c, xcb_get_property_reply, p.wmClass);
    auto pid = fetch(c, xcb_get_property_reply, p.pid);
    auto machine = fetch(c, xcb_get_property_reply, p.machine);
    auto type = fetch(c, xcb_get_property_reply, p.type);
    auto state = fetch(c, xcb_get_property_reply, p.state);
    auto wmState = fetch(c, xcb_get_property_reply, p.wmState);
    if (!attributes || !geometry || !position) continue;  // gone meanwhile
    if (attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY || attributes->override_redirect) continue;
    if (a.excludedType(wordsOf(type.get()))) continue;
    // A managed window the client withdrew is no longer a window; without a manager only
    // mapped windows count, as unmapped ones are mostly toolkits' hidden helpers.
    const auto wmStateWords = wordsOf(wmState.get());
    if (!wmStateWords.empty() && wmStateWords[0] == 0 /* WithdrawnState */) continue;
    const bool managed = managedList || !wmStateWords.empty();
    if (!managed && attributes->map_state == XCB_MAP_STATE_UNMAPPED) continue;

    X11Window win;
    win.id = p.id;
    X11WindowProperties properties;
    if (netName && netName->type == a[Atoms::kUtf8String]) properties.netWmName = bytesOf(netName.get());
    if (name && name->type != XCB_ATOM_NONE) {
      const TextEncoding enc = name->type == a[Atoms::kUtf8String]     ? TextEncoding::utf8
                               : name->type == a[Atoms::kCompoundText] ? TextEncoding::compoundText
                                                                       : TextEncoding::latin1;
      properties.wmName = {{enc, bytesOf(name.get())}};
    }
    properties.wmClass = bytesOf(wmClass.get());
    properties.pid = wordsOf(pid.get());
    properties.clientMachine = bytesOf(machine.get());
    applyX11WindowProperties(win, properties, localHostName());
    if (!managed && !win.title && properties.wmClass.empty()) continue;

    win.x = position->dst_x;
    win.y = position->dst_y;
    win.width = geometry->width;
    win.height = geometry->height;
    const auto states = wordsOf(state.get());
    const bool hidden = std::find(states.begin(), states.end(), a[Atoms::kStateHidden]) != states.end();
    const bool onRoot =
        win.x < rootGeometry->width && win.y < rootGeometry->height && win.x + win.width > 0 && win.y + win.height > 0;
    win.onScreen = attributes->map_state == XCB_MAP_STATE_VIEWABLE && !hidden && onRoot;
    if (onScreenOnly && !win.onScreen) continue;
    out.push_back(std::move(win));
  }
  return out;
}

void applyX11WindowProperties(X11Window& win, const X11WindowProperties& p, std::string_view localHost) {
  if (p.netWmName && !p.netWmName->empty())
    win.title = x11::textPropertyToUtf8(*p.netWmName, TextEncoding::utf8);
  else if (p.wmName)
    win.title = x11::textPropertyToUtf8(p.wmName->second, p.wmName->first);
  if (!p.wmClass.empty()) {
    const size_t nul = p.wmClass.find('\0');
    win.instance = x11::textPropertyToUtf8(p.wmClass.substr(0, nul), TextEncoding::latin1, 256);
    if (nul != std::string_view::npos)
      win.klass = x11::textPropertyToUtf8(p.wmClass.substr(nul + 1), TextEncoding::latin1, 256);
  }
  // A PID means something only on the machine the client runs on.
  const bool here = p.clientMachine.empty() || p.clientMachine.substr(0, p.clientMachine.find('\0')) == localHost;
  if (!p.pid.empty() && p.pid[0] > 0 && p.pid[0] <= 0x7FFFFFFF && here) win.pid = int(p.pid[0]);
}

std::optional<RunningApplication> applicationOf(const X11Window& window, const std::optional<AppInfo>& identity) {
  RunningApplication app;
  if (window.pid) app.pid = *window.pid;
  if (identity) {
    app.bundleIdentifier = identity->bundleIdentifier;
    app.applicationName = identity->name;
  }
  const std::string& cls = !window.klass.empty() ? window.klass : window.instance;
  if (app.bundleIdentifier.empty()) app.bundleIdentifier = lowerAscii(cls);
  if (app.applicationName.empty()) app.applicationName = cls;
  if (app.bundleIdentifier.empty() && app.applicationName.empty()) return std::nullopt;
  return app;
}

}  // namespace qb
