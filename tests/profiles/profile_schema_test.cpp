// The profile schema: number parsing and the name rules.
#include "profiles/profile_schema.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace kestrum {
namespace {

TEST(ProfileSchemaTest, DecimalNumbersAreDigitsWithAnOptionalMinusThatFit) {
    const struct {
        const char* text;
        std::optional<int32_t> number;
    } cases[] = {
        {"0", 0},
        {"007", 7},
        {"-1", -1},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},
        {"", std::nullopt},
        {"-", std::nullopt},
        {"+1", std::nullopt},
        {" 1", std::nullopt},
        {"1a", std::nullopt},
        {"\xef\xbc\x91", std::nullopt},  // a full-width digit
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseDecimalInt(c.text), c.number) << c.text;
}

TEST(ProfileNameTest, ValidationOrderAndCaseInsensitiveDuplicates) {
    const std::vector<std::string> listed = {"Alpha", "日本", "x y"};
    EXPECT_EQ(ValidateNewProfileName("", listed), 42780);
    EXPECT_EQ(ValidateNewProfileName(std::string(20, 'a'), listed), 0);
    EXPECT_EQ(ValidateNewProfileName(std::string(21, 'a'), listed), 60040);
    EXPECT_EQ(ValidateNewProfileName("aaaaaaaaaa,aaaaaaaaaa", listed), 60040);  // too long before the comma
    EXPECT_EQ(ValidateNewProfileName("a,b", listed), 42791);
    EXPECT_EQ(ValidateNewProfileName(",", listed), 42791);
    EXPECT_EQ(ValidateNewProfileName("ALPHA", listed), 42782);
    EXPECT_EQ(ValidateNewProfileName("alpha", listed), 42782);
    EXPECT_EQ(ValidateNewProfileName("日本", listed), 42782);
    EXPECT_EQ(ValidateNewProfileName("X Y", listed), 42782);
    EXPECT_EQ(ValidateNewProfileName("xy", listed), 0);
    EXPECT_EQ(ValidateNewProfileName("Alpha ", listed), 0);              // spaces are part of the name
    EXPECT_EQ(ValidateNewProfileName("ＡＬＰＨＡ", {"ａｌｐｈａ"}), 0);  // only ASCII letters fold
    EXPECT_EQ(ValidateNewProfileName("日本語九文字のなま", {}), 60040);  // nine characters, 27 bytes
}

}  // namespace
}  // namespace kestrum
