// Small helpers every test file may use: elapsed time, the sanitizers' slowdown and hex text.
#pragma once

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace qz::test {

// The sanitizers slow tick loops and planning: fewer cases under them (the sanitizer builds use GCC).
#if defined(__SANITIZE_THREAD__)
constexpr int sanitizerSlowdown = 25;
#elif defined(__SANITIZE_ADDRESS__)
constexpr int sanitizerSlowdown = 10;
#else
constexpr int sanitizerSlowdown = 1;
#endif

// CPU time of the calling thread: a call's own cost, whatever else the machine runs meanwhile.
inline std::int64_t threadCpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

// A call's CPU time. One over bound is timed again, up to four times, and the least is kept: a
// virtual machine may charge a thread for time it did not run.
template <class Call>
std::int64_t cpuTimeOf(Call call, std::int64_t bound)
{
    std::int64_t least = 0;
    for (int run = 0; run < 5 && (run == 0 || least >= bound); ++run) {
        const std::int64_t start = threadCpuNs();
        call();
        const std::int64_t spent = threadCpuNs() - start;
        least = run == 0 ? spent : std::min(least, spent);
    }
    return least;
}

// Median and maximum of measured times.
struct spread {
    std::int64_t median, maximum;
};
inline spread spreadOf(std::vector<std::int64_t> times)
{
    if (times.empty())
        return {0, 0};
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    return {times[times.size() / 2], *std::max_element(times.begin(), times.end())};
}

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
