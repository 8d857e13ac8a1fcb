#include "storage/ResultsFile.h"

#include "storage/SafeFileWrite.h"
#include "storage/StorableText.h"
#include "storage/StorageError.h"

#include <QFile>
#include <QLocale>
#include <QSet>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

const QString RootElement = QStringLiteral("KorvaneResults");
const QString FormatVersion = QStringLiteral("1");

struct TColumnDecl
{
    QString Name;
    QString Type;
};

// The stored columns and their types, in table order; a file must declare exactly these.
const QVector<TColumnDecl> &storedColumns()
{
    static const QVector<TColumnDecl> columns = {
        {QStringLiteral("Order"), QStringLiteral("autoinc")},
        {QStringLiteral("Server"), QStringLiteral("string255")},
        {QStringLiteral("StartTime"), QStringLiteral("datetime")},
        {QStringLiteral("Duration"), QStringLiteral("int32")},
        {QStringLiteral("BytesRx"), QStringLiteral("double")},
        {QStringLiteral("Result"), QStringLiteral("double")},
        {QStringLiteral("Speed"), QStringLiteral("double")},
    };
    return columns;
}

// Shortest text that reads back as the very same double.
QString doubleText(double value)
{
    const QString text = QString::number(value, 'g', QLocale::FloatingPointShortest);
    // Keep the sign of a negative zero, which the number formatting drops.
    return value == 0.0 && std::signbit(value) ? QStringLiteral("-0") : text;
}

class TReader
{
public:
    TReader(const QByteArray &bytes, const QString &fileName) : FXml(bytes), FFileName(fileName) {}

    TResultsFile::TContent Run()
    {
        TResultsFile::TContent content;
        if (!FXml.readNextStartElement())
            Fail(QStringLiteral("no document element"));
        if (FXml.name() != RootElement)
            Fail(QStringLiteral("not a results file (document element <%1>)").arg(FXml.name()));
        const QXmlStreamAttributes rootAttrs = FXml.attributes();
        if (rootAttrs.value(QStringLiteral("version")) != FormatVersion)
            Fail(QStringLiteral("unsupported format version \"%1\"").arg(rootAttrs.value(QStringLiteral("version"))));
        bool ok = false;
        const qint64 storedNext = Text(rootAttrs, QStringLiteral("nextOrder")).toLongLong(&ok);
        if (!ok || storedNext < 1 || storedNext > qint64(std::numeric_limits<qint32>::max()) + 1)
            Fail(QStringLiteral("invalid nextOrder"));

        bool haveColumns = false;
        bool haveRows = false;
        while (FXml.readNextStartElement()) {
            if (FXml.name() == u"columns" && !haveColumns) {
                ReadColumns();
                haveColumns = true;
            } else if (FXml.name() == u"rows" && haveColumns && !haveRows) {
                ReadRows(content.Rows);
                haveRows = true;
            } else {
                Fail(QStringLiteral("unexpected element <%1>").arg(FXml.name()));
            }
        }
        CheckXml();
        // Nothing may follow the document element but comments and blanks.
        while (!FXml.atEnd())
            FXml.readNext();
        CheckXml();
        if (!haveColumns || !haveRows)
            Fail(QStringLiteral("missing <columns> or <rows>"));

        qint64 maxOrder = 0;
        for (const TResultRow &row : std::as_const(content.Rows))
            maxOrder = std::max<qint64>(maxOrder, row.Order);
        content.NextOrder = std::max(storedNext, maxOrder + 1);
        return content;
    }

private:
    [[noreturn]] void Fail(const QString &what) const
    {
        throw EStorageError(QStringLiteral("Cannot read results file %1: %2 (line %3)")
                                .arg(FFileName, what)
                                .arg(FXml.lineNumber()));
    }

    void CheckXml()
    {
        if (FXml.hasError())
            Fail(FXml.errorString());
    }

    QString Text(const QXmlStreamAttributes &attrs, const QString &name)
    {
        if (!attrs.hasAttribute(name))
            Fail(QStringLiteral("attribute %1 missing").arg(name));
        return attrs.value(name).toString();
    }

    qint32 Int(const QXmlStreamAttributes &attrs, const QString &name)
    {
        bool ok = false;
        const qint32 value = Text(attrs, name).toInt(&ok);
        if (!ok)
            Fail(QStringLiteral("%1 is not a 32-bit integer").arg(name));
        return value;
    }

    double Double(const QXmlStreamAttributes &attrs, const QString &name)
    {
        bool ok = false;
        const double value = Text(attrs, name).toDouble(&ok);
        if (!ok)
            Fail(QStringLiteral("%1 is not a number").arg(name));
        return value;
    }

    void ReadColumns()
    {
        const QVector<TColumnDecl> &expected = storedColumns();
        int count = 0;
        while (FXml.readNextStartElement()) {
            if (FXml.name() != u"column")
                Fail(QStringLiteral("unexpected element <%1> in <columns>").arg(FXml.name()));
            const QXmlStreamAttributes attrs = FXml.attributes();
            const QString name = Text(attrs, QStringLiteral("name"));
            const QString type = Text(attrs, QStringLiteral("type"));
            if (count >= expected.size() || expected[count].Name != name || expected[count].Type != type)
                Fail(QStringLiteral("unexpected column %1 of type %2").arg(name, type));
            ++count;
            FXml.skipCurrentElement();
        }
        CheckXml();
        if (count != expected.size())
            Fail(QStringLiteral("%1 columns declared, %2 expected").arg(count).arg(expected.size()));
    }

    void ReadRows(QVector<TResultRow> &rows)
    {
        QSet<qint32> orders;
        while (FXml.readNextStartElement()) {
            if (FXml.name() != u"row")
                Fail(QStringLiteral("unexpected element <%1> in <rows>").arg(FXml.name()));
            const QXmlStreamAttributes attrs = FXml.attributes();
            TResultRow row;
            row.Order = Int(attrs, QStringLiteral("Order"));
            if (row.Order < 1 || orders.contains(row.Order))
                Fail(QStringLiteral("invalid or repeated Order %1").arg(row.Order));
            orders.insert(row.Order);
            // What the file holds but a document cannot (a lone surrogate from a character
            // reference) is replaced here, so the next write stays readable.
            row.Server = StorableText(Text(attrs, QStringLiteral("Server")));
            if (row.Server.size() > TResultRow::ServerMaxLength)
                Fail(QStringLiteral("Server longer than %1 characters").arg(TResultRow::ServerMaxLength));
            row.StartTime = Double(attrs, QStringLiteral("StartTime"));
            row.Duration = Int(attrs, QStringLiteral("Duration"));
            row.BytesRx = Double(attrs, QStringLiteral("BytesRx"));
            row.Result = Double(attrs, QStringLiteral("Result"));
            row.Speed = Double(attrs, QStringLiteral("Speed"));
            ReadTestShape(attrs, row);
            rows.append(row);
            FXml.skipCurrentElement();
        }
        CheckXml();
    }

    // Optional attributes, absent in older files and in rows of the plain stream test.
    void ReadTestShape(const QXmlStreamAttributes &attrs, TResultRow &row)
    {
        if (attrs.hasAttribute(QStringLiteral("Direction"))) {
            row.Direction = attrs.value(QStringLiteral("Direction")).toString();
            if (row.Direction != u"download" && row.Direction != u"upload")
                Fail(QStringLiteral("unknown Direction \"%1\"").arg(row.Direction));
        }
        if (attrs.hasAttribute(QStringLiteral("Streams"))) {
            row.Streams = Int(attrs, QStringLiteral("Streams"));
            if (row.Streams < 1)
                Fail(QStringLiteral("Streams must be at least 1"));
        }
        if (attrs.hasAttribute(QStringLiteral("Port"))) {
            row.Port = Int(attrs, QStringLiteral("Port"));
            if (row.Port < 1 || row.Port > 65535)
                Fail(QStringLiteral("Port must be from 1 to 65535"));
        }
        if (attrs.hasAttribute(QStringLiteral("Family"))) {
            row.Family = attrs.value(QStringLiteral("Family")).toString();
            if (row.Family != u"ipv4" && row.Family != u"ipv6")
                Fail(QStringLiteral("unknown Family \"%1\"").arg(row.Family));
        }
        if (attrs.hasAttribute(QStringLiteral("LimitedBy"))) {
            row.LimitedBy = attrs.value(QStringLiteral("LimitedBy")).toString();
            if (!TResultRow::IsLimitName(row.LimitedBy))
                Fail(QStringLiteral("unknown LimitedBy \"%1\"").arg(row.LimitedBy));
        }
        ReadLatency(attrs, row);
        if (attrs.hasAttribute(QStringLiteral("Plan"))) {
            row.PlanBps = Double(attrs, QStringLiteral("Plan"));
            if (!(row.PlanBps > 0) || !std::isfinite(row.PlanBps))
                Fail(QStringLiteral("Plan must be a rate above 0"));
        }
    }

    // Optional too: only rows of tests that measured latency beside them have these.
    void ReadLatency(const QXmlStreamAttributes &attrs, TResultRow &row)
    {
        const auto figure = [&](const QString &name, double &value) {
            if (!attrs.hasAttribute(name))
                return;
            value = Double(attrs, name);
            if (!(value >= 0) || !std::isfinite(value))
                Fail(QStringLiteral("%1 must be a number of at least 0").arg(name));
        };
        figure(QStringLiteral("IdleLatency"), row.IdleLatencyMs);
        figure(QStringLiteral("LoadedLatency"), row.LoadedLatencyMs);
        figure(QStringLiteral("LoadedLatencyP90"), row.LoadedLatencyP90Ms);
        figure(QStringLiteral("Rpm"), row.Rpm);
        if (attrs.hasAttribute(QStringLiteral("Grade"))) {
            row.Grade = attrs.value(QStringLiteral("Grade")).toString();
            if (!TResultRow::IsGrade(row.Grade))
                Fail(QStringLiteral("unknown Grade \"%1\"").arg(row.Grade));
        }
        if (attrs.hasAttribute(QStringLiteral("LostProbes"))) {
            row.LostProbes = Int(attrs, QStringLiteral("LostProbes"));
            if (row.LostProbes < 0)
                Fail(QStringLiteral("LostProbes must be at least 0"));
        }
    }

    QXmlStreamReader FXml;
    QString FFileName;
};

} // namespace

QByteArray TResultsFile::Serialize(const TContent &content)
{
    QByteArray bytes;
    QXmlStreamWriter xml(&bytes);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(RootElement);
    xml.writeAttribute(QStringLiteral("version"), FormatVersion);
    xml.writeAttribute(QStringLiteral("nextOrder"), QString::number(content.NextOrder));

    xml.writeStartElement(QStringLiteral("columns"));
    for (const TColumnDecl &column : storedColumns()) {
        xml.writeEmptyElement(QStringLiteral("column"));
        xml.writeAttribute(QStringLiteral("name"), column.Name);
        xml.writeAttribute(QStringLiteral("type"), column.Type);
    }
    xml.writeEndElement();

    xml.writeStartElement(QStringLiteral("rows"));
    for (const TResultRow &row : content.Rows) {
        xml.writeEmptyElement(QStringLiteral("row"));
        xml.writeAttribute(QStringLiteral("Order"), QString::number(row.Order));
        xml.writeAttribute(QStringLiteral("Server"), StorableText(row.Server));
        xml.writeAttribute(QStringLiteral("StartTime"), doubleText(row.StartTime));
        xml.writeAttribute(QStringLiteral("Duration"), QString::number(row.Duration));
        xml.writeAttribute(QStringLiteral("BytesRx"), doubleText(row.BytesRx));
        xml.writeAttribute(QStringLiteral("Result"), doubleText(row.Result));
        xml.writeAttribute(QStringLiteral("Speed"), doubleText(row.Speed));
        // Not declared as columns: a reader of the declared columns passes over them.
        if (!row.Direction.isEmpty())
            xml.writeAttribute(QStringLiteral("Direction"), row.Direction);
        if (row.Streams > 0)
            xml.writeAttribute(QStringLiteral("Streams"), QString::number(row.Streams));
        if (row.Port > 0)
            xml.writeAttribute(QStringLiteral("Port"), QString::number(row.Port));
        if (!row.Family.isEmpty())
            xml.writeAttribute(QStringLiteral("Family"), row.Family);
        if (!row.LimitedBy.isEmpty())
            xml.writeAttribute(QStringLiteral("LimitedBy"), row.LimitedBy);
        if (row.IdleLatencyMs >= 0)
            xml.writeAttribute(QStringLiteral("IdleLatency"), doubleText(row.IdleLatencyMs));
        if (row.LoadedLatencyMs >= 0)
            xml.writeAttribute(QStringLiteral("LoadedLatency"), doubleText(row.LoadedLatencyMs));
        if (row.LoadedLatencyP90Ms >= 0)
            xml.writeAttribute(QStringLiteral("LoadedLatencyP90"), doubleText(row.LoadedLatencyP90Ms));
        if (row.Rpm >= 0)
            xml.writeAttribute(QStringLiteral("Rpm"), doubleText(row.Rpm));
        if (!row.Grade.isEmpty())
            xml.writeAttribute(QStringLiteral("Grade"), row.Grade);
        if (row.LostProbes >= 0)
            xml.writeAttribute(QStringLiteral("LostProbes"), QString::number(row.LostProbes));
        if (row.PlanBps > 0)
            // Whole bits per second as people write them, not 1e+08.
            xml.writeAttribute(QStringLiteral("Plan"), row.PlanBps == std::trunc(row.PlanBps) && row.PlanBps < 1e15
                                                           ? QString::number(qint64(row.PlanBps))
                                                           : doubleText(row.PlanBps));
    }
    xml.writeEndElement();

    xml.writeEndElement();
    xml.writeEndDocument();
    return bytes;
}

TResultsFile::TContent TResultsFile::Parse(const QByteArray &bytes, const QString &fileName)
{
    return TReader(bytes, fileName).Run();
}

TResultsFile::TContent TResultsFile::Read(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        throw EStorageError(QStringLiteral("Cannot read results file %1: %2").arg(fileName, file.errorString()));
    return Parse(file.readAll(), fileName);
}

void TResultsFile::Write(const QString &fileName, const TContent &content)
{
    const QString failure = TSafeFileWrite::Write(fileName, Serialize(content));
    if (!failure.isEmpty())
        throw EStorageError(QStringLiteral("Cannot write results file %1: %2").arg(fileName, failure));
}
