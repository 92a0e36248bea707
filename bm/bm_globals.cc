// bm_globals: definitions of the buffer manager's process-local state (bm_globals.h).
#include "bm/bm_globals.h"

dbshead *bm_dbs;
userslot *bm_myslot;
int bm_mypid;
int bm_myuindex;
int32_t *bm_newpages;
int bm_nnewpages;
int *bm_fdtab;
int bm_nfdtab;
int bm_recovery;
