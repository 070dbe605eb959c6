// Injected file-system faults: every file operation of a pass, one at a
// time, fails with disk full (112), access denied (5) or a sharing violation
// (32), from the first until a pass makes fewer operations than the fault's
// number. After each faulted pass the folder holds only old or right
// content, the state file vouches only for right files, and a clean pass
// ends up to date with a Verify pass agreeing.
#include "checks.h"
#include "fault_control.h"
#include "support/harness.h"

#include "manifest/manifest.h"
#include "support/seams.h"
#include "support/state_text.h"
#include "support/support.h"
#include "update/update.h"
#include "fetch/fetch.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <map>
#include <ostream>
#include <string>

using namespace testing_support;
using namespace update_test;
using namespace fault_test;

namespace {

const unsigned long ERRORS[] = {112, 5, 32};

// CHUNKED: the older chunked release installed, updated to the newer one
// from chunks; DELTA: the same, to the newer one with deltas.
enum Start { OLD_RELEASE, LEGACY_FOLDER, STATE_SAVE, CHUNKED, DELTA };

struct FaultCase {
    const char *name;
    Start start;
    int shard, shards;  // this case tries n = shard + 1, shard + 1 + shards, ...
};

void PrintTo(const FaultCase &c, std::ostream *os)
{
    *os << c.name;
}

// The older release installed by a clean pass, the player's own seed file.
void install_old_release(const std::wstring &dir)
{
    ASSERT_EQ(run_pass(dir, Update, mirror("faults_old"), dead_mirror(), INTERFACE, DXVK).state,
              UpToDate);
    ASSERT_TRUE(write_file(dir + L"\\settings.ini", PLAYER_SETTINGS));
}

// The older chunked release installed by a clean pass.
void install_chunked_release(const std::wstring &dir)
{
    ASSERT_EQ(run_pass(dir, Update, mirror("chunks_old"), dead_mirror(), INTERFACE, DXVK).state,
              UpToDate);
}

// A 0.1-series folder: the older release below "Drumveil", its state file
// naming the paths there.
void make_legacy_folder(const std::wstring &dir)
{
    TempDir old;
    install_old_release(old.path());
    DeleteFileW((old / L"Korvanth.state").c_str());
    DeleteFileW((old / L"Korvanth.log").c_str());
    copy_tree(old.path(), dir + L"\\Drumveil");
    LocalState state;
    state_init(&state);
    for (const std::string &rel : list_files(dir + L"\\Drumveil")) {
        StateEntry e = {};
        snprintf(e.path, sizeof e.path, "Drumveil/%s", rel.c_str());
        std::wstring full = dir + L"\\Drumveil\\" + widen(rel);
        ASSERT_TRUE(file_info(full.c_str(), &e.size, &e.write_time));
        ASSERT_TRUE(sha256_file(full.c_str(), e.digest));
        state_put(&state, &e);
    }
    ASSERT_TRUE(state_save(&state, dir.c_str()));
    state_free(&state);
}

class FaultRun : public ::testing::TestWithParam<FaultCase> {
protected:
    SeamGuard seams;
    TempDir start;
    // What the faulted passes hit and how they ended, for the figures.
    std::map<std::string, int> tally;

    void SetUp() override
    {
        REQUIRE_RELEASES();
        fault_io::disarm();
        if (GetParam().start == OLD_RELEASE)
            install_old_release(start.path());
        else if (GetParam().start == LEGACY_FOLDER)
            make_legacy_folder(start.path());
        else if (GetParam().start == CHUNKED || GetParam().start == DELTA)
            install_chunked_release(start.path());
    }

    const char *old_release() const
    {
        Start start = GetParam().start;
        return start == CHUNKED || start == DELTA ? "chunks_old" : "faults_old";
    }
    const char *new_release() const
    {
        Start start = GetParam().start;
        return start == CHUNKED ? "chunks" : start == DELTA ? "deltas" : "faults";
    }
    void TearDown() override { fault_io::disarm(); }

    // One faulted update pass from the starting folder; false when the
    // fault was not reached.
    bool update_with_fault(long n)
    {
        TempDir dir;
        copy_tree(start.path(), dir.path());
        fault_io::arm_failure(n, ERRORS[n % 3]);
        const char *release = new_release();
        PassResult r = run_pass(dir.path(), Update, mirror(release), dead_mirror(), INTERFACE, DXVK);
        const char *call = "";
        bool fired = fault_io::fired(&call);
        fault_io::disarm();
        const bool player_seed = GetParam().start == OLD_RELEASE;
        char where[96];
        snprintf(where, sizeof where, "fault %ld (%s, error %lu)", n, call, ERRORS[n % 3]);
        if (!fired) {
            EXPECT_EQ(r.state, UpToDate) << where;
            check_final(dir.path(), release, player_seed, where);
            return false;
        }
        EXPECT_TRUE(r.state == UpToDate || r.state == UpdateNeeded || r.state == Failed ||
                    r.state == ServerUnreachable)
            << where << ": the pass ended without its state (" << r.state << ")";
        tally[std::string(call) + (r.state == UpToDate ? " absorbed" : " failed the pass")]++;
        check_midway(dir.path(), {old_release(), release}, where);
        if (r.state == UpToDate)
            check_final(dir.path(), release, player_seed, where, true);

        PassResult clean = run_pass(dir.path(), Update, mirror(release), dead_mirror(), INTERFACE, DXVK);
        EXPECT_EQ(clean.state, UpToDate) << where << ": the clean pass after it";
        check_final(dir.path(), release, player_seed, std::string(where) + ", then a clean pass");
        PassResult verify = run_pass(dir.path(), Verify, mirror(release), dead_mirror(), INTERFACE, DXVK);
        EXPECT_EQ(verify.state, UpToDate) << where << ": Verify disagrees";
        return true;
    }

    // One faulted save of a state over an older one: the file then holds the
    // old state or, when the save said so, the new one; never anything else.
    bool save_with_fault(long n)
    {
        TempDir dir;
        LocalState old_state, new_state;
        state_init(&old_state);
        state_init(&new_state);
        for (int i = 0; i < 40; i++) {
            StateEntry e = {};
            snprintf(e.path, sizeof e.path, "data/file%02d.bin", i);
            e.size = 1000 + i;
            e.write_time = 133000000000000000ull + i;
            memset(e.digest, i, sizeof e.digest);
            state_put(&old_state, &e);
            e.size += 1;
            state_put(&new_state, &e);
        }
        new_state.generated = 1767225600;
        EXPECT_TRUE(state_save(&old_state, dir.path().c_str()));
        fault_io::arm_failure(n, ERRORS[n % 3]);
        bool saved = state_save(&new_state, dir.path().c_str());
        const char *call = "";
        bool fired = fault_io::fired(&call);
        fault_io::disarm();
        if (fired)
            tally[std::string(call) + (saved ? " absorbed" : " failed the save")]++;
        LocalState back;
        state_init(&back);
        EXPECT_TRUE(state_load(&back, dir.path().c_str())) << "fault " << n;
        std::string got = state_as_text(back);
        if (saved)
            EXPECT_EQ(got, state_as_text(new_state)) << "fault " << n << ": saved, but not the new state";
        else
            EXPECT_EQ(got, state_as_text(old_state)) << "fault " << n << ": failed, but the old state changed";
        EXPECT_TRUE(saved || fired) << "fault " << n << ": a save failed without a fault";
        state_free(&back);
        state_free(&old_state);
        state_free(&new_state);
        return fired;
    }
};

TEST_P(FaultRun, EveryFileOperationFailsOnce)
{
    const FaultCase &c = GetParam();
    int faults = for_each_fault(c.shard + 1, c.shards, [&](long n) {
        return c.start == STATE_SAVE ? save_with_fault(n) : update_with_fault(n);
    });
    EXPECT_GT(faults, 0);
    printf("faults injected and survived: %d (%s, every %d from %d)\n", faults, c.name, c.shards,
           c.shard + 1);
    for (const auto &t : tally)
        printf("  %s: %d\n", t.first.c_str(), t.second);
}

const FaultCase CASES[] = {
    {"update0", OLD_RELEASE, 0, 4},
    {"update1", OLD_RELEASE, 1, 4},
    {"update2", OLD_RELEASE, 2, 4},
    {"update3", OLD_RELEASE, 3, 4},
    {"legacy0", LEGACY_FOLDER, 0, 2},
    {"legacy1", LEGACY_FOLDER, 1, 2},
    {"stateSave", STATE_SAVE, 0, 1},
    {"chunked0", CHUNKED, 0, 2},
    {"chunked1", CHUNKED, 1, 2},
    {"delta0", DELTA, 0, 2},
    {"delta1", DELTA, 1, 2},
};

INSTANTIATE_TEST_SUITE_P(Cases, FaultRun, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<FaultCase> &info) {
                             return std::string(info.param.name);
                         });

}  // namespace
