#include <gtest/gtest.h>

#include "core/AsciiText.h"

using namespace brivo;

TEST(AsciiText, FindNoCaseFindsTheFirstOccurrence) {
    const size_t npos = std::string_view::npos;
    struct Case {
        const char* s;
        const char* needle;
        size_t at;
    } cases[] = {
        {"/a (DELETED) (deleted)", " (deleted)", 2},
        {"(deleted)", "(deleted)", 0},
        {"x(deleted", "(deleted)", npos},
        {"/a.txt (Deleted-realloc)", "(deleted)", npos},
        {"abc(x)", "c(x)", 2},        // anchor "(" not the first character
        {"c(x)c(X)", "c(x)", 0},
        {"b(x) C(X)", "c(x)", 5},
        {"(x)", "c(x)", npos},        // anchor found before any possible start
        {"HeLLo world", "lo", 3},     // letters only
        {"ÄbcÄ", "bc", 2},            // non-ASCII bytes never fold
        {"", "a", npos},
        {"abc", "", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(FindNoCase(c.s, c.needle), c.at) << c.s << " / " << c.needle;
    EXPECT_EQ(std::string(TrimView("\t\r\n x y \x01")), "x y");
}
