// The shipped dashboard is a dashboard a viewer loads, and asks only for metrics the
// programs export today: a renamed metric would leave its panel silently empty.
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

namespace {

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(path));
    return file.readAll();
}

// Metric names as the exporters spell them: a korvane_ name that opens a quoted string in
// their sources and ends it, or goes on with its labels.
QSet<QString> ExportedNames()
{
    QSet<QString> names;
    static const QRegularExpression quoted(QStringLiteral("\"(korvane_[a-z0-9_]+)(?:\"|\\{)"));
    for (const char* source : {KORVANE_CLI_METRICS_SOURCE, KORVANE_SERVER_METRICS_SOURCE}) {
        const QString text = QString::fromUtf8(ReadAll(QString::fromUtf8(source)));
        for (const QRegularExpressionMatch& match : quoted.globalMatch(text))
            names.insert(match.captured(1));
    }
    return names;
}

// Every query of the dashboard: panel targets and template variables.
QStringList Queries(const QJsonObject& dashboard, QStringList& problems)
{
    QStringList queries;
    QSet<int> ids;
    const QJsonArray panels = dashboard.value(QStringLiteral("panels")).toArray();
    if (panels.isEmpty())
        problems << QStringLiteral("no panels");
    for (const QJsonValue& value : panels) {
        const QJsonObject panel = value.toObject();
        const QString title = panel.value(QStringLiteral("title")).toString();
        if (title.isEmpty() || panel.value(QStringLiteral("type")).toString().isEmpty())
            problems << QStringLiteral("a panel without title or type");
        const int id = panel.value(QStringLiteral("id")).toInt(-1);
        if (id < 0 || ids.contains(id))
            problems << QStringLiteral("panel %1: missing or repeated id").arg(title);
        ids.insert(id);
        const QJsonObject grid = panel.value(QStringLiteral("gridPos")).toObject();
        if (grid.value(QStringLiteral("w")).toInt() <= 0 || grid.value(QStringLiteral("h")).toInt() <= 0
            || grid.value(QStringLiteral("x")).toInt() + grid.value(QStringLiteral("w")).toInt() > 24)
            problems << QStringLiteral("panel %1: bad gridPos").arg(title);
        const QJsonArray targets = panel.value(QStringLiteral("targets")).toArray();
        if (targets.isEmpty())
            problems << QStringLiteral("panel %1: no queries").arg(title);
        for (const QJsonValue& target : targets) {
            const QString expr = target.toObject().value(QStringLiteral("expr")).toString();
            if (expr.isEmpty() || target.toObject().value(QStringLiteral("refId")).toString().isEmpty())
                problems << QStringLiteral("panel %1: a query without expr or refId").arg(title);
            queries << expr;
        }
    }
    const QJsonArray variables =
        dashboard.value(QStringLiteral("templating")).toObject().value(QStringLiteral("list")).toArray();
    for (const QJsonValue& value : variables) {
        const QJsonValue query = value.toObject().value(QStringLiteral("query"));
        if (query.isObject())
            queries << query.toObject().value(QStringLiteral("query")).toString();
    }
    return queries;
}

// What is wrong with a dashboard's text; empty when nothing.
QStringList Problems(const QByteArray& text, const QSet<QString>& exported)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return {QStringLiteral("not a JSON object: ") + error.errorString()};
    const QJsonObject dashboard = document.object();
    QStringList problems;
    for (const char* key : {"uid", "title"})
        if (dashboard.value(QLatin1String(key)).toString().isEmpty())
            problems << QStringLiteral("no %1").arg(QLatin1String(key));
    if (dashboard.value(QStringLiteral("schemaVersion")).toInt() < 30)
        problems << QStringLiteral("no schemaVersion a current viewer reads");
    static const QRegularExpression metric(QStringLiteral("\\bkorvane_[A-Za-z0-9_:]*"));
    for (const QString& query : Queries(dashboard, problems)) {
        bool any = false;
        for (const QRegularExpressionMatch& match : metric.globalMatch(query)) {
            any = true;
            if (!exported.contains(match.captured()))
                problems << QStringLiteral("unknown metric %1 in: %2").arg(match.captured(), query);
        }
        if (!any)
            problems << QStringLiteral("a query that reads no metric of ours: ") + query;
    }
    return problems;
}

}  // namespace

class DashboardTest : public QObject
{
    Q_OBJECT

private slots:
    void exportersNameTheirMetrics()
    {
        // Guards the extraction itself: without these the check below would pass on nothing.
        const QSet<QString> names = ExportedNames();
        QVERIFY(names.contains(QStringLiteral("korvane_last_rate_bytes_per_second")));
        QVERIFY(names.contains(QStringLiteral("korvane_server_sent_bytes_total")));
        QVERIFY(names.contains(QStringLiteral("korvane_server_session_sent_bytes_total")));
        QVERIFY(names.contains(QStringLiteral("korvane_server_refused_sessions_total"))); // written with its label
    }

    void shippedDashboard()
    {
        const QStringList problems = Problems(ReadAll(QStringLiteral(KORVANE_DASHBOARD)), ExportedNames());
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
    }

    // The alert rules read the same metrics: a renamed one would leave an alert that never fires.
    void alertRulesReadExportedMetrics()
    {
        const QString rules = QString::fromUtf8(ReadAll(QStringLiteral(KORVANE_ALERT_RULES)));
        const QSet<QString> exported = ExportedNames();
        static const QRegularExpression metric(QStringLiteral("\\bkorvane_[a-z0-9_]+"));
        QStringList unknown;
        int found = 0;
        for (const QRegularExpressionMatch& match : metric.globalMatch(rules)) {
            ++found;
            if (!exported.contains(match.captured()))
                unknown << match.captured();
        }
        QVERIFY(found >= 3);
        QVERIFY2(unknown.isEmpty(), qPrintable(unknown.join(QLatin1Char(' '))));
    }
    void brokenDashboardsAreCaught_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("problem");
        const QByteArray head = R"j({"uid":"u","title":"t","schemaVersion":36,"panels":[)j";
        const QByteArray panel = R"j({"id":1,"type":"timeseries","title":"p","gridPos":{"x":0,"y":0,"w":12,"h":8},)j";
        QTest::newRow("not json") << QByteArray("{\"uid\":") << "not a JSON object";
        QTest::newRow("renamed metric")
            << head + panel + R"j("targets":[{"refId":"A","expr":"rate(korvane_server_bytes_total[5m])"}]}]})j"
            << "unknown metric korvane_server_bytes_total";
        QTest::newRow("empty query") << head + panel + R"j("targets":[{"refId":"A","expr":""}]}]})j"
                                     << "without expr";
        QTest::newRow("too wide") << head
                                         + R"j({"id":1,"type":"stat","title":"p","gridPos":{"x":12,"y":0,"w":24,"h":8},"targets":[{"refId":"A","expr":"korvane_last_valid"}]}]})j"
                                  << "bad gridPos";
        QTest::newRow("no panels") << QByteArray(R"j({"uid":"u","title":"t","schemaVersion":36,"panels":[]})j")
                                   << "no panels";
    }

    void brokenDashboardsAreCaught()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, problem);
        const QStringList problems = Problems(text, ExportedNames());
        QVERIFY2(problems.join(QLatin1Char('\n')).contains(problem), qPrintable(problems.join(QLatin1Char('\n'))));
    }
};

QTEST_GUILESS_MAIN(DashboardTest)
#include "tst_Dashboard.moc"
