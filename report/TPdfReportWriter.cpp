#include "report/TPdfReportWriter.h"

#include "report/EReportError.h"

#include <QBuffer>
#include <QDateTime>
#include <QPdfWriter>
#include <QRegularExpression>

namespace {

// A PDF text string: literal when plain ASCII, otherwise UTF-16BE with a byte-order mark.
QByteArray pdfString(const QString &text)
{
    bool ascii = true;
    for (QChar c : text)
        ascii = ascii && c.unicode() >= 0x20 && c.unicode() < 0x7f;
    if (ascii) {
        QByteArray out = "(";
        for (char c : text.toLatin1()) {
            if (c == '(' || c == ')' || c == '\\')
                out += '\\';
            out += c;
        }
        return out + ')';
    }
    QByteArray utf16 = "\xfe\xff";
    for (QChar c : text) {
        utf16 += char(c.unicode() >> 8);
        utf16 += char(c.unicode() & 0xff);
    }
    return '<' + utf16.toHex() + '>';
}

QString xmlEscaped(const QString &text)
{
    return text.toHtmlEscaped();
}

} // namespace

TPdfReportWriter::TPdfReportWriter()
    : TReportFileWriter(QStringLiteral("Adobe Acrobat (PDF)"), QStringLiteral("*.pdf"))
{
}

QByteArray TPdfReportWriter::XmpMetadata() const
{
    const QString xmp = QStringLiteral(
        "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?>\n"
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
        "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
        "<rdf:Description rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
        "xmlns:pdf=\"http://ns.adobe.com/pdf/1.3/\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\">\n"
        "<dc:title><rdf:Alt><rdf:li xml:lang=\"x-default\">%1</rdf:li></rdf:Alt></dc:title>\n"
        "<dc:description><rdf:Alt><rdf:li xml:lang=\"x-default\">%2</rdf:li></rdf:Alt></dc:description>\n"
        "<xmp:CreatorTool>%3</xmp:CreatorTool>\n"
        "<pdf:Producer>%4</pdf:Producer>\n"
        "</rdf:Description>\n</rdf:RDF>\n</x:xmpmeta>\n<?xpacket end='w'?>")
        .arg(xmlEscaped(Title), xmlEscaped(Subject), xmlEscaped(Creator), xmlEscaped(Producer));
    return xmp.toUtf8();
}

bool TPdfReportWriter::Write(const QString &fileName, const TReportLayout &layout,
                             const TReportContent &content,
                             const TReportRenderer::Progress &generating,
                             const TReportRenderer::Progress &output)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    int pages = 0;
    {
        QPdfWriter pdf(&buffer);
        pdf.setTitle(Title);
        pdf.setCreator(Creator);
        pdf.setResolution(600);
        pdf.setDocumentXmpMetadata(XmpMetadata());
        pages = TReportRenderer(layout, content).Render(pdf, generating, output);
    }
    if (pages == 0)
        return false;
    SaveWhole(fileName, WithDocumentInfo(buffer.data()));
    return true;
}

QByteArray TPdfReportWriter::WithDocumentInfo(const QByteArray &pdf) const
{
    const auto fail = [] {
        return EReportError(QStringLiteral("The PDF writer produced a file it cannot complete"));
    };
    const qsizetype startxref = pdf.lastIndexOf("startxref");
    const qsizetype trailerAt = pdf.lastIndexOf("trailer");
    if (startxref < 0 || trailerAt < 0 || trailerAt > startxref)
        throw fail();

    static const QRegularExpression number(QStringLiteral("^\\s*(\\d+)"));
    const auto prev = number.match(QString::fromLatin1(pdf.mid(startxref + 9, 24)));
    const QString trailer = QString::fromLatin1(pdf.mid(trailerAt, startxref - trailerAt));
    static const QRegularExpression sizeKey(QStringLiteral("/Size\\s+(\\d+)"));
    static const QRegularExpression rootKey(QStringLiteral("/Root\\s+(\\d+\\s+\\d+\\s+R)"));
    const auto size = sizeKey.match(trailer);
    const auto root = rootKey.match(trailer);
    if (!prev.hasMatch() || !size.hasMatch() || !root.hasMatch())
        throw fail();

    const int infoObject = size.captured(1).toInt();
    QByteArray out = pdf;
    if (!out.endsWith('\n'))
        out += '\n';
    const qsizetype infoOffset = out.size();
    const QByteArray now = QDateTime::currentDateTimeUtc().toString(u"yyyyMMddHHmmss"_qs).toLatin1();
    out += QByteArray::number(infoObject) + " 0 obj\n<<\n"
        + "/Title " + pdfString(Title) + "\n"
        + "/Subject " + pdfString(Subject) + "\n"
        + "/Creator " + pdfString(Creator) + "\n"
        + "/Producer " + pdfString(Producer) + "\n"
        + "/CreationDate (D:" + now + "Z)\n"
        + ">>\nendobj\n";
    const qsizetype xrefOffset = out.size();
    out += "xref\n" + QByteArray::number(infoObject) + " 1\n"
        + QByteArray::number(infoOffset).rightJustified(10, '0') + " 00000 n \n"
        + "trailer\n<<\n/Size " + QByteArray::number(infoObject + 1) + "\n"
        + "/Root " + root.captured(1).toLatin1() + "\n"
        + "/Info " + QByteArray::number(infoObject) + " 0 R\n"
        + "/Prev " + prev.captured(1).toLatin1() + "\n"
        + ">>\nstartxref\n" + QByteArray::number(xrefOffset) + "\n%%EOF\n";
    return out;
}
