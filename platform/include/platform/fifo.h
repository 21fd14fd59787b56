// The virtual microphone's control device: a named pipe that the audio server's pipe source reads.
// The program only ever opens the write end, non-blocking, so a stalled reader can never hold up
// the audio clock. Plain POSIX calls; no logging (callers report the errno values). Any thread.
#pragma once

#include <cstddef>
#include <string>

#include "platform/files.h"

namespace platform {

// $KIVOCAM_AUDIO_LINK, else $XDG_RUNTIME_DIR/KivoAudioDeviceLink, else
// /tmp/KivoAudioDeviceLink-<uid>.
std::string audioLinkPath();
// Whether audioLinkPath() is the fallback in /tmp, where any local user may create files.
bool audioLinkIsShared();

// Opens the write end without blocking. ENXIO when nobody reads the pipe; ENODEV when the path
// is not a pipe (a regular file there would otherwise grow without bound). With mustBePrivate,
// EPERM unless the pipe (not a link to one) belongs to this user with mode 0600: in a shared
// folder someone else may have made it first to listen in. The pipe keeps its default buffer:
// the sound server reads in bursts, and a smaller one overflows between them.
// Invalid on failure with the errno value in *error.
UniqueFd openFifoWriter(const std::string& path, int* error, bool mustBePrivate = false);

// Result of one non-blocking write of a whole block.
enum class FifoWrite {
    Written,  // every byte went out
    Pending,  // the pipe is full (EAGAIN): nothing was written
    Failed,   // the reader is gone or another error; *error holds errno
};
// Blocks up to the pipe's atomic size (4096 bytes) go out whole or not at all; a longer block is
// written in such pieces and may stop after some of them (Pending). SIGPIPE never fires: a
// vanished reader comes back as Failed with EPIPE.
FifoWrite writeFifo(int fd, const void* data, size_t len, int* error = nullptr);

// Creates a pipe at path (mode 0600); 0, or the errno value (EEXIST when something is there).
int makeFifo(const std::string& path);
// Removes path; 0 or the errno value.
int removePath(const std::string& path);
// A non-blocking read end, for tests and benchmarks that stand in for the audio server.
UniqueFd openFifoReader(const std::string& path, int* error = nullptr);
// Bytes read, 0 when nothing is waiting (or every writer is gone), -1 on an error.
long readFifo(int fd, void* buf, size_t len);
// Waits up to timeoutMs for data on a read end; true when there is something to read.
bool waitReadable(int fd, int timeoutMs);
// Waits up to timeoutMs until every writer has closed the pipe a read end belongs to.
bool waitHangup(int fd, int timeoutMs);

}  // namespace platform
