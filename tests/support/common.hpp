// Small helpers every test file may use: elapsed time and hex text.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

namespace qz::test {

inline long msSince(std::chrono::steady_clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

// Two lower-case digits per byte, no separators.
inline std::string hex(const void* data, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    const auto* p = static_cast<const unsigned char*>(data);
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[p[i] >> 4];
        text += digits[p[i] & 0x0F];
    }
    return text;
}

template <class Bytes>
std::string hex(const Bytes& bytes)
{
    return hex(bytes.data(), bytes.size());
}

// 32-bit words as the wire carries them: little-endian, in hex.
inline std::string hexWords(std::initializer_list<std::uint32_t> words)
{
    std::string bytes;
    for (std::uint32_t w : words)
        for (int i = 0; i < 4; ++i) bytes += static_cast<char>(w >> (8 * i));
    return hex(bytes);
}

}  // namespace qz::test
