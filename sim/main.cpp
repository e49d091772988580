// brisca-sim: one virtual Brisca sensor on a fresh pseudo-terminal.

#include "faults.h"
#include "rtuframer.h"
#include "simsensor.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

using namespace BriscaSim;

namespace {

volatile sig_atomic_t g_stop = 0;
void onSignal(int)
{
    g_stop = 1;
}

int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string hex(const std::vector<uint8_t> &bytes)
{
    std::string out;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02x" : "%02x", bytes[i]);
        out += buf;
    }
    return out;
}

struct Options
{
    SensorConfig sensor;
    std::string link, load, state;
    bool pace = false, verbose = false;
    std::vector<std::string> faults;
};

[[noreturn]] void usage(const std::string &why)
{
    std::fprintf(stderr,
                 "brisca-sim: %s\nusage: brisca-sim --link PATH [--slave N] [--baud B] "
                 "[--parity none|even|odd] [--pace] [--pattern ramp|scene] [--seed N] [--fps F] "
                 "[--load FILE] [--state FILE] [--verbose] [--fault RULE]...\n",
                 why.c_str());
    std::exit(2);
}

long number(const std::string &opt, const char *text, long lo, long hi)
{
    char *end = nullptr;
    const long v = std::strtol(text, &end, 0);
    if (*text == '\0' || *end != '\0' || v < lo || v > hi)
        usage("bad value for " + opt + ": " + text);
    return v;
}

Options parse(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char * {
            if (i + 1 >= argc)
                usage(a + " needs a value");
            return argv[++i];
        };
        if (a == "--link")
            o.link = next();
        else if (a == "--slave")
            o.sensor.slave = int(number(a, next(), 1, 247));
        else if (a == "--baud")
            o.sensor.baud = int(number(a, next(), 50, 4000000));
        else if (a == "--parity") {
            const std::string p = next();
            if (p == "none")
                o.sensor.parity = 'N';
            else if (p == "even")
                o.sensor.parity = 'E';
            else if (p == "odd")
                o.sensor.parity = 'O';
            else
                usage("bad parity: " + p);
        } else if (a == "--pace")
            o.pace = true;
        else if (a == "--pattern") {
            const std::string p = next();
            if (p == "ramp")
                o.sensor.pattern = Pattern::Ramp;
            else if (p == "scene")
                o.sensor.pattern = Pattern::Scene;
            else
                usage("bad pattern: " + p);
        } else if (a == "--seed")
            o.sensor.seed = uint32_t(number(a, next(), 0, 0xFFFFFFFFL));
        else if (a == "--fps") {
            const char *t = next();
            char *end = nullptr;
            const double f = std::strtod(t, &end);
            if (*end != '\0' || !(f >= 0 && f <= 1000))
                usage(std::string("bad value for --fps: ") + t);
            o.sensor.fps = f;
        } else if (a == "--load")
            o.load = next();
        else if (a == "--state")
            o.state = next();
        else if (a == "--verbose")
            o.verbose = true;
        else if (a == "--fault")
            o.faults.push_back(next());
        else
            usage("unknown option " + a);
    }
    if (o.link.empty())
        usage("--link is required");
    return o;
}

class Server
{
public:
    explicit Server(const Options &o)
        : m_opt(o)
        , m_sensor(o.sensor)
        , m_faults(o.sensor.seed)
        , m_framer(silenceMs(o.sensor.baud))
    {
        m_framer.setFrameHandler([this](const std::vector<uint8_t> &f) { onFrame(f); });
        m_framer.setDropHandler([this](const std::vector<uint8_t> &b) {
            if (m_opt.verbose)
                std::fprintf(stderr, "drop %s\n", hex(b).c_str());
        });
    }

    static int64_t silenceMs(int baud)
    {
        // 3.5 characters; a floor keeps a busy machine from splitting one request.
        const double t = baud > 19200 ? 1.75 : 3.5 * 11 * 1000.0 / baud;
        return std::max<int64_t>(10, int64_t(std::ceil(t)));
    }

    int run();

private:
    bool openLine();
    void onFrame(const std::vector<uint8_t> &frame);
    void control(const std::string &line);
    void writeState();
    void hangup();
    void sessionEvents();
    void restoreSlave();
    double paceMs(size_t requestBytes, size_t answerBytes) const;

    struct Pending
    {
        int64_t due;
        std::vector<uint8_t> bytes;
    };

    Options m_opt;
    Sensor m_sensor;
    FaultSet m_faults;
    RtuFramer m_framer;
    int m_master = -1, m_slaveFd = -1, m_inotify = -1;
    int m_clients = 0; // descriptors of the slave side that others hold open
    std::string m_slavePath;
    termios m_fresh{};
    std::deque<Pending> m_out;
    std::string m_stdin;
    bool m_stdinOpen = true;
    bool m_hungUp = false;
    int64_t m_nextFrame = -1;
};

bool Server::openLine()
{
    char name[256];
    if (openpty(&m_master, &m_slaveFd, name, nullptr, nullptr) != 0) {
        std::perror("brisca-sim: openpty");
        return false;
    }
    m_slavePath = name;
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    fcntl(m_master, F_SETFD, FD_CLOEXEC);
    fcntl(m_slaveFd, F_SETFD, FD_CLOEXEC);
    // Raw from the start: an echoing slave side would hand our answers back to us.
    tcgetattr(m_slaveFd, &m_fresh);
    cfmakeraw(&m_fresh);
    m_fresh.c_cflag &= ~(CLOCAL | PARENB | PARODD | CSTOPB);
    tcsetattr(m_slaveFd, TCSANOW, &m_fresh);

    // A client that dies leaves its line settings behind; put fresh ones back whenever a
    // session ends. Our own descriptor stays open for the life of the program and is not
    // counted: it was opened before the watch.
    m_inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_inotify >= 0)
        inotify_add_watch(m_inotify, m_slavePath.c_str(),
                          IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);

    ::unlink(m_opt.link.c_str());
    if (::symlink(m_slavePath.c_str(), m_opt.link.c_str()) != 0) {
        std::fprintf(stderr, "brisca-sim: cannot link %s: %s\n", m_opt.link.c_str(),
                     std::strerror(errno));
        return false;
    }
    return true;
}

void Server::sessionEvents()
{
    alignas(inotify_event) char buf[4096];
    bool closed = false;
    ssize_t n;
    while ((n = ::read(m_inotify, buf, sizeof buf)) > 0) {
        for (char *at = buf; at < buf + n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(at);
            if (event->mask & IN_OPEN)
                ++m_clients;
            if (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                m_clients = std::max(0, m_clients - 1);
                closed = true;
            }
            if (event->mask & IN_Q_OVERFLOW) {
                m_clients = 0;
                closed = true;
            }
            at += sizeof(inotify_event) + event->len;
        }
    }
    // Only once nobody holds the line: a session that started before we heard of the end
    // of the previous one has set the line up already and may have a request under way.
    if (closed && m_clients == 0)
        restoreSlave();
}

void Server::restoreSlave()
{
    tcflush(m_slaveFd, TCIOFLUSH);
    tcsetattr(m_slaveFd, TCSANOW, &m_fresh);
}

double Server::paceMs(size_t requestBytes, size_t answerBytes) const
{
    const int baud = m_opt.sensor.baud;
    const double silent = baud > 19200 ? 1.75 : 3.5 * 11 * 1000.0 / baud;
    return double(requestBytes + answerBytes) * 11 * 1000.0 / baud + silent;
}

void Server::writeState()
{
    if (m_opt.state.empty())
        return;
    const std::string tmp = m_opt.state + ".tmp";
    {
        std::ofstream f(tmp, std::ios::trunc);
        f << m_sensor.toJson();
        if (!f)
            return;
    }
    std::rename(tmp.c_str(), m_opt.state.c_str());
}

void Server::hangup()
{
    m_hungUp = true;
}

void Server::onFrame(const std::vector<uint8_t> &frame)
{
    if (m_hungUp)
        return;
    if (m_opt.verbose)
        std::fprintf(stderr, "rx %s\n", hex(frame).c_str());
    if (!m_sensor.addressedTo(frame))
        return;
    const int64_t now = nowMs();
    const FaultEffect effect = m_faults.decide(frame);
    if (effect.hangup) {
        hangup();
        return;
    }
    if (effect.silent)
        return;
    std::vector<uint8_t> answer;
    if (effect.exceptionCode >= 0) {
        if (frame[0] != 0)
            answer = m_sensor.exceptionAnswer(frame, effect.exceptionCode);
    } else {
        Sensor::Answer a = m_sensor.handle(frame, now);
        if (a.changed)
            writeState();
        answer = std::move(a.bytes);
    }
    if (answer.empty())
        return;
    m_faults.apply(effect, answer);
    double delay = effect.lateMs;
    if (m_opt.pace)
        delay += paceMs(frame.size(), answer.size());
    int64_t due = now + int64_t(std::llround(delay));
    if (!m_out.empty())
        due = std::max(due, m_out.back().due);
    m_out.push_back({due, std::move(answer)});
}

void Server::control(const std::string &line)
{
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    std::string error;
    if (cmd == "fault") {
        std::string rule;
        in >> rule;
        if (!m_faults.add(rule, error)) {
            std::printf("error %s\n", error.c_str());
            std::fflush(stdout);
            return;
        }
    } else if (cmd == "clear") {
        m_faults.clear();
    } else if (cmd == "set") {
        std::string table;
        long address = -1, value = -1;
        Sensor::Table t;
        if (!(in >> table >> address >> value) || !Sensor::tableFromName(table, t) || value < 0 ||
            value > 65535 || !m_sensor.setValue(t, int(address), uint16_t(value), nowMs())) {
            std::printf("error usage: set coil|discrete|holding|input ADDR VALUE\n");
            std::fflush(stdout);
            return;
        }
        writeState();
    } else if (cmd == "hangup") {
        std::printf("ok\n");
        std::fflush(stdout);
        hangup();
        return;
    } else if (cmd == "frame") {
        m_sensor.takeFrame(nowMs());
    } else if (cmd.empty()) {
        return;
    } else {
        std::printf("error unknown command: %s\n", cmd.c_str());
        std::fflush(stdout);
        return;
    }
    std::printf("ok\n");
    std::fflush(stdout);
}

int Server::run()
{
    if (!m_opt.load.empty()) {
        std::ifstream f(m_opt.load);
        std::stringstream text;
        text << f.rdbuf();
        std::string error;
        if (!f || !m_sensor.loadJson(text.str(), error, nowMs())) {
            std::fprintf(stderr, "brisca-sim: cannot load %s: %s\n", m_opt.load.c_str(),
                         f ? error.c_str() : "unreadable");
            return 2;
        }
    }
    for (const std::string &rule : m_opt.faults) {
        std::string error;
        if (!m_faults.add(rule, error)) {
            std::fprintf(stderr, "brisca-sim: bad fault %s: %s\n", rule.c_str(), error.c_str());
            return 2;
        }
    }
    if (!openLine())
        return 1;
    struct sigaction sa
    {
    };
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const double fps = m_opt.sensor.fps;
    if (fps > 0)
        m_nextFrame = nowMs() + int64_t(1000.0 / fps);

    std::printf("ready %s\n", m_opt.link.c_str());
    std::fflush(stdout);

    while (!g_stop && !m_hungUp) {
        int64_t now = nowMs();
        int64_t wait = 1000;
        auto shorten = [&](int64_t ms) {
            if (ms >= 0)
                wait = std::min(wait, ms);
        };
        if (m_nextFrame >= 0)
            shorten(std::max<int64_t>(0, m_nextFrame - now));
        if (!m_out.empty())
            shorten(std::max<int64_t>(0, m_out.front().due - now));
        shorten(m_framer.msUntilSilence(now));
        shorten(m_sensor.msUntilTick(now));

        pollfd fds[3] = {
            {m_master, POLLIN, 0}, {m_inotify, POLLIN, 0}, {m_stdinOpen ? 0 : -1, POLLIN, 0}};
        const int rc = ::poll(fds, 3, int(wait));
        if (rc < 0 && errno != EINTR)
            break;
        now = nowMs();
        if (rc > 0 && (fds[0].revents & POLLIN)) {
            uint8_t buf[1024];
            const ssize_t n = ::read(m_master, buf, sizeof buf);
            if (n > 0)
                m_framer.feed(buf, size_t(n), now);
        }
        if (rc > 0 && (fds[1].revents & POLLIN))
            sessionEvents();
        if (rc > 0 && (fds[2].revents & (POLLIN | POLLHUP))) {
            char buf[1024];
            const ssize_t n = ::read(0, buf, sizeof buf);
            if (n <= 0) {
                m_stdinOpen = false;
            } else {
                m_stdin.append(buf, size_t(n));
                size_t nl;
                while ((nl = m_stdin.find('\n')) != std::string::npos && !m_hungUp) {
                    control(m_stdin.substr(0, nl));
                    m_stdin.erase(0, nl + 1);
                }
            }
        }
        m_framer.checkSilence(now);
        m_sensor.tick(now);
        if (m_nextFrame >= 0 && now >= m_nextFrame) {
            m_sensor.takeFrame(now);
            m_nextFrame = std::max(m_nextFrame + int64_t(1000.0 / fps), now);
        }
        while (!m_hungUp && !m_out.empty() && m_out.front().due <= now) {
            const std::vector<uint8_t> &bytes = m_out.front().bytes;
            if (m_opt.verbose)
                std::fprintf(stderr, "tx %s\n", hex(bytes).c_str());
            const ssize_t n = ::write(m_master, bytes.data(), bytes.size());
            (void)n;
            m_out.pop_front();
        }
    }

    ::close(m_master);
    ::unlink(m_opt.link.c_str());
    if (m_hungUp) {
        std::printf("hangup\n");
        std::fflush(stdout);
    }
    ::close(m_slaveFd);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const Options options = parse(argc, argv);
    try {
        Server server(options);
        return server.run();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "brisca-sim: %s\n", e.what());
        return 1;
    }
}
