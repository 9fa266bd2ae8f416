// What a run records for each row: the size just before the engine runs, the
// size after it, and the totals of the run. A file that is gone, is no longer
// a regular file, or that the engine could not rewrite (no write permission)
// when its turn comes is marked failed and not handed to the engine; so is a
// file that disappears while the engine runs, and a file the engine left
// unchanged in a run that crashed or did not start. Failed rows add nothing
// to the totals, so a file that vanished never counts as a saving.
#pragma once
#include <cstdint>

#include "frontend/file_list.h"

// Before the engine runs: reads the row's size. False when the row failed
// and must not be handed to the engine.
bool prepare_row(file_row& row);

// After the engine ran (`run_failed`: it crashed or did not start): reads the
// new size and adds the row's sizes to the totals unless it failed.
void record_row(file_row& row, bool run_failed, uint64_t& total_before, uint64_t& total_after);
