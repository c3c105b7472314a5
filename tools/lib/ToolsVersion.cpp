// Keeps the tools library non-empty while it grows.
namespace qbtools {
const char* toolsVersion() { return "1"; }
}  // namespace qbtools
