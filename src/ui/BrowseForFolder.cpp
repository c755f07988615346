#include "BrowseForFolder.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

namespace {
std::optional<QString> nextAnswer;
}

namespace BrowseForFolder {

QString BrowseFolder(const QString &title, const QString &startFolder)
{
    if (nextAnswer) {
        const QString answer = *nextAnswer;
        nextAnswer.reset();
        return answer;
    }
    // Opens at the folder already set, when it exists; otherwise at the top of the file system.
    const QString start = !startFolder.isEmpty() && QFileInfo(startFolder).isDir() ? startFolder : QDir::rootPath();
    return QFileDialog::getExistingDirectory(QApplication::activeWindow(), title, start, QFileDialog::ShowDirsOnly);
}

void setNextAnswer(std::optional<QString> answer)
{
    nextAnswer = std::move(answer);
}

} // namespace BrowseForFolder
