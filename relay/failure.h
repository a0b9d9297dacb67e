#pragma once

#include <QString>

// What a failed operation reports: the operating system's error number (what
// failed elsewhere is given the nearest one) and a text the operator can
// read. A default-constructed value means success.
struct [[nodiscard]] Failure {
    int code = 0;
    QString text;

    explicit operator bool() const { return code != 0; }
};

// The operating system's own text for `code`: the one place errno becomes text.
Failure systemError(int code);

// Closes a descriptor we are done with, its result ignored on purpose: Linux
// releases the descriptor even when close() reports an error, so a retry
// could close one opened since, and nothing is left for the caller to undo.
// errno stays as it was, for an error path that closes before it reports.
void closeDescriptor(int fd);
