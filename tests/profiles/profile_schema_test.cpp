// The profile schema: number parsing, the store's creation and saves against
// the table, and the name rules.
#include "profiles/profile_schema.h"

#include <gtest/gtest.h>

#include "profiles/profile_store.h"
#include "tests/support/ftp_server.h"

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

// A value added to the table is created with its default when the table says
// so, and written by the save of the dialog that edits it, and by no other.
TEST(ProfileSchemaTest, CreationAndEachSaveWriteTheirRowsOfTheTable) {
    test::TempDir dir;
    ProfileStore store(dir / "Kestrum.conf");
    std::string selected;
    int cacheFlag = 0;
    ASSERT_TRUE(store.InitGlobalValues(dir.path(), selected, cacheFlag));
    ASSERT_TRUE(store.CreateProfile("created"));
    ASSERT_TRUE(store.SaveGeneralSettings("setup", {}));
    ASSERT_TRUE(store.SaveProxySettings("proxy", {}));
    ASSERT_TRUE(store.SaveDetailSettings("detail", {}));
    for (const ProfileValue& value : kProfileValues) {
        const std::string name(value.name);
        std::optional<std::string> created;
        if (value.type == ValueType::Dword) {
            if (const auto number = store.ReadDword("created", name))
                created = std::to_string(*number);
            EXPECT_EQ(created, value.created ? std::optional(std::to_string(value.number)) : std::nullopt) << name;
        } else {
            created = store.ReadString("created", name);
            EXPECT_EQ(created, value.created ? std::optional(std::string(value.text)) : std::nullopt) << name;
        }
        EXPECT_EQ(store.ReadString("setup", name).has_value(), value.editor == Editor::Setup) << name;
        EXPECT_EQ(store.ReadString("proxy", name).has_value(), value.editor == Editor::Proxy) << name;
        EXPECT_EQ(store.ReadString("detail", name).has_value(), value.editor == Editor::Detail) << name;
    }
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
