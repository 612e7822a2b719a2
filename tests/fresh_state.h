// Every test of a binary starts from the same process state, whatever ran
// before it and in whatever order (--gtest_shuffle): TZ as the binary found
// it, and whatever else the binary says how to reset.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace kit {

// TZ as it was when made, set or not, and put back by restore().
struct kept_tz {
    bool set = std::getenv("TZ") != nullptr;
    std::string value = set ? std::getenv("TZ") : "";
    void restore() const
    {
        set ? setenv("TZ", value.c_str(), 1) : unsetenv("TZ");
        tzset();
    }
};

class fresh_state : public testing::EmptyTestEventListener {
public:
    explicit fresh_state(void (*reset)()) : reset_(reset) {}
    void OnTestStart(const testing::TestInfo&) override
    {
        if (reset_ != nullptr)
            reset_();
    }
    void OnTestEnd(const testing::TestInfo&) override { tz_.restore(); }

private:
    void (*reset_)();
    kept_tz tz_;
};

// Registers the reset for every test of this binary; call it once, from a
// static initialiser.
inline bool keep_fresh(void (*reset)() = nullptr)
{
    testing::UnitTest::GetInstance()->listeners().Append(new fresh_state(reset));
    return true;
}

} // namespace kit
