#include "support/faulty_file_system.h"

#include "platform/process.h"

namespace kestrel::test {
namespace {

class FaultyFile final : public ReadableFile {
 public:
  FaultyFile(std::unique_ptr<ReadableFile> real, std::string path, uint64_t failsAt, int error)
      : real_(std::move(real)), path_(std::move(path)), failsAt_(failsAt), error_(error) {}
  uint64_t size() const override { return real_->size(); }
  int64_t readAt(uint64_t offset, uint8_t* out, size_t n, FileError* error) const override {
    int64_t got = real_->readAt(offset, out, n, error);
    if (got > 0 && offset + uint64_t(got) > failsAt_) {
      *error = {error_, path_ + ": " + systemErrorText(error_)};
      return -1;
    }
    return got;
  }

 private:
  const std::unique_ptr<ReadableFile> real_;
  const std::string path_;
  const uint64_t failsAt_;
  const int error_;
};

}  // namespace

std::unique_ptr<ReadableFile> FaultyFileSystem::openForReading(const std::string& path,
                                                               FileError* error) {
  std::unique_ptr<ReadableFile> file = real_.openForReading(path, error);
  if (!file || !faults_.readFailsAt) return file;
  return std::make_unique<FaultyFile>(std::move(file), path, *faults_.readFailsAt,
                                      faults_.readError);
}

bool FaultyFileSystem::replaceFile(const std::string& path, const std::vector<uint8_t>& bytes,
                                   FileError* error) {
  if (faults_.writeError) {
    *error = {faults_.writeError,
              "Cannot write " + path + ": " + systemErrorText(faults_.writeError)};
    return false;
  }
  return real_.replaceFile(path, bytes, error);
}

}  // namespace kestrel::test
