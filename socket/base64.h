// Base64 text of the proxy handshake's Basic and NTLM headers.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace QuarloSocket {

// Standard base64 ('+', '/', '=' padding, no line breaks). Returns the length
// of the text, -1 when no memory could be had.
int base64_encode(const unsigned char* data, size_t length, std::string& text);

// Base64 of the characters of text; none on failure.
std::optional<std::string> make_base64_string2(std::string_view text);

// Decodes groups of four characters; the bytes are appended to out. Returns
// the number of bytes written, or -1 for a malformed group. A group that
// starts with a character outside the alphabet ends the text; a padded group
// is the last one.
int base64_decode(const char* text, std::vector<unsigned char>& out);

}  // namespace QuarloSocket
