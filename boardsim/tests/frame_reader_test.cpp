#include "boardsim/frame_reader.hpp"

#include <boost/test/unit_test.hpp>

using namespace qz::boardsim;

namespace {

// Three frames: no payload, a short one, and one longer than 255 bytes.
std::vector<bytes> sampleFrames()
{
    bytes longPayload(300);
    for (std::size_t i = 0; i < longPayload.size(); ++i)
        longPayload[i] = static_cast<std::uint8_t>(i * 7);
    return {makeFrame(0x01), makeFrame(0x2B, {0x02, 0x00, 0x00, 0x00}),
            makeFrame(0x12, longPayload)};
}

bytes concatenated(const std::vector<bytes>& frames)
{
    bytes stream;
    for (const bytes& f : frames)
        stream.insert(stream.end(), f.begin(), f.end());
    return stream;
}

std::vector<bytes> drain(frameReader& reader)
{
    std::vector<bytes> out;
    while (auto f = reader.next())
        out.push_back(*f);
    return out;
}

}  // namespace

BOOST_AUTO_TEST_SUITE(frame_reader)

BOOST_AUTO_TEST_CASE(frame_header_is_little_endian_total_length)
{
    BOOST_TEST(toHex(makeFrame(0x01)) == "030001");
    BOOST_TEST(toHex(makeFrame(0x2B, {0x02, 0x00, 0x00, 0x00})) == "07002b02000000");
    bytes big = makeFrame(0x12, bytes(300));
    BOOST_TEST(big.size() == 303u);
    BOOST_TEST(toHex(bytes(big.begin(), big.begin() + 3)) == "2f0112");
}

BOOST_AUTO_TEST_CASE(stream_split_at_every_position)
{
    const std::vector<bytes> frames = sampleFrames();
    const bytes stream = concatenated(frames);
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        frameReader reader;
        reader.feed(stream.data(), cut);
        std::vector<bytes> got = drain(reader);
        reader.feed(stream.data() + cut, stream.size() - cut);
        for (const bytes& f : drain(reader))
            got.push_back(f);
        BOOST_TEST((got == frames), "split at " << cut);
    }
}

BOOST_AUTO_TEST_CASE(length_below_the_header_size_is_an_error)
{
    for (std::uint8_t length : {0, 1, 2}) {
        frameReader reader;
        const std::uint8_t header[] = {length, 0x00, 0x01};
        reader.feed(header, 1);
        BOOST_TEST(!reader.next().has_value(), "one byte is no length yet");
        reader.feed(header + 1, 2);
        try {
            reader.next();
            BOOST_ERROR("length " << int(length) << " accepted");
        } catch (const frameReader::errorBadLength& e) {
            BOOST_TEST(e.length == length);
        }
    }
}

BOOST_AUTO_TEST_SUITE_END()
