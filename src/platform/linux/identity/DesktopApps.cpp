#include "platform/linux/identity/DesktopApps.hpp"

#include <filesystem>

#include "platform/linux/identity/ProcFs.hpp"

namespace qb {

namespace {

bool isAlnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// systemd's unit-name escaping: "\x2d" for a dash in an id.
std::string unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && isHex(text[i + 2]) && isHex(text[i + 3])) {
      out += static_cast<char>(std::stoi(std::string(text.substr(i + 2, 2)), nullptr, 16));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Drops a trailing "<sep><random>" made of letters, digits and dashes (a number, a UUID).
std::string_view withoutSuffix(std::string_view text, char sep) {
  const size_t at = text.rfind(sep);
  if (at == std::string_view::npos || at == 0 || at + 1 == text.size()) return {};
  for (char c : text.substr(at + 1))
    if (!isAlnum(c)) return {};
  return text.substr(0, at);
}

std::optional<std::string> appUnit(std::string_view unit) {
  if (!unit.starts_with("app-")) return std::nullopt;
  std::string_view rest;
  if (unit.ends_with(".scope")) {
    rest = withoutSuffix(unit.substr(4, unit.size() - 4 - 6), '-');
  } else if (unit.ends_with(".service")) {
    rest = unit.substr(4, unit.size() - 4 - 8);
    if (rest.find('@') != std::string_view::npos) rest = withoutSuffix(rest, '@');
  } else {
    return std::nullopt;
  }
  if (rest.empty()) return std::nullopt;
  // Dashes inside the id are escaped, so a plain one ends the launcher's name.
  if (const size_t dash = rest.find('-'); dash != std::string_view::npos) rest.remove_prefix(dash + 1);
  if (rest.empty()) return std::nullopt;
  return unescape(rest);
}

bool isUuidTail(std::string_view text) {
  // "-xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"
  if (text.size() != 37 || text[0] != '-') return false;
  for (size_t i = 1; i < text.size(); ++i) {
    const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash ? text[i] != '-' : !isHex(text[i])) return false;
  }
  return true;
}

std::optional<std::string> snapUnit(std::string_view unit) {
  if (!unit.starts_with("snap.")) return std::nullopt;
  unit.remove_prefix(5);
  const size_t dot = unit.find('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  const std::string_view snap = unit.substr(0, dot);
  std::string_view app = unit.substr(dot + 1);
  const size_t end = app.find('.');
  if (end == std::string_view::npos) return std::nullopt;
  app = app.substr(0, end);
  if (app.size() > 37 && isUuidTail(app.substr(app.size() - 37))) app.remove_suffix(37);
  if (app.empty()) return std::nullopt;
  return std::string(snap) + "_" + std::string(app);
}

std::string trim(std::string_view text) {
  const size_t start = text.find_first_not_of(" \t\r");
  if (start == std::string_view::npos) return {};
  const size_t end = text.find_last_not_of(" \t\r");
  return std::string(text.substr(start, end - start + 1));
}

// The program of an Exec= line: its first word, quotes removed, "env VAR=x" skipped.
std::string execProgram(std::string_view exec) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, any = false;
  for (size_t i = 0; i < exec.size(); ++i) {
    const char c = exec[i];
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (c == '\\' && quoted && i + 1 < exec.size()) {
      word += exec[++i];
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (any || !word.empty()) words.push_back(word);
      word.clear();
      any = false;
    } else {
      word += c;
    }
  }
  if (any || !word.empty()) words.push_back(word);
  size_t i = 0;
  if (i < words.size() && baseName(words[i]) == "env") {
    ++i;
    while (i < words.size() && words[i].find('=') != std::string::npos) ++i;
  }
  return i < words.size() ? words[i] : std::string();
}

// Directories shared by many programs say nothing about which application a program is.
bool isSharedDirectory(const std::string& dir) {
  for (const char* shared : {"/usr/bin", "/bin", "/usr/sbin", "/sbin", "/usr/local/bin", "/usr/games", "/usr/libexec",
                             "/usr/lib", "/usr/local/sbin", "/app/bin", ""})
    if (dir == shared) return true;
  return false;
}

}  // namespace

std::optional<std::string> applicationIdFromCgroup(std::string_view cgroupPath) {
  while (!cgroupPath.empty()) {
    const size_t slash = cgroupPath.find_last_of('/');
    const std::string_view unit = slash == std::string_view::npos ? cgroupPath : cgroupPath.substr(slash + 1);
    if (auto id = appUnit(unit)) return id;
    if (auto id = snapUnit(unit)) return id;
    if (slash == std::string_view::npos) break;
    cgroupPath = cgroupPath.substr(0, slash);
  }
  return std::nullopt;
}

std::optional<DesktopEntry> parseDesktopEntry(std::string_view id, std::string_view text) {
  DesktopEntry entry;
  entry.id = std::string(id);
  std::string tryExec;
  bool inGroup = false;
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    const std::string line = trim(text.substr(0, nl));
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (line.starts_with("[")) {
      inGroup = line == "[Desktop Entry]";
      continue;
    }
    if (!inGroup) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = trim(std::string_view(line).substr(0, eq));
    const std::string value = trim(std::string_view(line).substr(eq + 1));
    if (key == "Name") entry.name = value;
    if (key == "Exec") entry.exec = execProgram(value);
    if (key == "TryExec") tryExec = value;
  }
  if (entry.name.empty()) return std::nullopt;
  if (entry.exec.empty()) entry.exec = tryExec;
  return entry;
}

DesktopEntries::DesktopEntries(const std::vector<std::string>& dirs) {
  for (const auto& dir : dirs) {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string file = it->path().filename().string();
      if (!file.ends_with(".desktop")) continue;
      const std::string id = file.substr(0, file.size() - 8);
      if (entries_.count(id)) continue;
      auto text = readTextFile(it->path().string());
      if (!text) continue;
      if (auto entry = parseDesktopEntry(id, *text)) entries_.emplace(id, std::move(*entry));
    }
  }
}

const DesktopEntry* DesktopEntries::byId(const std::string& id) const {
  auto it = entries_.find(id);
  return it == entries_.end() ? nullptr : &it->second;
}

const DesktopEntry* DesktopEntries::byExecutable(const std::string& path) const {
  const std::string dir = dirName(path);
  const DesktopEntry* sameName = nullptr;
  const DesktopEntry* sameDirectory = nullptr;
  for (const auto& [id, entry] : entries_) {
    if (entry.exec.empty()) continue;
    if (entry.exec == path) return &entry;
    // Launchers are often a script or a link beside the real program.
    std::error_code ec;
    const auto real = std::filesystem::weakly_canonical(entry.exec, ec);
    const std::string program = ec ? entry.exec : real.string();
    if (program == path) return &entry;
    // A bare name is found on the PATH, often as a link to the program's real place.
    if (!sameName && entry.exec.find('/') == std::string::npos && entry.exec == baseName(path)) sameName = &entry;
    if (!sameDirectory && entry.exec.front() == '/' && !isSharedDirectory(dir) &&
        (dirName(program) == dir || dirName(entry.exec) == dir))
      sameDirectory = &entry;
  }
  return sameName ? sameName : sameDirectory;
}

}  // namespace qb
