#include "filters/Wildcard.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace brivo {
namespace {

struct TMatchCase {
    const char* Mask;
    const char* Name;
    bool Expected;
};

TEST(FileMask, MatchesWholeNamesByTheWildcardRules) {
    const TMatchCase cases[] = {
        {"*.jpg", "Photo.JPG", true},
        {"*.jpg", "photo.jpg.txt", false},
        {"*.*", "README", false},  // "*.*" needs a dot
        {"*.*", ".profile", true},
        {"*", "README", true},
        {"*", "", true},
        {"", "", true},
        {"", "a", false},
        {"a?c", "abc", true},
        {"a?c", "ac", false},
        {"a?c", "abbc", false},
        // "?" after "*" (with only "*" or "?" between) adds nothing
        {"*?", "", true},
        {"*??", "x", true},
        {"a*?", "a", true},
        {"a*?*?b", "ab", true},
        {"?*", "", false},  // "?" before the "*" still takes one character
        {"??*", "a", false},
        {"??*", "ab", true},
        {"*a*a*b", "xaxaxb", true},
        {"*a*a*b", "xaxbxb", false},
        {"*.tar.gz", "a.tar.tar.gz", true},
        // sets, ranges, negation
        {"[abc].txt", "b.txt", true},
        {"[abc].txt", "d.txt", false},
        {"[a-c]*", "Cat", true},  // sets fold ASCII case too
        {"[A-C]*", "cat", true},
        {"[!a-c]*", "dog", true},
        {"[!a-c]*", "Bat", false},
        {"[!a]", "", false},  // a negated set still takes one character
        {"[a-]x", "-x", true},  // "-" right before "]" stands for itself
        {"[z-a]", "m", false},  // reversed range holds nothing
        {"[!z-a]", "m", true},
        {"x]", "x]", true},   // "]" outside a set is itself
        {"[[]", "[", true},
        {"[!!]", "!", false},
        {"[a!]", "!", true},
        // ASCII-only case folding
        {"\xC3\xA9*", "\xC3\x89t\xC3\xA9", false},  // é does not match É
        {"\xC3\xA9*", "\xC3\xA9t\xC3\xA9", true},
        // UTF-8 names: "?" is one character, not one byte
        {"?.txt", "\xC3\xA9.txt", true},
        {"?.txt", "\xE2\x82\xAC.txt", true},
        {"?.txt", "\xF0\x9F\x98\x80.txt", true},
        {"??.txt", "\xC3\xA9.txt", false},
        // sets hold characters up to 255: é (233) can be a member, Ж (1046) cannot
        {"[\xC3\xA9]", "\xC3\xA9", true},
        {"[\xC3\xA0-\xC3\xBF]", "\xC3\xA9", true},
        {"[\xD0\x96]", "\xD0\x96", false},
        {"[!a]", "\xD0\x96", true},
        // bytes that are not UTF-8 are single characters matching only themselves
        {"?.txt", "\xFF.txt", true},
        {"\xFF.txt", "\xFF.txt", true},
        {"\xFE.txt", "\xFF.txt", false},
        {"[\xFF]", "\xFF", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TFileMask(c.Mask).Matches(c.Name), c.Expected)
            << "mask \"" << c.Mask << "\" name \"" << c.Name << "\"";
    }
}

struct TErrorCase {
    const char* Mask;
    int Position;
    const char* Message;
};

TEST(FileMask, MalformedMasksRaiseErrorsNamingMaskAndPosition) {
    const std::string stars31 = [] {
        std::string s;
        for (int i = 0; i < 31; ++i)
            s += "*a";
        return s;
    }();
    const TErrorCase cases[] = {
        {"*.[jp", 3, "Invalid file mask \"*.[jp\" at position 3: the set has no closing \"]\"."},
        {"[", 1, "Invalid file mask \"[\" at position 1: the set has no closing \"]\"."},
        {"x[a-", 2, "Invalid file mask \"x[a-\" at position 2: the set has no closing \"]\"."},
        {"a[]b", 2, "Invalid file mask \"a[]b\" at position 2: empty set."},
        {"[!]", 1, "Invalid file mask \"[!]\" at position 1: empty set."},
        {"[-a]", 2, "Invalid file mask \"[-a]\" at position 2: \"-\" has nothing before it in the set."},
        {"[!-a]", 3, "Invalid file mask \"[!-a]\" at position 3: \"-\" has nothing before it in the set."},
        {"[a-c-e]", 5, "Invalid file mask \"[a-c-e]\" at position 5: \"-\" has nothing before it in the set."},
        // positions count characters, not bytes
        {"\xC3\xA9\xC3\xA9[", 3, "Invalid file mask \"\xC3\xA9\xC3\xA9[\" at position 3: the set has no closing \"]\"."},
        {stars31.c_str(), 61, nullptr},
    };
    for (const auto& c : cases) {
        try {
            TFileMask m(c.Mask);
            ADD_FAILURE() << "no error for mask \"" << c.Mask << "\"";
        } catch (const TMaskError& e) {
            EXPECT_EQ(e.Position(), c.Position) << c.Mask;
            EXPECT_EQ(e.Mask(), c.Mask);
            if (c.Message)
                EXPECT_STREQ(e.what(), c.Message);
            else
                EXPECT_STREQ(e.what(), ("Invalid file mask \"" + stars31 +
                                        "\" at position 61: more than 30 \"*\" groups.").c_str());
        }
    }
}

TEST(FileMask, ThirtyStarGroupsAreAllowedAndRunsCountOnce) {
    std::string thirty;
    for (int i = 0; i < 30; ++i)
        thirty += "*a";
    EXPECT_TRUE(TFileMask(thirty).Matches(std::string(30, 'a')));
    // runs of "*" and "?" form one group each, so this long run is a single group
    EXPECT_NO_THROW(TFileMask(std::string(100, '*') + "?*?*"));
    std::string runs;
    for (int i = 0; i < 31; ++i)
        runs += "**?*x";
    EXPECT_THROW(TFileMask{runs}, TMaskError);
}

TEST(FileMask, ManyStarsAgainstLongNameDoNotBacktrackExponentially) {
    // Exponential backtracking would never finish on this; the matcher is O(name x mask).
    const std::string name(20000, 'a');
    EXPECT_FALSE(TFileMask("*a*a*a*a*a*a*a*a*a*a*a*a*b").Matches(name));
    EXPECT_TRUE(TFileMask("*a*a*a*a*a*a*a*a*a*a*a*a*").Matches(name));
    EXPECT_FALSE(TFileMask("*?*?*?*?*?*?*?*?*?*?*?*?*b").Matches(name));
}

// Straightforward recursive matcher over the same rules, for short inputs only.
bool ReferenceMatch(const std::string& m, size_t mi, const std::string& n, size_t ni) {
    auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; };
    if (mi == m.size())
        return ni == n.size();
    if (m[mi] == '*')
        return ReferenceMatch(m, mi + 1, n, ni) || (ni < n.size() && ReferenceMatch(m, mi, n, ni + 1));
    if (ni == n.size())
        return false;
    if (m[mi] == '?')
        return ReferenceMatch(m, mi + 1, n, ni + 1);
    if (m[mi] == '[') {  // generated sets: [xy], [!xy], [x-y] over letters
        size_t close = m.find(']', mi);
        std::string body = m.substr(mi + 1, close - mi - 1);
        bool neg = !body.empty() && body[0] == '!';
        if (neg)
            body.erase(0, 1);
        bool in = false;
        char c = fold(n[ni]);
        if (body.size() == 3 && body[1] == '-') {  // a range of codes; letters in either case
            const char upper = (c >= 'a' && c <= 'z') ? char(c - 32) : c;
            in = (c >= body[0] && c <= body[2]) || (upper >= body[0] && upper <= body[2]);
        } else
            for (char b : body)
                in = in || fold(b) == c;
        return in != neg && ReferenceMatch(m, close + 1, n, ni + 1);
    }
    return fold(m[mi]) == fold(n[ni]) && ReferenceMatch(m, mi + 1, n, ni + 1);
}

// The "?" that follows a "*" (only "*" or "?" between) is dropped before the reference runs.
std::string DropInertQuestionMarks(const std::string& m) {
    std::string out;
    bool afterStar = false;
    for (char c : m) {
        if (c == '*')
            afterStar = true;
        else if (c != '?')
            afterStar = false;
        if (c == '?' && afterStar)
            continue;
        out.push_back(c);
    }
    return out;
}

TEST(FileMask, AgreesWithReferenceOnRandomShortMasks) {
    std::mt19937 rng(12345);
    const char* pieces[] = {"a", "A", "b", ".", "*", "?", "**", "*?", "?*", "[ab]", "[!a]", "[a-b]", "[B-b]"};
    const char nameChars[] = {'a', 'A', 'b', 'B', '.', 'c'};
    for (int iter = 0; iter < 20000; ++iter) {
        std::string mask;
        for (int k = int(rng() % 7); k > 0; --k)
            mask += pieces[rng() % std::size(pieces)];
        std::string name;
        for (int k = int(rng() % 9); k > 0; --k)
            name += nameChars[rng() % std::size(nameChars)];
        const bool expected = ReferenceMatch(DropInertQuestionMarks(mask), 0, name, 0);
        ASSERT_EQ(TFileMask(mask).Matches(name), expected) << "mask \"" << mask << "\" name \"" << name << "\"";
    }
}

TEST(MatchesAnyMask, TestsTheFileNamePartOfAPath) {
    const TMaskList jpg = {"*.jpg"};
    EXPECT_TRUE(MatchesAnyMask("Users/Bob/Photo.JPG", jpg));
    EXPECT_TRUE(MatchesAnyMask("C:\\Users\\Bob\\Photo.jpg", jpg));
    EXPECT_TRUE(MatchesAnyMask("/Docs/a.txt:thumb.jpg", jpg));  // part after ":"
    EXPECT_FALSE(MatchesAnyMask("/Photos.jpg/readme.txt", jpg));
    // a text ending in a separator is tested whole, as given
    EXPECT_TRUE(MatchesAnyMask("/Pics/x.jpg/", {"/Pics/*.jpg/"}));
    EXPECT_FALSE(MatchesAnyMask("Docs/", {"*.*"}));
    EXPECT_TRUE(MatchesAnyMask("Docs/", {"*"}));
    EXPECT_TRUE(MatchesAnyMask("", {"*"}));
}

TEST(MatchesAnyMask, AnyMaskOfTheListAndEmptyList) {
    const TMaskList list = {"*.png", "*.jpg", "report.*"};
    EXPECT_TRUE(MatchesAnyMask("a/b/x.PNG", list));
    EXPECT_TRUE(MatchesAnyMask("Report.docx", list));
    EXPECT_FALSE(MatchesAnyMask("x.gif", list));
    EXPECT_FALSE(MatchesAnyMask("x.gif", {}));
    EXPECT_FALSE(MatchesAnyMask("README", {"*.*"}));
    EXPECT_TRUE(MatchesAnyMask("README", {"*"}));
    // lists change between calls on the same thread
    EXPECT_TRUE(MatchesAnyMask("x.gif", {"*.gif"}));
    EXPECT_FALSE(MatchesAnyMask("x.gif", list));
}

TEST(MatchesAnyMask, InvalidMaskRaisesEvenWhenAnEarlierMaskMatches) {
    const TMaskList list = {"*.jpg", "*.[png"};
    EXPECT_THROW(MatchesAnyMask("a.jpg", list), TMaskError);
    EXPECT_THROW(MatchesAnyMask("a.jpg", list), TMaskError);  // a failed list is not cached
    EXPECT_THROW(ValidateMasks(list), TMaskError);
    EXPECT_NO_THROW(ValidateMasks({"*.jpg", "[a-z]*"}));
}

} // namespace
} // namespace brivo
