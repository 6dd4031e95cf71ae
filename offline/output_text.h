// How vendrika-scan shows texts from the volume: on a terminal (no name can
// start a line or act on the terminal) and in JSON (always valid UTF-8, the
// exact bytes beside a text that is not).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace offline {

// The length of the well-formed UTF-8 sequence at `p` (of `n` bytes), its
// code point in `cp`; 0 when the bytes there are not UTF-8 (overlong forms,
// surrogates, beyond U+10FFFF, cut short).
inline size_t Utf8Sequence(const unsigned char* p, size_t n, uint32_t* cp) {
    const unsigned char c = p[0];
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    size_t length;
    uint32_t value;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        value = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        value = c & 0x0F;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        value = c & 0x07;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (n < length || p[1] < low || p[1] > high) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((p[k] & 0xC0) != 0x80) return 0;
        value = (value << 6) | (p[k] & 0x3F);
    }
    *cp = value;
    return length;
}

// UTF-16 (Windows' wide text) as UTF-8: a pair of surrogates is one code
// point, a lone surrogate U+FFFD.
inline std::string Utf8FromUtf16(const uint16_t* w, size_t n) {
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        uint32_t cp = w[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && w[i + 1] >= 0xDC00 && w[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (w[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | (cp >> 6));
            out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | (cp >> 12));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | (cp >> 18));
            out += char(0x80 | ((cp >> 12) & 0x3F));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

// UTF-8 as UTF-16: each byte that is not part of a well-formed sequence is
// U+FFFD; a code point beyond U+FFFF is a surrogate pair.
inline std::vector<uint16_t> Utf16FromUtf8(const std::string& s) {
    std::vector<uint16_t> out;
    out.reserve(s.size());
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (size_t i = 0; i < s.size();) {
        uint32_t cp = 0;
        size_t n = Utf8Sequence(p + i, s.size() - i, &cp);
        if (n == 0) {
            cp = 0xFFFD;
            n = 1;
        }
        if (cp >= 0x10000) {
            out.push_back(uint16_t(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(uint16_t(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(uint16_t(cp));
        }
        i += n;
    }
    return out;
}

// Characters a terminal acts on rather than shows, or that move text
// around a line: controls, line and paragraph separators, bidi controls.
inline bool Invisible(uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 ||
           (cp >= 0x200E && cp <= 0x200F) || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

// A text for the terminal: what Invisible names and bytes that are not
// UTF-8 as \xHH per byte. `tabs` keeps tabs (the statistics' own).
inline std::string Shown(const std::string& s, bool tabs = false) {
    std::string out;
    out.reserve(s.size());
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (size_t i = 0; i < s.size();) {
        uint32_t cp = 0;
        size_t n = Utf8Sequence(p + i, s.size() - i, &cp);
        if (n > 0 && (!Invisible(cp) || (tabs && cp == '\t'))) {
            out.append(s, i, n);
            i += n;
            continue;
        }
        if (n == 0) n = 1;
        for (size_t k = 0; k < n; ++k) {
            char esc[5];
            std::snprintf(esc, sizeof esc, "\\x%02X", p[i + k]);
            out += esc;
        }
        i += n;
    }
    return out;
}

// A JSON string of valid UTF-8: U+FFFD for each byte that is not; `exact`
// tells whether it stands for the bytes as they are. What Invisible names
// is escaped (\uXXXX).
inline std::string JsonString(const std::string& s, bool* exact) {
    std::string out = "\"";
    *exact = true;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (size_t i = 0; i < s.size();) {
        uint32_t cp = 0;
        const size_t n = Utf8Sequence(p + i, s.size() - i, &cp);
        char esc[8];
        if (n == 0) {
            out += "\\ufffd";
            *exact = false;
            ++i;
            continue;
        }
        if (cp == '"' || cp == '\\') {
            out += '\\';
            out += char(cp);
        } else if (Invisible(cp)) {
            // Exact all the same, and a JSON line on a terminal is no
            // less safe than a text one.
            std::snprintf(esc, sizeof esc, "\\u%04x", unsigned(cp));
            out += esc;
        } else {
            out.append(s, i, n);
        }
        i += n;
    }
    return out + "\"";
}

// One JSON object, built field by field.
class JsonObject {
public:
    explicit JsonObject(const char* type) { text_ = std::string("{\"type\":\"") + type + "\""; }
    // A text field; one that is not valid UTF-8 gets its bytes beside it.
    JsonObject& Text(const char* name, const std::string& value) {
        bool exact;
        text_ += std::string(",\"") + name + "\":" + JsonString(value, &exact);
        if (!exact) {
            text_ += std::string(",\"") + name + "_hex\":\"";
            static const char kHex[] = "0123456789abcdef";
            for (unsigned char c : value) {
                text_ += kHex[c >> 4];
                text_ += kHex[c & 15];
            }
            text_ += '"';
        }
        return *this;
    }
    JsonObject& Number(const char* name, long value) {
        text_ += std::string(",\"") + name + "\":" + std::to_string(value);
        return *this;
    }
    JsonObject& Unsigned(const char* name, uint64_t value) {
        text_ += std::string(",\"") + name + "\":" + std::to_string(value);
        return *this;
    }
    std::string Done() const { return text_ + "}"; }

private:
    std::string text_;
};

}  // namespace offline
