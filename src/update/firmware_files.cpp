#include "update/firmware_files.h"

#include "core/window_state.h"
#include "platform_api/files.h"

namespace kestrel {
namespace {

// The ELF file, read where the extractor asks.
class FileSource final : public ByteSource {
 public:
  explicit FileSource(const ReadableFile& file) : file_(file) {}
  uint64_t size() const override { return file_.size(); }
  int64_t readAt(uint64_t offset, uint8_t* out, size_t n, std::string* error) const override {
    FileError err;
    int64_t got = file_.readAt(offset, out, n, &err);
    if (got < 0) *error = err.text;
    return got;
  }

 private:
  const ReadableFile& file_;
};

// The largest image file the hidden download reads: what the page addresses reach.
constexpr uint64_t kMaxImageFile = uint64_t(8192) * 2048;

}  // namespace

bool readImageFile(FileSystem& files, const std::string& path, std::vector<uint8_t>* bytes,
                   std::string* error) {
  FileError err;
  std::unique_ptr<ReadableFile> file = files.openForReading(path, &err);
  if (!file) {
    *error = "Cannot open " + err.text;
    return false;
  }
  if (file->size() > kMaxImageFile) {
    *error = "Cannot read " + path + ": " + std::to_string(file->size()) + " bytes is too large";
    return false;
  }
  bytes->assign(size_t(file->size()), 0);
  int64_t got = file->readAt(0, bytes->data(), bytes->size(), &err);
  if (got < 0) {
    *error = "Cannot read " + err.text;
    return false;
  }
  if (uint64_t(got) != bytes->size()) {
    *error = "Cannot read " + path + ": the file ended early";
    return false;
  }
  return true;
}

ConvertResult convertFirmware(WindowState& w, const std::string& input,
                              const std::optional<std::string>& output, Extraction* result) {
  UpdateOutcome refused;
  refused.cause = UpdateOutcome::Cause::ImageRefused;

  FileError err;
  std::unique_ptr<ReadableFile> file = w.files.openForReading(input, &err);
  if (!file) {
    refused.error = err.code;
    refused.detail = err.text;
    w.outcome.set(refused);
    w.showMessage("Please select a file first !");
    return ConvertResult::Failed;
  }
  *result = extractImage(FileSource(*file));
  file.reset();
  if (result->status != Extraction::Status::Ok) {
    const bool notElf = result->status == Extraction::Status::NotElf;
    // A read error already names the file.
    const std::string named = result->status == Extraction::Status::ReadFailed
                                  ? result->detail
                                  : input + ": " + result->detail;
    refused.detail = notElf ? input + ": not an ELF file (" + result->detail + ")" : named;
    w.outcome.set(refused);
    w.showAppMessage(notElf ? "This is not a ELF file" : named);
    return ConvertResult::Failed;
  }
  if (!output) return ConvertResult::Ok;

  if (!w.files.replaceFile(*output, result->image, &err)) {
    UpdateOutcome fileError;
    fileError.cause = UpdateOutcome::Cause::ImageFileError;
    fileError.error = err.code;
    fileError.detail = err.text;
    w.outcome.set(fileError);
    w.showMessage(err.text, {}, MessageIcon::Error);
    return ConvertResult::FileError;
  }
  return ConvertResult::Ok;
}

ConvertResult convert(WindowState& w, const std::string& title, Extraction* result) {
  return convertFirmware(w, title + ".out", title + ".bin", result);
}

}  // namespace kestrel
