#pragma once

#include <functional>

#include "KeptLogs.h"
#include "Reader.h"

// The page a walk of a reader's log starts from: the one that held the last slot the previous
// walk stored, when the log is the one remembered then, grown at most; page 0 whenever anything
// says otherwise or leaves it unsure. ReadPage gives a page as the reader sends it now, or null
// when it could not be read; it is asked for page 0, then for the remembered page, each only
// while the log still matches.
int WalkStart(const TKeptLog& Kept, const TCapacity& Now, const std::function<const TLogPage*(int Page)>& ReadPage);
