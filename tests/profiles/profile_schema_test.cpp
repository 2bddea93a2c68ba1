// The profile schema: number parsing and the name rules.
#include "profiles/profile_schema.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace kestrum {
namespace {

TEST(ProfileSchemaTest, DecimalNumbersAreDigitsWithAnOptionalMinusThatFit) {
    const std::pair<const char*, int32_t> valid[] = {
        {"0", 0}, {"007", 7}, {"-1", -1}, {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1}};
    for (const auto& [text, number] : valid)
        EXPECT_EQ(ParseDecimalInt(text), number) << text;
    // The last is a full-width digit.
    for (const char* text : {"2147483648", "-2147483649", "", "-", "+1", " 1", "1a", "\xef\xbc\x91"})
        EXPECT_EQ(ParseDecimalInt(text), std::nullopt) << text;
}

// Empty, then over 20 bytes (before a comma is looked for; 9 Japanese characters are 27 bytes), then a comma,
// then a listed name ignoring the case of ASCII letters only; spaces are part of the name.
TEST(ProfileNameTest, ValidationOrderAndCaseInsensitiveDuplicates) {
    const std::pair<int, std::vector<std::string>> cases[] = {
        {0, {std::string(20, 'a'), "xy", "Alpha "}},
        {42780, {""}},
        {60040, {std::string(21, 'a'), "aaaaaaaaaa,aaaaaaaaaa", "日本語九文字のなま"}},
        {42791, {"a,b", ","}},
        {42782, {"ALPHA", "alpha", "日本", "X Y"}}};
    for (const auto& [id, names] : cases) {
        for (const std::string& name : names)
            EXPECT_EQ(ValidateNewProfileName(name, {"Alpha", "日本", "x y"}), id) << name;
    }
    EXPECT_EQ(ValidateNewProfileName("ＡＬＰＨＡ", {"ａｌｐｈａ"}), 0);
}

}  // namespace
}  // namespace kestrum
