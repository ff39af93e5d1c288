#pragma once
// One step above normal for the calling thread, and back. Best effort: without the privilege
// to raise a priority nothing changes and nothing is reported.

// True when the priority was raised; pass the result to the restore.
bool RaiseCurrentThreadPriority();
void RestoreCurrentThreadPriority(bool raised);
