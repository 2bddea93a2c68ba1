#include "profiles/profile_schema.h"

#include <charconv>

#include "res/codepage.h"
#include "res/message_ids.h"

namespace kestrum {

namespace {

constexpr int kTooLong = msg::kCliValueTooLong;
constexpr int kLineBreak = msg::kCliValueHasLineBreak;

int CheckNotEmpty(const ProfileValue& value, std::string_view text) {
    return text.empty() ? value.emptyMessage : 0;
}

}  // namespace

const ProfileValue* FindProfileValue(std::string_view name) {
    for (const ProfileValue& value : kProfileValues) {
        if (value.name == name)
            return &value;
    }
    return nullptr;
}

std::optional<int32_t> ParseDecimalInt(std::string_view text) {
    int32_t number = 0;
    const char* last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(text.data(), last, number);
    if (text.empty() || ec != std::errc() || end != last)
        return std::nullopt;
    return number;
}

bool InRange(const ProfileValue& value, int32_t number) {
    return number >= value.min && number <= value.max;
}

int CheckValue(const ProfileValue& value, std::string_view text) {
    if (value.type == ValueType::Dword) {
        const std::optional<int32_t> number = ParseDecimalInt(text);
        return number && InRange(value, *number) ? 0 : value.rangeMessage;
    }
    if (text.size() > value.maxBytes)
        return kTooLong;
    // Texts are shown one per line; a password is never shown.
    if (value.type == ValueType::String && text.find_first_of("\r\n") != std::string_view::npos)
        return kLineBreak;
    return CheckNotEmpty(value, text);
}

int CheckGeneralSettings(const GeneralSettings& settings) {
    if (const int message = CheckNotEmpty(SchemaValue("HOST"), settings.host))
        return message;
    if (const int message = CheckNotEmpty(SchemaValue("USER"), settings.user))
        return message;
    if (settings.savePassword) {
        if (const int message = CheckNotEmpty(SchemaValue("PSW"), settings.password))
            return message;
    }
    return CheckNotEmpty(SchemaValue("LOCAL_DIRECTORY"), settings.localDir);
}

int CheckProxyName(int32_t proxyOn, std::string_view proxyName) {
    return proxyOn != 0 && proxyName.empty() ? msg::kEnterProxyName : 0;
}

int CheckProxySettings(bool proxyOn, std::string_view proxyName, std::string_view portText) {
    if (!proxyOn)
        return 0;
    if (const int message = CheckProxyName(1, proxyName))
        return message;
    return CheckValue(SchemaValue("PORT"), portText);
}

int ValidateNewProfileName(const std::string& name, const std::vector<std::string>& listedNames) {
    if (name.empty())
        return msg::kProfileNameEmpty;
    if (name.size() > kProfileNameLimit)
        return msg::kProfileNameTooManyBytes;
    if (FindFirstChar(name, ',') != std::string::npos)
        return msg::kProfileNameHasComma;
    for (const auto& listed : listedNames) {
        if (EqualsIgnoreCase(listed, name))
            return msg::kProfileNameTaken;
    }
    return 0;
}

bool ProfileNameLess(std::string_view a, std::string_view b) {
    const std::string foldedA = FoldKey(a);
    const std::string foldedB = FoldKey(b);
    if (foldedA != foldedB)
        return foldedA < foldedB;
    return a < b;
}

}  // namespace kestrum
