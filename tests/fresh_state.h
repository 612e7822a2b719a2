// Every test of a binary starts from the same process state, whatever ran
// before it and in whatever order (--gtest_shuffle): TZ as the binary found
// it, and whatever else the binary says how to reset.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace kit {

class fresh_state : public testing::EmptyTestEventListener {
public:
    explicit fresh_state(void (*reset)()) : reset_(reset)
    {
        const char* tz = std::getenv("TZ");
        had_tz_ = tz != nullptr;
        if (had_tz_)
            tz_ = tz;
    }
    void OnTestStart(const testing::TestInfo&) override
    {
        if (reset_ != nullptr)
            reset_();
    }
    void OnTestEnd(const testing::TestInfo&) override
    {
        if (had_tz_)
            setenv("TZ", tz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    void (*reset_)();
    bool had_tz_;
    std::string tz_;
};

// Registers the reset for every test of this binary; call it once, from a
// static initialiser.
inline bool keep_fresh(void (*reset)() = nullptr)
{
    testing::UnitTest::GetInstance()->listeners().Append(new fresh_state(reset));
    return true;
}

} // namespace kit
