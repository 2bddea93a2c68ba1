#include "dialogs/qt_text.h"

#include "res/codepage.h"
#include "res/strings.h"

namespace kestrum {

QString ToQString(std::string_view bytes) {
    return QString::fromStdString(ToUtf8(bytes));
}

std::string ToBytes(const QString& text) {
    return FromUtf8(text.toStdString());
}

std::string ToBytes(const QString& text, size_t maxBytes) {
    return CutToBytes(ToBytes(text), maxBytes);
}

QString TableText(int id) {
    const std::string_view text = StringUtf8(id);
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace kestrum
