// Each case runs in its own process, so the log's process-wide state starts
// closed in every one of them.
#include "base/base.h"
#include "korvanth_config.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

std::string log_text(const TempDir &dir)
{
    std::string text;
    read_file(dir / L"Korvanth.log", &text);
    return text;
}

// The text of the line after its 21-byte stamp "YYYY-MM-DD hh:mm:ssZ ".
std::string only_line(const std::string &text)
{
    EXPECT_GE(text.size(), 23u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    EXPECT_EQ(text[19], 'Z');
    EXPECT_EQ(text[20], ' ');
    return text.substr(21, text.size() - 23);
}

const int lines_per_thread = 150;

DWORD WINAPI write_lines(void *arg)
{
    char fill = *(char *)arg;
    std::string body(200, fill);
    for (int i = 0; i < lines_per_thread; i++)
        log_printf("%c %s", fill, body.c_str());
    return 0;
}

}  // namespace

TEST(Log, NothingIsWrittenBeforeOpen)
{
    TempDir dir;
    log_printf("early %d", 1);
    log_wprintf(L"early %d", 2);
    log_write_line("early");
    EXPECT_FALSE(testing_support::file_exists(dir / L"Korvanth.log"));
    log_open(dir.path().c_str());
    log_printf("now");
    EXPECT_EQ(only_line(log_text(dir)), "now");
}

TEST(Log, RotatesOnlyAboveOneMebibyte)
{
    TempDir dir;
    ASSERT_TRUE(write_file(dir / L"Korvanth.log", std::string(1048576, 'a')));
    log_open(dir.path().c_str());
    EXPECT_EQ(testing_support::file_size(dir / L"Korvanth.log"), 1048576u);
    EXPECT_FALSE(testing_support::file_exists(dir / L"Korvanth.log.1"));

    // One byte more: the log moves to .1, replacing an older generation.
    ASSERT_TRUE(write_file(dir / L"Korvanth.log.1", "older generation"));
    ASSERT_TRUE(write_file(dir / L"Korvanth.log", std::string(1048577, 'b')));
    log_open(dir.path().c_str());
    EXPECT_EQ(testing_support::file_size(dir / L"Korvanth.log.1"), 1048577u);
    log_printf("launcher %s start", LAUNCHER_VERSION);
    EXPECT_EQ(only_line(log_text(dir)), "launcher " KORVANTH_VERSION " start");
}

TEST(Log, LongMessagesAreCutTo1023Bytes)
{
    TempDir dir;
    log_open(dir.path().c_str());
    std::string message(2000, 'm');
    log_printf("%s", message.c_str());
    EXPECT_EQ(only_line(log_text(dir)), std::string(1023, 'm'));

    TempDir wide_dir;
    log_open(wide_dir.path().c_str());
    std::wstring wide_message(2000, L'w');
    log_wprintf(L"%s", wide_message.c_str());
    EXPECT_EQ(only_line(log_text(wide_dir)), std::string(1023, 'w'));
}

TEST(Log, WideTextsArriveAsUtf8)
{
    // A Cyrillic folder name, both as the log's own folder and in a message.
    TempDir base;
    std::wstring folder = base / L"\x0418\x0433\x0440\x044B";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    log_open(folder.c_str());
    log_wprintf(L"folder %s", folder.c_str());
    log_printf("version %S", L"\x00E9\x20AC");
    std::string text;
    ASSERT_TRUE(read_file(folder + L"\\Korvanth.log", &text));
    EXPECT_NE(text.find("folder " + testing_support::narrow(folder) + "\r\n"), std::string::npos);
    EXPECT_NE(text.find("\\\xD0\x98\xD0\xB3\xD1\x80\xD1\x8B\r\n"), std::string::npos);
    EXPECT_NE(text.find("version \xC3\xA9\xE2\x82\xAC\r\n"), std::string::npos);
}

TEST(Log, LinesFromTwoThreadsNeverInterleave)
{
    TempDir dir;
    log_open(dir.path().c_str());
    char a = 'A', b = 'B';
    HANDLE threads[2] = {CreateThread(nullptr, 0, write_lines, &a, 0, nullptr),
                         CreateThread(nullptr, 0, write_lines, &b, 0, nullptr)};
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    CloseHandle(threads[0]);
    CloseHandle(threads[1]);

    std::string text = log_text(dir);
    int counts[2] = {0, 0};
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        std::string line = text.substr(pos + 21, end - pos - 21);
        char fill = line[0];
        ASSERT_TRUE(fill == 'A' || fill == 'B');
        EXPECT_EQ(line, std::string(1, fill) + " " + std::string(200, fill));
        counts[fill - 'A']++;
        pos = end + 2;
    }
    EXPECT_EQ(counts[0], lines_per_thread);
    EXPECT_EQ(counts[1], lines_per_thread);
}

TEST(Log, FolderTooLongForThePathWritesNothing)
{
    TempDir dir;
    std::wstring folder = dir.path() + L"\\" + std::wstring(250 - dir.path().size(), L'x');
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    log_open(folder.c_str());
    log_printf("lost");
    EXPECT_FALSE(testing_support::file_exists(folder + L"\\Korvanth.log"));
}
