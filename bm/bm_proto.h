// bm_proto.h: every operation of the buffer manager, and its process-local state.
#pragma once

#include "bm/bm_arch.h"
#include "bm/bm_globals.h"
#include "bm/bm_image.h"
#include "bm/bm_init.h"
#include "bm/bm_io.h"
#include "bm/bm_log.h"
#include "bm/bm_logrec.h"
#include "bm/bm_main.h"
#include "bm/bm_mem.h"
#include "bm/bm_reap.h"
#include "bm/bm_sema.h"
#include "bm/bm_table.h"
#include "bm/bm_user.h"
#include "bm/is_misc.h"
#include "bm/shmstruct.h"
