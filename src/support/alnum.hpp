#pragma once

#include <algorithm>
#include <iterator>
#include <string_view>

namespace kestu {

namespace detail {
struct AlnumRange {
    char32_t lo;
    char32_t hi;  // inclusive
};
}  // namespace detail

// Alphabetic or Nd/Nl/No. Wider than str.isalnum on purpose: combining vowel
// signs and circled letters keep a key usable in dotted path form.
inline bool is_path_alnum(char32_t c) noexcept {
    if (c < 0x80) {
        return (c >= U'0' && c <= U'9') || (c >= U'A' && c <= U'Z') ||
               (c >= U'a' && c <= U'z');
    }
    static constexpr detail::AlnumRange ranges[] = {
#include "alnum_table.inc"
    };
    // First range starting after c; c can only fall in the one before it.
    const auto* it = std::upper_bound(
        std::begin(ranges), std::end(ranges), c,
        [](char32_t v, const detail::AlnumRange& r) { return v < r.lo; });
    return it != std::begin(ranges) && c <= std::prev(it)->hi;
}

// True when every code point is '_' or is_path_alnum; "" counts as a word.
// Input is expected to be valid UTF-8; a truncated or malformed lead byte
// yields false rather than reading out of bounds.
inline bool is_path_word(std::string_view utf8) noexcept {
    const std::size_t n = utf8.size();
    std::size_t i = 0;
    while (i < n) {
        const auto b0 = static_cast<unsigned char>(utf8[i]);
        if (b0 < 0x80) {
            const char32_t c = b0;
            if (c != U'_' && !is_path_alnum(c)) return false;
            ++i;
            continue;
        }
        std::size_t len;
        char32_t c;
        if ((b0 & 0xE0) == 0xC0) {
            len = 2;
            c = b0 & 0x1F;
        } else if ((b0 & 0xF0) == 0xE0) {
            len = 3;
            c = b0 & 0x0F;
        } else if ((b0 & 0xF8) == 0xF0) {
            len = 4;
            c = b0 & 0x07;
        } else {
            return false;
        }
        if (n - i < len) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto b = static_cast<unsigned char>(utf8[i + k]);
            if ((b & 0xC0) != 0x80) return false;
            c = (c << 6) | (b & 0x3F);
        }
        if (!is_path_alnum(c)) return false;
        i += len;
    }
    return true;
}

}  // namespace kestu
