// Starts the engine as a child process and waits for it on the GUI thread,
// processing the window's events every millisecond so the window stays
// responsive. Nothing is piped: the engine's input and output are the null
// device and its error stream is the front end's own. The program, its
// arguments and the folder are handed to the system as the bytes they are,
// so a file name that is not valid UTF-8 reaches the engine unchanged (Qt's
// process class would pass every argument through UTF-16 and lose such bytes).
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Runs `program` with `args` in `folder` and returns its exit status (0..255).
// Returns engine_run_failed (batching.h) when it could not be started, when
// it crashed or was ended by a signal, when `window_visible` is false before
// the start, and while another engine process is being waited for: at most
// one engine process exists at a time. When `window_visible` turns false
// during the wait, the engine is asked to end (SIGTERM, which lets it remove
// its temporary files) and killed if it has not ended a few seconds later.
uint32_t run_process(const std::string& program, const std::vector<std::string>& args, const std::string& folder,
                     const std::function<bool()>& window_visible);
