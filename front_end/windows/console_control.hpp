#pragma once

// Ctrl+C, Ctrl+Break, closing the console and logging off end the process from a thread of the
// system's own. While interruptions are held, that thread waits until they are released, so that
// no step that must finish (a commit, a rewrite in place with its backup) is cut short; then the
// process ends. Nothing else is done on that thread: the temporary file is marked for deletion
// when the process ends, so no name or flag is shared with it.

// Holds interruptions back on the calling thread until the matching release; nests.
void hold_interruptions() noexcept;
void release_interruptions() noexcept;
