#include "storage/DiskStorage.h"
#include "storage/ResultsTable.h"
#include "storage/ResultsTableModel.h"
#include "tests/storage/TestEnvironment.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

class TestResultsTableModel : public QObject
{
    Q_OBJECT
private slots:
    void followsTheTable()
    {
        TdmDiskStorage store(FEnvironment.path());
        TResultsTableModel *model = store.dsKorvaneResults();
        QAbstractItemModelTester tester(model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        TResultsTable *t = store.cdsKorvaneResults();
        QCOMPARE(model->rowCount(), 0);
        QCOMPARE(model->columnCount(), 8);

        const QDateTime start(QDate(2024, 3, 5), QTime(9, 7, 30));
        QSignalSpy inserted(model, &QAbstractItemModel::rowsInserted);
        for (int i = 0; i < 2; ++i) {
            t->Append();
            t->SetServer(QStringLiteral("srv%1").arg(i));
            t->SetStartTime(start);
            t->SetDuration(1234);
            t->SetBytesRx(1048576);
            t->SetResult(12.346);
            t->SetSpeed(12.346);
            t->Post();
        }
        QCOMPARE(inserted.count(), 2);
        QCOMPARE(model->rowCount(), 2);

        auto cell = [&](int row, TResultField field, int role = Qt::DisplayRole) {
            return model->data(model->index(row, TResultsTableModel::columnOf(field)), role);
        };
        QCOMPARE(cell(1, TResultField::Order), QVariant(2));
        QCOMPARE(cell(1, TResultField::Server), QVariant(QStringLiteral("srv1")));
        QCOMPARE(cell(1, TResultField::StartTime).toDateTime(), start);
        QCOMPARE(cell(1, TResultField::StartTime, TResultsTableModel::DayCountRole).toDouble(), 45356.380208333336);
        QCOMPARE(cell(1, TResultField::Duration, Qt::EditRole), QVariant(1234));
        QCOMPARE(cell(1, TResultField::BytesRx).toDouble(), 1048576.0);
        QCOMPARE(cell(1, TResultField::Result).toDouble(), 12.346);
        QCOMPARE(cell(1, TResultField::Speed).toDouble(), 12.346);
        QVERIFY(cell(1, TResultField::XLabel).toString().startsWith("srv1\r"));
        QCOMPARE(model->headerData(2, Qt::Horizontal).toString(), QStringLiteral("StartTime"));
        QVERIFY(!(model->flags(model->index(0, 0)) & Qt::ItemIsEditable));

        store.DeleteAll();
        QCOMPARE(model->rowCount(), 0);
    }

private:
    TTestEnvironment FEnvironment;
};

QTEST_GUILESS_MAIN(TestResultsTableModel)
#include "tst_ResultsTableModel.moc"
