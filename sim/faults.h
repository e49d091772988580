#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace BriscaSim {

// What goes wrong with the answer to one request. Several rules may hit the same request;
// their effects add up.
struct FaultEffect
{
    bool silent = false;
    bool badCrc = false;
    bool truncate = false;
    bool stray = false;
    bool wrongSlave = false;
    bool hangup = false;
    int exceptionCode = -1;
    int lateMs = 0;

    bool any() const
    {
        return silent || badCrc || truncate || stray || wrongSlave || hangup ||
               exceptionCode >= 0 || lateMs > 0;
    }
    // Faults that keep the request from being carried out.
    bool suppressesRequest() const { return silent || hangup || exceptionCode >= 0; }
};

// One rule: KIND[:ARG][,count=N][,every=N][,prob=P][,after=N][,fc=F][,addr=A][,slave=S]
// slave=S keeps to the requests sent to the slave address S.
class FaultRule
{
public:
    enum class Kind
    {
        Silent,
        BadCrc,
        Late,
        Exception,
        Truncate,
        Stray,
        WrongSlave,
        Hangup
    };

    static bool parse(const std::string &text, FaultRule &rule, std::string &error);

    // Counts the request if it matches and says whether this rule fires on it.
    bool fires(uint8_t slave, uint8_t function, int address, std::mt19937 &rng);
    void addTo(FaultEffect &effect) const;

private:
    Kind m_kind = Kind::Silent;
    int m_arg = 0;
    long m_count = -1;
    long m_every = 0;
    double m_prob = -1;
    long m_after = 0;
    int m_function = -1;
    int m_address = -1;
    int m_slave = -1;
    long m_matched = 0;
    long m_fired = 0;
};

class FaultSet
{
public:
    explicit FaultSet(uint32_t seed)
        : m_rng(seed ^ 0x5eed5eedu)
    {}

    bool add(const std::string &text, std::string &error);
    void clear() { m_rules.clear(); }
    bool empty() const { return m_rules.empty(); }

    // Start address of a request, or -1 for functions that carry none.
    static int requestAddress(const std::vector<uint8_t> &frame);
    FaultEffect decide(const std::vector<uint8_t> &frame);
    // Damages an answer as `effect` says; the exception answer is already in place.
    void apply(const FaultEffect &effect, std::vector<uint8_t> &answer);

private:
    std::vector<FaultRule> m_rules;
    std::mt19937 m_rng;
};

} // namespace BriscaSim
