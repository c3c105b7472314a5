#include "platform/linux/LinuxPlatform.hpp"

namespace qb {

Platform makeLinuxPlatform(Executor& executor) {
  Platform p;
  p.executor = &executor;
  return p;
}

}  // namespace qb
