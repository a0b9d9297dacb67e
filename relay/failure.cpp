#include "failure.h"

#include <cerrno>
#include <cstring>

#include <unistd.h>

Failure systemError(int code)
{
    return Failure { code, QString::fromLocal8Bit(std::strerror(code)) };
}

void closeDescriptor(int fd)
{
    const int error = errno;
    [[maybe_unused]] const int ignored = ::close(fd);
    errno = error;
}
