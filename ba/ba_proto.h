// ba_proto.h: every operation of the base library.
#pragma once

#include "ba/ba_conf.h"
#include "ba/ba_conv.h"
#include "ba/ba_date.h"
#include "ba/ba_dec.h"
#include "ba/ba_env.h"
#include "ba/ba_keyw.h"
#include "ba/ba_mem.h"
#include "ba/ba_msg.h"
#include "ba/ba_nls.h"
#include "ba/ba_pipe.h"
#include "ba/ba_sig.h"
#include "ba/ba_sys.h"
#include "ba/dbsconfig.h"
#include "ba/error.h"
#include "ba/globals.h"
#include "ba/sqldec.h"
