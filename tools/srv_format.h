// srv_format.h: the partition files of a new DBS: creation and formatting.
//
// srv_makefiles creates the partition files that do not exist yet, each large enough for every
// partition it holds, owned by the user "tolv" and its primary group (the owner and group that
// the configuration check demands), mode 0660. A file is created exclusively and never through a
// symbolic link; an existing file is kept as it is (a symbolic link or anything that is neither a
// file nor a device is refused).
//
// srv_format writes every page of every dbspace of a geometry: the page number in word 0 of each
// page, the free-page bitmap chain with the reserved pages and the pages beyond the dbspace's
// end marked in use, an empty table map, the header pages of the log files, and the
// before-image area's cleaning page; everything else is zero (page layouts in srv_layout.h).
// Formatting overwrites whatever the partitions held: the caller makes sure that no running DBS
// uses them (tolvdb creates the segment exclusively first).
//
// Results are srv_result codes (srv_create.h); why receives the reason of a failure.
//
// See also: srv_layout.h (where the fixed pages go), srv_size.h (the geometry of a
// configuration), srv_create.h (the segment).
#pragma once

#include <string>
#include <vector>

#include "tools/srv_create.h"
#include "tools/srv_layout.h"

// The owner of the partition files.
constexpr const char *SRV_OWNER = "tolv";
constexpr int SRV_PARTMODE = 0660;

// Creates the missing partition files of spaces. created receives the paths it created, in
// order. SRV_OK, or SRV_FILE after removing the files this call created.
int srv_makefiles(const std::vector<srv_space> &spaces, std::vector<std::string> *created,
                  std::string *why);
// Removes the files of created (the cleanup of a creation that failed later).
void srv_unmakefiles(const std::vector<std::string> &created);

// Formats every partition of g. SRV_OK or SRV_FILE.
int srv_format(const srv_geometry &g, std::string *why);

// Page k of the dbspace described by a, as srv_format writes it for g.
void srv_formatpage(const srv_geometry &g, const srv_areas &a, int32_t k, unsigned char *page);
