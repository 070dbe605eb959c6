#include "harness.h"

#include "game/game.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <stdio.h>

using namespace testing_support;

namespace update_test {

namespace {

const std::string STATE = KORVANTH_BINARY_DIR "/net-servers";

std::string port_of(const std::string &file)
{
    std::string text;
    read_file(wine_path(STATE + "/" + file), &text);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text.empty() ? "1" : text;
}

}  // namespace

std::vector<std::wstring> PassResult::statuses() const
{
    std::vector<std::wstring> out;
    for (const Message &m : messages)
        if (m.message == WM_LAUNCHER_STATUS)
            out.push_back(m.text);
    return out;
}

bool PassResult::has_status(const std::wstring &text) const
{
    for (const std::wstring &s : statuses())
        if (s == text)
            return true;
    return false;
}

bool PassResult::has_status_prefix(const std::wstring &prefix) const
{
    for (const std::wstring &s : statuses())
        if (s.compare(0, prefix.size(), prefix) == 0)
            return true;
    return false;
}

std::wstring mirror(const std::string &name)
{
    return widen("https://127.0.0.1:" + port_of("mirror/https.port") + "/update/" + name + "/");
}

std::wstring slow_mirror(const std::string &name)
{
    return widen("https://127.0.0.1:" + port_of("fault-https.port") + "/slow/update/" + name + "/");
}

std::wstring gated_mirror(const std::string &route, const std::string &tag, int n,
                          const std::string &name)
{
    return widen("https://127.0.0.1:" + port_of("fault-https.port") + "/" + route + "/" + tag +
                 "/" + std::to_string(n) + "/update/" + name + "/");
}

std::wstring paced_mirror(int piece, int ms, const std::string &name)
{
    return widen("https://127.0.0.1:" + port_of("fault-https.port") + "/pace/" +
                 std::to_string(piece) + "/" + std::to_string(ms) + "/update/" + name + "/");
}

std::wstring paced_objects_mirror(int piece, int ms, const std::string &name)
{
    return widen("https://127.0.0.1:" + port_of("fault-https.port") + "/pace-objects/" +
                 std::to_string(piece) + "/" + std::to_string(ms) + "/update/" + name + "/");
}

std::wstring faulty_gzip_mirror(const std::string &mode, const std::string &name)
{
    return widen("https://127.0.0.1:" + port_of("fault-https.port") + "/gz-" + mode + "/update/" +
                 name + "/");
}

std::wstring stale_mirror(const std::string &old, const std::string &name)
{
    return widen("https://127.0.0.1:" + port_of("fault-https.port") + "/stale/" + old +
                 "/update/" + name + "/");
}

std::wstring missing_mirror(const std::string &name)
{
    return widen("https://127.0.0.1:" + port_of("fault-https.port") + "/missing/update/" + name +
                 "/");
}

std::wstring dead_mirror()
{
    return L"http://127.0.0.1:1/";
}

bool releases_available()
{
    return file_exists(wine_path(STATE + "/tree/update/main/manifest.json"));
}

std::string release_file(const std::string &release, const std::string &path)
{
    std::string bytes;
    EXPECT_TRUE(read_file(wine_path(STATE + "/tree/update/" + release + ".client/" + path), &bytes))
        << release << " " << path;
    return bytes;
}

std::string release_object(const std::string &release, const std::string &name)
{
    std::string bytes;
    EXPECT_TRUE(read_file(wine_path(STATE + "/tree/update/" + release + "/objects/" + name), &bytes))
        << release << " " << name;
    return bytes;
}

bool release_manifest(const std::string &release, Manifest *manifest)
{
    std::string text;
    if (!read_file(wine_path(STATE + "/tree/update/" + release + "/manifest.json"), &text))
        return false;
    return manifest_parse(text.data(), text.size(), manifest, nullptr);
}

std::string test_key_point(const std::string &name)
{
    std::string pem;
    if (!read_file(wine_path(STATE + "/keys/" + name + ".pub.pem"), &pem))
        return "";
    // The Base64 between the BEGIN and END lines: a DER SubjectPublicKeyInfo
    // of a P-256 key, 91 bytes that end with X and Y.
    size_t begin = pem.find('\n'), end = pem.find("-----END");
    if (begin == std::string::npos || end == std::string::npos || end < begin)
        return "";
    uint8_t der[128];
    size_t n = sizeof der;
    if (!base64_decode_lenient(pem.data() + begin, end - begin, der, &n) || n != 91)
        return "";
    return std::string((const char *)der + 27, 64);
}

namespace {

std::string mirror_log()
{
    std::string log;
    read_file(wine_path(STATE + "/mirror/access.log"), &log);
    return log;
}

}  // namespace

int mirror_requests(const std::string &needle)
{
    std::string log = mirror_log();
    int n = 0;
    for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1))
        n++;
    return n;
}

size_t mirror_log_mark()
{
    return mirror_log().size();
}

int mirror_connections(const std::string &needle, size_t since)
{
    std::string log = mirror_log();
    std::set<std::string> seen;
    size_t line = since;
    while (line < log.size()) {
        size_t end = log.find('\n', line);
        if (end == std::string::npos)
            end = log.size();
        std::string text = log.substr(line, end - line);
        size_t conn = text.rfind(" conn=");
        if (text.find(needle) != std::string::npos && conn != std::string::npos)
            seen.insert(text.substr(conn + 6));
        line = end + 1;
    }
    return (int)seen.size();
}

PassResult run_pass(const std::wstring &folder, WorkerMode mode, const std::wstring &first,
                    const std::wstring &second, int custom_interface, int dxvk, int dxvk_trial,
                    const std::function<void(const Message &)> &on_message)
{
    PassResult result;
    mirrors_set_builtin(first.c_str(), second.c_str());
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  nullptr, nullptr);
    EXPECT_TRUE(window);
    WorkerParams params = {};
    params.window = window;
    lstrcpynW(params.client_folder, folder.c_str(), LAUNCHER_PATH_CHARS);
    params.mode = mode;
    params.custom_interface = custom_interface;
    params.dxvk = dxvk;
    params.dxvk_trial = dxvk_trial;
    if (!worker_start(&params)) {
        ADD_FAILURE() << "worker_start refused";
        DestroyWindow(window);
        return result;
    }

    DWORD deadline = GetTickCount() + 120000;
    bool done = false;
    while (!done && (LONG)(deadline - GetTickCount()) > 0) {
        MSG msg;
        if (!PeekMessageW(&msg, window, 0, 0, PM_REMOVE)) {
            if (!worker_is_running() && !PeekMessageW(&msg, window, 0, 0, PM_NOREMOVE))
                break;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLPOSTMESSAGE);
            continue;
        }
        Message m = {msg.message, (unsigned long)msg.wParam, (long)msg.lParam, L""};
        wchar_t text[1024];
        if (take_posted_text(msg.message, msg.lParam, text, 1024))
            m.text = text;
        result.messages.push_back(m);
        if (on_message)
            on_message(m);
        if (msg.message == WM_LAUNCHER_STATE) {
            result.state = (int)msg.wParam;
            result.count = (long)msg.lParam;
            done = true;
        }
        if (msg.message == WM_LAUNCHER_SELF_UPDATE)
            result.self_update = true;
    }
    while (worker_is_running() && (LONG)(deadline - GetTickCount()) > 0)
        Sleep(10);
    EXPECT_FALSE(worker_is_running()) << "the pass did not end in time";
    DestroyWindow(window);
    mirrors_set_builtin(nullptr, nullptr);
    return result;
}

CliRun run_driver(const std::wstring &exe, const std::wstring &args, const std::wstring &out_file,
                  bool (*until)(const std::wstring &), const std::wstring &until_arg)
{
    CliRun run;
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE out = CreateFileW(out_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                             0, nullptr);
    EXPECT_NE(out, INVALID_HANDLE_VALUE);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out;
    si.hStdError = out;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = L"\"" + exe + L"\" " + args;
    if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &si, &pi)) {
        ADD_FAILURE() << "cannot start the driver";
        CloseHandle(out);
        return run;
    }
    CloseHandle(out);
    DWORD deadline = GetTickCount() + 120000;
    while (WaitForSingleObject(pi.hProcess, 20) == WAIT_TIMEOUT) {
        if ((until && until(until_arg)) || (LONG)(deadline - GetTickCount()) <= 0) {
            TerminateProcess(pi.hProcess, 77);
            WaitForSingleObject(pi.hProcess, 10000);
            break;
        }
    }
    GetExitCodeProcess(pi.hProcess, &run.code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    read_file(out_file, &run.out);
    return run;
}

std::string log_text(const std::wstring &folder)
{
    std::string log;
    read_file(folder + L"\\Korvanth.log", &log);
    return log;
}

std::string refused_launcher_hex(const std::wstring &folder)
{
    LocalState state;
    state_load(&state, folder.c_str());
    char hex[2 * SHA256_BYTES + 1] = "";
    if (state.has_refused_launcher)
        hex_encode(state.refused_launcher, SHA256_BYTES, hex);
    state_free(&state);
    return hex;
}

int run_pass_test_program(int argc, char **argv)
{
    run_probe_mode(GetCommandLineW());
    // The one-at-a-time pass must read the same as the shipped one.
    wchar_t connections[8];
    if (GetEnvironmentVariableW(L"KORVANTH_TEST_CONNECTIONS", connections, 8) - 1u < 7u) {
        worker_set_connections(_wtoi(connections));
        int set = worker_set_connections(0);
        worker_set_connections(set);
        printf("objects on the wire at once: %d\n", set);
    }
    testing::InitGoogleTest(&argc, argv);
    return testing_support::run_tests_watching_exit();
}

}  // namespace update_test
