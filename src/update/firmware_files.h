#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image/elf_image_extractor.h"

namespace kestrel {

class WindowState;

// The result of converting on behalf of the Run command.
enum class ConvertResult {
  Ok,
  Failed,     // Refused; a message was shown where there is one, "File Convert fail!" is next.
  FileError,  // The image file could not be written; the file-error box was shown.
};

// Reads the ELF file at `input` and turns it into the flat image, all in memory; then, when
// `output` is given, writes the image there (see writeImageFile). Shows the conversion's boxes:
// "Please select a file first !" when the input cannot be read (missing, unreadable, not a regular
// file, a name too long), "This is not a ELF file" or what else is wrong with it, or the file-error
// box naming the output and the system's reason. Records the refusal as the running update's
// outcome, with the path and the reason. On Ok, *result holds the image and its segment map.
// Window's thread.
ConvertResult convertFirmware(WindowState& w, const std::string& input,
                              const std::optional<std::string>& output, Extraction* result);

// The Run's conversion: `title`.out into `title`.bin, relative to the current folder.
ConvertResult convert(WindowState& w, const std::string& title, Extraction* result);

// How writing an image file went: ok, or the system's error number and a sentence that names the
// file and the reason ("Cannot write fw.bin: Permission denied").
struct FileWrite {
  bool ok = false;
  int error = 0;
  std::string message;
};

// Writes `bytes` to `path` so that a failure never leaves a half-written file in its place and
// nothing the user set is lost:
// - where the folder allows a new file, through a temporary file of its own (created exclusively,
//   under a short name) that is synced and renamed over `path`, with the old file's mode, and its
//   owner and group where they can be kept;
// - where only `path` itself is writable, in place;
// - an existing `path` that is read-only is refused, as is a symbolic link that cannot be
//   replaced; the link itself is never written through.
FileWrite writeImageFile(const std::string& path, const std::vector<uint8_t>& bytes);

// Reads a whole image file (the hidden UPDATE command's image). False with *error naming the
// file and the reason when it cannot be read.
bool readImageFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);

}  // namespace kestrel
