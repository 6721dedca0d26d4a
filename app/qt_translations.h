#pragma once

#include <QList>

class QCoreApplication;
class QTranslator;

namespace quorell {

// The window speaks Chinese whatever the system's language, so Qt's own texts (the file
// dialogs, the standard buttons of the boxes, the context menus of text boxes) are loaded in
// Chinese too, from Qt's translations folder. Call once the application object exists and
// before any window is made. Returns the catalogues installed, owned by app; none when Qt's
// translations are not installed, and the program then goes on with Qt's English.
QList<QTranslator*> InstallQtTranslations(QCoreApplication& app);

}  // namespace quorell
