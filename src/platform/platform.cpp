#include "platform/platform.h"

namespace reinstall::platform {
namespace {

// Plain pointer with constant initialisation: valid before any other global is constructed and
// after all of them are destroyed, so the destructor of the launcher's global object may use it.
Platform* g_override = nullptr;

}  // namespace

Platform& Current() {
  return g_override != nullptr ? *g_override : RealPlatform();
}

ScopedPlatformOverride::ScopedPlatformOverride(Platform& replacement) : previous_(g_override) {
  g_override = &replacement;
}

ScopedPlatformOverride::~ScopedPlatformOverride() {
  g_override = previous_;
}

}  // namespace reinstall::platform
