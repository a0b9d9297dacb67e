#pragma once

#include <QString>

#include <optional>

class QWidget;

// The Save As dialog the log is saved through; tests put their own in its place.
class SaveDialog {
public:
    virtual ~SaveDialog() = default;
    // The confirmed file name, or nothing when the operator cancelled.
    virtual std::optional<QString> ShowSave(QWidget* parent) = 0;
};

// The platform's Save As dialog, with the single filter "(*.*)".
class FileSaveDialog final : public SaveDialog {
public:
    std::optional<QString> ShowSave(QWidget* parent) override;

private:
    QString m_lastFileName;
};
