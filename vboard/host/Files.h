// Files the board reads from and writes for its user (flash images, SMBIOS
// dumps, ACPI tables, reports). A file is read whole or not at all, and
// written whole or not at all: the bytes go to a temporary file beside the
// target, are flushed to the disk, and only then replace the target, so an
// error (a full disk, a missing directory, no permission) leaves whatever
// was there before and is reported as an exception naming the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vboard {

// Throws std::runtime_error when the file cannot be opened or read.
std::vector<uint8_t> ReadWholeFile (const std::string &Path);
// Throws std::runtime_error when the file cannot be written whole.
void WriteWholeFile (const std::string &Path, const std::vector<uint8_t> &Bytes);
void WriteWholeFile (const std::string &Path, const std::string &Text);
// The same for a file of Size bytes made a piece at a time: Fill (Offset,
// Buffer, Length) puts the Length bytes at Offset in Buffer.
using FileFiller = std::function<void (uint64_t Offset, uint8_t *Buffer, size_t Length)>;
void WriteWholeFile (const std::string &Path, uint64_t Size, const FileFiller &Fill);

// Whether Path names a regular file, asked of the file system once per path
// and process: build outputs (an image's .debug file) do not come and go
// while boards run, and every board that loads the image asks again.
bool BuildOutputExists (const std::string &Path);

}  // namespace vboard
