// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/SavePathChooser.h"

#include "widgets/MessageBoxes.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

SavePathChooser standardSavePathChooser()
{
    return [](QWidget* owner, const QString& caption, const QString& suggestedName, const QString& filter) {
        // The folder chosen last, for as long as the process runs: exports tend to go to one place.
        static QString lastFolder = QDir::homePath();
        const QString path =
            QFileDialog::getSaveFileName(owner, caption, QDir(lastFolder).filePath(suggestedName), filter);
        if (!path.isEmpty())
            lastFolder = QFileInfo(path).absolutePath();
        return path;
    };
}

void saveWithChooser(QWidget* owner, MessageBoxes& boxes, const SavePathChooser& choose,
                     const QString& caption, const QString& suggestedName, const QString& filter,
                     const std::function<QString(const QString& path)>& write)
{
    const QString path = choose ? choose(owner, caption, suggestedName, filter) : QString();
    if (path.isEmpty())
        return;
    const QString reason = write(path);
    if (!reason.isEmpty())
        boxes.show(owner,
                   QStringLiteral("Could not write %1: %2.").arg(QDir::toNativeSeparators(path), reason),
                   caption, MessageBoxes::Icon::Critical);
}
