#pragma once
// A transparent hash for maps keyed by std::string, so that a look-up by
// std::string_view makes no string.
#include <cstddef>
#include <functional>
#include <string_view>

namespace kestu {

struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

}  // namespace kestu
