#include "res/strings.h"

#include <algorithm>

#include "res/codepage.h"

namespace kestrum {

std::string_view StringUtf8(int id) {
    const StringEntry* end = kStringTable + kStringTableSize;
    const StringEntry* it =
        std::lower_bound(kStringTable, end, id, [](const StringEntry& e, int value) { return e.id < value; });
    if (it == end || it->id != id)
        return {};
    return it->utf8;
}

std::string LoadString(int id) {
    std::string_view text = StringUtf8(id);
    if (SystemCodePage() == CodePage::Utf8)
        return std::string(text);
    return FromUtf8(text, SystemCodePage());
}

std::string FormatText(std::string_view fmt, std::initializer_list<std::string_view> args) {
    std::string out;
    out.reserve(fmt.size() + 64);
    auto next = args.begin();
    for (size_t i = 0; i < fmt.size(); ++i) {
        if (fmt[i] == '%' && i + 1 < fmt.size()) {
            char spec = fmt[i + 1];
            if (spec == 's' || spec == 'd') {
                if (next != args.end())
                    out.append(*next++);
                ++i;
                continue;
            }
            if (spec == '%') {
                out += '%';
                ++i;
                continue;
            }
        }
        out += fmt[i];
    }
    return out;
}

std::string FormatString(int id, std::initializer_list<std::string_view> args) {
    return FormatText(LoadString(id), args);
}

}  // namespace kestrum
