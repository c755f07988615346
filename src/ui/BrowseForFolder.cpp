#include "BrowseForFolder.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>

namespace {
std::optional<QString> nextAnswer;
}

namespace BrowseForFolder {

QString BrowseFolder(const QString &title)
{
    if (nextAnswer) {
        const QString answer = *nextAnswer;
        nextAnswer.reset();
        return answer;
    }
    // Starts at the top of the file system, like the shell's own folder dialog.
    return QFileDialog::getExistingDirectory(QApplication::activeWindow(), title, QDir::rootPath(),
                                             QFileDialog::ShowDirsOnly);
}

void setNextAnswer(std::optional<QString> answer)
{
    nextAnswer = std::move(answer);
}

} // namespace BrowseForFolder
