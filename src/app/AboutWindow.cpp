// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/AboutWindow.h"

#include "SorvaneVersion.h"

#include "widgets/Controls.h"
#include "widgets/DialogUnits.h"

#include <QLabel>
#include <QPushButton>

AboutWindow::AboutWindow(const QIcon& icon, QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("About"));
    setWindowTitle(QStringLiteral("About Sorvane"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    const DialogUnits units(font());
    setFixedSize(units.x(235), units.y(55));

    auto* iconLabel = new QLabel(this);
    iconLabel->setPixmap(icon.pixmap(32, 32));
    iconLabel->setAccessibleName(QStringLiteral("Sorvane"));
    iconLabel->move(units.x(11), units.y(17));
    iconLabel->resize(32, 32);
    auto* version = new QLabel(QStringLiteral("Sorvane Version " SORVANE_VERSION), this);
    version->setObjectName(QStringLiteral("Version"));
    version->setGeometry(units.rect(40, 10, 119, 8));
    auto* ok = makeButton(this, QStringLiteral("OK"), units.rect(178, 7, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
