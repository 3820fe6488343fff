// The firmware command's helpers: readFile takes a file byte for byte up to its limit, waitFor repeats
// an attempt until it succeeds or its time limit has passed.
#define BOOST_TEST_MODULE firmware_helpers_test
#include <boost/test/data/test_case.hpp>
#include <boost/test/unit_test.hpp>

#include <boost/filesystem/operations.hpp>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "support/common.hpp"
#include "support/process.hpp"
#include "tester.hpp"

namespace data = boost::unit_test::data;
using qz::test::msSince;

namespace {

// Every byte value, line ends and an end-of-file mark among them; sizes around the 1 MiB read chunk.
std::string pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return bytes;
}

}  // namespace

BOOST_DATA_TEST_CASE(readFile_returns_every_byte, data::make({0, 1, 1048575, 1048576, 1048577, 3145729}), size)
{
    qz::test::scratchDir dir("qzsmc-readfile");
    const std::string bytes = pattern(static_cast<std::size_t>(size));
    qz::test::writeFile(dir.path() / "image.bin", bytes);
    const std::vector<char> read = readFile(dir.file("image.bin"), 3145729);
    BOOST_TEST(read.size() == bytes.size());
    BOOST_TEST((std::string(read.begin(), read.end()) == bytes));
}

// A file past the limit reads one byte more than the limit (a sparse 4 GiB + 100 bytes: the
// size is not cut to 32 bits); what is not a regular file reads nothing.
BOOST_AUTO_TEST_CASE(readFile_stops_past_the_limit_and_opens_only_regular_files)
{
    qz::test::scratchDir dir("qzsmc-readfile");
    qz::test::writeFile(dir.path() / "wrap.bin", "");
    boost::filesystem::resize_file(dir.path() / "wrap.bin", (std::uint64_t{1} << 32) + 100);
    BOOST_TEST(readFile(dir.file("wrap.bin"), 1000).size() == 1001u);
    for (const std::string& path : {dir.file("missing.bin"), dir.path().string(), std::string("/dev/zero")})
        BOOST_TEST(readFile(path, 1000).empty(), path);
}

BOOST_AUTO_TEST_CASE(waitFor_stops_at_success_or_after_the_limit)
{
    // attempt: ms it takes, then its outcome by call number: 's' succeeds, 'f' fails, 't' throws.
    struct Case { std::int64_t limit; int attemptMs; std::string outcomes; bool result; int calls; long minMs, maxMs; };
    const Case cases[] = {
        {30, 0, "ffs", true, 3, 0, 500},       // the first success ends it at once
        {0, 0, "f", false, 1, 0, 500},         // at least one attempt, even with no time
        {1, 300, "f", false, 4, 1000, 1800},   // starts at 0, 300, 600, 900; the last runs to its end
        {1, 250, "t", false, 4, 1000, 1800},   // a throwing attempt is a failure; no pause between them
        {1, 0, "tts", true, 3, 0, 500},
    };
    for (const Case& c : cases) {
        BOOST_TEST_CONTEXT("limit " << c.limit << " s, attempts of " << c.attemptMs << " ms: " << c.outcomes)
        {
            int calls = 0;
            const auto start = std::chrono::steady_clock::now();
            const bool result = waitFor(c.limit, [&] {
                const char outcome = c.outcomes[std::min<std::size_t>(calls++, c.outcomes.size() - 1)];
                std::this_thread::sleep_for(std::chrono::milliseconds(c.attemptMs));
                if (outcome == 't') throw std::runtime_error("no boot loader");
                return outcome == 's';
            });
            const long ms = msSince(start);
            BOOST_TEST(result == c.result);
            BOOST_TEST(calls == c.calls);
            BOOST_TEST(ms >= c.minMs);
            BOOST_TEST(ms <= c.maxMs);
        }
    }
}

// Attempts that fail at once start at most every 100 ms, instead of spinning for the whole limit.
BOOST_AUTO_TEST_CASE(waitFor_paces_attempts_that_fail_at_once)
{
    int calls = 0;
    BOOST_TEST(!waitFor(1, [&]() -> bool { ++calls; throw std::runtime_error("no interface"); }));
    BOOST_TEST((calls >= 5 && calls <= 11), calls << " attempts in 1 s");
}
