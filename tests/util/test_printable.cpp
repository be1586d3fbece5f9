// Control characters from outside the program never reach the terminal as they are.
#include "util/printable.h"

#include <gtest/gtest.h>

TEST(Printable, EscapesEveryControlButTheLineEndAndKeepsText)
{
    EXPECT_EQ(printable("\033]0;title\a\033[2J"), "\\e]0;title\\x07\\e[2J");
    EXPECT_EQ(printable("a\rb\tc\x7f\n"), "a\\rb\\tc\\x7F\n");
    EXPECT_EQ(printable("\xc2\x9b" "31m"), "\\u009B31m"); // C1 CSI in UTF-8
    EXPECT_EQ(printable(std::string("nul\0x", 5)), "nul\\x00x");
    EXPECT_EQ(printable("Grüße 1-1.2 \xc2\xa0"), "Grüße 1-1.2 \xc2\xa0");
}
