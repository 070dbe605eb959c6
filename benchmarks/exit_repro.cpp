// How a process ends under Wine, in the least program that shows it: one
// that used bcrypt as the launcher does (a SHA-256 digest, the ECDSA
// provider opened and closed) and then ends in one of several ways, with or
// without a second thread still alive. scripts/stress-exit runs each way many
// times, several at once, and counts the runs that crashed or hung after
// printing "done".
//
//   exit_repro WAY
//
// WAY:
//   thread-return       bcrypt used; a thread still sleeps when main returns
//   joined-return       bcrypt used; the thread was woken and joined first
//   plain-thread-return no bcrypt; a thread still sleeps when main returns
//   thread-terminate    bcrypt used; a thread still sleeps; the process ends
//                       itself with TerminateProcess after its output
//   winhttp-thread      bcrypt and a WinHTTP session used; a thread still
//                       sleeps when main returns
//   winhttp-joined      the same, the thread joined first
//   killed-return       bcrypt used; the thread ended by TerminateThread and
//                       waited for before main returns
//   killed-terminate    the same, then the process ends itself with
//                       TerminateProcess after its output
#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>

#include <stdio.h>
#include <string.h>

namespace {

HANDLE g_wake;

DWORD WINAPI sleeper(void *)
{
    WaitForSingleObject(g_wake, INFINITE);
    return 0;
}

bool use_bcrypt()
{
    BCRYPT_ALG_HANDLE sha = nullptr, ecdsa = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    UCHAR digest[32];
    bool ok = BCryptOpenAlgorithmProvider(&sha, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
              BCryptCreateHash(sha, &hash, nullptr, 0, nullptr, 0, 0) == 0 &&
              BCryptHashData(hash, (UCHAR *)"abc", 3, 0) == 0 &&
              BCryptFinishHash(hash, digest, sizeof digest, 0) == 0 &&
              BCryptOpenAlgorithmProvider(&ecdsa, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) == 0;
    if (hash)
        BCryptDestroyHash(hash);
    if (sha)
        BCryptCloseAlgorithmProvider(sha, 0);
    if (ecdsa)
        BCryptCloseAlgorithmProvider(ecdsa, 0);
    return ok;
}

bool use_winhttp()
{
    HINTERNET session = WinHttpOpen(L"exit_repro", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr,
                                    nullptr, 0);
    if (!session)
        return false;
    HINTERNET connection = WinHttpConnect(session, L"127.0.0.1", 1, 0);
    if (connection)
        WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    const wchar_t *way = argc > 1 ? argv[1] : L"";
    bool bcrypt = wcscmp(way, L"plain-thread-return") != 0;
    bool winhttp = wcsncmp(way, L"winhttp-", 8) == 0;
    bool join = wcscmp(way, L"joined-return") == 0 || wcscmp(way, L"winhttp-joined") == 0;
    bool kill = wcsncmp(way, L"killed-", 7) == 0;
    bool terminate = wcscmp(way, L"thread-terminate") == 0 ||
                     wcscmp(way, L"killed-terminate") == 0;
    if (!*way) {
        fprintf(stderr, "usage: exit_repro WAY\n");
        return 1;
    }
    if (bcrypt && !use_bcrypt())
        return 1;
    if (winhttp && !use_winhttp())
        return 1;
    g_wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, sleeper, nullptr, 0, nullptr);
    if (!thread)
        return 1;
    Sleep(1);
    if (join) {
        SetEvent(g_wake);
        WaitForSingleObject(thread, INFINITE);
    }
    if (kill) {
        TerminateThread(thread, 0);
        WaitForSingleObject(thread, INFINITE);
    }
    CloseHandle(thread);
    printf("done\n");
    fflush(stdout);
    if (terminate)
        TerminateProcess(GetCurrentProcess(), 0);
    return 0;
}
