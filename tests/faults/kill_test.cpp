// Kills at every step: the headless driver, built with the counting file
// layer, ends itself at its Kth file operation (KORVANTH_KILL_AT). A small
// update is killed at every K until a run gets through; a larger install at
// fifty points spread over its run. After each kill the folder holds only
// old or right content and a state file that vouches only for right files;
// the next run of the real driver ends up to date, and so does a Verify.
#include "checks.h"
#include "support/harness.h"

#include "support/seams.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <ostream>
#include <string>

using namespace testing_support;
using namespace update_test;
using namespace fault_test;

namespace {

const unsigned long KILLED = 86;  // the hook's exit code
const long SPREAD_POINTS = 50;

struct KillCase {
    const char *name;
    const char *release;
    const char *old;    // the older release
    bool from_old;      // start from the older release installed (else empty)
    bool spread;        // SPREAD_POINTS points over the run, else every K
    int shard, shards;  // this case takes every shards-th point from shard
};

void PrintTo(const KillCase &c, std::ostream *os)
{
    *os << c.name;
}

std::wstring driver(const char *name)
{
    return wine_path(std::string(KORVANTH_BINARY_DIR "/") + name + ".exe");
}

class KillRun : public ::testing::TestWithParam<KillCase> {
protected:
    SeamGuard seams;
    TempDir start, out;
    int runs = 0;

    void SetUp() override
    {
        REQUIRE_RELEASES();
        if (GetParam().from_old) {
            ASSERT_EQ(run_pass(start.path(), Update, mirror(GetParam().old), dead_mirror(),
                               INTERFACE, DXVK).state,
                      UpToDate);
            if (player_seed()) {
                ASSERT_TRUE(write_file(start / L"settings.ini", PLAYER_SETTINGS));
            }
        }
    }

    // The releases with a seed file: the player has written into it.
    bool player_seed() const
    {
        return GetParam().from_old && strcmp(GetParam().old, "faults_old") == 0;
    }

    CliRun drive(const char *exe, const wchar_t *mode, const std::wstring &folder, long kill_at)
    {
        char at[24];
        snprintf(at, sizeof at, "%ld", kill_at);
        SetEnvironmentVariableA("KORVANTH_KILL_AT", kill_at > 0 ? at : nullptr);
        std::wstring args = std::wstring(mode) + L" --interface 0 --dxvk 1 --trial 0 --mirror-pair " +
                            mirror(GetParam().release) + L" " + dead_mirror() + L" \"" + folder + L"\"";
        CliRun r = run_driver(driver(exe), args, out / (L"run" + std::to_wstring(++runs) + L".txt"));
        SetEnvironmentVariableA("KORVANTH_KILL_AT", nullptr);
        return r;
    }

    // File operations of an uninterrupted run from the start folder.
    long operations_of_a_whole_run()
    {
        TempDir dir;
        copy_tree(start.path(), dir.path());
        CliRun r = drive("korvanth-cli-faults", L"--update", dir.path(), 0);
        EXPECT_EQ(r.code, (unsigned long)UpToDate) << r.out;
        size_t at = r.out.find("file-operations ");
        return at == std::string::npos ? 0 : atol(r.out.c_str() + at + 16);
    }

    // One run killed at its kth file operation, then the checks and the
    // runs that finish the job. False when the run ended before the kth.
    bool kill_at(long k)
    {
        const KillCase &c = GetParam();
        TempDir dir;
        copy_tree(start.path(), dir.path());
        CliRun killed = drive("korvanth-cli-faults", L"--update", dir.path(), k);
        const std::string where = "kill at " + std::to_string(k);
        if (killed.code != KILLED) {
            EXPECT_EQ(killed.code, (unsigned long)UpToDate) << where << "\n" << killed.out;
            check_final(dir.path(), c.release, player_seed(), where);
            return false;
        }
        check_midway(dir.path(), {c.old, c.release}, where);
        CliRun next = drive("korvanth-cli", L"--update", dir.path(), 0);
        EXPECT_EQ(next.code, (unsigned long)UpToDate) << where << ", the next run\n" << next.out;
        check_final(dir.path(), c.release, player_seed(), where + ", then a run");
        CliRun verify = drive("korvanth-cli", L"--verify", dir.path(), 0);
        EXPECT_EQ(verify.code, (unsigned long)UpToDate) << where << ", Verify\n" << verify.out;
        return true;
    }
};

TEST_P(KillRun, EveryStepSurvivesAKill)
{
    const KillCase &c = GetParam();
    int kills = 0;
    if (c.spread) {
        long total = operations_of_a_whole_run();
        ASSERT_GT(total, SPREAD_POINTS);
        for (long i = c.shard; i < SPREAD_POINTS && !HasFatalFailure(); i += c.shards)
            kills += kill_at(1 + i * (total - 1) / (SPREAD_POINTS - 1)) ? 1 : 0;
        printf("kills survived: %d of %ld points over %ld file operations (%s)\n", kills,
               (SPREAD_POINTS - c.shard + c.shards - 1) / c.shards, total, c.name);
    } else {
        kills = for_each_fault(c.shard + 1, c.shards, [&](long k) { return kill_at(k); });
        printf("kills survived: %d (%s, every %d from %d)\n", kills, c.name, c.shards, c.shard + 1);
    }
    EXPECT_GT(kills, 0);
}

const KillCase CASES[] = {
    {"small0", "faults", "faults_old", true, false, 0, 4},
    {"small1", "faults", "faults_old", true, false, 1, 4},
    {"small2", "faults", "faults_old", true, false, 2, 4},
    {"small3", "faults", "faults_old", true, false, 3, 4},
    {"large0", "faults_large", "faults_old", false, true, 0, 5},
    {"large1", "faults_large", "faults_old", false, true, 1, 5},
    {"large2", "faults_large", "faults_old", false, true, 2, 5},
    {"large3", "faults_large", "faults_old", false, true, 3, 5},
    {"large4", "faults_large", "faults_old", false, true, 4, 5},
    // A chunked update: archives rebuilt from the old copy, a moved file
    // from the one the release removes.
    {"chunked0", "chunks", "chunks_old", true, true, 0, 2},
    {"chunked1", "chunks", "chunks_old", true, true, 1, 2},
    // The archive by delta from the old copy.
    {"delta0", "deltas", "chunks_old", true, true, 0, 2},
    {"delta1", "deltas", "chunks_old", true, true, 1, 2},
};

INSTANTIATE_TEST_SUITE_P(Cases, KillRun, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<KillCase> &info) {
                             return std::string(info.param.name);
                         });

}  // namespace
