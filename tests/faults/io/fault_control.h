// What tests do with the counting file layer of fault_io.h.
#pragma once

namespace fault_io {

// From now on, the `nth` file operation (counting from 1) fails with
// `error` (112 disk full, 5 access denied, 32 sharing violation) and does
// nothing; every other call goes through. The count starts again at 0.
void arm_failure(long nth, unsigned long error);
// The `nth` file operation from now on ends the process (exit code 86)
// before it happens, as a kill at that moment would.
void arm_kill(long nth);
// Counts on, fails nothing.
void disarm();
// File operations since the last arm or disarm.
long calls();
// Whether the armed failure happened, and the name of the failed call.
bool fired(const char **call_name = nullptr);

}  // namespace fault_io
