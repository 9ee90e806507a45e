#include <QTest>
class IntakeTest : public QObject
{
    Q_OBJECT
};
QTEST_MAIN(IntakeTest)
#include "tst_intake.moc"
