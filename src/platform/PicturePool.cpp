#include "platform/PicturePool.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace qb {

namespace {

// Rows start on cache lines, so SIMD conversion and the encoder read aligned memory.
constexpr size_t kAlignment = 64;

size_t alignUp(size_t n) { return (n + kAlignment - 1) / kAlignment * kAlignment; }

struct AlignedFree {
  void operator()(uint8_t* p) const { std::free(p); }
};

}  // namespace

struct PicturePool::State {
  std::mutex mutex;
  std::vector<std::unique_ptr<uint8_t, AlignedFree>> memory;  // by slot; empty until first needed
  std::vector<int> free;                                      // slots made and not lent
  int held = 0;
};

PicturePool::PicturePool(int width, int height, uint32_t pixelFormat, int capacity)
    : width_(std::max(width, 1)),
      height_(std::max(height, 1)),
      pixelFormat_(pixelFormat == kPixelFormat420v ? kPixelFormat420v : kPixelFormatBGRA),
      capacity_(std::max(capacity, 1)),
      state_(std::make_shared<State>()) {
  const auto w = static_cast<size_t>(width_), h = static_cast<size_t>(height_);
  if (pixelFormat_ == kPixelFormat420v) {
    strides_[0] = static_cast<int>(alignUp(w));
    strides_[1] = static_cast<int>(alignUp((w + 1) / 2 * 2));
    planeOffset1_ = alignUp(size_t(strides_[0]) * h);
    pictureBytes_ = planeOffset1_ + alignUp(size_t(strides_[1]) * ((h + 1) / 2));
  } else {
    strides_[0] = static_cast<int>(alignUp(w * 4));
    pictureBytes_ = alignUp(size_t(strides_[0]) * h);
  }
  state_->memory.resize(static_cast<size_t>(capacity_));
}

PicturePool::~PicturePool() = default;

std::optional<PicturePool::Picture> PicturePool::acquire() {
  int slot = -1;
  uint8_t* base = nullptr;
  bool fresh = false;
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->free.empty()) {
      slot = state_->free.back();
      state_->free.pop_back();
    } else {
      auto unmade = std::find(state_->memory.begin(), state_->memory.end(), nullptr);
      if (unmade == state_->memory.end()) return std::nullopt;
      auto* p = static_cast<uint8_t*>(std::aligned_alloc(kAlignment, pictureBytes_));
      if (!p) return std::nullopt;
      unmade->reset(p);
      slot = static_cast<int>(unmade - state_->memory.begin());
      fresh = true;
    }
    base = state_->memory[static_cast<size_t>(slot)].get();
    ++state_->held;
  }

  Picture picture;
  picture.slot = slot;
  VideoFrame& f = picture.frame;
  f.width = width_;
  f.height = height_;
  f.pixelFormat = pixelFormat_;
  f.planes[0] = base;
  f.strides[0] = strides_[0];
  if (pixelFormat_ == kPixelFormat420v) {
    f.planes[1] = base + planeOffset1_;
    f.strides[1] = strides_[1];
  }
  if (fresh) {
    if (pixelFormat_ == kPixelFormat420v) {
      std::memset(f.planes[0], 16, planeOffset1_);
      std::memset(f.planes[1], 128, pictureBytes_ - planeOffset1_);
    } else {
      const uint32_t black = 0xFF000000u;  // B, G, R 0 and alpha 255 in memory order
      auto* px = reinterpret_cast<uint32_t*>(base);
      std::fill(px, px + pictureBytes_ / 4, black);
    }
  }
  // The owner returns the slot when the last copy of the frame goes; it keeps the state (and
  // so the memory) alive past the pool if need be.
  auto state = state_;
  f.owner = std::shared_ptr<const void>(base, [state, slot](const void*) {
    std::lock_guard lock(state->mutex);
    state->free.push_back(slot);
    --state->held;
  });
  return picture;
}

bool PicturePool::hasFree() const {
  std::lock_guard lock(state_->mutex);
  return state_->held < capacity_;
}

int PicturePool::picturesMade() const {
  std::lock_guard lock(state_->mutex);
  return static_cast<int>(state_->memory.size() -
                          static_cast<size_t>(std::count(state_->memory.begin(), state_->memory.end(), nullptr)));
}

int PicturePool::picturesHeld() const {
  std::lock_guard lock(state_->mutex);
  return state_->held;
}

}  // namespace qb
