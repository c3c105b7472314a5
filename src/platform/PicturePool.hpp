#pragma once
// Picture memory for one capture stream: up to `capacity` pictures of one size and pixel
// format, made on first need and then reused, so a running stream allocates no picture
// memory per frame and a still screen holds no more than it used.
//
// Threads: acquire() on the producer's thread (one producer per pool); frames go back from
// any thread when their last copy is dropped. Pictures still held when the pool is destroyed
// stay valid until their frames are gone.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/ScreenCaptureService.hpp"

namespace qb {

class PicturePool {
 public:
  // Room for one picture being written, one waiting and one or two in the encoder.
  static constexpr int kDefaultCapacity = 4;

  struct Picture {
    VideoFrame frame;  // presentationTime 0; the producer sets it
    int slot = 0;      // which of the pool's pictures, 0 .. capacity-1: its old contents are that slot's
  };

  // Sizes below 1 become 1; a pixel format other than '420v' is taken as 'BGRA'.
  PicturePool(int width, int height, uint32_t pixelFormat, int capacity = kDefaultCapacity);
  ~PicturePool();
  PicturePool(const PicturePool&) = delete;
  PicturePool& operator=(const PicturePool&) = delete;

  // A free picture, holding whatever that slot held last (a new one is black), or none when
  // every picture is still held by a frame: the caller then skips this picture.
  std::optional<Picture> acquire();
  bool hasFree() const;

  int width() const { return width_; }
  int height() const { return height_; }
  uint32_t pixelFormat() const { return pixelFormat_; }
  int capacity() const { return capacity_; }
  int picturesMade() const;
  int picturesHeld() const;  // lent out and not yet back

 private:
  struct State;

  const int width_;
  const int height_;
  const uint32_t pixelFormat_;
  const int capacity_;
  int strides_[2] = {0, 0};
  size_t planeOffset1_ = 0;
  size_t pictureBytes_ = 0;
  std::shared_ptr<State> state_;
};

}  // namespace qb
