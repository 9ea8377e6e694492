// The Linux watcher's one parameter: where the MEI driver's devices are
// listed. The shipped program uses the default; tests point it at a tree of
// their own that has the same shape.
#pragma once

// The class folder that lists the meiN devices, each with its `dev_state`
// (and, on recent kernels, its `kind`). Null restores "/sys/class/mei".
// Read at each subscription; the string must outlive them.
void OsEvent_SetMeiClassFolder(const char* path);
