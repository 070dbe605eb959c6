// The swap request's text rules: which command lines are a swap or a
// launcher on trial, and where the new launcher's copy goes.
#include "selfupdate/selfupdate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct RequestCase {
    std::vector<const wchar_t *> args;  // after the program name
    int result;
    unsigned long pid;
    const wchar_t *target;
    const char *why;
};

}  // namespace

TEST(SwapRequest, RecognisedFormsOnly)
{
    const RequestCase cases[] = {
        {{L"--swap", L"1234", L"C:\\K\\Korvanth.exe"}, 1, 1234, L"C:\\K\\Korvanth.exe", "plain"},
        {{L"x", L"--swap", L"  +88tail", L"t"}, 1, 88, L"t", "blanks, sign, digits up to text"},
        {{L"--swap", L"-4", L"t"}, 1, (unsigned long)-4L, L"t", "signed, as the runtime reads"},
        {{L"--swap", L"0", L"t"}, 0, 0, L"", "pid 0"},
        {{L"--swap", L"abc", L"t"}, 0, 0, L"", "not a number"},
        {{L"--swap", L"", L"t"}, 0, 0, L"", "empty number"},
        {{L"--SWAP", L"12", L"t"}, 0, 0, L"", "capitals are another option"},
        {{L"--swap ", L"12", L"t"}, 0, 0, L"", "exact comparison"},
        {{L"--swap", L"12"}, 0, 0, L"", "no target"},
        {{L"--swap", L"12", L""}, 1, 12, L"", "empty target still asks for a swap"},
        {{L"--swap", L"--swap", L"7", L"t"}, 0, 0, L"", "the first --swap decides"},
        {{L"--swap", L"99999999999", L"t"}, 1, 2147483647ul, L"t", "saturates, never wraps"},
        {{L"--swap", L"4294967296", L"t"}, 1, 2147483647ul, L"t", "2^32 is no pid 0"},
    };
    for (const RequestCase &c : cases) {
        SCOPED_TRACE(c.why);
        std::vector<const wchar_t *> argv = {L"Korvanth.new"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        unsigned long pid = 99;
        wchar_t target[260];
        EXPECT_EQ(swap_parse_request((int)argv.size(), argv.data(), &pid, target, 260), c.result);
        EXPECT_EQ(pid, c.pid);
        EXPECT_STREQ(target, c.target);
    }
    // argv[0] is the program, never the option.
    const wchar_t *first[] = {L"--swap", L"12", L"t"};
    unsigned long pid = 0;
    wchar_t target[260];
    EXPECT_EQ(swap_parse_request(3, first, &pid, target, 260), 0);
}

TEST(SwapRequest, TargetThatDoesNotFitIsRefusedNotCut)
{
    std::wstring fits(259, L'a'), too_long(260, L'a');
    const wchar_t *ok[] = {L"K", L"--swap", L"5", fits.c_str()};
    const wchar_t *bad[] = {L"K", L"--swap", L"5", too_long.c_str()};
    unsigned long pid = 0;
    wchar_t target[260];
    EXPECT_EQ(swap_parse_request(4, ok, &pid, target, 260), 1);
    EXPECT_EQ(std::wstring(target), fits);
    EXPECT_EQ(swap_parse_request(4, bad, &pid, target, 260), -1);
    EXPECT_STREQ(target, L"");
}

TEST(SwapCopyPath, FolderOfTheTargetAtTheLimit)
{
    struct {
        std::wstring target;
        int result;
        std::wstring copy;
    } cases[] = {
        {L"C:\\Games\\Korvanth\\Korvanth.exe", 1, L"C:\\Games\\Korvanth\\Korvanth.swap"},
        {L"C:\\Korvanth.exe", 1, L"C:\\Korvanth.swap"},
        {L"Korvanth.exe", 1, L"Korvanth.swap"},
        {L"", 1, L"Korvanth.swap"},
        // 245 characters of folder, its backslash and "Korvanth.swap" fill 259.
        {std::wstring(245, L'f') + L"\\K.exe", 1, std::wstring(245, L'f') + L"\\Korvanth.swap"},
        {std::wstring(246, L'f') + L"\\K.exe", 0, L""},
        // The folder counts, not the whole target: a long file name is fine.
        {L"C:\\" + std::wstring(250, L'n'), 1, L"C:\\Korvanth.swap"},
    };
    for (const auto &c : cases) {
        wchar_t copy[260];
        EXPECT_EQ(swap_sibling_path(c.target.c_str(), OWN_FILE_SWAP_COPY, copy, 260), c.result)
            << c.target.size();
        EXPECT_EQ(std::wstring(copy), c.copy);
    }
}

TEST(SwapTrial, OnlyWithATargetThatFits)
{
    std::wstring fits(259, L'a'), too_long(260, L'a');
    const RequestCase cases[] = {
        {{L"--swapped", L"C:\\K\\Korvanth.exe"}, 1, 0, L"C:\\K\\Korvanth.exe", "plain"},
        {{L"--launcher-role", L"--swapped", L"t", L"--x"}, 1, 0, L"t", "among others"},
        {{L"--swapped"}, 0, 0, L"", "a launcher of older helpers: no target"},
        {{L"--swapped", L""}, 0, 0, L"", "empty target"},
        {{L"--Swapped", L"t"}, 0, 0, L"", "exact comparison"},
        {{L"--swapped", fits.c_str()}, 1, 0, fits.c_str(), "259 characters"},
        {{L"--swapped", too_long.c_str()}, -1, 0, L"", "refused, not cut"},
    };
    for (const RequestCase &c : cases) {
        SCOPED_TRACE(c.why);
        std::vector<const wchar_t *> argv = {L"Korvanth.swap"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        wchar_t target[260];
        EXPECT_EQ(swap_parse_trial((int)argv.size(), argv.data(), target, 260), c.result);
        EXPECT_STREQ(target, c.target);
    }
}
