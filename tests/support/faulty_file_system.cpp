#include "support/faulty_file_system.h"

#include "platform/process.h"

namespace kestrel::test {

std::unique_ptr<ReadableFile> FaultyFileSystem::openForReading(const std::string& path,
                                                               FileError* error) {
  return real_.openForReading(path, error);
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
