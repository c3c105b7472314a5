#include "platform/linux/x11/X11Grabber.hpp"

#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

namespace qb::x11 {

namespace {

std::string errorText(const char* what, const xcb_generic_error_t* e) {
  return std::string(what) + (e ? " failed with X error " + std::to_string(e->error_code) : " failed");
}

}  // namespace

X11Grabber::X11Grabber(std::shared_ptr<X11Connection> connection)
    : x_(std::move(connection)), shmUsable_(x_->extensions().shm.present) {}

X11Grabber::~X11Grabber() { releaseSegment(); }

bool X11Grabber::supportsFormat(const X11Connection& connection, std::string* why) {
  const xcb_setup_t* setup = xcb_get_setup(connection.xcb());
  const int depth = connection.screen().root_depth;
  bool bpp32 = false;
  for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f))
    if (f.data->depth == depth) bpp32 = f.data->bits_per_pixel == 32;
  if ((depth == 24 || depth == 32) && bpp32 && setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST) return true;
  if (why) *why = "the X server's pixel format (depth " + std::to_string(depth) + ") is not supported";
  return false;
}

bool X11Grabber::ensureSegment(size_t bytes) {
  if (memory_ && bytes_ == bytes) return true;
  releaseSegment();
  xcb_connection_t* c = x_->xcb();
  const xcb_shm_seg_t seg = xcb_generate_id(c);
  void* mem = MAP_FAILED;
  xcb_generic_error_t* error = nullptr;
  if (x_->extensions().shmFd()) {
    // Passing a descriptor works across IPC namespaces and leaves no System V segment behind.
    const int fd = ::memfd_create("qb-grab", MFD_CLOEXEC);
    if (fd < 0) return false;
    if (::ftruncate(fd, static_cast<off_t>(bytes)) == 0)
      mem = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mem == MAP_FAILED) {
      ::close(fd);
      return false;
    }
    error = xcb_request_check(c, xcb_shm_attach_fd_checked(c, seg, fd, 0));  // xcb closes fd
  } else {
    const int id = ::shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0) return false;
    mem = ::shmat(id, nullptr, 0);
    if (mem != reinterpret_cast<void*>(-1)) error = xcb_request_check(c, xcb_shm_attach_checked(c, seg, id, 0));
    // Marked for removal now: it goes when the last of us and the server detaches, whatever ends us.
    ::shmctl(id, IPC_RMID, nullptr);
    if (mem == reinterpret_cast<void*>(-1)) return false;
  }
  const bool fdPath = x_->extensions().shmFd();
  if (error) {
    std::free(error);
    if (fdPath)
      ::munmap(mem, bytes);
    else
      ::shmdt(mem);
    return false;
  }
  seg_ = seg;
  memory_ = static_cast<uint8_t*>(mem);
  bytes_ = bytes;
  return true;
}

void X11Grabber::releaseSegment() {
  if (!memory_) return;
  if (!x_->isLost()) {
    xcb_shm_detach(x_->xcb(), seg_);
    xcb_flush(x_->xcb());
  }
  if (x_->extensions().shmFd())
    ::munmap(memory_, bytes_);
  else
    ::shmdt(memory_);
  memory_ = nullptr;
  bytes_ = 0;
}

GrabbedPixels X11Grabber::grab(xcb_drawable_t drawable, int x, int y, int width, int height, std::string* why) {
  xcb_connection_t* c = x_->xcb();
  GrabbedPixels out;
  if (width <= 0 || height <= 0) {
    if (why) *why = "nothing to grab";
    return out;
  }
  const auto w = static_cast<uint16_t>(width), h = static_cast<uint16_t>(height);
  const auto sx = static_cast<int16_t>(x), sy = static_cast<int16_t>(y);
  const size_t bytes = size_t(width) * size_t(height) * 4;
  if (shmUsable_ && !ensureSegment(bytes)) shmUsable_ = false;  // the server cannot share memory with us
  if (shmUsable_) {
    xcb_generic_error_t* error = nullptr;
    XcbReply<xcb_shm_get_image_reply_t> r(xcb_shm_get_image_reply(
        c, xcb_shm_get_image(c, drawable, sx, sy, w, h, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, seg_, 0), &error));
    if (!r) {
      if (why) *why = errorText("grabbing the picture", error);
      std::free(error);
      return out;
    }
    return GrabbedPixels{memory_, width * 4, width, height};
  }
  xcb_generic_error_t* error = nullptr;
  reply_.reset(
      xcb_get_image_reply(c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, sx, sy, w, h, ~0u), &error));
  if (!reply_ || size_t(xcb_get_image_data_length(reply_.get())) < bytes) {
    if (why) *why = errorText("grabbing the picture", error);
    std::free(error);
    reply_.reset();
    return out;
  }
  return GrabbedPixels{xcb_get_image_data(reply_.get()), width * 4, width, height};
}

}  // namespace qb::x11
