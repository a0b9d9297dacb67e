#include "log_printer.h"

#include "page_writer.h"

#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>

PagePrinter::PagePrinter(QString pdfFile)
    : m_pdfFile(std::move(pdfFile))
{
}

PagePrinter::~PagePrinter() = default;

bool PagePrinter::StartDoc(QString* error)
{
    if (m_pdfFile.isEmpty() && QPrinterInfo::defaultPrinter().isNull()) {
        *error = QStringLiteral("No printer is installed.");
        return false;
    }
    m_printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
    if (!m_pdfFile.isEmpty()) {
        m_printer->setOutputFormat(QPrinter::PdfFormat);
        m_printer->setOutputFileName(m_pdfFile);
    }
    m_printer->setDocName(QStringLiteral("Quenvar Chat Server log"));
    m_painter = std::make_unique<QPainter>();
    if (!m_painter->begin(m_printer.get())) {
        *error = QStringLiteral("The print job could not be started on %1.")
                     .arg(m_pdfFile.isEmpty() ? m_printer->printerName() : m_pdfFile);
        m_painter.reset();
        return false;
    }
    m_writer = std::make_unique<PageWriter>(*m_painter,
        m_printer->pageLayout().paintRectPixels(m_printer->resolution()),
        [this] { m_printer->newPage(); });
    return true;
}

void PagePrinter::Print(const QByteArray& line)
{
    m_writer->writeLine(line);
}

bool PagePrinter::EndDoc(QString* error)
{
    const bool ended = m_painter && m_painter->end();
    m_writer.reset();
    m_painter.reset();
    m_printer.reset();
    if (!ended)
        *error = QStringLiteral("The print job could not be finished.");
    return ended;
}

void PagePrinter::AbortDoc()
{
    if (m_printer)
        m_printer->abort();
    m_writer.reset();
    m_painter.reset();
    m_printer.reset();
}
