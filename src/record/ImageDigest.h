#pragma once
// The SHA-256 of an image file as the record keeps it (nettle's, Debian's nettle-dev).
#include <string>

// Lower-case hex of the file's SHA-256; empty when it cannot be read (no such file, a folder).
std::string FileSha256(const std::string& path);
