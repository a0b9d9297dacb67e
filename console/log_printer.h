#pragma once

#include <QString>

#include <memory>

class QPainter;
class QPrinter;

// What printing the log needs of a printer: lines, then the end of the job.
class LogPrinter {
public:
    virtual ~LogPrinter() = default;
    // Starts a job; false, with the reason, when there is nothing to print on.
    virtual bool StartDoc(QString* error) = 0;
    virtual void Print(const QString& line) = 0;
    virtual bool EndDoc(QString* error) = 0;
};

// Prints on the default printer, or into a PDF file when given one: one line
// per call, a new page when the page is full. A line wider than the page is
// cut short with an ellipsis, so that it still takes one line.
class PagePrinter final : public LogPrinter {
public:
    explicit PagePrinter(QString pdfFile = {});
    ~PagePrinter() override;

    bool StartDoc(QString* error) override;
    void Print(const QString& line) override;
    bool EndDoc(QString* error) override;

private:
    QString m_pdfFile;
    std::unique_ptr<QPrinter> m_printer;
    std::unique_ptr<QPainter> m_painter;
    int m_y = 0;
};
