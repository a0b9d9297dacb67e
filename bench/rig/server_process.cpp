#include "server_process.h"

#include "clock.h"
#include "resident_memory.h"
#include "sockets.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

ServerProcess::ServerProcess(
    const std::string& binary, const char* page, const std::vector<std::string>& options)
    : ServerProcess([&](int port) {
        std::vector<std::string> command { binary, std::to_string(port), page, "--web-port",
            std::to_string(webPort()) };
        command.insert(command.end(), options.begin(), options.end());
        return command;
    })
{
}

ServerProcess::ServerProcess(const std::function<std::vector<std::string>(int port)>& arguments)
{
    const std::vector<std::string> command = arguments(port());
    if (!start(command))
        fail(command[0]);
}

ServerProcess::~ServerProcess()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
}

double ServerProcess::cpuSeconds() const
{
    double total = 0;
    const std::string tasks = "/proc/" + std::to_string(m_pid) + "/task";
    if (DIR* dir = ::opendir(tasks.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            std::ifstream stat(tasks + "/" + entry->d_name + "/schedstat");
            double ns = 0;
            if (stat >> ns)
                total += ns / 1e9;
        }
        ::closedir(dir);
    }
    return total;
}

long ServerProcess::rssKiB() const
{
    return residentKiB(m_pid);
}

long ServerProcess::peakRssKiB() const
{
    return peakResidentKiB(m_pid);
}

long long ServerProcess::unnamedFileBytes() const
{
    long long total = 0;
    const std::string fds = "/proc/" + std::to_string(m_pid) + "/fd";
    if (DIR* dir = ::opendir(fds.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string path = fds + "/" + entry->d_name;
            char target[4096];
            const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
            struct stat file { };
            if (length > 0 && std::string_view(target, size_t(length)).ends_with(" (deleted)")
                && ::stat(path.c_str(), &file) == 0 && S_ISREG(file.st_mode))
                total += file.st_size;
        }
        ::closedir(dir);
    }
    return total;
}

void ServerProcess::signal(int number) const
{
    ::kill(m_pid, number);
}

bool ServerProcess::start(std::vector<std::string> arguments)
{
    m_pid = ::fork();
    if (m_pid == 0) {
        // The server goes when the load generator goes, however it ends.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        // On the display where there is one, as a user runs it.
        if (!std::getenv("DISPLAY"))
            ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        // What the server says goes nowhere: the tables are what counts.
        const int nowhere = ::open("/dev/null", O_WRONLY);
        ::dup2(nowhere, STDOUT_FILENO);
        ::dup2(nowhere, STDERR_FILENO);
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    const auto start = Clock::now();
    while (secondsSince(start) < 20) {
        const int fd = connectTo(port());
        if (fd >= 0) {
            ::close(fd); // a closed slot: later sends to it fail at once and are not counted
            return true;
        }
        if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            return false;
        }
        ::usleep(20000);
    }
    ::kill(m_pid, SIGTERM);
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
    return false;
}

void ServerProcess::fail(const std::string& binary)
{
    std::fprintf(stderr, "%s did not start listening\n", binary.c_str());
    std::exit(1);
}

} // namespace bench
