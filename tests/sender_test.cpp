// The sender's port reading, in-process.
#include <gtest/gtest.h>

#include "sender.h"

TEST(ReadPort, ReadsLikePercentDWithinThePortRange)
{
    struct { const char* text; bool ok; int port; } cases[] = {
        {"7923", true, 7923},     {"7923abc", true, 7923}, {"  \t+7923", true, 7923},
        {"0", true, 0},           {"65535", true, 65535},  {"-0", true, 0},
        {"abc", false, 0},        {"", false, 0},          {" ", false, 0},
        {"+", false, 0},          {"- 1", false, 0},       {"-1", false, 0},
        {"65536", false, 0},      {"70000", false, 0},     // never wrapped to 4464
        {"99999999999999999999999", false, 0},
    };
    for (auto& c : cases) {
        int port = -1;
        EXPECT_EQ(read_port(c.text, port), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(port, c.port) << c.text;
        }
    }
}
