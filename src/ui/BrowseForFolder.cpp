#include "BrowseForFolder.h"

#include <QApplication>
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
    return QFileDialog::getExistingDirectory(QApplication::activeWindow(), title, QString(),
                                             QFileDialog::ShowDirsOnly);
}

void setNextAnswer(std::optional<QString> answer)
{
    nextAnswer = std::move(answer);
}

} // namespace BrowseForFolder
