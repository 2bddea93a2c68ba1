#pragma once

class QCoreApplication;
class QTranslator;

namespace kestrum {

// Starts the window application (single instance) and returns its exit status.
int RunWindowApplication(int argc, char** argv);

// Qt's own texts (standard buttons, the edit fields' context menus) in Japanese,
// from Qt's catalogue qtbase_ja.qm (Debian's qt6-translations-l10n). Returns the
// installed translator, owned by app, or nullptr when the catalogue is missing.
QTranslator* InstallQtTranslations(QCoreApplication& app);

}  // namespace kestrum
