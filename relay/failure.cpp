#include "failure.h"

#include <cstring>

Failure systemError(int code)
{
    return Failure { code, QString::fromLocal8Bit(std::strerror(code)) };
}
