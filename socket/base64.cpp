#include "base64.h"

#include <new>

#include "Loglib.h"

namespace QuarloSocket {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int ValueOf(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

int base64_encode(const unsigned char* data, size_t length, std::string& text) {
    text.clear();
    try {
        text.reserve(length / 3 * 4 + 4);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        const unsigned v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        text += kAlphabet[(v >> 18) & 63];
        text += kAlphabet[(v >> 12) & 63];
        text += kAlphabet[(v >> 6) & 63];
        text += kAlphabet[v & 63];
    }
    if (i < length) {
        unsigned v = data[i] << 16;
        if (i + 1 < length) v |= data[i + 1] << 8;
        text += kAlphabet[(v >> 18) & 63];
        text += kAlphabet[(v >> 12) & 63];
        text += (i + 1 < length) ? kAlphabet[(v >> 6) & 63] : '=';
        text += '=';
    }
    return static_cast<int>(text.size());
}

std::optional<std::string> make_base64_string2(std::string_view text) {
    std::string encoded;
    if (base64_encode(reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                      encoded) < 0) {
        LOGA(LOG_ERROR, "make_base64_string2() error\n");
        return std::nullopt;
    }
    return encoded;
}

int base64_decode(const char* text, std::vector<unsigned char>& out) {
    int written = 0;
    if (text == nullptr) return 0;
    const char* p = text;
    while (*p != '\0') {
        if (*p != '=' && ValueOf(*p) < 0) break;
        int values[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = p[k];
            if (c == '\0') return -1;  // fewer than four characters left
            if (c == '=') {
                ++padding;
                values[k] = 0;
                continue;
            }
            // A character after '=' or outside the alphabet inside a group
            // makes the group unreadable.
            if (padding > 0) return -1;
            values[k] = ValueOf(c);
            if (values[k] < 0) return -1;
        }
        if (padding > 2) return -1;
        const unsigned v = (values[0] << 18) | (values[1] << 12) | (values[2] << 6) | values[3];
        out.push_back(static_cast<unsigned char>(v >> 16));
        ++written;
        if (padding < 2) {
            out.push_back(static_cast<unsigned char>(v >> 8));
            ++written;
        }
        if (padding < 1) {
            out.push_back(static_cast<unsigned char>(v));
            ++written;
        }
        p += 4;
        if (padding > 0) break;
    }
    return written;
}

}  // namespace QuarloSocket
