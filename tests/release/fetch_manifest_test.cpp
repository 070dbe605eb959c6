// The choice of the manifest among the mirrors, as fetch_manifest makes it
// alone and within whole passes: a mirror that trickles, a cache or an
// upload caught halfway, an older release, a bad signature.
#include "support/harness.h"

#include "support/servers.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

using namespace testing_support;
using namespace update_test;

namespace {

// Where `needle` first stands in the log, npos when it does not.
size_t at(const std::string &log, const std::string &needle)
{
    return log.find(needle);
}

}  // namespace

TEST(FetchManifest, TrickleMirrorIsAbandonedForTheNext)
{
    REQUIRE_RELEASES();
    net_test::FastRuleClock clock;
    TempDir dir;
    log_open(dir.path().c_str());
    std::wstring trickle = paced_mirror(100, 500, "main");
    ReleaseSearch search = {};
    lstrcpynW(search.mirrors.url[0], trickle.c_str(), MIRROR_CHARS);
    lstrcpynW(search.mirrors.url[1], mirror("main").c_str(), MIRROR_CHARS);
    search.mirror_count = 2;
    Manifest manifest;
    ASSERT_EQ(fetch_manifest(&search, &manifest), 1);
    manifest_free(&manifest);
    EXPECT_EQ(search.older_seen, 0);
    // The trickling mirror keeps its place for objects, benched.
    ASSERT_EQ(search.mirror_count, 2);
    EXPECT_EQ(search.mirror_index, 1);
    EXPECT_EQ(search.mirrors.benched, 1);
    std::string log = log_text(dir.path());
    EXPECT_NE(at(log, "manifest: " + narrow(trickle) + "manifest.json too slow, "),
              std::string::npos) << log;
    EXPECT_NE(at(log, "from " + narrow(mirror("main")) + ": 8 files"), std::string::npos) << log;
}

// A cache that kept an old manifest.json beside the new manifest.sig: the
// pair fails its signature until that mirror is asked again past the caches,
// and then its new release is taken, with no other mirror to fall back on.
TEST(FetchManifest, StaleCachedManifestIsAskedForAgainPastCaches)
{
    REQUIRE_RELEASES();
    TempDir dir;
    log_open(dir.path().c_str());
    std::wstring stale = stale_mirror("older", "main");
    PassResult r = run_pass(dir.path(), Update, stale, dead_mirror());
    std::string log = log_text(dir.path());
    EXPECT_EQ(r.state, UpToDate) << log;
    EXPECT_FALSE(r.has_status(L"Invalid version"));
    EXPECT_NE(at(log, "mirror " + narrow(stale) + ": signature refused, asking again past caches"),
              std::string::npos) << log;
    EXPECT_NE(at(log, "manifest 1.0 (2026-01-01T00:00:00Z) from " + narrow(stale) + ": 8 files"),
              std::string::npos) << log;
    LocalState state;
    ASSERT_TRUE(state_load(&state, dir.path().c_str()));
    EXPECT_STREQ(state.version, "1.0");
    state_free(&state);
}

// A mirror caught while an upload moves its manifest into place: asked
// again past the caches when no other mirror's release can be taken, and
// only then (a mirror with a release spares the pause).
TEST(FetchManifest, MissingManifestIsAskedForAgainWhenNothingElseServes)
{
    REQUIRE_RELEASES();
    const std::string again = "manifest pair incomplete, asking again past caches";
    for (bool alone : {true, false}) {
        SCOPED_TRACE(alone ? "alone" : "beside a whole mirror");
        TempDir dir;
        log_open(dir.path().c_str());
        std::wstring missing = missing_mirror("main");
        PassResult r = run_pass(dir.path(), Check, missing, alone ? dead_mirror() : mirror("main"));
        std::string log = log_text(dir.path());
        EXPECT_EQ(r.state, UpdateNeeded) << log;
        EXPECT_EQ(at(log, "mirror " + narrow(missing) + ": " + again) != std::string::npos, alone)
            << log;
    }
}

TEST(FetchManifest, OlderReleaseWithTheOtherMirrorDeadIsInvalid)
{
    REQUIRE_RELEASES();
    TempDir dir;
    log_open(dir.path().c_str());
    // The folder has applied "main" (2026-01-01); mirror 0 serves an older one.
    ASSERT_TRUE(write_file(dir / L"Korvanth.state", "#Korvanth state\r\n#generated=1767225600\r\n"));
    PassResult r = run_pass(dir.path(), Check, mirror("older"), dead_mirror());
    EXPECT_EQ(r.state, Failed);
    EXPECT_EQ(r.count, 0);
    EXPECT_TRUE(r.has_status(L"Invalid version"));
    std::string log = log_text(dir.path());
    EXPECT_NE(at(log, "older than the applied one (1748736000 < 1767225600): next mirror"),
              std::string::npos) << log;
    EXPECT_NE(at(log, "every mirror serves a manifest older than the applied one (1767225600): "
                      "refused"),
              std::string::npos);

    // The same release time as the applied one is accepted.
    PassResult same = run_pass(dir.path(), Check, mirror("main"), dead_mirror());
    EXPECT_EQ(same.state, UpdateNeeded);

    // Nothing answers at all: the server is unreachable, not the release invalid.
    PassResult none = run_pass(dir.path(), Check, dead_mirror(), dead_mirror());
    EXPECT_EQ(none.state, ServerUnreachable);
    EXPECT_TRUE(none.has_status(L"The update server is not responding. Please try again later."));
}

TEST(FetchManifest, BadSignatureShowsInvalidVersionAndMovesOn)
{
    REQUIRE_RELEASES();
    TempDir dir;
    log_open(dir.path().c_str());
    PassResult r = run_pass(dir.path(), Check, mirror("badsig"), mirror("main"));
    EXPECT_EQ(r.state, UpdateNeeded);
    std::vector<std::wstring> statuses = r.statuses();
    ASSERT_GE(statuses.size(), 2u);
    EXPECT_EQ(statuses[1], L"Invalid version");  // after "You are being connected..."
    std::string log = log_text(dir.path());
    // Asked once more past the caches, it still serves a bad pair.
    size_t again = at(log, "mirror " + narrow(mirror("badsig")) +
                               ": signature refused, asking again past caches");
    EXPECT_NE(again, std::string::npos) << log;
    EXPECT_GT(at(log, "manifest: bad signature from " + narrow(mirror("badsig"))), again) << log;
    EXPECT_NE(at(log, "manifest 1.0 (2026-01-01T00:00:00Z) from " + narrow(mirror("main")) +
                      ": 8 files"),
              std::string::npos) << log;
    // A mirror that has no manifest is logged with its status and skipped.
    TempDir missing;
    log_open(missing.path().c_str());
    EXPECT_EQ(run_pass(missing.path(), Check, mirror("empty"), mirror("main")).state, UpdateNeeded);
    EXPECT_NE(at(log_text(missing.path()), "manifest: " + narrow(mirror("empty")) +
                                               "manifest.json -> 404"),
              std::string::npos);
}

// A signed release naming the launcher's state file as a client file is
// refused whole, like any release the launcher cannot read, and nothing of it
// reaches the folder: the state file stays the launcher's.
TEST(FetchManifest, ReleaseNamingALaunchersOwnFileIsRefusedWhole)
{
    REQUIRE_RELEASES();
    TempDir dir;
    log_open(dir.path().c_str());
    const std::string state = "#Korvanth state\r\n#version=0.9\r\n";
    ASSERT_TRUE(write_file(dir / L"Korvanth.state", state));
    ASSERT_TRUE(CreateDirectoryW((dir / L"data").c_str(), nullptr));
    ASSERT_TRUE(write_file(dir / L"data/text.txt", "the player's copy\n"));
    PassResult r = run_pass(dir.path(), Update, mirror("ownname"), dead_mirror());
    std::string log = log_text(dir.path());
    EXPECT_TRUE(r.state != UpToDate && r.state != UpdateNeeded && r.count == 0) << log;
    EXPECT_NE(at(log, "manifest: invalid path at byte "), std::string::npos) << log;
    std::string bytes, text;
    EXPECT_TRUE(read_file(dir / L"Korvanth.state", &bytes) && bytes == state);
    EXPECT_TRUE(read_file(dir / L"data/text.txt", &text) && text == "the player's copy\n");
    EXPECT_FALSE(file_exists(dir / L"system/dv.exe"));
}

// A network that answers every address with its sign-in page: said so in
// plain words when no mirror gets through, with the host that answered in
// the log, and never "Invalid version"; beside a mirror that gets through,
// the update goes on.
TEST(FetchManifest, SignInPageOfTheNetworkIsNamedNotCountedAsABadRelease)
{
    REQUIRE_RELEASES();
    const std::wstring SIGN_IN = L"The network answered with a web page: sign in to it in your "
                                 L"browser, then press CHECK FILES.";
    const struct {
        const char *kind;
        const char *host;  // that answered, as logged
    } rows[] = {{"html", "127.0.0.1"}, {"sniff", "127.0.0.1"}, {"redirect", "localhost"}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.kind);
        std::wstring portal = net_test::fault_url("https", std::string("portal/") + row.kind + "/");
        for (bool beside_good : {false, true}) {
            TempDir dir;
            log_open(dir.path().c_str());
            PassResult r = run_pass(dir.path(), Update, portal, beside_good ? mirror("main") : dead_mirror());
            std::string log = log_text(dir.path());
            EXPECT_FALSE(r.has_status(L"Invalid version")) << log;
            EXPECT_NE(at(log, "manifest: " + narrow(portal) + "manifest.json -> a web page from " +
                                  row.host + ", not the document"),
                      std::string::npos) << log;
            if (beside_good) {
                EXPECT_EQ(r.state, UpToDate) << log;
            } else {
                EXPECT_EQ(r.state, ServerUnreachable) << log;
                ASSERT_FALSE(r.statuses().empty());
                EXPECT_EQ(r.statuses().back(), SIGN_IN) << log;
            }
        }
    }
}
