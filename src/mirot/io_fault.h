#pragma once
// A process-wide seam for tests: makes a later call of one file operation fail with
// a chosen error code, so that a full disk, a failed sync or a failed rename can be
// played without a real one. Nothing is armed unless a test arms it.

namespace mirot {

enum class IoFault { Allocate, Fsync, Rename, Write, Open };

// The call after `calls_to_skip` successful ones of `op` fails with `error_code`;
// the fault then disarms itself.
void inject_io_fault(IoFault op, int error_code, unsigned calls_to_skip = 0);
void clear_io_faults();

// The error code the current call of `op` must fail with, or 0.
int take_io_fault(IoFault op);

}  // namespace mirot
