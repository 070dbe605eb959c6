// What must hold in a client folder after an update pass that failed or was
// killed half-way, and after the pass that finishes the job. Shared by the
// fault runner and the kill runner.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace fault_test {

// The player's flags of every pass the runners make: stock interface, the
// Vulkan files on (so that an optional set is fetched).
const int INTERFACE = 0, DXVK = 1;
// What the runners' player wrote into the seed file, which no pass may undo.
extern const char PLAYER_SETTINGS[];

// Copies a folder tree; files keep their last-write times (the state
// file's records name them).
void copy_tree(const std::wstring &from, const std::wstring &to);

// Every file below `folder` (relative, forward slashes).
std::vector<std::string> list_files(const std::wstring &folder);

// Fails the current test (with `where` in the message) unless, below
// `folder`:
// - every client file (also one still in the legacy "Drumveil" folder) holds
//   the content it has in one of `releases`, or the player's seed text;
//   working files (.part, .tmp, .delta, a chunk carrier's .chunkN) may stay;
// - the state file, if there is one, loads, and every record whose size and
//   time match its file vouches for the right digest.
void check_midway(const std::wstring &folder, const std::vector<std::string> &releases,
                  const std::string &where);

// Fails the current test unless every file the player wants of `release`
// is in place with the release's content, and nothing else but the
// launcher's own files. The seed file must be the player's own when
// `player_seed`, else either. A file of the release's remove list may stay
// when `obsolete_may_stay` (a pass goes on when a deletion fails).
void check_final(const std::wstring &folder, const std::string &release, bool player_seed,
                 const std::string &where, bool obsolete_may_stay = false);

// Runs `one(n)` for n = first, first + step, ... until it reports that no
// fault was left to inject (false). Returns the number of faults injected.
int for_each_fault(long first, long step, const std::function<bool(long n)> &one);

}  // namespace fault_test
