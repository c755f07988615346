#pragma once

#include <QString>
#include <optional>

namespace BrowseForFolder {

// Shows a modal folder chooser titled `title` that offers only directories, opened at
// `startFolder` when that is an existing folder. Returns the chosen directory's path, or empty
// text when the operator cancels.
QString BrowseFolder(const QString &title, const QString &startFolder = QString());

// Tests answer the next BrowseFolder call in place of the operator (empty text = cancel).
void setNextAnswer(std::optional<QString> answer);

} // namespace BrowseForFolder
