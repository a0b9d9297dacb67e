#include "irc_peer.h"

#include "clock.h"
#include "sockets.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace bench {

bool IrcPeer::installed()
{
    return ::access(binary, X_OK) == 0;
}

IrcPeer::IrcPeer()
{
    char folder[] = "/tmp/quenvar-ircpeer-XXXXXX";
    m_folder = ::mkdtemp(folder);
    m_process = std::make_unique<ServerProcess>([this](int port) {
        const std::string config = m_folder + "/ngircd.conf";
        std::ofstream(config) << "[Global]\n"
                                 "    Name = bench.localhost\n"
                                 "    Info = benchmark peer\n"
                                 "    Listen = 127.0.0.1\n"
                                 "    Ports = "
                              << port
                              << "\n"
                                 "    MotdPhrase = bench\n"
                                 "[Limits]\n"
                                 "    MaxConnections = 0\n"
                                 "    MaxConnectionsIP = 0\n"
                                 "    MaxJoins = 0\n"
                                 "    MaxPenaltyTime = 0\n"
                                 "    PingTimeout = 86400\n"
                                 "    PongTimeout = 86400\n"
                                 "[Options]\n"
                                 "    DNS = no\n"
                                 "    Ident = no\n"
                                 "    PAM = no\n";
        return std::vector<std::string> { binary, "--nodaemon", "--config", config };
    });
}

IrcPeer::~IrcPeer()
{
    m_process.reset();
    std::filesystem::remove_all(m_folder);
}

bool IrcPeer::join(ClientPool& pool, int index, double limitSeconds)
{
    const int fd = connectTo(m_process->port());
    if (fd < 0)
        return false;
    char nick[16];
    std::snprintf(nick, sizeof nick, "c%05d", index);
    const std::string registration
        = std::string("NICK ") + nick + "\r\nUSER " + nick + " 0 * :bench\r\nJOIN #bench\r\n";
    ::send(fd, registration.data(), registration.size(), MSG_NOSIGNAL);
    // Everything up to the end of the channel's names (numeric 366).
    std::string answer;
    const auto start = Clock::now();
    while (answer.find(" 366 ") == std::string::npos) {
        if (secondsSince(start) > limitSeconds) {
            ::close(fd);
            return false;
        }
        char buffer[65536];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            answer.append(buffer, size_t(n));
        else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return false;
        pool.drain();
    }
    pool.adopt(fd);
    return true;
}

std::string IrcPeer::chatLine(const std::string& text)
{
    return "PRIVMSG #bench :" + text + "\r\n";
}

} // namespace bench
