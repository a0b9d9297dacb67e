#include "log_printer.h"

#include "page_writer.h"

#include <QDir>
#include <QFile>
#include <QLibrary>
#include <QPainter>
#include <QPdfWriter>
#include <QPrinterInfo>
#include <QTemporaryFile>

#include <cerrno>

namespace {

const QString docName = QStringLiteral("Quenvar Chat Server log");
// As a printer's own engine draws: fine enough for any printer.
constexpr int resolution = 1200;

// Hands a PDF file to the print system: CUPS, loaded only when a job is
// handed over, as Qt's own printing loads it, so that a server that never
// prints never loads it. Fails with why.
Failure printFile(const QString& printer, const QString& file)
{
    QLibrary cups(QStringLiteral("cups"), 2);
    using PrintFile = int (*)(const char*, const char*, const char*, int, void*);
    using LastErrorString = const char* (*)();
    const auto printFile = reinterpret_cast<PrintFile>(cups.resolve("cupsPrintFile"));
    const auto lastError = reinterpret_cast<LastErrorString>(cups.resolve("cupsLastErrorString"));
    if (!printFile || !lastError)
        return { ENOSYS,
            QStringLiteral("The print system cannot be reached: %1.").arg(cups.errorString()) };
    if (printFile(printer.toUtf8().constData(), QFile::encodeName(file).constData(),
            docName.toUtf8().constData(), 0, nullptr)
        != 0)
        return {};
    return { EIO,
        QStringLiteral("The print job could not be handed to %1: %2.")
            .arg(printer, QString::fromUtf8(lastError())) };
}

} // namespace

PagePrinter::PagePrinter(QString pdfFile)
    : m_pdfFile(std::move(pdfFile))
    , m_pageSize(QPageSize::A4)
{
}

PagePrinter::~PagePrinter()
{
    discard();
}

Failure PagePrinter::StartDoc()
{
    if (m_pdfFile.isEmpty()) {
        const QPrinterInfo printer = QPrinterInfo::defaultPrinter();
        if (printer.isNull())
            return { ENODEV, QStringLiteral("No printer is installed.") };
        m_printerName = printer.printerName();
        if (printer.defaultPageSize().isValid())
            m_pageSize = printer.defaultPageSize();
    }
    m_pages = std::make_unique<QTemporaryFile>(QDir::tempPath() + "/quenvar-print-XXXXXX.pdf");
    if (!m_pages->open()) {
        const Failure failure { EIO,
            QStringLiteral("The print job could not be started: %1.").arg(m_pages->errorString()) };
        discard();
        return failure;
    }
    m_pdf = std::make_unique<QPdfWriter>(m_pages.get());
    m_pdf->setTitle(docName);
    m_pdf->setResolution(resolution);
    m_pdf->setPageSize(m_pageSize);
    m_painter = std::make_unique<QPainter>(m_pdf.get());
    m_writer = std::make_unique<PageWriter>(
        *m_painter, m_pdf->pageLayout().paintRectPixels(resolution), [this] { m_pdf->newPage(); });
    return {};
}

void PagePrinter::Print(const QByteArray& line)
{
    m_writer->writeLine(line);
}

Failure PagePrinter::EndDoc()
{
    m_writer.reset();
    const bool ended = m_painter && m_painter->end() && m_pages->flush();
    const Failure failure = ended
        ? handOver()
        : Failure { EIO, QStringLiteral("The print job could not be finished.") };
    discard();
    return failure;
}

void PagePrinter::AbortDoc()
{
    discard();
}

Failure PagePrinter::handOver()
{
    if (!m_pdfFile.isEmpty()) {
        QFile::remove(m_pdfFile);
        if (m_pages->copy(m_pdfFile))
            return {};
        return { EIO,
            QStringLiteral("The print job could not be written to %1: %2.")
                .arg(m_pdfFile, m_pages->errorString()) };
    }
    return printFile(m_printerName, m_pages->fileName());
}

// Drawing ends with the painter; the pages go with their file.
void PagePrinter::discard()
{
    m_writer.reset();
    m_painter.reset();
    m_pdf.reset();
    m_pages.reset();
}
