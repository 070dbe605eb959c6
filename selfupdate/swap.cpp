// The launcher swap: starting the helper from the old launcher, the helper's
// copy and trial, and the new launcher's confirmation. The helper is the new
// version, so the procedure that runs is always the one of the version being
// installed.
//
// The old launcher keeps its name until the new one has shown its window and
// begun its first pass: the new one runs its first time from a flushed copy
// beside it and then takes the launcher's name by one rename (its own, or
// the helper's when that one fails: a running program may be renamed where
// it may not be deleted). A kill at any step therefore leaves a whole
// launcher that starts, and a new launcher that does not start never takes
// the name at all; putting things right is deleting the copy.
//
// Two events tell a waiting process that the other got through: "taken
// over", made by the old launcher and set by its helper; "started", made by
// the helper for the launcher it starts and set by that one. Each is named
// after the process it concerns, so that no other swap can set it, and a
// process that ends before setting it has not got through.
#include "selfupdate/selfupdate.h"
#include "selfupdate/swap_internal.h"

#include "korvanth_config.h"

#include <windows.h>
#include <shellapi.h>

namespace {

// Shown by the helper when it cannot even try: it has no window.
void show_failure_box()
{
    wchar_t text[256];
    format_wide(text, 256,
                L"The launcher could not update itself. Please download it again from %s.",
                KORVANTH_WEB_HOST);
    MessageBoxW(nullptr, text, L"Korvanth", MB_OK | MB_ICONERROR);
}

HANDLE make_event(SwapEvent event, unsigned long pid)
{
    wchar_t name[SWAP_EVENT_NAME_CHARS];
    if (!swap_event_name(event, pid, name, SWAP_EVENT_NAME_CHARS))
        return nullptr;
    return CreateEventW(nullptr, TRUE, FALSE, name);
}

// Sets the event another process made for `pid`; nothing when there is none
// (nobody waits).
void set_event(SwapEvent event, unsigned long pid)
{
    wchar_t name[SWAP_EVENT_NAME_CHARS];
    if (!swap_event_name(event, pid, name, SWAP_EVENT_NAME_CHARS))
        return;
    HANDLE e = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
    if (e) {
        SetEvent(e);
        CloseHandle(e);
    }
}

enum Outcome {
    OUTCOME_SIGNALLED,  // the process set the event
    OUTCOME_ENDED,      // it ended first
    OUTCOME_SILENT,     // neither within the limit (or the wait failed)
};

// The first of `event` (set by `process`) and the end of `process`, within
// `limit_ms`. Without an event there is nothing to hear: the end of the
// process, or its silence, is all that can be told.
Outcome wait_for_sign(HANDLE event, HANDLE process, DWORD limit_ms)
{
    if (!event)
        return WaitForSingleObject(process, limit_ms) == WAIT_OBJECT_0 ? OUTCOME_ENDED
                                                                       : OUTCOME_SILENT;
    HANDLE handles[2] = {event, process};
    DWORD r = WaitForMultipleObjects(2, handles, FALSE, limit_ms);
    if (r == WAIT_OBJECT_0)
        return OUTCOME_SIGNALLED;
    if (r == WAIT_OBJECT_0 + 1)
        return OUTCOME_ENDED;
    return OUTCOME_SILENT;
}

// Ends a silent process, and says into `why` (`cap_bytes`) what became of it.
void give_up_on(HANDLE process, Outcome outcome, char *why, size_t cap_bytes)
{
    if (outcome == OUTCOME_SILENT) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, SWAP_EXIT_WAIT_MS);
        format_narrow(why, cap_bytes, "gave no sign of a start within %u s",
                      (unsigned)(SWAP_START_WAIT_MS / 1000));
        return;
    }
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    format_narrow(why, cap_bytes, "ended at start with exit code %lu (0x%08lX)",
                  (unsigned long)code, (unsigned long)code);
}

// The launcher of `digest` (null when it could not be read) is refused in
// `folder`'s state file, and the log says why: "<who> <why>".
void refuse(const wchar_t *folder, const uint8_t *digest, const char *who, const char *why)
{
    char hex[2 * SHA256_BYTES + 1] = "of unknown digest";
    if (digest) {
        hex_encode(digest, SHA256_BYTES, hex);
        if (!swap_record_refusal(folder, digest))
            log_printf("swap: the refusal could not be saved in the state file");
    }
    log_printf("swap: the new launcher %s%s %s; the previous launcher stays in use and a "
               "release naming this one is not taken again",
               hex, who, why);
}

bool file_present(const wchar_t *path)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// The helper's trial of the new launcher, from its flushed `copy` beside
// `target`. A launcher that starts takes the target's name; one that does
// not is refused, its copy deleted and the target started again. Shows the
// failure box when a launcher that started cannot take the name.
void run_trial(const wchar_t *copy, const wchar_t *target, const wchar_t *folder,
               const uint8_t *digest)
{
    wchar_t command[SWAP_RESTART_CHARS];
    char why[96] = "";
    Outcome outcome = OUTCOME_ENDED;
    unsigned long pid = 0;
    HANDLE thread = nullptr, started = nullptr;
    HANDLE launcher = nullptr;
    if (format_wide(command, SWAP_RESTART_CHARS, L"\"%s\" %s \"%s\"", copy, SWAP_RESTART_OPTION,
                    target) >= 0)
        launcher = swap_start_process(copy, command, &pid, (void **)&thread);
    if (!launcher) {
        format_narrow(why, sizeof why, "could not be started (error %lu)",
                      (unsigned long)GetLastError());
    } else {
        started = make_event(SWAP_EVENT_STARTED, pid);
        ResumeThread(thread);
        CloseHandle(thread);
        outcome = wait_for_sign(started, launcher, SWAP_START_WAIT_MS);
        // A launcher that took the target's name had shown its window and
        // begun its pass before: it started, whatever it did after (and
        // without the event, its name is the only sign there is).
        if (outcome != OUTCOME_SIGNALLED && !file_present(copy))
            outcome = OUTCOME_SIGNALLED;
        if (outcome != OUTCOME_SIGNALLED)
            give_up_on(launcher, outcome, why, sizeof why);
        CloseHandle(launcher);
        if (started)
            CloseHandle(started);
    }
    // One that started but could not take the name (a scanner holding the
    // old file) is given the name here, patiently.
    if (outcome == OUTCOME_SIGNALLED) {
        if (file_present(copy) && !swap_replace_patiently(copy, target))
            show_failure_box();
        return;
    }
    // One that took the name just as it was given up on is the launcher now:
    // it starts again as any launcher would. Any other is refused.
    bool refused = file_present(copy);
    if (refused) {
        swap_delete_patiently(copy);
        log_open(folder);
        refuse(folder, digest, "", why);
    }
    wchar_t restart[SWAP_RESTART_CHARS];
    // The player can start the launcher by hand if this fails; nothing to show.
    if (format_wide(restart, SWAP_RESTART_CHARS, L"\"%s\"%s", target,
                    refused ? L" " SWAP_REFUSED_OPTION : L"") >= 0) {
        HANDLE previous = swap_start_process(target, restart, nullptr, nullptr);
        if (previous)
            CloseHandle(previous);
    }
}

}  // namespace

SwapStart start_swap_helper(const wchar_t *game_folder, const wchar_t *new_launcher)
{
    wchar_t own[LAUNCHER_PATH_CHARS];
    DWORD n = GetModuleFileNameW(nullptr, own, LAUNCHER_PATH_CHARS);
    if (n == 0 || n >= LAUNCHER_PATH_CHARS)
        return SWAP_HELPER_NOT_STARTED;
    wchar_t command[LAUNCHER_COMMAND_CHARS];
    if (format_wide(command, LAUNCHER_COMMAND_CHARS, L"\"%s\" --swap %lu \"%s\"", new_launcher,
                    GetCurrentProcessId(), own) < 0) {
        log_printf("swap: helper start failed (%lu)", (unsigned long)ERROR_FILENAME_EXCED_RANGE);
        return SWAP_HELPER_NOT_STARTED;
    }
    HANDLE taken = make_event(SWAP_EVENT_TAKEN_OVER, GetCurrentProcessId());
    HANDLE helper = swap_start_process(new_launcher, command, nullptr, nullptr);
    if (!helper) {
        log_printf("swap: helper start failed (%lu)", GetLastError());
        if (taken)
            CloseHandle(taken);
        return SWAP_HELPER_NOT_STARTED;
    }
    // Only a helper that ends before its sign is refused. One that stays
    // silent may be of an earlier version (a release going back to an older
    // launcher), which gives no sign and waits for this process to end: it
    // is trusted, as every helper was before.
    Outcome outcome = taken ? wait_for_sign(taken, helper, SWAP_TAKEOVER_WAIT_MS)
                            : OUTCOME_SIGNALLED;
    char why[96] = "";
    if (outcome == OUTCOME_ENDED)
        give_up_on(helper, outcome, why, sizeof why);
    CloseHandle(helper);
    if (taken)
        CloseHandle(taken);
    if (outcome != OUTCOME_ENDED) {
        if (outcome == OUTCOME_SILENT)
            log_printf("swap: the helper gave no sign within %u s; handing over all the same",
                       (unsigned)(SWAP_TAKEOVER_WAIT_MS / 1000));
        log_printf("swap: helper started, exiting");
        return SWAP_HELPER_TOOK_OVER;
    }

    uint8_t digest[SHA256_BYTES];
    bool known = sha256_file(new_launcher, digest) != 0;
    refuse(game_folder, known ? digest : nullptr, " (as the swap helper)", why);
    DeleteFileW(new_launcher);
    return SWAP_HELPER_REFUSED;
}

int run_swap_mode(const wchar_t *command_line)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(command_line, &argc);
    if (!argv)
        return 0;
    unsigned long old_pid = 0;
    wchar_t target[LAUNCHER_PATH_CHARS];
    int request = swap_parse_request(argc, argv, &old_pid, target, LAUNCHER_PATH_CHARS);
    LocalFree(argv);
    if (request == 0)
        return 0;
    // The old launcher closes only on this sign: a helper that cannot run
    // at all leaves it open, and it refuses this launcher itself.
    set_event(SWAP_EVENT_TAKEN_OVER, old_pid);

    wchar_t own[LAUNCHER_PATH_CHARS];
    wchar_t copy[LAUNCHER_PATH_CHARS];
    wchar_t folder[LAUNCHER_PATH_CHARS];
    DWORD n = GetModuleFileNameW(nullptr, own, LAUNCHER_PATH_CHARS);
    // A target or copy path that does not fit is refused before anything is
    // written: a cut path would name some other file.
    if (request < 0 || n == 0 || n >= LAUNCHER_PATH_CHARS ||
        !swap_sibling_path(target, OWN_FILE_SWAP_COPY, copy, LAUNCHER_PATH_CHARS) ||
        !swap_target_folder(target, folder, LAUNCHER_PATH_CHARS)) {
        show_failure_box();
        return 1;
    }

    // The old launcher must let go of the folder. One that ended already
    // cannot be opened; one that hangs is given up on after the wait.
    HANDLE old_process = OpenProcess(SYNCHRONIZE, FALSE, (DWORD)old_pid);
    if (old_process) {
        WaitForSingleObject(old_process, SWAP_EXIT_WAIT_MS);
        CloseHandle(old_process);
    }

    // The digest is taken first: a launcher starting from the copy may
    // delete this helper's file as a leftover.
    uint8_t digest[SHA256_BYTES];
    bool known = sha256_file(own, digest) != 0;
    if (!swap_copy_flushed(own, copy)) {
        show_failure_box();
        return 1;
    }
    run_trial(copy, target, folder, known ? digest : nullptr);
    return 1;
}

void confirm_launcher_start(void)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv)
        return;
    wchar_t target[LAUNCHER_PATH_CHARS];
    int trial = swap_parse_trial(argc, argv, target, LAUNCHER_PATH_CHARS);
    LocalFree(argv);
    wchar_t own[LAUNCHER_PATH_CHARS], copy[LAUNCHER_PATH_CHARS];
    DWORD n = GetModuleFileNameW(nullptr, own, LAUNCHER_PATH_CHARS);
    // Only the copy on trial takes a name: a launcher started by hand with
    // the option moves nothing.
    if (trial != 1 || n == 0 || n >= LAUNCHER_PATH_CHARS ||
        !swap_sibling_path(target, OWN_FILE_SWAP_COPY, copy, LAUNCHER_PATH_CHARS) ||
        lstrcmpiW(copy, own) != 0)
        return;
    // Renaming a running program is allowed where deleting it is not; the
    // old launcher has ended.
    if (MoveFileExW(own, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        log_printf("swap: the new launcher has started and replaced the previous one");
    else
        log_printf("swap: the new launcher has started but could not replace the previous one "
                   "(%lu); the previous one stays", GetLastError());
    set_event(SWAP_EVENT_STARTED, GetCurrentProcessId());
}
