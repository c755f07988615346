#pragma once

#include <QString>

// Where Settings.ini and the Logs folder live. Beside the executable when the program may
// write there (a build tree, a copy in a folder of its own); otherwise, as for an installed
// program, in the user's folders: $XDG_CONFIG_HOME/institution-stamp/Settings.ini and
// $XDG_STATE_HOME/institution-stamp/Logs (by default ~/.config and ~/.local/state).
// Nothing is created here: the writers create the folders they need.
namespace AppPaths {

QString settingsFile();
QString logFolder();

// The same for a program whose executable is in `appDir`.
QString settingsFile(const QString &appDir);
QString logFolder(const QString &appDir);

} // namespace AppPaths
