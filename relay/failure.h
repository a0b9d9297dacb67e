#pragma once

#include <QString>

// What a failed operation reports: a code (the operating system's error
// number where it gave one) and a text the operator can read. A
// default-constructed value means success.
struct Failure {
    int code = 0;
    QString text;

    explicit operator bool() const { return code != 0; }
};
