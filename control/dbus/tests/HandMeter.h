#pragma once
// Just enough of a meter, played by hand on the master of a pseudo-terminal
// from a thread of its own (so it answers while the test is blocked in a
// call): "C" gets the command prompt, "T" starts a stream of readings under
// the label "mR/h", blanks end the stream with a prompt, "X" starts a data
// log that never ends (one record of range 0 every 60 ms).
#include <QByteArray>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

class HandMeter
{
public:
    explicit HandMeter(int masterFd) : m_fd(masterFd), m_thread([this] { run(); }) {}
    ~HandMeter()
    {
        m_stop = true;
        m_thread.join();
    }
    QByteArray received() const
    {
        std::lock_guard lock(m_mutex);
        return m_received;
    }
    std::vector<double> sentValues() const
    {
        std::lock_guard lock(m_mutex);
        return m_values;
    }
    bool streaming() const { return m_streaming; }

private:
    void write(const QByteArray &text) { (void)!::write(m_fd, text.constData(), text.size()); }

    void run()
    {
        using clock = std::chrono::steady_clock;
        auto lastInput = clock::now();
        auto lastReading = clock::now();
        bool promptOwed = false;
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 10) > 0 && (p.revents & POLLIN)) {
                char buf[256];
                const ssize_t n = ::read(m_fd, buf, sizeof buf);
                for (ssize_t i = 0; i < n; ++i) {
                    {
                        std::lock_guard lock(m_mutex);
                        m_received.append(buf[i]);
                    }
                    lastInput = clock::now();
                    if (buf[i] == 'C' && !m_streaming) {
                        write("C\r\nCMD?");
                    } else if (buf[i] == 'T' && !m_streaming) {
                        m_streaming = true;
                        write("T\r\n  mR/h");
                    } else if (buf[i] == 'X' && !m_streaming) {
                        m_logging = true;
                        write("X\r\n");
                    } else if (buf[i] == ' ' && m_streaming) {
                        m_streaming = false;
                        promptOwed = true;
                    }
                }
            }
            const auto now = clock::now();
            if (promptOwed && now - lastInput > std::chrono::milliseconds(100)) {
                promptOwed = false;
                write("\r\nCMD?");
            }
            if (m_logging && now - lastReading > std::chrono::milliseconds(60)) {
                lastReading = now;
                write("21.5 0 0.25\r\n");
            }
            if (m_streaming && now - lastReading > std::chrono::milliseconds(60)) {
                lastReading = now;
                double v;
                {
                    std::lock_guard lock(m_mutex);
                    v = 1.0 + 0.25 * static_cast<double>(m_values.size());
                    m_values.push_back(v);
                }
                write(" " + QByteArray::number(v, 'f', 2));
            }
        }
    }

    int m_fd;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_streaming{false};
    std::atomic<bool> m_logging{false};
    mutable std::mutex m_mutex;
    QByteArray m_received;
    std::vector<double> m_values;
    std::thread m_thread;
};
