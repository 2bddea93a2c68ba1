#pragma once
// Texts between the code page and the widgets, and the string table's texts
// for the screen: shared by the dialogs and the window.

#include <QString>
#include <cstddef>
#include <string>
#include <string_view>

namespace kestrum {

// Code-page bytes shown in a widget, and a widget's text back as bytes.
QString ToQString(std::string_view bytes);
std::string ToBytes(const QString& text);
// The text as bytes, cut to maxBytes without splitting a character.
std::string ToBytes(const QString& text, size_t maxBytes);
// A fixed label, title or message (UTF-8 source text).
inline QString Tr(const char* utf8) {
    return QString::fromUtf8(utf8);
}
// String-table entry `id`.
QString TableText(int id);

}  // namespace kestrum
