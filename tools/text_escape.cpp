// SPDX-License-Identifier: MIT
#include "text_escape.h"

#include <cstdio>

namespace kine_tools {

namespace {

// Length of the well-formed UTF-8 sequence of a non-ASCII character starting
// at text[i], or 0 when the bytes there are not one (overlong forms, UTF-16
// surrogates and code points past U+10FFFF included).
size_t utf8Length(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b = byte(i);
    size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > text.size()) return 0;
    if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (size_t k = 2; k < n; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    return n;
}

std::string hexEscape(const char* format, unsigned char b) {
    char esc[8];
    std::snprintf(esc, sizeof esc, format, b);
    return esc;
}

}  // namespace

std::string shownText(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            out += text[i++];
        } else if (const size_t n = b >= 0x80 ? utf8Length(text, i) : 0; n > 0) {
            // C1 controls (U+0080 to U+009F) act on terminals too.
            if (b == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
                out += hexEscape("\\x%02x", b);
                ++i;
                continue;
            }
            out.append(text, i, n);
            i += n;
        } else {
            out += hexEscape("\\x%02x", b);
            ++i;
        }
    }
    return out;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        if (b == '"' || b == '\\') {
            out += '\\';
            out += text[i++];
        } else if (b >= 0x20 && b < 0x7F) {
            out += text[i++];
        } else if (const size_t n = b >= 0x80 ? utf8Length(text, i) : 0; n > 0) {
            out.append(text, i, n);
            i += n;
        } else {
            out += hexEscape("\\u%04x", b);
            ++i;
        }
    }
    return out + "\"";
}

}  // namespace kine_tools
