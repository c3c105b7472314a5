#include "platform/linux/wayland/WaylandOutputs.hpp"

#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace qb::wayland {

namespace {

struct Output {
  wl_output* proxy = nullptr;
  WaylandOutput info;
  std::string makeModel;
  int32_t transform = WL_OUTPUT_TRANSFORM_NORMAL;
};

struct Registry {
  std::vector<std::unique_ptr<Output>> outputs;
};

void onGeometry(void* data, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char* make,
                const char* model, int32_t transform) {
  auto* o = static_cast<Output*>(data);
  o->makeModel = std::string(make ? make : "") + " " + (model ? model : "");
  o->transform = transform;
}
void onMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
  if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
  auto* o = static_cast<Output*>(data);
  o->info.width = width;
  o->info.height = height;
}
void onDone(void*, wl_output*) {}
void onScale(void*, wl_output*, int32_t) {}
void onName(void* data, wl_output*, const char* name) { static_cast<Output*>(data)->info.name = name ? name : ""; }
void onDescription(void*, wl_output*, const char*) {}

const wl_output_listener kOutputListener = {onGeometry, onMode, onDone, onScale, onName, onDescription};

void onGlobal(void* data, wl_registry* registry, uint32_t id, const char* interface, uint32_t version) {
  if (std::strcmp(interface, wl_output_interface.name) != 0) return;
  auto output = std::make_unique<Output>();
  output->proxy = static_cast<wl_output*>(wl_registry_bind(registry, id, &wl_output_interface, std::min(version, 4u)));
  wl_output_add_listener(output->proxy, &kOutputListener, output.get());
  static_cast<Registry*>(data)->outputs.push_back(std::move(output));
}
void onGlobalRemove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};

}  // namespace

std::optional<std::vector<WaylandOutput>> queryWaylandOutputs(std::string* why, const std::string& display) {
  wl_display* d = wl_display_connect(display.empty() ? nullptr : display.c_str());
  if (!d) {
    if (why) *why = std::string("cannot connect to the Wayland compositor: ") + std::strerror(errno);
    return std::nullopt;
  }
  Registry state;
  wl_registry* registry = wl_display_get_registry(d);
  wl_registry_add_listener(registry, &kRegistryListener, &state);
  // One round trip for the globals, one for the outputs' own events.
  const bool ok = wl_display_roundtrip(d) >= 0 && wl_display_roundtrip(d) >= 0;
  std::vector<WaylandOutput> outputs;
  for (auto& o : state.outputs) {
    if (o->info.name.empty())
      o->info.name = o->makeModel == " " ? "output-" + std::to_string(outputs.size() + 1) : o->makeModel;
    if (o->transform & 1) std::swap(o->info.width, o->info.height);  // turned by 90 or 270 degrees
    outputs.push_back(o->info);
    if (wl_output_get_version(o->proxy) >= WL_OUTPUT_RELEASE_SINCE_VERSION)
      wl_output_release(o->proxy);
    else
      wl_output_destroy(o->proxy);
  }
  wl_registry_destroy(registry);
  wl_display_disconnect(d);
  if (!ok) {
    if (why) *why = "the Wayland compositor closed the connection";
    return std::nullopt;
  }
  return outputs;
}

}  // namespace qb::wayland
