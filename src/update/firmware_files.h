#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image/elf_image_extractor.h"

namespace kestrel {

class FileSystem;
class WindowState;

// The result of converting on behalf of the Run command.
enum class ConvertResult {
  Ok,
  Failed,     // Refused; a message was shown where there is one, "File Convert fail!" is next.
  FileError,  // The image file could not be written; the file-error box was shown.
};

// Reads the ELF file at `input` and turns it into the flat image, all in memory; then, when
// `output` is given, writes the image there. Shows the conversion's boxes:
// "Please select a file first !" when the input cannot be read (missing, unreadable, not a regular
// file, a name too long), "This is not a ELF file" or what else is wrong with it (a segment cut
// short by the end of the file, a read that failed: no image is made of bytes that are not there),
// or the file-error box naming the output and the system's reason. The files are the window's
// (`w.files`); the image is written with FileSystem::replaceFile, so nothing of the user's is lost.
// Records the refusal as the running update's outcome, with the path and the reason. On Ok, *result
// holds the image and its segment map. Window's thread.
ConvertResult convertFirmware(WindowState& w, const std::string& input,
                              const std::optional<std::string>& output, Extraction* result);

// The Run's conversion: `title`.out into `title`.bin, relative to the current folder.
ConvertResult convert(WindowState& w, const std::string& title, Extraction* result);

// Reads a whole image file (the hidden UPDATE command's image) through `files`. False with *error
// naming the file and the reason when it cannot be read.
bool readImageFile(FileSystem& files, const std::string& path, std::vector<uint8_t>* bytes,
                   std::string* error);

}  // namespace kestrel
