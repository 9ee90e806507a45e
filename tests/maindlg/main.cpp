#include <QApplication>

int runMainWindowTest(int argc, char** argv);
int runDiscoveryTest(int argc, char** argv);

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    int failures = runMainWindowTest(argc, argv);
    failures += runDiscoveryTest(argc, argv);
    return failures;
}
