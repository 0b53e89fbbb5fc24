// The shared board's message decoder on whole, partial and broken frames.
#include <gtest/gtest.h>

#include <sim/board_wire.h>

namespace boardwire {
namespace {

using Status = Decoded::Status;

std::vector<uint8_t> frame(const Message& m)
{
    std::vector<uint8_t> out;
    encode(m, out);
    return out;
}

std::vector<uint8_t> withLength(uint32_t length, size_t bodyBytes, uint8_t op = uint8_t(Op::PortIn))
{
    std::vector<uint8_t> out{uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16), uint8_t(length >> 24)};
    out.resize(4 + bodyBytes, 0);
    if (bodyBytes > 0)
        out[4] = op;
    return out;
}

TEST(BoardWireTest, RoundTripKeepsEveryField)
{
    Message m = request(Op::I2c, -7, 0x7FFFFFFF, int32_t(0x80000000), 42);
    m.data = {1, 2, 3, 0xFF};
    const auto bytes = frame(m);
    const Decoded d = decode(bytes);
    ASSERT_EQ(d.status, Status::Complete) << d.error;
    EXPECT_EQ(d.consumed, bytes.size());
    EXPECT_EQ(d.message.op, Op::I2c);
    EXPECT_EQ(d.message.a, -7);
    EXPECT_EQ(d.message.b, 0x7FFFFFFF);
    EXPECT_EQ(d.message.c, int32_t(0x80000000));
    EXPECT_EQ(d.message.d, 42);
    EXPECT_EQ(d.message.data, m.data);
}

TEST(BoardWireTest, EveryPrefixOfAFrameNeedsMore)
{
    Message m = request(Op::PortOut, 0x378, 0x03);
    m.data = {9, 8, 7};
    const auto bytes = frame(m);
    for (size_t n = 0; n < bytes.size(); ++n)
        EXPECT_EQ(decode(std::span(bytes).first(n)).status, Status::NeedMore) << n;
}

TEST(BoardWireTest, PipelinedFramesComeOneAtATime)
{
    auto bytes = frame(request(Op::PortOut, 0x378, 1));
    const size_t first = bytes.size();
    const auto second = frame(request(Op::PortIn, 0x379));
    bytes.insert(bytes.end(), second.begin(), second.end());
    const Decoded d = decode(bytes);
    ASSERT_EQ(d.status, Status::Complete);
    EXPECT_EQ(d.consumed, first);
    EXPECT_EQ(decode(std::span(bytes).subspan(first)).message.op, Op::PortIn);
}

TEST(BoardWireTest, DataBeyondTheLimitIsCutOnEncode)
{
    Message m = request(Op::I2c);
    m.data.assign(kMaxData + 100, 0xAA);
    const Decoded d = decode(frame(m));
    ASSERT_EQ(d.status, Status::Complete);
    EXPECT_EQ(d.message.data.size(), kMaxData);
}

struct BrokenCase {
    const char* name;
    std::vector<uint8_t> bytes;
};

class BrokenFrameTest : public ::testing::TestWithParam<BrokenCase> { };

TEST_P(BrokenFrameTest, IsMalformedWithAReason)
{
    const Decoded d = decode(GetParam().bytes);
    EXPECT_EQ(d.status, Status::Malformed);
    EXPECT_FALSE(d.error.empty());
}

std::vector<uint8_t> dataLengthLie()
{
    auto bytes = frame(request(Op::PortIn, 1));
    bytes[4 + 17] = 5;  // claims 5 data bytes, carries none
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(Frames, BrokenFrameTest,
                         ::testing::Values(BrokenCase{"ZeroLength", withLength(0, 0)},
                                           BrokenCase{"ShorterThanTheFixedPart",
                                                      withLength(kFixedBody - 1, kFixedBody - 1)},
                                           // Refused from the header alone: the decoder never waits for 4 GiB.
                                           BrokenCase{"OversizedHeaderOnly", withLength(0xFFFFFFFF, 0)},
                                           BrokenCase{"OneByteOverTheLimit", withLength(kMaxBody + 1, 0)},
                                           BrokenCase{"UnknownOp", withLength(kFixedBody, kFixedBody, 0x7F)},
                                           BrokenCase{"OpZero", withLength(kFixedBody, kFixedBody, 0)},
                                           BrokenCase{"DataLengthDisagrees", dataLengthLie()}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace boardwire
