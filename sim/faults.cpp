#include "faults.h"

#include "rtuframer.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace BriscaSim {

namespace {

bool parseLong(const std::string &text, long &value)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 0); // decimal or 0x..
    if (*end != '\0' || errno != 0)
        return false;
    value = v;
    return true;
}

} // namespace

bool FaultRule::parse(const std::string &text, FaultRule &rule, std::string &error)
{
    rule = FaultRule();
    std::stringstream stream(text);
    std::string part;
    bool first = true;
    while (std::getline(stream, part, ',')) {
        const size_t colon = part.find(first ? ':' : '=');
        const std::string name = part.substr(0, colon);
        const std::string arg = colon == std::string::npos ? std::string() : part.substr(colon + 1);
        long v = 0;
        if (first) {
            first = false;
            static const struct
            {
                const char *name;
                Kind kind;
                bool needsArg;
            } kinds[] = {{"silent", Kind::Silent, false},
                         {"badcrc", Kind::BadCrc, false},
                         {"late", Kind::Late, true},
                         {"exception", Kind::Exception, true},
                         {"truncate", Kind::Truncate, false},
                         {"stray", Kind::Stray, false},
                         {"wrongslave", Kind::WrongSlave, false},
                         {"hangup", Kind::Hangup, false}};
            bool known = false;
            for (const auto &k : kinds) {
                if (name != k.name)
                    continue;
                known = true;
                rule.m_kind = k.kind;
                if (k.needsArg != (colon != std::string::npos)) {
                    error = k.needsArg ? name + " needs an argument" : name + " takes no argument";
                    return false;
                }
                if (k.needsArg && (!parseLong(arg, v) || v < 0 ||
                                   (k.kind == Kind::Exception && v > 255) || v > 600000)) {
                    error = "bad argument of " + name + ": " + arg;
                    return false;
                }
                rule.m_arg = int(v);
            }
            if (!known) {
                error = "unknown fault kind: " + name;
                return false;
            }
            continue;
        }
        if (name == "prob") {
            char *end = nullptr;
            const double p = std::strtod(arg.c_str(), &end);
            if (arg.empty() || *end != '\0' || !(p >= 0 && p <= 1)) {
                error = "prob must be between 0 and 1";
                return false;
            }
            rule.m_prob = p;
            continue;
        }
        if (!parseLong(arg, v) || v < 0) {
            error = "bad value in " + part;
            return false;
        }
        if (name == "count")
            rule.m_count = v;
        else if (name == "every" && v > 0)
            rule.m_every = v;
        else if (name == "after")
            rule.m_after = v;
        else if (name == "fc" && v <= 255)
            rule.m_function = int(v);
        else if (name == "addr" && v <= 65535)
            rule.m_address = int(v);
        else if (name == "slave" && v <= 255)
            rule.m_slave = int(v);
        else {
            error = "unknown or bad option: " + part;
            return false;
        }
    }
    if (first) {
        error = "empty fault";
        return false;
    }
    return true;
}

bool FaultRule::fires(uint8_t slave, uint8_t function, int address, std::mt19937 &rng)
{
    if (m_slave >= 0 && m_slave != slave)
        return false;
    if (m_function >= 0 && m_function != function)
        return false;
    if (m_address >= 0 && m_address != address)
        return false;
    if (++m_matched <= m_after)
        return false;
    const long n = m_matched - m_after;
    bool fire = true;
    if (m_every > 0)
        fire = n % m_every == 0;
    else if (m_prob >= 0)
        fire = std::uniform_real_distribution<double>(0.0, 1.0)(rng) < m_prob;
    if (fire && m_count >= 0) {
        if (m_fired >= m_count)
            return false;
    }
    if (fire)
        ++m_fired;
    return fire;
}

void FaultRule::addTo(FaultEffect &effect) const
{
    switch (m_kind) {
    case Kind::Silent:
        effect.silent = true;
        break;
    case Kind::BadCrc:
        effect.badCrc = true;
        break;
    case Kind::Late:
        effect.lateMs += m_arg;
        break;
    case Kind::Exception:
        effect.exceptionCode = m_arg;
        break;
    case Kind::Truncate:
        effect.truncate = true;
        break;
    case Kind::Stray:
        effect.stray = true;
        break;
    case Kind::WrongSlave:
        effect.wrongSlave = true;
        break;
    case Kind::Hangup:
        effect.hangup = true;
        break;
    }
}

bool FaultSet::add(const std::string &text, std::string &error)
{
    FaultRule rule;
    if (!FaultRule::parse(text, rule, error))
        return false;
    m_rules.push_back(rule);
    return true;
}

int FaultSet::requestAddress(const std::vector<uint8_t> &frame)
{
    if (frame.size() < 6)
        return -1;
    switch (frame[1]) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x05:
    case 0x06:
    case 0x0F:
    case 0x10:
        return frame[2] << 8 | frame[3];
    default:
        return -1;
    }
}

FaultEffect FaultSet::decide(const std::vector<uint8_t> &frame)
{
    FaultEffect effect;
    if (frame.size() < 2)
        return effect;
    const int address = requestAddress(frame);
    for (FaultRule &rule : m_rules) {
        if (rule.fires(frame[0], frame[1], address, m_rng))
            rule.addTo(effect);
    }
    return effect;
}

void FaultSet::apply(const FaultEffect &effect, std::vector<uint8_t> &answer)
{
    if (effect.silent || answer.size() < 4)
        return;
    if (effect.wrongSlave) {
        answer.resize(answer.size() - 2);
        answer[0] = static_cast<uint8_t>(answer[0] % 247 + 1); // never the asked address, never 0
        appendCrc(answer);
    }
    if (effect.truncate)
        answer.resize(std::max<size_t>(1, answer.size() / 2));
    else if (effect.badCrc)
        answer.back() ^= 0x5A;
    if (effect.stray) {
        std::uniform_int_distribution<int> count(1, 4), byte(0, 255);
        std::vector<uint8_t> garbage(size_t(count(m_rng)));
        for (uint8_t &b : garbage)
            b = static_cast<uint8_t>(byte(m_rng));
        answer.insert(answer.begin(), garbage.begin(), garbage.end());
    }
}

} // namespace BriscaSim
