#pragma once

#include "failure.h"

#include <QString>

class AccessRules;

// The file the access rules are kept in, read and written whole: a write
// replaces it at once, so a reader never sees half of one.
class RulesFile {
public:
    explicit RulesFile(QString path)
        : m_path(std::move(path))
    {
    }
    const QString& path() const { return m_path; }

    // Puts the file's rules in force; where there is none, there are none.
    // A file that cannot be read, or has a wrong line, changes nothing.
    Failure load(AccessRules& rules) const;
    Failure save(const AccessRules& rules) const;

private:
    QString m_path;
};
