#pragma once
// The SHA-256 of an image file as the record keeps it (nettle's, Debian's nettle-dev).
#include <string>

// Lower-case hex of the file's SHA-256; empty when it cannot be read (no such file, a folder,
// a FIFO or a device: never waited on).
std::string FileSha256(const std::string& path);
// Lower-case hex of the text's SHA-256.
std::string TextSha256(const std::string& text);

// Whether the path is an image that can be read: a regular file this process may open. Looked
// at without opening it, so that a FIFO or a device is refused at once rather than waited on.
// False with why ("no such file", "a FIFO, not a regular file", ...).
bool IsImageFile(const std::string& path, std::string& why);
