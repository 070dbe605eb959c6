// The swap request: arguments cut from the input at NUL bytes (pairs of
// bytes as UTF-16 units), an output capacity chosen by the first byte. A
// request names a non-zero process and a whole path that fits; a path that
// does not fit is refused, never cut; nothing is written past the capacity.
#include "selfupdate/selfupdate.h"

#include "tests/fuzz/fuzz.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    size_t cap = data[0] % 40;  // small capacities reach the edge often
    std::vector<std::wstring> args(1, L"Korvanth.new");
    std::wstring arg;
    for (size_t i = 1; i + 1 < size; i += 2) {
        wchar_t unit = (wchar_t)(data[i] | data[i + 1] << 8);
        if (unit == 0) {
            args.push_back(arg);
            arg.clear();
        } else {
            arg.push_back(unit);
        }
    }
    args.push_back(arg);
    std::vector<const wchar_t *> argv;
    for (const std::wstring &a : args)
        argv.push_back(a.c_str());

    std::vector<wchar_t> target(cap + 1, L'#');  // one guard unit past the capacity
    unsigned long pid = 12345;
    int r = swap_parse_request((int)argv.size(), argv.data(), &pid, target.data(), cap);
    FUZZ_CHECK(target[cap] == L'#', "written past the capacity");
    FUZZ_CHECK(r >= -1 && r <= 1, "result outside -1..1");
    if (r == 1) {
        FUZZ_CHECK(pid != 0, "a request for process 0");
        FUZZ_CHECK(terminated_within(target.data(), cap), "target not terminated");
        bool named = false;
        for (size_t i = 1; i + 2 < argv.size(); i++)
            named = named || (args[i] == L"--swap" && args[i + 2] == target.data());
        FUZZ_CHECK(named, "target is not an argument after --swap");
    } else if (r == 0) {
        FUZZ_CHECK(cap == 0 || target[0] == 0, "no request but a target");
    }

    std::vector<wchar_t> copy(cap + 1, L'#');
    std::wstring path = arg;
    if (swap_sibling_path(path.c_str(), OWN_FILE_SWAP_COPY, copy.data(), cap)) {
        FUZZ_CHECK(terminated_within(copy.data(), cap), "copy not terminated");
        std::wstring b = copy.data();
        FUZZ_CHECK(b.size() >= 13 && b.compare(b.size() - 13, 13, L"Korvanth.swap") == 0,
                   "copy not named Korvanth.swap");
    } else {
        FUZZ_CHECK(cap == 0 || copy[0] == 0, "refused copy path not empty");
    }
    FUZZ_CHECK(copy[cap] == L'#', "copy path written past the capacity");
    return 0;
}
