#pragma once

#include "platform/Platform.hpp"

namespace qb {

// The real backend: sound server for audio, X11 or the desktop portal (ScreenBackend) for
// the screen. Services whose backend does not exist yet are left empty; callers treat an
// empty service as unavailable.
// `log` receives every line the backend writes.
Platform makeLinuxPlatform(Executor& executor, LogFunction log);

}  // namespace qb
