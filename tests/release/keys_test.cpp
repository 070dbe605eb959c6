// Signing keys and the choice among mirrors, in whole passes against the
// local mirror: which key lists and manifests a launcher with root keys
// takes (and one without them), a key rotation made with the publisher's
// tool, the newest of three mirrors, an expired release, and a mirror whose
// objects trickle. The releases and keys are make_releases.py's.
#include "support/harness.h"

#include "support/seams.h"
#include "support/servers.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

using namespace testing_support;
using namespace update_test;

namespace {

std::string text_of(const std::wstring &path)
{
    std::string bytes;
    read_file(path, &bytes);
    return bytes;
}

// Every "{0}" and "{1}" of `text` replaced by the mirrors' addresses.
std::string with_mirrors(std::string text, const std::wstring &first, const std::wstring &second)
{
    const std::string names[2] = {narrow(first), narrow(second)};
    for (int m = 0; m < 2; m++) {
        const std::string mark = "{" + std::to_string(m) + "}";
        for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at))
            text.replace(at, mark.size(), names[m]);
    }
    return text;
}

// "#keys=VERSION HEX" of a release's key list, as a launcher that accepted
// it keeps it.
std::string keys_line(uint64_t version, const std::string &release)
{
    std::string list;
    EXPECT_TRUE(read_file(wine_path(KORVANTH_BINARY_DIR "/net-servers/tree/update/" + release +
                                    "/keys.json"),
                          &list));
    return "#keys=" + std::to_string(version) + " " + net_test::sha256_of(list) + "\r\n";
}

// Sets the named test keys as the launcher's roots while it lives.
class Roots {
public:
    explicit Roots(const std::vector<const char *> &names)
    {
        std::string points;
        for (const char *name : names) {
            std::string point = test_key_point(name);
            EXPECT_EQ(point.size(), (size_t)P256_POINT_BYTES) << name;
            points += point;
        }
        signature_set_roots((const uint8_t *)points.data(), (int)names.size());
    }

private:
    SeamGuard seams_;  // restores the built-in roots
};

uint64_t accepted_keys_version(const std::wstring &folder)
{
    LocalState state;
    state_load(&state, folder.c_str());
    uint64_t version = state.keys_version;
    state_free(&state);
    return version;
}

// One row: the roots, the key list version the folder accepted before (its
// list is that of `seen`), the two mirrors, and what the check comes to.
struct KeyCase {
    const char *name;
    std::vector<const char *> roots;
    uint64_t seen_version;
    const char *seen;
    const char *first;
    const char *second;       // null: nothing answers there
    int state;                // UpdateNeeded when a release was taken
    const char *served_by;    // "{0}", "{1}" or null
    bool invalid_version;     // the status line said "Invalid version"
    uint64_t version_after;   // the key list version the state file holds after
    std::vector<std::string> log;  // lines the log holds
};

void PrintTo(const KeyCase &c, std::ostream *os)
{
    *os << c.name;
}

const KeyCase KEY_CASES[] = {
    {"ListedReleaseKey", {"root1"}, 0, nullptr, "keys-a1", nullptr, UpdateNeeded, "{0}", false, 1,
     {"keys: version 1 (2026-01-01T00:00:00Z) from {0}: 1 release keys",
      "manifest keys-a1 (2026-01-01T00:00:00Z) from {0}: 2 files"}},
    {"RevokedKeyAfterItsRevocationWasSeen", {"root1"}, 2, "keys-b2", "keys-a-attack", "keys-b2",
     UpdateNeeded, "{1}", true, 2,
     {"manifest: {0} is signed with the revoked key A: refused",
      "manifest keys-b2 (2026-01-02T00:00:00Z) from {1}: 2 files"}},
    {"RootSignsAManifest", {"root1"}, 0, nullptr, "keys-root-signed", "keys-a1", UpdateNeeded,
     "{1}", true, 1,
     {"manifest: {0} is signed with a root key, which signs key lists only: refused"}},
    {"ReleaseKeySignsAKeyList", {"root1"}, 0, nullptr, "keys-by-release", "keys-a1", UpdateNeeded,
     "{1}", true, 1,
     {"keys: bad signature from {0}",
      "manifest: bad signature from {0} (no release key of key list 1)"}},
    {"ReplayedOlderKeyList", {"root1"}, 2, "keys-b2", "keys-a1", "keys-b2", UpdateNeeded, "{1}",
     true, 2,
     {"keys: version 1 from {0} is older than version 2, accepted before: refused",
      "manifest: {0} is signed with the revoked key A: refused"}},
    {"ReplayedOlderKeyListAlone", {"root1"}, 2, "keys-b2", "keys-a1", nullptr, Failed, nullptr,
     true, 2,
     {"keys: version 1 from {0} is older than version 2, accepted before: refused",
      "manifest: {0} not checked: no key list accepted",
      "keys: no mirror serves a key list that can be accepted: refused"}},
    {"SameVersionOtherContent", {"root1"}, 2, "keys-b2", "keys-v2-other", "keys-b2", UpdateNeeded,
     "{1}", true, 2,
     {"keys: version 2 from {0} differs from the version 2 accepted before: refused"}},
    {"SecondRootSignsTheList", {"root1", "root2"}, 0, nullptr, "keys-root2", nullptr,
     UpdateNeeded, "{0}", false, 1, {"keys: version 1 (2026-01-01T00:00:00Z) from {0}"}},
    {"ListOfAnotherRoot", {"root1"}, 0, nullptr, "keys-root2", nullptr, Failed, nullptr, true, 0,
     {"keys: bad signature from {0}"}},
    // A mirror that answers without a key list: its release cannot be
    // checked, which is a refusal, not an unreachable server.
    {"NoKeyListServed", {"root1"}, 0, nullptr, "main", nullptr, Failed, nullptr, true, 0,
     {"keys: {0}keys.json -> 404", "manifest: {0} not checked: no key list accepted"}},
    // The list is refused, not the mirror: its manifest, signed with a key
    // of the other mirror's list, is the newest.
    {"RootListedAsAReleaseKey", {"root1"}, 0, nullptr, "keys-root-listed", "keys-a1",
     UpdateNeeded, "{0}", false, 1,
     {"keys: version 1 from {0} names a root key as a release key: refused",
      "keys: version 1 (2026-01-01T00:00:00Z) from {1}"}},
    {"ManifestKeyListedForTheMove", {"root1"}, 0, nullptr, "keys-move", nullptr, UpdateNeeded,
     "{0}", false, 1, {"manifest keys-move (2026-01-01T00:00:00Z) from {0}: 2 files"}},
};

class KeyTable : public testing::TestWithParam<KeyCase> {};

TEST_P(KeyTable, KeyListsAndManifests)
{
    REQUIRE_RELEASES();
    const KeyCase &t = GetParam();
    Roots roots(t.roots);
    TempDir dir;
    log_open(dir.path().c_str());
    if (t.seen) {
        ASSERT_TRUE(write_file(dir / L"Korvanth.state",
                               "#Korvanth state\r\n" + keys_line(t.seen_version, t.seen)));
    }
    std::wstring first = mirror(t.first), second = t.second ? mirror(t.second) : dead_mirror();
    PassResult r = run_pass(dir.path(), Check, first, second);
    std::string log = log_text(dir.path());
    EXPECT_EQ(r.state, t.state) << log;
    EXPECT_EQ(r.has_status(L"Invalid version"), t.invalid_version);
    if (t.served_by) {
        EXPECT_NE(log.find(") from " + with_mirrors(t.served_by, first, second) + ": "),
                  std::string::npos) << log;
    }
    for (const std::string &line : t.log)
        EXPECT_NE(log.find(with_mirrors(line, first, second)), std::string::npos)
            << with_mirrors(line, first, second) << "\n" << log;
    EXPECT_EQ(accepted_keys_version(dir.path()), t.version_after);
}

INSTANTIATE_TEST_SUITE_P(Cases, KeyTable, testing::ValuesIn(KEY_CASES),
                         [](const testing::TestParamInfo<KeyCase> &info) {
                             return std::string(info.param.name);
                         });

// Without root keys nothing changes: the manifest key built in decides, no
// key list is asked for, and the state file gets no key list line.
TEST(KeyTable, LauncherWithoutRootsAsksForNoKeyList)
{
    REQUIRE_RELEASES();
    TempDir dir;
    log_open(dir.path().c_str());
    int lists_before = mirror_requests("/update/keys-demo/keys.");
    PassResult r = run_pass(dir.path(), Check, mirror("keys-demo"), dead_mirror());
    EXPECT_EQ(r.state, UpdateNeeded);
    EXPECT_FALSE(r.has_status(L"Invalid version"));
    std::string state;
    ASSERT_TRUE(read_file(dir / L"Korvanth.state", &state));
    EXPECT_EQ(state.find("#keys="), std::string::npos);
    EXPECT_EQ(log_text(dir.path()).find("keys: "), std::string::npos);
    // nginx logs a request once it has ended on its side: a late line would
    // come within moments.
    Sleep(200);
    EXPECT_EQ(mirror_requests("/update/keys-demo/keys."), lists_before);
    // A release signed with a key the launcher does not carry is refused.
    PassResult other = run_pass(dir.path(), Check, mirror("keys-a1"), dead_mirror());
    EXPECT_TRUE(other.has_status(L"Invalid version"));
    EXPECT_EQ(other.state, ServerUnreachable);
}

// A key rotation end to end, made with the publisher's tool (rot-* of
// make_releases.py): release 1.0 signed with A, key B added and 1.1 signed
// with it, A revoked; then an attacker who holds A serves a newer release on
// one mirror, with the last list that named A. The launcher follows the
// rotation (through a cache that still serves the old documents), refuses
// the attacker's release and says why.
TEST(KeyRotation, LauncherFollowsThePublishersRotation)
{
    REQUIRE_RELEASES();
    Roots roots({"rot-root"});
    TempDir dir;
    log_open(dir.path().c_str());
    auto applied = [&]() {
        LocalState state;
        state_load(&state, dir.path().c_str());
        std::string version = state.version;
        state_free(&state);
        return version;
    };
    PassResult one = run_pass(dir.path(), Update, mirror("rot-1"), dead_mirror());
    EXPECT_EQ(one.state, UpToDate);
    EXPECT_EQ(applied(), "1.0");
    EXPECT_EQ(accepted_keys_version(dir.path()), 1u);

    // Caught by a cache mid-rotation: the old list and release beside the
    // new signatures, until asked past the caches.
    std::wstring cached = stale_mirror("rot-1", "rot-2");
    PassResult two = run_pass(dir.path(), Update, cached, dead_mirror());
    EXPECT_EQ(two.state, UpToDate);
    EXPECT_EQ(applied(), "1.1");
    EXPECT_EQ(accepted_keys_version(dir.path()), 2u);
    EXPECT_NE(log_text(dir.path()).find("mirror " + narrow(cached) +
                                        ": signature refused, asking again past caches"),
              std::string::npos);

    // The attacker's mirror first; the publisher's mirror has revoked A.
    PassResult attack = run_pass(dir.path(), Update, mirror("rot-attack"), mirror("rot-3"));
    EXPECT_EQ(attack.state, UpToDate);
    EXPECT_EQ(applied(), "1.1");
    EXPECT_EQ(accepted_keys_version(dir.path()), 3u);
    EXPECT_EQ(text_of(dir / L"data/text.txt"), release_file("rot-2", "data/text.txt"));
    std::string log = log_text(dir.path());
    const std::string attacker = narrow(mirror("rot-attack"));
    EXPECT_NE(log.find("keys: " + attacker + " serves version 2, older than 3"), std::string::npos)
        << log;
    EXPECT_NE(log.find("manifest: " + attacker + " is signed with the revoked key A: refused"),
              std::string::npos) << log;

    // The attacker's mirror alone: its list is older than the one seen.
    PassResult alone = run_pass(dir.path(), Check, mirror("rot-attack"), dead_mirror());
    EXPECT_EQ(alone.state, Failed);
    EXPECT_TRUE(alone.has_status(L"Invalid version"));
    EXPECT_EQ(applied(), "1.1");
    EXPECT_NE(log_text(dir.path()).find("keys: version 2 from " + attacker +
                                        " is older than version 3, accepted before: refused"),
              std::string::npos);
}

// Three mirrors of one publisher, each with a release of another day, the
// newest on the mirror that only the releases name: it is found, applied,
// and the only one asked for objects; the others are logged as older.
TEST(Freshness, NewestOfThreeMirrorsIsAppliedAndTheOlderServeNoObject)
{
    REQUIRE_RELEASES();
    TempDir dir;
    log_open(dir.path().c_str());
    int day1_objects = mirror_requests("/update/day1/objects/");
    int day2_objects = mirror_requests("/update/day2/objects/");
    int day3_objects = mirror_requests("/update/day3/objects/");
    std::wstring day1 = mirror("day1"), day2 = mirror("day2"), day3 = mirror("day3");
    PassResult r = run_pass(dir.path(), Update, day1, day2);
    EXPECT_EQ(r.state, UpToDate);
    EXPECT_EQ(text_of(dir / L"data/text.txt"), release_file("day3", "data/text.txt"));
    LocalState state;
    state_load(&state, dir.path().c_str());
    EXPECT_STREQ(state.version, "1.3");
    state_free(&state);
    std::string log = log_text(dir.path());
    EXPECT_NE(log.find("manifest 1.3 (2026-01-03T00:00:00Z) from " + narrow(day3) + ": 3 files"),
              std::string::npos) << log;
    for (const std::wstring &older : {day1, day2})
        EXPECT_NE(log.find("mirror " + narrow(older) + " serves 2026-01-0"), std::string::npos)
            << log;
    EXPECT_NE(log.find("mirror " + narrow(day1) +
                       " serves 2026-01-01T00:00:00Z, older than 2026-01-03T00:00:00Z"),
              std::string::npos);
    Sleep(200);  // nginx logs a request once it has ended on its side
    EXPECT_EQ(mirror_requests("/update/day1/objects/"), day1_objects);
    EXPECT_EQ(mirror_requests("/update/day2/objects/"), day2_objects);
    EXPECT_GT(mirror_requests("/update/day3/objects/"), day3_objects);
}

// An expired release is still applied (a player's clock may be wrong), with
// a warning in the status line and the expiry in the log; a release that
// has not expired gets no warning.
TEST(Expiry, ExpiredReleaseStillUpdatesWithAWarning)
{
    REQUIRE_RELEASES();
    TempDir dir;
    log_open(dir.path().c_str());
    PassResult r = run_pass(dir.path(), Update, mirror("expired"), dead_mirror());
    EXPECT_EQ(r.state, UpToDate);
    std::vector<std::wstring> statuses = r.statuses();
    ASSERT_GE(statuses.size(), 2u);
    EXPECT_EQ(statuses[statuses.size() - 2], L"All the files have been updated.");
    EXPECT_EQ(statuses.back(), L"The update servers may be out of date.");
    EXPECT_NE(log_text(dir.path()).find("manifest: every release served has expired, the newest "
                                        "on 2019-12-08T00:00:00Z"),
              std::string::npos) << log_text(dir.path());

    TempDir fresh;
    log_open(fresh.path().c_str());
    PassResult ok = run_pass(fresh.path(), Check, mirror("expiring"), dead_mirror());
    EXPECT_EQ(ok.state, UpdateNeeded);
    EXPECT_FALSE(ok.has_status(L"The update servers may be out of date."));
    EXPECT_EQ(log_text(fresh.path()).find("expired"), std::string::npos);
}

// The expiry judgement at its edges: a date of `now` has not passed, one a
// second before has; a single release without a date, or one not yet
// expired, keeps the warning off.
TEST(Expiry, JudgedAtTheExactEdges)
{
    const int64_t now = 1767225600;  // 2026-01-01T00:00:00Z
    struct Row {
        const char *name;
        std::vector<ReleaseExpiry> releases;
        bool expired;
        int newest;
    };
    const Row rows[] = {
        {"a second before now", {{true, now - 1}}, true, 0},
        {"at now", {{true, now}}, false, -1},
        {"without a date", {{false, 0}}, false, -1},
        {"beside one without a date", {{true, now - 1}, {false, 0}}, false, -1},
        {"beside one dated now", {{true, now - 1}, {true, now}}, false, -1},
        {"the latest, the first on a tie", {{true, now - 9}, {true, now - 2}, {true, now - 2}},
         true, 1},
        {"none", {}, false, -1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ExpiryVerdict verdict = judge_expiry(row.releases.data(), (int)row.releases.size(), now);
        EXPECT_EQ(verdict.expired, row.expired);
        EXPECT_EQ(verdict.newest, row.newest);
    }
}

// A mirror whose manifest arrives but whose objects trickle (100 bytes every
// 5 s, under a clock ten times as fast): the slow-transfer rule cuts each
// object it holds once, at most as many as travel at once, and from then on
// every object comes from the healthy mirror at once.
TEST(StallRule, TricklingMirrorLosesItsTurnForThePass)
{
    REQUIRE_RELEASES();
    net_test::FastRuleClock clock;
    TempDir dir;
    log_open(dir.path().c_str());
    std::wstring trickle = paced_objects_mirror(100, 500, "main");
    PassResult r = run_pass(dir.path(), Update, trickle, mirror("main"));
    EXPECT_EQ(r.state, UpToDate);
    EXPECT_EQ(text_of(dir / L"data/text.txt"), release_file("main", "data/text.txt"));
    std::string log = log_text(dir.path());
    int cut = 0;
    for (size_t at = log.find(narrow(trickle) + " too slow, "); at != std::string::npos;
         at = log.find(narrow(trickle) + " too slow, ", at + 1))
        cut++;
    int connections = worker_set_connections(0);
    worker_set_connections(connections);
    EXPECT_GE(cut, 1) << log;
    EXPECT_LE(cut, connections) << log;
    EXPECT_EQ(log.find("(try 2)"), std::string::npos) << log;
    EXPECT_NE(log.find("mirror " + narrow(trickle) + " too slow: no more objects from it"),
              std::string::npos) << log;
}

}  // namespace
