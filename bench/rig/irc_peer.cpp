#include "irc_peer.h"

#include "clock.h"
#include "sockets.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace bench {

namespace {

std::vector<std::string> ngircd(const std::string& folder, int port)
{
    const std::string config = folder + "/ngircd.conf";
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
    return { IrcPeer::binary(IrcPeer::Kind::Ngircd), "--nodaemon", "--config", config };
}

std::vector<std::string> inspircd(const std::string& folder, int port)
{
    const std::string config = folder + "/inspircd.conf";
    std::ofstream(folder + "/motd.txt") << "bench\n";
    std::ofstream(config)
        << "<server name=\"bench.localhost\" description=\"benchmark peer\" network=\"bench\">\n"
           "<admin name=\"bench\" nick=\"bench\" email=\"bench@localhost\">\n"
           "<bind address=\"127.0.0.1\" port=\""
        << port
        << "\" type=\"clients\">\n"
           "<connect name=\"bench\" allow=\"*\" timeout=\"600\" pingfreq=\"86400\" "
           "localmax=\"1000000\" globalmax=\"1000000\" maxconnwarn=\"off\" limit=\"1000000\" "
           "resolvehostnames=\"no\" useident=\"no\" fakelag=\"no\" threshold=\"1000000\" "
           "commandrate=\"100000000\" hardsendq=\"16777216\" softsendq=\"16777216\" "
           "recvq=\"65536\" maxchans=\"10\">\n"
           "<performance netbuffersize=\"65536\" somaxconn=\"4096\" softlimit=\"100000\" "
           "clonesonconnect=\"no\" timeskipwarn=\"0\">\n"
           "<security hidesplits=\"no\" hideulines=\"no\">\n"
           "<limits maxchan=\"64\">\n"
           "<channels users=\"1000000\">\n"
           "<files motd=\""
        << folder
        << "/motd.txt\">\n"
           "<pid file=\""
        << folder
        << "/inspircd.pid\">\n"
           "<log method=\"file\" type=\"* -USERINPUT -USEROUTPUT\" level=\"default\" target=\""
        << folder << "/inspircd.log\">\n";
    return { IrcPeer::binary(IrcPeer::Kind::Inspircd), "--nofork", "--runasroot",
        "--config=" + config };
}

// The few bytes of a login or a join fit a new socket's buffer at once.
bool sendAll(int fd, const std::string& bytes)
{
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

} // namespace

const char* IrcPeer::name(Kind kind)
{
    return kind == Kind::Ngircd ? "ngircd" : "InspIRCd";
}

const char* IrcPeer::binary(Kind kind)
{
    return kind == Kind::Ngircd ? "/usr/sbin/ngircd" : "/usr/sbin/inspircd";
}

bool IrcPeer::installed(Kind kind)
{
    return ::access(binary(kind), X_OK) == 0;
}

std::vector<IrcPeer::Kind> IrcPeer::installedKinds()
{
    std::vector<Kind> installedOnes;
    for (const Kind kind : kinds) {
        if (installed(kind))
            installedOnes.push_back(kind);
        else
            std::printf("(%s is not installed: %s missing)\n", name(kind), binary(kind));
    }
    return installedOnes;
}

IrcPeer::IrcPeer(Kind kind)
    : m_kind(kind)
{
    char folder[] = "/tmp/quenvar-ircpeer-XXXXXX";
    require(::mkdtemp(folder) != nullptr, "mkdtemp");
    m_folder = folder;
    m_process = std::make_unique<ServerProcess>([this](int port) {
        return m_kind == Kind::Ngircd ? ngircd(m_folder, port) : inspircd(m_folder, port);
    });
}

IrcPeer::~IrcPeer()
{
    m_process.reset();
    std::filesystem::remove_all(m_folder);
}

std::vector<int> IrcPeer::join(int first, int count, double limitSeconds)
{
    std::vector<int> fds;
    const auto giveUp = [&fds] {
        for (const int fd : fds)
            ::close(fd);
        return std::vector<int> {};
    };
    for (int index = first; index < first + count; ++index) {
        const int fd = connectTo(m_process->port(), clientAddress(index));
        if (fd < 0)
            return giveUp();
        fds.push_back(fd);
        char nick[16];
        std::snprintf(nick, sizeof nick, "c%05d", index);
        if (!sendAll(fd, std::string("NICK ") + nick + "\r\nUSER " + nick + " 0 * :bench\r\n"))
            return giveUp();
    }
    // Welcome (001), then the end of the channel's names (366).
    if (!waitForAll(fds, " 001 ", limitSeconds))
        return giveUp();
    for (const int fd : fds) {
        if (!sendAll(fd, "JOIN #bench\r\n"))
            return giveUp();
    }
    if (!waitForAll(fds, " 366 ", limitSeconds))
        return giveUp();
    return fds;
}

std::string IrcPeer::chatLine(const std::string& text)
{
    return "PRIVMSG #bench :" + text + "\r\n";
}

} // namespace bench
