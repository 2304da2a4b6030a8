#include "core/run_image.h"

#include "core/window_state.h"

namespace kestrel {

std::optional<DownloadRefusal> takeRunImage(WindowState& w, DownloadImage* image) {
  std::shared_ptr<const std::vector<uint8_t>> bytes = w.runImage.get();
  UpdateOutcome refused;
  if (!bytes) {
    refused.cause = UpdateOutcome::Cause::ImageFileError;
    refused.detail = "no image was converted for this download";
    w.outcome.set(refused);
    return DownloadRefusal{"No firmware image was converted for this download.", "Error",
                           MessageIcon::Error};
  }
  switch (image->assign(*bytes)) {
    case DownloadImage::LoadStatus::Ok:
      return std::nullopt;
    case DownloadImage::LoadStatus::NoMemory:
      refused.cause = UpdateOutcome::Cause::NoMemory;
      refused.detail = "no memory for the image";
      w.outcome.set(refused);
      return DownloadRefusal{"Memory error!", "Error", MessageIcon::None};
    case DownloadImage::LoadStatus::TooLarge:
      break;
  }
  refused.cause = UpdateOutcome::Cause::ImageFileError;
  refused.detail = "the image is " + std::to_string(bytes->size()) + " bytes long; at most " +
                   std::to_string(kMaxBlocks * kBlockSize) + " fit the device's page addresses";
  w.outcome.set(refused);
  return DownloadRefusal{"The image is too large: " + refused.detail + ".", "Error",
                         MessageIcon::Error};
}

}  // namespace kestrel
