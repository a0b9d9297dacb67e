#pragma once

#include "failure.h"

#include <QByteArray>
#include <QPageSize>
#include <QString>

#include <memory>

class PageWriter;
class QPainter;
class QPdfWriter;
class QTemporaryFile;

// What printing the log needs of a printer: lines, then the end of the job.
class LogPrinter {
public:
    virtual ~LogPrinter() = default;
    // Starts a job; fails when there is nothing to print on.
    virtual Failure StartDoc() = 0;
    // One line of Latin-1 text.
    virtual void Print(const QByteArray& line) = 0;
    virtual Failure EndDoc() = 0;
    // Ends the job without printing anything.
    virtual void AbortDoc() = 0;
};

// Prints on the default printer, or into a PDF file when given one, through
// a PageWriter: one line per call, cut to the page's width. The pages go into
// a private PDF file first, which only a finished job hands over, so that a
// job given up prints nothing, and one the print system refuses says why.
class PagePrinter final : public LogPrinter {
public:
    explicit PagePrinter(QString pdfFile = {});
    ~PagePrinter() override;

    Failure StartDoc() override;
    void Print(const QByteArray& line) override;
    Failure EndDoc() override;
    void AbortDoc() override;

private:
    Failure handOver();
    void discard();

    QString m_pdfFile;
    QString m_printerName;
    QPageSize m_pageSize;
    std::unique_ptr<QTemporaryFile> m_pages;
    std::unique_ptr<QPdfWriter> m_pdf;
    std::unique_ptr<QPainter> m_painter;
    std::unique_ptr<PageWriter> m_writer;
};
