#pragma once

// Little-endian reads for the parts built without Qt (korvane-chmextract). The caller has
// checked that the bytes are there.

#include <cstdint>

namespace korvane::helpdecompiler {

inline std::uint16_t le16(const char* p)
{
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return std::uint16_t(b[0] | b[1] << 8);
}

inline std::uint32_t le32(const char* p)
{
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24;
}

inline std::uint64_t le64(const char* p)
{
    return std::uint64_t(le32(p)) | std::uint64_t(le32(p + 4)) << 32;
}

} // namespace korvane::helpdecompiler
