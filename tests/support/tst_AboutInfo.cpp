#include "support/AboutForm.h"
#include "support/AboutInfo.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

namespace {

TVersionBlock blockWith(const QString& product, const QString& copyright)
{
    TVersionBlock block = TVersionBlock::Shipped();
    block.stringTables[TVersionBlock::EnglishKey][QStringLiteral("ProductName")] = product;
    block.stringTables[TVersionBlock::EnglishKey][QStringLiteral("LegalCopyright")] = copyright;
    return block;
}

QMap<QString, QRect> geometries(const TAboutForm& form)
{
    QMap<QString, QRect> result;
    result.insert(QStringLiteral("form"), QRect(QPoint(), form.size()));
    for (const QWidget* child : form.findChildren<QWidget*>())
        result.insert(child->objectName(), child->geometry());
    return result;
}

}  // namespace

class tst_AboutInfo : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void shippedTexts();
    void layout_data();
    void layout();
    void sameLayoutEveryTime();
    void emptyVersionTexts();
    void markupIsShownAsText();
    void showIsModalAndFreesTheForm();

private:
    QTemporaryDir FHome;
};

void tst_AboutInfo::initTestCase()
{
    QVERIFY(FHome.isValid());
    qputenv("XDG_DATA_HOME", (FHome.path() + "/data").toUtf8());
    qputenv("XDG_CONFIG_HOME", (FHome.path() + "/config").toUtf8());
}

void tst_AboutInfo::shippedTexts()
{
    const TAboutInfo info;
    const auto form = info.BuildForm();
    QCOMPARE(form->windowTitle(), QStringLiteral("About Korvane"));
    QCOMPARE(form->ProgramName->text(), QStringLiteral("Korvane"));
    QCOMPARE(form->FullVersion->text(), QStringLiteral("2.0.0.69"));
    QCOMPARE(form->Copyright->text(), info.Copyright());
    QCOMPARE(form->Label4->text(), QStringLiteral("All Rights Reserved"));
    QCOMPARE(form->btnOK->text(), QStringLiteral("OK"));
    QVERIFY(form->CustomLines->text().isEmpty());
    QVERIFY(!form->Image1->pixmap().isNull());
    QCOMPARE(form->Image1->size(), QSize(64, 64));

    // One-line texts keep the designed layout.
    QCOMPARE(form->size(), QSize(459, 169));
    QCOMPARE(form->FullVersion->pos(), QPoint(112, 41));
    QCOMPARE(form->Copyright->pos(), QPoint(112, 66));
    QCOMPARE(form->Panel1->geometry(), QRect(16, 120, 424, 2));
    QCOMPARE(form->CustomLines->pos(), QPoint(112, 136));
    QCOMPARE(form->btnOK->geometry(), QRect(372, 137, 73, 25));
    // Every label keeps its width; none wraps.
    for (QLabel* label : {form->ProgramName, form->FullVersion, form->Copyright, form->CustomLines}) {
        QCOMPARE(label->width(), 329);
        QVERIFY(!label->wordWrap());
    }
}

void tst_AboutInfo::layout_data()
{
    QTest::addColumn<QString>("product");
    QTest::addColumn<QString>("copyright");
    QTest::addColumn<QString>("custom");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("productLines");
    QTest::addColumn<int>("copyrightLines");

    QTest::newRow("one line each") << "Korvane" << "(c) Ostrelle" << "" << "About Korvane" << 1 << 1;
    QTest::newRow("two-line product name")
        << "Korvane\r\nClient" << "(c) Ostrelle" << "" << "About Korvane" << 2 << 1;
    QTest::newRow("product name starting with a line break")
        << "\r\nKorvane" << "(c) Ostrelle" << "" << "About " << 2 << 1;
    QTest::newRow("two-line copyright")
        << "Korvane" << "(c) Ostrelle\r\n(c) Others" << "" << "About Korvane" << 1 << 2;
    QTest::newRow("custom lines")
        << "Korvane" << "(c) Ostrelle" << "Licensed to\r\nA. User" << "About Korvane" << 1 << 1;
    QTest::newRow("everything on several lines")
        << "Korvane\r\nClient\r\nPro" << "(c) A\r\n(c) B" << "one\r\ntwo\r\nthree" << "About Korvane" << 3 << 2;
}

void tst_AboutInfo::layout()
{
    QFETCH(QString, product);
    QFETCH(QString, copyright);
    QFETCH(QString, custom);
    QFETCH(QString, caption);
    QFETCH(int, productLines);
    QFETCH(int, copyrightLines);

    const TAboutForm design;
    TAboutInfo info(blockWith(product, copyright));
    info.setCustomLines(custom);
    const auto form = info.BuildForm();

    QCOMPARE(form->windowTitle(), caption);
    QCOMPARE(form->ProgramName->text().count(QLatin1Char('\n')) + 1, productLines);

    const int dName = form->ProgramName->height() - design.ProgramName->height();
    const int dCopy = form->Copyright->height() - design.Copyright->height();
    QCOMPARE(dName > 0, productLines > 1);
    QCOMPARE(dCopy > 0, copyrightLines > 1);
    if (productLines > 1)  // each further line adds the same height
        QCOMPARE(dName % (productLines - 1), 0);

    const int dCustom = custom.isEmpty() ? 0 : form->CustomLines->height();
    if (!custom.isEmpty()) {
        QCOMPARE(form->CustomLines->text(), QString(custom).replace("\r\n", "\n"));
        QVERIFY(form->CustomLines->height() > design.CustomLines->height());
    }

    // What stays put.
    QCOMPARE(form->ProgramName->pos(), design.ProgramName->pos());
    QCOMPARE(form->CustomLines->pos(), design.CustomLines->pos());
    QCOMPARE(form->Panel2->geometry(), design.Panel2->geometry());
    QCOMPARE(form->Panel3->geometry(), design.Panel3->geometry());
    QCOMPARE(form->width(), design.width());

    // What moves, and by how much.
    QCOMPARE(form->FullVersion->y(), design.FullVersion->y() + dName);
    QCOMPARE(form->Copyright->y(), design.Copyright->y() + dName);
    QCOMPARE(form->Label4->y(), design.Label4->y() + dName + dCopy);
    QCOMPARE(form->Panel1->y(), design.Panel1->y() + dName + dCopy);
    QCOMPARE(form->btnOK->y(), design.btnOK->y() + dName + dCopy + dCustom);
    QCOMPARE(form->height(), design.height() + dName + dCopy + dCustom);
    // The button stays inside the window.
    QVERIFY(form->btnOK->geometry().bottom() < form->height());
}

void tst_AboutInfo::sameLayoutEveryTime()
{
    TAboutInfo info(blockWith(QStringLiteral("Korvane\r\nClient"), QStringLiteral("(c) A\r\n(c) B")));
    info.setCustomLines(QStringLiteral("x\r\ny"));
    const auto first = info.BuildForm();
    const auto second = info.BuildForm();
    QCOMPARE(geometries(*second), geometries(*first));
}

void tst_AboutInfo::emptyVersionTexts()
{
    TVersionBlock block;  // no version block at all
    const TAboutInfo info(block);
    const auto form = info.BuildForm();
    const TAboutForm design;
    QCOMPARE(form->windowTitle(), QStringLiteral("About "));
    QVERIFY(form->ProgramName->text().isEmpty());
    QVERIFY(form->FullVersion->text().isEmpty());
    QVERIFY(form->Copyright->text().isEmpty());
    QCOMPARE(geometries(*form), geometries(design));
}

void tst_AboutInfo::markupIsShownAsText()
{
    const TAboutInfo info(blockWith(QStringLiteral("<b>Korvane</b>"), QStringLiteral("<img src=x>")));
    const auto form = info.BuildForm();
    QCOMPARE(form->ProgramName->textFormat(), Qt::PlainText);
    QCOMPARE(form->Copyright->textFormat(), Qt::PlainText);
    QCOMPARE(form->windowTitle(), QStringLiteral("About <b>Korvane</b>"));
}

void tst_AboutInfo::showIsModalAndFreesTheForm()
{
    TAboutInfo info;
    QWidget owner;
    owner.resize(600, 400);
    owner.show();

    QPointer<TAboutForm> seen;
    bool wasModal = false;
    QTimer::singleShot(0, [&] {
        seen = owner.findChild<TAboutForm*>();
        QVERIFY(seen);
        wasModal = seen->isModal() && seen->isVisible();
        QTest::mouseClick(seen->btnOK, Qt::LeftButton);
    });
    info.Show(&owner);
    QVERIFY(wasModal);
    QVERIFY2(!seen, "the about box outlived Show");
    QVERIFY(owner.findChildren<TAboutForm*>().isEmpty());
}

QTEST_MAIN(tst_AboutInfo)
#include "tst_AboutInfo.moc"
