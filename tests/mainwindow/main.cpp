// SPDX-License-Identifier: GPL-3.0-or-later
#include <QApplication>

int runMainWindowTest(int argc, char** argv);
int runDiscoveryTest(int argc, char** argv);
int runFilterTest(int argc, char** argv);

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    int failures = runMainWindowTest(argc, argv);
    failures += runFilterTest(argc, argv);
    failures += runDiscoveryTest(argc, argv);
    return failures;
}
