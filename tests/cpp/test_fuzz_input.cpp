#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../fuzz/fuzz_support.hpp"

using korvalite::fuzz::Bytes;
using korvalite::fuzz::FuzzInput;

namespace {

std::string text(Bytes b) { return std::string(reinterpret_cast<const char*>(b.data()), b.size()); }

// The input views `s`, which must outlive it.
FuzzInput input_of(const std::string& s) { return FuzzInput(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()); }

}  // namespace

TEST(FuzzInput, DatagramsAreLengthFramedAndTheLastOneTakesWhatIsLeft) {
    const struct {
        std::string input;
        std::vector<std::string> datagrams;
    } cases[] = {
        {std::string("\0\3abc\0\1d", 8), {"abc", "d"}},
        {std::string("\0\0\0\2xy", 6), {"", "xy"}},
        {std::string("\1\0short", 7), {"short"}},  // announces 256 bytes
        {std::string("\0", 1), {""}},              // half a length
        {"", {}},
    };
    for (const auto& c : cases) {
        FuzzInput input = input_of(c.input);
        std::vector<std::string> seen;
        while (const auto datagram = input.take_datagram()) seen.push_back(text(*datagram));
        EXPECT_EQ(seen, c.datagrams) << testing::PrintToString(c.input);
    }
}

TEST(FuzzInput, TextUpToTheSeparatorAndNumbersFromTheBack) {
    const std::string formula("A+B\0\x01\x02\x03\x04\x05\x06\x07\x08\x01", 13);
    FuzzInput input = input_of(formula);
    EXPECT_EQ(text(input.take_until(std::byte{0})), "A+B");
    EXPECT_TRUE(input.take_bool());
    EXPECT_EQ(input.take_u64(), 0x0807060504030201u);
    EXPECT_TRUE(input.empty());
    EXPECT_EQ(input.take_i64(), 0);  // used up: zero bits
    EXPECT_FALSE(input.take_bool());

    const std::string plain = "1 + 2";
    FuzzInput no_separator = input_of(plain);
    EXPECT_EQ(text(no_separator.take_until(std::byte{0})), "1 + 2");
    EXPECT_TRUE(no_separator.empty());

    const std::string two_bytes = "\x01\x02";
    FuzzInput short_number = input_of(two_bytes);
    EXPECT_EQ(short_number.take_u64(), 0x0201u);  // fewer bytes than asked: what is there
}
