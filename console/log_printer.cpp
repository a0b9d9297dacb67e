#include "log_printer.h"

#include "page_writer.h"

#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>

#include <cerrno>

PagePrinter::PagePrinter(QString pdfFile)
    : m_pdfFile(std::move(pdfFile))
{
}

PagePrinter::~PagePrinter() = default;

Failure PagePrinter::StartDoc()
{
    if (m_pdfFile.isEmpty() && QPrinterInfo::defaultPrinter().isNull())
        return { ENODEV, QStringLiteral("No printer is installed.") };
    m_printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
    if (!m_pdfFile.isEmpty()) {
        m_printer->setOutputFormat(QPrinter::PdfFormat);
        m_printer->setOutputFileName(m_pdfFile);
    }
    m_printer->setDocName(QStringLiteral("Quenvar Chat Server log"));
    m_painter = std::make_unique<QPainter>();
    if (!m_painter->begin(m_printer.get())) {
        m_painter.reset();
        return { EIO,
            QStringLiteral("The print job could not be started on %1.")
                .arg(m_pdfFile.isEmpty() ? m_printer->printerName() : m_pdfFile) };
    }
    m_writer = std::make_unique<PageWriter>(*m_painter,
        m_printer->pageLayout().paintRectPixels(m_printer->resolution()),
        [this] { m_printer->newPage(); });
    return {};
}

void PagePrinter::Print(const QByteArray& line)
{
    m_writer->writeLine(line);
}

Failure PagePrinter::EndDoc()
{
    const bool ended = m_painter && m_painter->end();
    m_writer.reset();
    m_painter.reset();
    m_printer.reset();
    if (!ended)
        return { EIO, QStringLiteral("The print job could not be finished.") };
    return {};
}

void PagePrinter::AbortDoc()
{
    if (m_printer)
        m_printer->abort();
    m_writer.reset();
    m_painter.reset();
    m_printer.reset();
}
