#include "host/Output.hpp"

int main() {
  qb::logToStderr("Quellbrook starting...");
  return 0;
}
