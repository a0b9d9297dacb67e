#include "roster_readers.h"

#include <algorithm>
#include <cstdio>

namespace bench {

namespace {

constexpr size_t nameLength = 6; // "c" and five digits

// Ours, as ourRosterReader in the header says.
class OurReader : public RosterReader {
public:
    OurReader(int client, int clients)
        : RosterReader(clients)
        , m_name(stormNickname(client))
    {
    }
    std::string connected() override { return {}; }
    std::string read(std::string_view bytes) override
    {
        m_pending.append(bytes);
        std::string answer;
        const std::string_view text = m_pending;
        size_t position = 0;
        // A marker cut in two, "NEWLIST" or "NEW" and "USER", is in the last 7 bytes.
        size_t kept = std::max(text.size(), size_t(7)) - 7;
        // Each marker's next place, looked for again only once passed: one
        // pass over the bytes.
        const auto after = [&](size_t found, std::string_view marker) {
            return found < position ? text.find(marker, position) : found;
        };
        size_t greeting = m_greeted ? text.npos : text.find("NICK");
        size_t list = text.find("NEWLIST");
        size_t row = text.find("USER:");
        for (;;) {
            greeting = m_greeted ? text.npos : after(greeting, "NICK");
            list = after(list, "NEWLIST");
            row = after(row, "USER:");
            const size_t next = std::min({ greeting, list, row });
            if (next == text.npos) {
                kept = std::max(position, kept);
                break;
            } else if (next == greeting) {
                m_greeted = true;
                answer = "USER:" + m_name;
                position = next + 4;
            } else if (next == list) {
                m_roster.restart();
                position = next + 7;
            } else if (next + 5 + nameLength > text.size()) {
                // A row whose name is cut off: kept with what tells it from "NEWUSER:".
                kept = next - std::min(next, size_t(3));
                break;
            } else {
                if (next < 3 || text.substr(next - 3, 3) != "NEW")
                    m_roster.see(text.substr(next + 5, nameLength));
                position = next + 5;
            }
        }
        m_pending.erase(0, kept);
        return answer;
    }

private:
    std::string m_name;
    std::string m_pending;
    bool m_greeted = false;
};

// An IRC server's, as ircRosterReader in the header says.
class IrcReader : public RosterReader {
public:
    IrcReader(int client, int clients)
        : RosterReader(clients)
        , m_name(stormNickname(client))
    {
    }
    std::string connected() override
    {
        return "NICK " + m_name + "\r\nUSER " + m_name + " 0 * :bench\r\n";
    }
    std::string read(std::string_view bytes) override
    {
        m_pending.append(bytes);
        std::string answer;
        size_t start = 0;
        for (size_t end; (end = m_pending.find('\n', start)) != std::string::npos; start = end + 1)
            answer += line(std::string_view(m_pending).substr(start, end - start));
        m_pending.erase(0, start);
        return answer;
    }

private:
    std::string line(std::string_view text)
    {
        if (text.ends_with('\r'))
            text.remove_suffix(1);
        if (text.starts_with("PING"))
            return "PONG" + std::string(text.substr(4)) + "\r\n";
        const size_t command = text.find(' ');
        if (command == text.npos)
            return {};
        const std::string_view rest = text.substr(command + 1);
        if (rest.starts_with("001 ") && !m_joined) {
            m_joined = true;
            return "JOIN #bench\r\n";
        }
        if (rest.starts_with("JOIN ") && text.starts_with(':'))
            m_roster.see(text.substr(1, std::min(text.find('!'), command) - 1));
        if (rest.starts_with("353 ")) {
            std::string_view names = rest.substr(std::min(rest.find(" :"), rest.size() - 1) + 1);
            while (!names.empty()) {
                names.remove_prefix(std::min(names.find_first_not_of(": @+%&~"), names.size()));
                const size_t space = std::min(names.find(' '), names.size());
                m_roster.see(names.substr(0, space));
                names.remove_prefix(space);
            }
        }
        return {};
    }

    std::string m_name;
    std::string m_pending;
    bool m_joined = false;
};

} // namespace

std::string stormNickname(int client)
{
    char name[16];
    std::snprintf(name, sizeof name, "c%05d", client);
    return name;
}

RosterWatch::RosterWatch(int clients)
    : m_stamps(size_t(clients))
{
}

void RosterWatch::restart()
{
    ++m_roster;
    m_seen = 0;
}

void RosterWatch::see(std::string_view name)
{
    if (name.size() != nameLength || name[0] != 'c')
        return;
    size_t client = 0;
    for (const char digit : name.substr(1)) {
        if (digit < '0' || digit > '9')
            return;
        client = client * 10 + size_t(digit - '0');
    }
    if (client < m_stamps.size() && m_stamps[client] != m_roster) {
        m_stamps[client] = m_roster;
        ++m_seen;
    }
}

std::unique_ptr<RosterReader> ourRosterReader(int client, int clients)
{
    return std::make_unique<OurReader>(client, clients);
}

std::unique_ptr<RosterReader> ircRosterReader(int client, int clients)
{
    return std::make_unique<IrcReader>(client, clients);
}

} // namespace bench
