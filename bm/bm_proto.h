// bm_proto.h: every operation of the buffer manager, and its process-local state.
#pragma once

#include "bm/bm_globals.h"
#include "bm/bm_log.h"
#include "bm/bm_sema.h"
#include "bm/shmstruct.h"
