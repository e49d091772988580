// brisca-sim: virtual Brisca sensors on one line, a fresh pseudo-terminal.

#include "simbus.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

int64_t nowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

struct SensorOptions
{
    SensorConfig config;
    std::string load, state;
};

struct Options
{
    // Never empty: the first sensor exists before any --slave.
    std::vector<SensorOptions> sensors{SensorOptions()};
    std::string link;
    bool pace = false, verbose = false;
    Pattern pattern = Pattern::Scene;
    uint32_t seed = 1;
    double fps = 8.0;
    std::vector<std::string> faults;
};

[[noreturn]] void usage(const std::string &why)
{
    std::fprintf(
        stderr,
        "brisca-sim: %s\n"
        "usage: brisca-sim --link PATH [SENSOR] [--slave N [SENSOR]]... [--pace]\n"
        "           [--pattern ramp|scene] [--seed N] [--fps F] [--verbose] [--fault RULE]...\n"
        "  SENSOR: [--baud B] [--parity none|even|odd] [--load FILE] [--state FILE]\n"
        "Each --slave N puts one more sensor on the line (the first --slave names the first\n"
        "sensor); the sensor options after it, or before the first --slave, belong to that\n"
        "sensor. --slave, --baud and --parity are its factory settings. Control lines on stdin:\n"
        "fault RULE, clear, set TABLE ADDR VALUE, frame, line, hangup; 'slave N set ...' or\n"
        "'slave N frame' address the sensor that listens on N, plain 'set' the first one.\n"
        "A rule with slave=N hits only the requests to address N.\n",
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
    bool slaveSeen = false;
    for (int i = 1; i < argc; ++i) {
        SensorOptions &sensor = o.sensors.back();
        const std::string a = argv[i];
        auto next = [&]() -> const char * {
            if (i + 1 >= argc)
                usage(a + " needs a value");
            return argv[++i];
        };
        if (a == "--link")
            o.link = next();
        else if (a == "--slave") {
            const int slave = int(number(a, next(), 1, 247));
            if (slaveSeen)
                o.sensors.emplace_back();
            slaveSeen = true;
            o.sensors.back().config.slave = slave;
        } else if (a == "--baud") {
            const char *text = next();
            sensor.config.baud = int(number(a, text, 1200, 256000));
            if (!knownBaud(sensor.config.baud))
                usage(std::string("a Brisca sensor has no rate of ") + text + " baud");
        } else if (a == "--parity") {
            const std::string p = next();
            if (p == "none")
                sensor.config.parity = 'N';
            else if (p == "even")
                sensor.config.parity = 'E';
            else if (p == "odd")
                sensor.config.parity = 'O';
            else
                usage("bad parity: " + p);
        } else if (a == "--pace")
            o.pace = true;
        else if (a == "--pattern") {
            const std::string p = next();
            if (p == "ramp")
                o.pattern = Pattern::Ramp;
            else if (p == "scene")
                o.pattern = Pattern::Scene;
            else
                usage("bad pattern: " + p);
        } else if (a == "--seed")
            o.seed = uint32_t(number(a, next(), 0, 0xFFFFFFFFL));
        else if (a == "--fps") {
            const char *t = next();
            char *end = nullptr;
            const double f = std::strtod(t, &end);
            if (*end != '\0' || !(f >= 0 && f <= 1000))
                usage(std::string("bad value for --fps: ") + t);
            o.fps = f;
        } else if (a == "--load")
            sensor.load = next();
        else if (a == "--state")
            sensor.state = next();
        else if (a == "--verbose")
            o.verbose = true;
        else if (a == "--fault")
            o.faults.push_back(next());
        else
            usage("unknown option " + a);
    }
    if (o.link.empty())
        usage("--link is required");
    // Each sensor its own scene, the first one the scene of the seed.
    for (size_t i = 0; i < o.sensors.size(); ++i) {
        o.sensors[i].config.pattern = o.pattern;
        o.sensors[i].config.seed = o.seed + uint32_t(i);
        o.sensors[i].config.fps = o.fps;
    }
    return o;
}

class Server
{
public:
    explicit Server(const Options &o)
        : m_opt(o)
        , m_bus(configs(o), o.seed, o.pace)
    {
        m_bus.onChange = [this](size_t sensor) {
            writeState(sensor);
        };
        m_bus.onLog = [this](const std::string &line) {
            if (m_opt.verbose)
                std::fprintf(stderr, "%s\n", line.c_str());
        };
    }

    int run();

private:
    static std::vector<SensorConfig> configs(const Options &o)
    {
        std::vector<SensorConfig> out;
        for (const SensorOptions &sensor : o.sensors)
            out.push_back(sensor.config);
        return out;
    }

    bool load();
    bool openLine();
    void readLine(int64_t now);
    void control(const std::string &line);
    void reply(const std::string &text);
    void writeState(size_t sensor);
    void sessionEvents();
    void restoreSlave();

    Options m_opt;
    Bus m_bus;
    int m_master = -1, m_slaveFd = -1, m_inotify = -1;
    int m_clients = 0; // descriptors of the slave side that others hold open
    std::string m_slavePath;
    termios m_fresh{};
    LineSettings m_line;
    std::string m_stdin;
    bool m_stdinOpen = true;
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
    tcgetattr(m_slaveFd, &m_fresh); // as the pty keeps them, to compare with later

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
    // A client that put back what it found (Qt, libmodbus) needs nothing. Leaving its line
    // alone also keeps a session that opened meanwhile from losing its settings to us.
    termios now{};
    if (tcgetattr(m_slaveFd, &now) == 0 && now.c_iflag == m_fresh.c_iflag &&
        now.c_oflag == m_fresh.c_oflag && now.c_cflag == m_fresh.c_cflag &&
        now.c_lflag == m_fresh.c_lflag && cfgetospeed(&now) == cfgetospeed(&m_fresh))
        return;
    tcflush(m_slaveFd, TCIOFLUSH);
    tcsetattr(m_slaveFd, TCSANOW, &m_fresh);
}

void Server::writeState(size_t sensor)
{
    const std::string &path = m_opt.sensors[sensor].state;
    if (path.empty())
        return;
    const std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::trunc);
        f << m_bus.sensor(sensor).toJson();
        if (!f)
            return;
    }
    std::rename(tmp.c_str(), path.c_str());
}

void Server::readLine(int64_t now)
{
    uint8_t buf[1024];
    const ssize_t n = ::read(m_master, buf, sizeof buf);
    if (n <= 0)
        return;
    // The settings the bytes were sent with are the ones the master's port has now.
    LineSettings line;
    if (readPtySettings(m_slaveFd, line))
        m_line = line;
    m_bus.receive(buf, size_t(n), m_line, now);
}

void Server::reply(const std::string &text)
{
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

void Server::control(const std::string &line)
{
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    // "slave N ..." addresses the sensors that listen on N; otherwise "set" goes to the
    // first sensor and "frame" to all.
    std::vector<size_t> targets;
    if (cmd == "slave") {
        long slave = -1;
        in >> slave >> cmd;
        for (size_t i = 0; i < m_bus.size(); ++i) {
            if (m_bus.sensor(i).slave() == slave)
                targets.push_back(i);
        }
        if (targets.empty())
            return reply("error no sensor listens on " + std::to_string(slave));
    } else {
        for (size_t i = 0; i < (cmd == "set" ? 1 : m_bus.size()); ++i)
            targets.push_back(i);
    }
    const int64_t nowMs = nowUs() / 1000;
    std::string error;
    if (cmd == "fault") {
        std::string rule;
        in >> rule;
        if (!m_bus.faults().add(rule, error))
            return reply("error " + error);
    } else if (cmd == "clear") {
        m_bus.faults().clear();
    } else if (cmd == "set") {
        std::string table;
        long address = -1, value = -1;
        Sensor::Table t;
        if (!(in >> table >> address >> value) || !Sensor::tableFromName(table, t) || value < 0 ||
            value > 65535 || address < 0 || address >= Sensor::tableSize(t))
            return reply("error usage: [slave N] set coil|discrete|holding|input ADDR VALUE");
        for (size_t i : targets) {
            m_bus.sensor(i).setValue(t, int(address), uint16_t(value), nowMs);
            writeState(i);
        }
    } else if (cmd == "hangup") {
        reply("ok");
        m_bus.hangup();
        return;
    } else if (cmd == "frame") {
        for (size_t i : targets)
            m_bus.sensor(i).takeFrame(nowMs);
    } else if (cmd == "line") {
        // What a master's port has put on the line, as the sensors read it.
        LineSettings now;
        if (!readPtySettings(m_slaveFd, now))
            return reply("error cannot read the line settings");
        return reply("ok " + now.text());
    } else if (cmd.empty()) {
        return;
    } else {
        return reply("error unknown command: " + cmd);
    }
    reply("ok");
}

bool Server::load()
{
    for (size_t i = 0; i < m_opt.sensors.size(); ++i) {
        const std::string &path = m_opt.sensors[i].load;
        if (path.empty())
            continue;
        std::ifstream f(path);
        std::stringstream text;
        text << f.rdbuf();
        std::string error;
        if (!f || !m_bus.sensor(i).loadJson(text.str(), error, nowUs() / 1000)) {
            std::fprintf(stderr, "brisca-sim: cannot load %s: %s\n", path.c_str(),
                         f ? error.c_str() : "unreadable");
            return false;
        }
    }
    return true;
}

int Server::run()
{
    if (!load())
        return 2;
    for (const std::string &rule : m_opt.faults) {
        std::string error;
        if (!m_bus.faults().add(rule, error)) {
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

    const double fps = m_opt.fps;
    const int64_t framePeriodUs = fps > 0 ? int64_t(1e6 / fps) : 0;
    if (fps > 0)
        m_nextFrame = nowUs() + framePeriodUs;

    reply("ready " + m_opt.link);

    while (!g_stop && !m_bus.hungUp()) {
        int64_t now = nowUs();
        int64_t wait = 1000000;
        const int64_t busWait = m_bus.idleFor(now);
        if (busWait >= 0)
            wait = std::min(wait, busWait);
        if (m_nextFrame >= 0)
            wait = std::min(wait, std::max<int64_t>(0, m_nextFrame - now));

        pollfd fds[3] = {
            {m_master, POLLIN, 0}, {m_inotify, POLLIN, 0}, {m_stdinOpen ? 0 : -1, POLLIN, 0}};
        const timespec timeout{time_t(wait / 1000000), long(wait % 1000000) * 1000};
        const int rc = ::ppoll(fds, 3, &timeout, nullptr);
        if (rc < 0 && errno != EINTR)
            break;
        now = nowUs();
        if (rc > 0 && (fds[0].revents & POLLIN))
            readLine(now);
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
                while ((nl = m_stdin.find('\n')) != std::string::npos && !m_bus.hungUp()) {
                    control(m_stdin.substr(0, nl));
                    m_stdin.erase(0, nl + 1);
                }
            }
        }
        m_bus.advance(now);
        if (m_nextFrame >= 0 && now >= m_nextFrame) {
            for (size_t i = 0; i < m_bus.size(); ++i)
                m_bus.sensor(i).takeFrame(now / 1000);
            m_nextFrame = std::max(m_nextFrame + framePeriodUs, now);
        }
        std::vector<uint8_t> bytes;
        while (m_bus.takeAnswer(now, bytes)) {
            if (m_opt.verbose)
                std::fprintf(stderr, "tx %s\n", Bus::hex(bytes).c_str());
            const ssize_t n = ::write(m_master, bytes.data(), bytes.size());
            (void)n;
        }
    }

    ::close(m_master);
    ::unlink(m_opt.link.c_str());
    if (m_bus.hungUp())
        reply("hangup");
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
