// Runs worker passes against the releases below the local mirror and records
// what the window would have been told.
#pragma once

#include "update/update.h"
#include "fetch/fetch.h"
#include "release/release.h"
#include "folder/folder.h"

#include <functional>
#include <string>
#include <vector>

namespace update_test {

struct Message {
    unsigned message;
    unsigned long wparam;
    long lparam;
    std::wstring text;  // status, detail or self-update path
};

struct PassResult {
    std::vector<Message> messages;
    int state = -1;       // LauncherState of WM_LAUNCHER_STATE, -1 without one
    long count = -1;      // its lParam
    bool self_update = false;

    // Every status line in order.
    std::vector<std::wstring> statuses() const;
    bool has_status(const std::wstring &text) const;
    bool has_status_prefix(const std::wstring &prefix) const;
};

// "https://127.0.0.1:PORT/update/NAME/" on the local mirror.
std::wstring mirror(const std::string &name);
// The same release through the fault server's slow line.
std::wstring slow_mirror(const std::string &name);
// The same release from the fault server, `piece` bytes every `ms`.
std::wstring paced_mirror(int piece, int ms, const std::string &name);
// The same release from the fault server, its objects `piece` bytes every
// `ms`, its other files at once.
std::wstring paced_objects_mirror(int piece, int ms, const std::string &name);
// The same release from the fault server, its ".gz" objects served the way
// the fault route `mode` ("short", "long", ...) serves a file.
std::wstring faulty_gzip_mirror(const std::string &mode, const std::string &name);
// The same release from the fault server through a gate (503 after 10 s)
// that `route` names: "together" holds the first `n` object requests under
// `tag` until all of them have arrived, "behind" holds the first one until
// `n` later ones have been answered.
std::wstring gated_mirror(const std::string &route, const std::string &tag, int n,
                          const std::string &name);
// The same release from the fault server as a cache would serve it that
// kept the release `old`'s manifest.json: the old one, unless the request
// asks past the caches.
std::wstring stale_mirror(const std::string &old, const std::string &name);
// The same release from the fault server without its manifest.json, unless
// the request asks past the caches (a document moved out of the way).
std::wstring missing_mirror(const std::string &name);
// A base URL where nothing listens.
std::wstring dead_mirror();
// True when the releases exist (they need the demo key's private half).
bool releases_available();

// Skips a case whose releases could not be built.
#define REQUIRE_RELEASES()                                                      \
    do {                                                                        \
        if (!update_test::releases_available())                                \
            GTEST_SKIP() << "releases need the demo key (build with it)";      \
    } while (0)
// A client file of a release as published ("ui/layout.xml.stock" for the
// stock twin of a shared path).
std::string release_file(const std::string &release, const std::string &path);
// An object of a release as stored on the mirror ("<hex>" or "<hex>.gz").
std::string release_object(const std::string &release, const std::string &name);
// The parsed manifest of a release (caller frees it).
bool release_manifest(const std::string &release, Manifest *manifest);
// The public key STATE/keys/NAME.pub.pem that make_releases.py made, as the
// 64 bytes X||Y the launcher compares (empty when it is missing).
std::string test_key_point(const std::string &name);
// Lines of the mirror's access log that name `needle`.
int mirror_requests(const std::string &needle);
// The length of the mirror's access log now, and the connections that
// carried the requests naming `needle` that it logged since such a mark.
size_t mirror_log_mark();
int mirror_connections(const std::string &needle, size_t since);

// One pass with the two built-in mirrors replaced by `first` and `second`.
// `on_message` sees every message as it arrives (to cancel at a moment).
PassResult run_pass(const std::wstring &folder, WorkerMode mode, const std::wstring &first,
                    const std::wstring &second, int custom_interface = 0, int dxvk = 0,
                    int dxvk_trial = 0,
                    const std::function<void(const Message &)> &on_message = nullptr);

std::string log_text(const std::wstring &folder);
// The launcher refused in `folder`'s state file as hexadecimal text; empty
// when none is (or there is no state file).
std::string refused_launcher_hex(const std::wstring &folder);

// A run of a console driver (korvanth-cli and its test builds).
struct CliRun {
    unsigned long code = 99;
    std::string out;
};

// Starts the driver `exe` with `args`, its output going to `out_file`,
// waits up to two minutes; `until` may end it early (returning true kills
// it with exit code 77).
CliRun run_driver(const std::wstring &exe, const std::wstring &args, const std::wstring &out_file,
                  bool (*until)(const std::wstring &) = nullptr, const std::wstring &until_arg = L"");

// The main of a test program whose cases run passes: the graphics step
// starts the running program with --probe-vulkan, which this answers the
// way the launcher does; KORVANTH_TEST_CONNECTIONS sets the objects on the
// wire at once for the whole program.
int run_pass_test_program(int argc, char **argv);

}  // namespace update_test
