#pragma once

// Undo as the faces use it: the store and its runs, a run's journal, taking a run back, and
// dropping runs.
#include "engine/undo/drop.h"
#include "engine/undo/journal.h"
#include "engine/undo/restore.h"
#include "engine/undo/store.h"
