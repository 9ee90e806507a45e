#include "app/Sorvane.h"
#include "maindlg/MessageBoxWindow.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sorvane"));
    QApplication::setApplicationVersion(QStringLiteral("1.0"));
    AppSettings settings;
    const int exitCode = parseCommandLine(QApplication::arguments(), settings);
    if (exitCode >= 0)
        return exitCode;
    MessageBoxWindow boxes;
    CSorvaneApp theApp(settings, boxes);
    theApp.InitInstance();
    return 0;
}
