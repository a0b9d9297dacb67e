#include "line_trace.h"

#include "trace_records.h"

#include <algorithm>

namespace {

constexpr std::chrono::milliseconds stallOver { 20 };

long long nanoseconds(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

const char* nameOf(SlotArrayProbe::Work work)
{
    switch (work) {
    case SlotArrayProbe::Work::ConnectionRequest:
        return "ConnectionRequest";
    case SlotArrayProbe::Work::DataArrival:
        return "DataArrival";
    case SlotArrayProbe::Work::PeerClosed:
        return "PeerClosed";
    case SlotArrayProbe::Work::WindowPass:
        return "WindowPass";
    }
    return "?";
}

// The loopback clients' IPv4 addresses, as the ledger keeps them mapped.
std::string textOf(const AddressLedger::Address* address)
{
    if (!address)
        return "window";
    const AddressLedger::Address& a = *address;
    return std::to_string(a[12]) + "." + std::to_string(a[13]) + "." + std::to_string(a[14]) + "."
        + std::to_string(a[15]);
}

} // namespace

LineTrace::LineTrace(const QString& path)
    : m_file(std::fopen(path.toLocal8Bit().constData(), "w"))
{
    if (!m_file)
        qFatal("cannot write the line trace %s", qPrintable(path));
    // The server is ended by a signal: every record must be out by then.
    std::setvbuf(m_file, nullptr, _IOLBF, 0);
}

LineTrace::~LineTrace()
{
    std::fclose(m_file);
}

void LineTrace::started(Work work, const AddressLedger::Address* from, int /*depth*/)
{
    m_running.push_back({ std::string(nameOf(work)) + "@" + textOf(from), Clock::now() });
}

void LineTrace::finished(Work work, int depth)
{
    const Frame frame = m_running.back();
    m_running.pop_back();
    const auto isPass = [](const Frame& f) { return f.what.starts_with("WindowPass"); };
    if (work == Work::WindowPass && std::none_of(m_running.begin(), m_running.end(), isPass)) {
        ++m_passes;
        m_passMs += std::chrono::duration<double, std::milli>(Clock::now() - frame.start).count();
    }
    writeStall(frame.what, depth, frame.start);
}

void LineTrace::received(int index, QByteArrayView bytes, int depth)
{
    const std::string_view text(bytes.data(), size_t(bytes.size()));
    for (size_t at = text.find("<o"); at != std::string_view::npos; at = text.find("<o", at + 1)) {
        const size_t end = text.find('>', at);
        if (end == std::string_view::npos)
            break;
        m_waiting[index].push_back({ std::string(text.substr(at, end + 1 - at)), Clock::now(),
            depth, m_running.empty() ? "-" : m_running.front().what,
            m_running.empty() ? "-" : m_running.back().what, m_passes, m_passMs });
    }
}

void LineTrace::sending(int index, QByteArrayView bytes, qsizetype queued)
{
    const auto waiting = m_waiting.find(index);
    if (waiting == m_waiting.end())
        return;
    const std::string_view text(bytes.data(), size_t(bytes.size()));
    std::vector<Line>& lines = waiting->second;
    const auto relayed = std::stable_partition(lines.begin(), lines.end(),
        [&](const Line& line) { return text.find(line.marker) == std::string_view::npos; });
    const auto now = Clock::now();
    for (auto line = relayed; line != lines.end(); ++line)
        bench::trace::write(m_file,
            bench::trace::Line { line->marker, nanoseconds(line->read), nanoseconds(now),
                line->depth, line->outer, line->parent, static_cast<long long>(queued),
                m_passes - line->passesAtRead, m_passMs - line->passMsAtRead });
    lines.erase(relayed, lines.end());
    if (lines.empty())
        m_waiting.erase(waiting);
}

// Turns run inside a yield are part of the work that yields.
void LineTrace::loopWoke()
{
    if (m_running.empty())
        m_loopWoke = Clock::now();
}

void LineTrace::loopWaits()
{
    if (m_running.empty() && m_loopWoke != Clock::time_point())
        writeStall("loop", 0, m_loopWoke);
}

void LineTrace::writeStall(const std::string& what, int depth, Clock::time_point start)
{
    const auto now = Clock::now();
    if (now - start > stallOver)
        bench::trace::write(
            m_file, bench::trace::Stall { what, depth, nanoseconds(start), nanoseconds(now) });
}
