#pragma once
// Context zones: the class of a context field, decided by its name prefix.
#include <Python.h>

#include <cstdint>
#include <string_view>

#include "../support/classdef.hpp"

namespace kestu {

enum class ContextZone : int64_t { Data = 0, Signal = 1, Meta = 2, Heavy = 3 };

// Byte-wise, case-sensitive, first match wins: "sig_"/"cmd_" Signal,
// "meta_" Meta, "heavy_" Heavy, everything else Data.
constexpr ContextZone resolve_zone(std::string_view name) noexcept {
    if (name.starts_with("sig_") || name.starts_with("cmd_")) return ContextZone::Signal;
    if (name.starts_with("meta_")) return ContextZone::Meta;
    if (name.starts_with("heavy_")) return ContextZone::Heavy;
    return ContextZone::Data;
}

extern PyTypeObject* ContextZone_Type;
extern const ClassDef ContextZone_class;

}  // namespace kestu
