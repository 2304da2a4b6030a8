#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "image/download_image.h"

namespace kestrel {

class WindowState;
enum class MessageIcon;

// The flat image that one Run converted, handed on to that Run's download: the download sends
// exactly these bytes, whatever happens to the image file on disk meanwhile. Any thread.
class ImageHandover {
 public:
  void set(std::shared_ptr<const std::vector<uint8_t>> bytes) {
    std::lock_guard lock(mutex_);
    bytes_ = std::move(bytes);
  }
  std::shared_ptr<const std::vector<uint8_t>> get() const {
    std::lock_guard lock(mutex_);
    return bytes_;
  }

 private:
  mutable std::mutex mutex_;  // Guards bytes_.
  std::shared_ptr<const std::vector<uint8_t>> bytes_;
};

// The box a download shows when it cannot take its image.
struct DownloadRefusal {
  std::string text;
  std::string caption;
  MessageIcon icon;
};

// Puts the Run's image into `image` for a download. When that cannot be done it records the
// outcome and returns the box the download shows before it ends ("Memory error!", caption
// "Error", when no memory can be had); the download shows it and closes its link in its own order.
std::optional<DownloadRefusal> takeRunImage(WindowState& w, DownloadImage* image);

}  // namespace kestrel
