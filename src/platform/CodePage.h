#pragma once
// Texts from the handset are 8-bit bytes in its code page (CP949). The controls take UTF-8.
#include <cstddef>
#include <cstdint>
#include <string>

// Decodes CP949 bytes to UTF-8. What does not decode becomes U+FFFD; the result is always
// valid UTF-8.
std::string Cp949ToUtf8(const uint8_t* bytes, size_t count);
std::string Cp949ToUtf8(const std::string& bytes);
